#pragma once
#include <windows.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "desktop/EngineLoop.h"
#include "desktop/ServerListModel.h"
#include "desktop/StatusModel.h"
#include "engine/CHandler.h"
#include "engine/ProtocolFactory.h"

namespace kronelwin {

// The private message that wakes the engine: wParam EngineObserver::kSwitch (0) or kTop (1).
inline constexpr UINT kLoopMessage = WM_USER + 34;
// Window messages of the main dialog besides the private message.
inline constexpr UINT kLinesMessage = WM_APP + 1;    // lines or status text queued
inline constexpr UINT kStatusMessage = WM_APP + 2;   // status values changed
inline constexpr UINT kTrayMessage = WM_APP + 3;     // the tray icon's callback
inline constexpr UINT kCloseMessage = WM_APP + 4;    // one-shot mode: end the program
inline constexpr UINT kServingMessage = WM_APP + 5;  // a server has served
inline constexpr UINT kTrayIconId = 1;

struct Options {
    bool holdOpen = false;  // "/hold": one-shot mode leaves the window open
    bool minimized = false;
};

// kronel's main dialog: status display, message lines, the server list and its operations,
// the tray icon, and the engine on the dialog's own thread. It plays the engine thread's part
// and shows what the engine publishes.
class MainDialog : public engine::EngineObserver,
                   public desktop::ServerListUi,
                   private desktop::EngineLoop::Driver {
public:
    MainDialog(HINSTANCE instance, Options options);
    ~MainDialog() override;

    // Creates the dialog, starts the engine and runs the message loop; the exit code.
    int run();

    // EngineObserver (any thread)
    void loopRequested(int which) override;
    void lineLogged(const std::string& line) override;
    void statusTextChanged(const std::string& source, const std::string& text) override;
    void stateChanged() override;
    void statusChanged(const engine::StatusSnapshot& status) override;
    void corrected(const engine::CorrectionResult& result) override;
    void serverActive(const std::string& server, int kind) override;

    // ServerListUi (dialog thread)
    bool askYesNo(const std::string& text, const std::string& caption) override;
    std::optional<std::string> chooseExportFile(const std::string& title,
                                                const std::string& initialName,
                                                const std::string& filter) override;
    std::optional<std::string> chooseImportFile(const std::string& title,
                                                const std::string& initialName,
                                                const std::string& filter) override;
    std::optional<desktop::ServerRecord> editServer(const desktop::ServerRecord& record) override;
    void startQuery(const std::string& name) override;

private:
    // EngineLoop::Driver
    void startTimer(long long ms) override;
    void stopTimer() override;
    void startSource(int selector) override;

    static INT_PTR CALLBACK dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam);
    void initialise();
    void command(int id);
    void notify(const NMHDR& header);
    void fillServers();
    void refreshStatus();
    void drainLines();
    int selectedRow() const;
    void showWindow();
    void hideWindow();
    void addTrayIcon();
    void removeTrayIcon();
    void updateTrayTip(const desktop::StatusValues& status);
    void trayMenu();
    void listMenu(int x, int y);
    void openSettings();
    void startEngine();
    void stopEngine();
    void postStatus();
    void showLine(const std::string& line);
    void showStatusText(const std::string& text);
    void quit();
    // One-shot mode: close unless the user holds Shift or keeps the window open.
    bool shiftHeld() const;
    bool holdOpen() const;

    HINSTANCE instance_;
    Options options_;
    HWND hwnd_ = nullptr;
    HWND servers_ = nullptr;
    HWND messages_ = nullptr;
    HICON icon_ = nullptr;
    HICON smallIcon_ = nullptr;
    bool trayAdded_ = false;
    UINT taskbarCreated_ = 0;          // the shell restarted: the tray icon must be added again
    std::atomic<int> dialogsOpen_{0};  // a modal dialog keeps one-shot mode from closing
    std::unique_ptr<engine::ProtocolFactory> protocolNames_;
    std::unique_ptr<engine::CHandler> engine_;
    std::unique_ptr<desktop::ServerListModel> list_;
    desktop::EngineLoop loop_{*this};
    desktop::ServingActivity serving_;
    desktop::ShownStatus status_{platform::RegRoot::CurrentUser, engine::kUserParametersKey};

    std::mutex queueMutex_;
    std::deque<std::string> lines_;
    std::string statusText_;
    bool statusTextChanged_ = false;
    bool linesPosted_ = false;
};

}  // namespace kronelwin
