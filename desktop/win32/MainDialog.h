#pragma once
#include <windows.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "desktop/DesktopEngine.h"
#include "desktop/ServerListModel.h"
#include "engine/ProtocolFactory.h"

namespace kronelwin {

// Window messages of the main dialog besides the engine's wake message.
inline constexpr UINT kLinesMessage = WM_APP + 1;   // lines or status text queued
inline constexpr UINT kStatusMessage = WM_APP + 2;  // status values changed
inline constexpr UINT kTrayMessage = WM_APP + 3;    // the tray icon's callback
inline constexpr UINT kCloseMessage = WM_APP + 4;   // one-shot mode: end the program
inline constexpr UINT kTrayIconId = 1;

struct Options {
    bool holdOpen = false;  // "/hold": one-shot mode leaves the window open
    bool minimized = false;
};

// kronel's main dialog: status display, message lines, the server list and its operations,
// the tray icon, and the engine on the dialog's own thread.
class MainDialog : public desktop::DesktopEngineHost, public desktop::ServerListUi {
public:
    MainDialog(HINSTANCE instance, Options options);
    ~MainDialog() override;

    // Creates the dialog, starts the engine and runs the message loop; the exit code.
    int run();

    // DesktopEngineHost (any thread)
    void postWake(int which) override;
    void showLine(const std::string& line) override;
    void showStatusText(const std::string& text) override;
    void statusChanged() override;
    void requestClose() override;
    bool shiftHeld() override;
    bool holdOpen() override;

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
    void updateTrayTip();
    void trayMenu();
    void listMenu(int x, int y);
    void openSettings();
    void quit();

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
    std::unique_ptr<desktop::DesktopEngine> engine_;
    std::unique_ptr<desktop::ServerListModel> list_;

    std::mutex queueMutex_;
    std::deque<std::string> lines_;
    std::string statusText_;
    bool statusTextChanged_ = false;
    bool linesPosted_ = false;
};

}  // namespace kronelwin
