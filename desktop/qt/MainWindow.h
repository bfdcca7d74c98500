#pragma once
#include <QMainWindow>
#include <QPointer>
#include <atomic>
#include <memory>
#include <string>

#include "desktop/EngineLoop.h"
#include "desktop/ServerListModel.h"
#include "desktop/StatusModel.h"
#include "engine/CHandler.h"

class QLabel;
class QMenu;
class QPlainTextEdit;
class QSystemTrayIcon;
class QTimer;
class QTreeWidget;

namespace kronelqt {

class AlertBoxes;
class DialogServerListUi;

struct WindowOptions {
    bool holdOpen = false;  // one-shot mode leaves the window open
};

// The main window of kronel. It plays the engine thread's part: it runs the engine's
// start-up, start-source and shutdown on the GUI thread and is woken by the private message
// (a queued event); it shows what the engine publishes.
class MainWindow : public QMainWindow,
                   public engine::EngineObserver,
                   private desktop::EngineLoop::Driver {
    Q_OBJECT
public:
    // The private message's event type, after the window message number the engine posts.
    static constexpr int kLoopMessage = 1000 + 34;

    explicit MainWindow(WindowOptions options = {}, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Starts the engine (and shows the window as StartMinimized says).
    void start();
    void openSettings(const QString& page = {});
    QMenu* trayMenu() const { return trayMenu_; }
    desktop::ServerListModel& servers() { return *model_; }
    bool engineRunning() const { return engine_->running(); }

    // What the sources report to: the engine.
    core::MessageHandler& messageHandler() { return *engine_; }

    // EngineObserver (any thread)
    void loopRequested(int which) override;
    void lineLogged(const std::string& line) override;
    void statusTextChanged(const std::string& source, const std::string& text) override;
    void stateChanged() override;
    void statusChanged(const engine::StatusSnapshot& status) override;
    void corrected(const engine::CorrectionResult& result) override;
    void serverActive(const std::string& server, int kind) override;

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // EngineLoop::Driver
    void startTimer(long long ms) override;
    void stopTimer() override;
    void startSource(int selector) override;

    void buildWidgets();
    void buildMenus();
    void buildTray();
    void refreshStatus();
    void showServing();
    void refreshList();
    void appendLine(const QString& line);
    void queryNow();
    void query(const std::string& name);
    int selectedRow() const;
    // Every operation of the list runs with the window held open.
    void withHold(const std::function<void()>& operation);
    void applySettings(const std::vector<std::string>& changedSettings);
    void startEngine();
    void stopEngine();
    void exitProgram();
    void postRefresh();
    void showAsking();
    // One-shot mode: close unless the user holds Shift or keeps the window open.
    bool holdOpen() const;
    void requestClose();

    WindowOptions options_;
    std::unique_ptr<AlertBoxes> alertBoxes_;
    std::unique_ptr<engine::CHandler> engine_;
    std::unique_ptr<DialogServerListUi> ui_;
    std::unique_ptr<desktop::ServerListModel> model_;
    desktop::EngineLoop loop_{*this};
    QTimer* loopTimer_ = nullptr;

    std::atomic<bool> shift_{false};
    std::atomic<int> dialogsOpen_{0};
    std::atomic<bool> refreshPosted_{false};
    desktop::ServingActivity serving_;
    desktop::ShownStatus status_{platform::RegRoot::CurrentUser, engine::kUserParametersKey};
    bool quitting_ = false;

    QLabel* statusValues_[4] = {};
    QLabel* statusText_ = nullptr;
    QLabel* servingText_ = nullptr;
    QTreeWidget* list_ = nullptr;
    QPlainTextEdit* lines_ = nullptr;
    QMenu* serverMenu_ = nullptr;
    QMenu* trayMenu_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
};

}  // namespace kronelqt
