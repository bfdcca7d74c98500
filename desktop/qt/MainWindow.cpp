#include "desktop/qt/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <climits>

#include "app/ProtocolTable.h"
#include "core/TimeValue.h"
#include "desktop/ApplySettings.h"
#include "desktop/StatusModel.h"
#include "desktop/qt/AlertBoxes.h"
#include "desktop/qt/DialogServerListUi.h"
#include "desktop/qt/EngineText.h"
#include "desktop/qt/SettingsDialog.h"
#include "engine/CReg.h"
#include "engine/CTimeClient.h"
#include "platform/Clock.h"

namespace kronelqt {

namespace {

// The private message: switch (0) or top (1).
class LoopEvent : public QEvent {
public:
    explicit LoopEvent(int which)
        : QEvent(static_cast<QEvent::Type>(MainWindow::kLoopMessage)), which_(which) {}
    int which() const { return which_; }

private:
    int which_;
};

constexpr int kMaxLines = 1000;

bool readFlag(const char* name) {
    const engine::CReg key(engine::kUserParametersKey, platform::RegRoot::CurrentUser, true);
    return config::readFlag(key, name);
}

}  // namespace

MainWindow::MainWindow(WindowOptions options, QWidget* parent)
    : QMainWindow(parent), options_(options), alertBoxes_(std::make_unique<AlertBoxes>()) {
    setObjectName("MainWindow");
    setWindowTitle("Kronel");
    engine_ = std::make_unique<engine::CHandler>(*this, app::makeProtocolTable(),
                                                 alertBoxes_->watchdogFactory());
    ui_ = std::make_unique<DialogServerListUi>(
        this, [] { return readFlag("SNTPFix"); }, [this](const std::string& name) { query(name); });
    model_ = std::make_unique<desktop::ServerListModel>(platform::RegRoot::CurrentUser,
                                                        engine::kUserParametersKey, *ui_, *engine_);
    loopTimer_ = new QTimer(this);
    loopTimer_->setSingleShot(true);
    connect(loopTimer_, &QTimer::timeout, this, [this] { loop_.timerFired(); });

    buildWidgets();
    buildMenus();
    buildTray();
    shift_.store(QGuiApplication::queryKeyboardModifiers().testFlag(Qt::ShiftModifier));
    qApp->installEventFilter(this);  // the Shift key, wherever it is pressed
    refreshList();
    refreshStatus();
}

MainWindow::~MainWindow() {
    qApp->removeEventFilter(this);
    stopEngine();
}

void MainWindow::buildWidgets() {
    auto* central = new QWidget;
    auto* layout = new QVBoxLayout(central);

    auto* status = new QGroupBox(tr("Status"));
    auto* statusLayout = new QHBoxLayout(status);
    auto* values = new QFormLayout;
    const auto rows = desktop::StatusValues{}.rows();
    const char* names[] = {"LastDelta", "LastContact", "TimeSource", "Drift"};
    for (size_t i = 0; i < rows.size(); ++i) {
        statusValues_[i] = new QLabel;
        statusValues_[i]->setObjectName(names[i]);
        statusValues_[i]->setTextInteractionFlags(Qt::TextSelectableByMouse);
        values->addRow(fromEngine(rows[i].first) + ":", statusValues_[i]);
    }
    statusText_ = new QLabel(tr("Starting"));
    statusText_->setObjectName("statusText");
    statusText_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    statusText_->setWordWrap(true);
    statusText_->setMinimumWidth(220);
    statusText_->setFrameShape(QFrame::StyledPanel);
    statusLayout->addLayout(values, 3);
    statusLayout->addWidget(statusText_, 2);
    // Only while a server has served.
    servingText_ = new QLabel;
    servingText_->setObjectName("serving");
    servingText_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    servingText_->hide();
    values->addRow(servingText_);
    layout->addWidget(status);

    auto* serversBox = new QGroupBox(tr("Time servers, in the order they are asked"));
    auto* serversLayout = new QHBoxLayout(serversBox);
    list_ = new QTreeWidget;
    list_->setObjectName("servers");
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    list_->setHeaderLabels({tr("Name"), tr("Address"), tr("Protocol"), tr("Last result")});
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    list_->header()->setStretchLastSection(true);
    list_->header()->setSectionResizeMode(QHeaderView::Interactive);
    connect(list_, &QTreeWidget::itemActivated, this, [this] {
        withHold([this] { model_->open(selectedRow()); });
        refreshList();
    });
    connect(list_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { serverMenu_->popup(list_->viewport()->mapToGlobal(at)); });
    serversLayout->addWidget(list_, 1);

    auto* buttons = new QVBoxLayout;
    auto button = [&](const char* name, const QString& text, const std::function<void()>& run,
                      const QString& tip) {
        auto* b = new QPushButton(text);
        b->setObjectName(name);
        b->setProperty("tip", tip);
        connect(b, &QPushButton::clicked, this, run);
        buttons->addWidget(b);
        return b;
    };
    button(
        "queryNow", tr("&Query now"), [this] { queryNow(); },
        tr("Ask the selected server, or the first, now"));
    button(
        "add", tr("&Add..."), [this] { withHold([this] { model_->addServer(); }); },
        tr("Add a server at the end of the list"));
    button(
        "edit", tr("&Edit..."), [this] { withHold([this] { model_->editServer(selectedRow()); }); },
        tr("Change the selected server"));
    button(
        "deleteAll", tr("&Delete all"), [this] { withHold([this] { model_->deleteAll(); }); },
        tr("Delete every server, after asking"));
    button(
        "restoreDefaults", tr("&Restore defaults"),
        [this] { withHold([this] { model_->restoreDefaults(); }); },
        tr("Replace the list with the three default SNTP servers"));
    button(
        "import", tr("&Import..."), [this] { withHold([this] { model_->importList(); }); },
        tr("Read servers from a file to the top of the list"));
    button(
        "export", tr("E&xport..."), [this] { withHold([this] { model_->exportList(); }); },
        tr("Write the list to a file"));
    buttons->addStretch(1);
    button(
        "settings", tr("&Settings..."), [this] { openSettings(); },
        tr("Limits, polling, serving, logging, alerts and more"));
    serversLayout->addLayout(buttons);

    auto* linesBox = new QGroupBox(tr("Messages"));
    auto* linesLayout = new QVBoxLayout(linesBox);
    lines_ = new QPlainTextEdit;
    lines_->setObjectName("messages");
    lines_->setReadOnly(true);
    lines_->setMaximumBlockCount(kMaxLines);
    lines_->setLineWrapMode(QPlainTextEdit::NoWrap);
    linesLayout->addWidget(lines_);

    auto* splitter = new QSplitter(Qt::Vertical);
    splitter->addWidget(serversBox);
    splitter->addWidget(linesBox);
    splitter->setChildrenCollapsible(false);
    layout->addWidget(splitter, 1);
    setCentralWidget(central);
    resize(860, 600);
}

void MainWindow::buildMenus() {
    auto* file = menuBar()->addMenu(tr("&File"));
    file->addAction(tr("&Query now"), this, [this] { queryNow(); });
    file->addAction(tr("&Settings..."), this, [this] { openSettings(); });
    file->addSeparator();
    file->addAction(tr("E&xit"), this, [this] { exitProgram(); });

    serverMenu_ = menuBar()->addMenu(tr("&Servers"));
    serverMenu_->setObjectName("serverMenu");
    serverMenu_->addAction(tr("&Query now"), this, [this] { queryNow(); });
    serverMenu_->addSeparator();
    serverMenu_->addAction(tr("&Add..."), this,
                           [this] { withHold([this] { model_->addServer(); }); });
    serverMenu_->addAction(tr("&Edit..."), this,
                           [this] { withHold([this] { model_->editServer(selectedRow()); }); });
    serverMenu_->addAction(tr("&Delete all"), this,
                           [this] { withHold([this] { model_->deleteAll(); }); });
    serverMenu_->addAction(tr("&Restore defaults"), this,
                           [this] { withHold([this] { model_->restoreDefaults(); }); });
    serverMenu_->addSeparator();
    serverMenu_->addAction(tr("&Import..."), this,
                           [this] { withHold([this] { model_->importList(); }); });
    serverMenu_->addAction(tr("E&xport..."), this,
                           [this] { withHold([this] { model_->exportList(); }); });

    auto* help = menuBar()->addMenu(tr("&Help"));
    help->addAction(tr("&Information"), this,
                    [this] { openSettings(SettingsDialog::kInformationPage); });
}

void MainWindow::buildTray() {
    trayMenu_ = new QMenu(this);
    trayMenu_->setObjectName("trayMenu");
    QAction* show = trayMenu_->addAction(tr("&Show Kronel"), this, [this] {
        showNormal();
        raise();
        activateWindow();
    });
    trayMenu_->setDefaultAction(show);
    trayMenu_->addAction(tr("&Query now"), this, [this] { queryNow(); });
    trayMenu_->addSeparator();
    trayMenu_->addAction(tr("E&xit"), this, [this] { exitProgram(); });

    // Without a notification area (headless, some desktops) the window is the only way in.
    if (readFlag("Hidden") || !QSystemTrayIcon::isSystemTrayAvailable()) {
        return;
    }
    tray_ = new QSystemTrayIcon(style()->standardIcon(QStyle::SP_ComputerIcon), this);
    tray_->setContextMenu(trayMenu_);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r == QSystemTrayIcon::Trigger || r == QSystemTrayIcon::DoubleClick) {
            showNormal();
            raise();
            activateWindow();
        }
    });
    tray_->show();
}

void MainWindow::start() {
    engine_->loadSettings();
    engine_->info(engine::CHandler::kName, "%s", platform::processClock().description().c_str());
    if (readFlag("StartMinimized")) {
        if (tray_ == nullptr) {
            showMinimized();
        }
    } else {
        show();
    }
    startEngine();
}

void MainWindow::startEngine() {
    alertBoxes_->setCancelled(false);
    engine_->startUp();
    showAsking();
    loop_.configure(engine_->switchDelayMs(), engine_->frequencyMinutes());
    postRefresh();
}

void MainWindow::stopEngine() {
    loop_.reset();
    // An alert waiting for its box would hold the watchdog's stop.
    alertBoxes_->setCancelled(true);
    engine_->shutdown();
}

bool MainWindow::holdOpen() const {
    return options_.holdOpen || dialogsOpen_.load() > 0;
}

void MainWindow::withHold(const std::function<void()>& operation) {
    ++dialogsOpen_;
    operation();
    --dialogsOpen_;
    refreshList();
}

int MainWindow::selectedRow() const {
    QTreeWidgetItem* item = list_->currentItem();
    return item && item->isSelected() ? list_->indexOfTopLevelItem(item) : -1;
}

void MainWindow::queryNow() {
    const int row = selectedRow();
    const auto& rows = model_->rows();
    if (row >= 0 && row < static_cast<int>(rows.size())) {
        query(rows[static_cast<size_t>(row)]);
    } else if (!rows.empty()) {
        query(rows.front());
    }
}

void MainWindow::query(const std::string& name) {
    // A fresh query: whatever the loop was waiting for is superseded.
    loop_.reset();
    engine_->queryServer(name);
    showAsking();
}

void MainWindow::openSettings(const QString& page) {
    ++dialogsOpen_;
    SettingsDialog dialog(engine_->root(), engine_->parametersKey(), this);
    if (!page.isEmpty()) {
        dialog.showPage(page);
    }
    const bool confirmed = dialog.exec() == QDialog::Accepted;
    --dialogsOpen_;
    if (confirmed) {
        applySettings(dialog.changedSettings());
    }
}

void MainWindow::applySettings(const std::vector<std::string>& changedSettings) {
    desktop::SettingsTarget target;
    target.stopEngine = [this] { stopEngine(); };
    target.reloadSettings = [this] { engine_->reloadSettings(); };
    target.startEngine = [this] { startEngine(); };
    target.restartWatchdog = [this] {
        alertBoxes_->setCancelled(true);
        engine_->restartWatchdog();
        alertBoxes_->setCancelled(false);
    };
    target.applyWindow = [this] {
        const bool wantTray = !readFlag("Hidden");
        if (wantTray && tray_ == nullptr) {
            buildTray();
        } else if (!wantTray && tray_ != nullptr) {
            tray_->hide();
            tray_->deleteLater();
            tray_ = nullptr;
        }
    };
    desktop::applySettings(changedSettings, target);
    refreshStatus();
}

void MainWindow::loopRequested(int which) {
    QCoreApplication::postEvent(this, new LoopEvent(which));
}

void MainWindow::requestClose() {
    QMetaObject::invokeMethod(
        this, [this] { exitProgram(); }, Qt::QueuedConnection);
}

void MainWindow::exitProgram() {
    quitting_ = true;
    close();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // With an icon in the notification area, closing the window only hides it.
    if (!quitting_ && tray_ != nullptr && tray_->isVisible()) {
        hide();
        event->ignore();
        return;
    }
    stopEngine();
    event->accept();
    QCoreApplication::quit();
}

bool MainWindow::event(QEvent* event) {
    if (event->type() == kLoopMessage) {
        if (engine_->running()) {
            loop_.setFrequency(engine_->frequencyMinutes());
            loop_.posted(static_cast<LoopEvent*>(event)->which());
        }
        return true;
    }
    return QMainWindow::event(event);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    // Double click on the empty part of the list, or Enter with no server selected, adds one.
    if (watched == list_->viewport() && event->type() == QEvent::MouseButtonDblClick &&
        list_->itemAt(static_cast<QMouseEvent*>(event)->position().toPoint()) == nullptr) {
        withHold([this] { model_->open(-1); });
        return true;
    }
    if (watched == list_ && event->type() == QEvent::KeyPress && selectedRow() < 0) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            withHold([this] { model_->open(-1); });
            return true;
        }
    }
    switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::MouseButtonPress:
        case QEvent::MouseMove:
            shift_.store(
                static_cast<QInputEvent*>(event)->modifiers().testFlag(Qt::ShiftModifier) ||
                (event->type() == QEvent::KeyPress &&
                 static_cast<QKeyEvent*>(event)->key() == Qt::Key_Shift));
            break;
        default:
            break;
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::startTimer(long long ms) {
    loopTimer_->start(static_cast<int>(std::min<long long>(ms, INT_MAX)));
}

void MainWindow::stopTimer() {
    loopTimer_->stop();
}

void MainWindow::startSource(int selector) {
    engine_->startSource(selector);
    showAsking();
}

void MainWindow::showAsking() {
    const std::string source = engine_->currentSource();
    statusText_->setText(engine_->currentIndex() == engine::ServerList::kNone || source.empty()
                             ? tr("Idle")
                             : tr("Asking %1").arg(fromEngine(source)));
}

void MainWindow::corrected(const engine::CorrectionResult& result) {
    if (result.endsOneShot() && !shift_.load() && !holdOpen()) {
        requestClose();
    }
    // Until the client's own first "Waiting for" line, a minute from now.
    const QString waiting =
        fromEngine(engine::CTimeClient::waitingText(engine_->frequencyMinutes()));
    QMetaObject::invokeMethod(
        this, [this, waiting] { statusText_->setText(waiting); }, Qt::QueuedConnection);
    postRefresh();
}

void MainWindow::stateChanged() {
    postRefresh();
}

void MainWindow::statusChanged(const engine::StatusSnapshot& status) {
    status_.update(status);
    postRefresh();
}

void MainWindow::postRefresh() {
    // One refresh per burst of results.
    if (refreshPosted_.exchange(true)) {
        return;
    }
    QMetaObject::invokeMethod(
        this,
        [this] {
            refreshPosted_.store(false);
            refreshStatus();
            refreshList();
        },
        Qt::QueuedConnection);
}

void MainWindow::statusTextChanged(const std::string& source, const std::string& text) {
    const QString shown = fromEngine(source + ": " + text).trimmed();
    QMetaObject::invokeMethod(
        this, [this, shown] { statusText_->setText(shown); }, Qt::QueuedConnection);
}

void MainWindow::lineLogged(const std::string& line) {
    const std::string stamp =
        core::displayTimeText(core::calendarFromUnix(platform::processClock().now()));
    const QString shown = fromEngine(stamp + " " + line);
    QMetaObject::invokeMethod(
        this, [this, shown] { appendLine(shown); }, Qt::QueuedConnection);
}

void MainWindow::serverActive(const std::string& server, int kind) {
    (void)server;
    serving_.note(kind, platform::processClock().now());
    QMetaObject::invokeMethod(
        this, [this] { showServing(); }, Qt::QueuedConnection);
}

void MainWindow::showServing() {
    const QString text = fromEngine(serving_.text());
    servingText_->setText(text);
    servingText_->setVisible(!text.isEmpty());
}

void MainWindow::appendLine(const QString& line) {
    lines_->appendPlainText(line);
}

void MainWindow::refreshStatus() {
    const desktop::StatusValues values = status_.values();
    const auto rows = values.rows();
    for (size_t i = 0; i < rows.size(); ++i) {
        statusValues_[i]->setText(fromEngine(rows[i].second));
    }
    const bool tips = readFlag("Tips");
    if (tray_ != nullptr) {
        tray_->setToolTip(tips ? fromEngine(values.tooltip()) : QString("Kronel"));
    }
    for (QPushButton* b : findChildren<QPushButton*>()) {
        b->setToolTip(tips ? b->property("tip").toString() : QString());
    }
}

void MainWindow::refreshList() {
    model_->reload();
    const std::string selected =
        selectedRow() >= 0 ? toEngine(list_->currentItem()->text(0)) : std::string();
    const bool sntpFix = readFlag("SNTPFix");
    const auto table = app::makeProtocolTable();
    list_->clear();
    for (const std::string& name : model_->rows()) {
        const desktop::ServerRecord r = model_->record(name);
        std::string protocol = table->displayName(r.protocol, sntpFix);
        if (protocol.empty()) {
            protocol = "Protocol " + std::to_string(r.protocol);
        }
        auto* item = new QTreeWidgetItem(
            {fromEngine(r.name), fromEngine(r.addr), fromEngine(protocol), fromEngine(r.info)});
        list_->addTopLevelItem(item);
        if (r.name == selected) {
            list_->setCurrentItem(item);
        }
    }
    for (int c = 0; c < 3; ++c) {
        list_->resizeColumnToContents(c);
    }
}

}  // namespace kronelqt
