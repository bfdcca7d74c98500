#include "desktop/win32/MainDialog.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>

#include <algorithm>
#include <vector>

#include "alerts/WatchdogFactory.h"
#include "app/ProtocolTable.h"
#include "desktop/ApplySettings.h"
#include "desktop/SettingsModel.h"
#include "desktop/StatusModel.h"
#include "desktop/win32/PropertyPages.h"
#include "desktop/win32/resource.h"
#include "engine/CReg.h"
#include "engine/ServerList.h"

namespace kronelwin {

namespace {

// The engine loop's one wait, switch or top.
constexpr UINT_PTR kLoopTimer = 1;
// The message list keeps this many lines; older ones scroll away.
constexpr int kMessageLines = 500;

// The file dialogs' filter: the pattern is its own description.
std::vector<char> filterOf(const std::string& filter) {
    std::vector<char> text(filter.begin(), filter.end());
    text.push_back('\0');
    text.insert(text.end(), filter.begin(), filter.end());
    text.push_back('\0');
    text.push_back('\0');
    return text;
}

std::optional<std::string> chooseFile(HWND owner, bool save, const std::string& title,
                                      const std::string& initialName, const std::string& filter) {
    std::vector<char> path(4095, '\0');
    initialName.copy(path.data(), path.size() - 1);
    std::vector<char> filterText = filterOf(filter);
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = filterText.data();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = path.data();
    ofn.nMaxFile = static_cast<DWORD>(path.size());
    ofn.lpstrTitle = title.c_str();
    if (save) {
        ofn.Flags = OFN_OVERWRITEPROMPT | OFN_CREATEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY |
                    OFN_NOCHANGEDIR;
        if (!GetSaveFileNameA(&ofn)) {
            return std::nullopt;
        }
    } else {
        ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
        if (!GetOpenFileNameA(&ofn)) {
            return std::nullopt;
        }
    }
    return std::string(path.data());
}

// Counts a modal dialog for as long as it is open.
class DialogOpen {
public:
    explicit DialogOpen(std::atomic<int>& count) : count_(count) { ++count_; }
    ~DialogOpen() { --count_; }
    DialogOpen(const DialogOpen&) = delete;
    DialogOpen& operator=(const DialogOpen&) = delete;

private:
    std::atomic<int>& count_;
};

}  // namespace

MainDialog::MainDialog(HINSTANCE instance, Options options)
    : instance_(instance), options_(options), protocolNames_(app::makeProtocolTable()) {}

MainDialog::~MainDialog() {
    // The clients report to this dialog's handlers until they are stopped.
    if (engine_) {
        stopEngine();
    }
    list_.reset();
    engine_.reset();
    removeTrayIcon();
    if (icon_) {
        DestroyIcon(icon_);
    }
    if (smallIcon_) {
        DestroyIcon(smallIcon_);
    }
}

int MainDialog::run() {
    if (!CreateDialogParamA(instance_, MAKEINTRESOURCEA(IDD_MAIN), nullptr, dialogProc,
                            reinterpret_cast<LPARAM>(this))) {
        return 1;
    }
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageA(hwnd_, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return static_cast<int>(msg.wParam);
}

INT_PTR CALLBACK MainDialog::dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<MainDialog*>(lParam);
        SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
        self->hwnd_ = hwnd;
        self->initialise();
        return TRUE;
    }
    auto* self = reinterpret_cast<MainDialog*>(GetWindowLongPtrA(hwnd, DWLP_USER));
    return self ? self->handle(message, wParam, lParam) : FALSE;
}

void MainDialog::initialise() {
    servers_ = GetDlgItem(hwnd_, IDC_SERVERS);
    messages_ = GetDlgItem(hwnd_, IDC_MESSAGES);
    icon_ =
        static_cast<HICON>(LoadImageA(instance_, MAKEINTRESOURCEA(IDI_KRONEL), IMAGE_ICON,
                                      GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    smallIcon_ = static_cast<HICON>(LoadImageA(instance_, MAKEINTRESOURCEA(IDI_KRONEL), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), 0));
    SendMessageA(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageA(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));

    ListView_SetExtendedListViewStyle(servers_, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
    // Columns share the control's width, whatever the font made of it.
    RECT client;
    GetClientRect(servers_, &client);
    const int width = client.right - client.left - GetSystemMetrics(SM_CXVSCROLL);
    LVCOLUMNA column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    column.pszText = const_cast<char*>("Server");
    column.cx = width * 11 / 20;
    column.iSubItem = 0;
    ListView_InsertColumn(servers_, 0, &column);
    column.pszText = const_cast<char*>("Last result");
    column.cx = width - width * 11 / 20;
    column.iSubItem = 1;
    ListView_InsertColumn(servers_, 1, &column);

    engine_ = std::make_unique<engine::CHandler>(
        *this, app::makeProtocolTable(),
        alerts::makeWatchdogFactory(alerts::AlertBoxKind::Desktop));
    list_ = std::make_unique<desktop::ServerListModel>(engine_->root(), engine_->parametersKey(),
                                                       *this, *engine_);
    engine_->loadSettings();
    engine_->info(engine::CHandler::kName, "%s", platform::processClock().description().c_str());
    fillServers();
    refreshStatus();
    taskbarCreated_ = RegisterWindowMessageA("TaskbarCreated");
    addTrayIcon();

    const desktop::SettingsModel settings(engine_->root(), engine_->parametersKey());
    const bool hidden = settings.value("Hidden") == "1";
    if (!hidden) {
        ShowWindow(hwnd_, options_.minimized || settings.value("StartMinimized") == "1"
                              ? SW_SHOWMINNOACTIVE
                              : SW_SHOW);
    }
    startEngine();
}

void MainDialog::startEngine() {
    engine_->startUp();
    loop_.configure(engine_->switchDelayMs(), engine_->frequencyMinutes());
}

void MainDialog::stopEngine() {
    loop_.reset();
    engine_->shutdown();
}

INT_PTR MainDialog::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            command(LOWORD(wParam));
            return TRUE;
        case WM_NOTIFY:
            notify(*reinterpret_cast<const NMHDR*>(lParam));
            return TRUE;
        case WM_CONTEXTMENU:
            if (reinterpret_cast<HWND>(wParam) == servers_) {
                listMenu(static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam)));
                return TRUE;
            }
            return FALSE;
        case WM_CLOSE:
            hideWindow();
            return TRUE;
        case WM_TIMER:
            if (wParam == kLoopTimer) {
                KillTimer(hwnd_, kLoopTimer);
                loop_.timerFired();
            }
            return TRUE;
        case kLinesMessage:
            drainLines();
            return TRUE;
        case kStatusMessage:
            refreshStatus();
            return TRUE;
        case kCloseMessage:
            quit();
            return TRUE;
        case kServingMessage:
            SetDlgItemTextA(hwnd_, IDC_SERVING, serving_.text().c_str());
            return TRUE;
        case kTrayMessage:
            if (lParam == WM_RBUTTONUP || lParam == WM_CONTEXTMENU) {
                trayMenu();
            } else if (lParam == WM_LBUTTONDBLCLK) {
                showWindow();
            }
            return TRUE;
        case kLoopMessage:
            if (engine_->running() && (wParam == engine::EngineObserver::kSwitch ||
                                       wParam == engine::EngineObserver::kTop)) {
                loop_.setFrequency(engine_->frequencyMinutes());
                loop_.posted(static_cast<int>(wParam));
            }
            return TRUE;
        case WM_DESTROY:
            PostQuitMessage(0);
            return TRUE;
        default:
            if (taskbarCreated_ != 0 && message == taskbarCreated_) {
                trayAdded_ = false;
                addTrayIcon();
                return TRUE;
            }
            return FALSE;
    }
}

void MainDialog::command(int id) {
    switch (id) {
        case IDOK:
        case IDC_QUERY:
            // Enter on the list opens the selected server; elsewhere it queries from the top.
            if (GetFocus() == servers_) {
                list_->open(selectedRow());
            } else if (!list_->rows().empty()) {
                startQuery(list_->rows().front());
            }
            break;
        case IDC_ADD:
            list_->addServer();
            fillServers();
            break;
        case IDC_EDIT:
            if (selectedRow() >= 0) {
                list_->editServer(selectedRow());
                fillServers();
            }
            break;
        case IDC_DELETEALL:
            if (list_->deleteAll()) {
                list_->renumber();
            }
            fillServers();
            break;
        case IDC_RESTORE:
            list_->restoreDefaults();
            fillServers();
            break;
        case IDC_EXPORT:
            list_->exportList();
            break;
        case IDC_IMPORT:
            list_->importList();
            fillServers();
            break;
        case IDC_SETTINGS:
            openSettings();
            break;
        case IDC_SHOW:
            showWindow();
            break;
        case IDCANCEL:
            hideWindow();
            break;
        case IDC_EXIT:
            quit();
            break;
        default:
            break;
    }
}

void MainDialog::notify(const NMHDR& header) {
    if (header.hwndFrom != servers_) {
        return;
    }
    if (header.code == NM_DBLCLK || header.code == NM_RETURN) {
        list_->open(selectedRow());
        fillServers();
    }
}

int MainDialog::selectedRow() const {
    return ListView_GetNextItem(servers_, -1, LVNI_SELECTED);
}

void MainDialog::fillServers() {
    list_->reload();
    const int selected = selectedRow();
    SendMessageA(servers_, WM_SETREDRAW, FALSE, 0);
    ListView_DeleteAllItems(servers_);
    int index = 0;
    for (const std::string& name : list_->rows()) {
        const desktop::ServerRecord record = list_->record(name);
        LVITEMA item{};
        item.mask = LVIF_TEXT;
        item.iItem = index;
        item.pszText = const_cast<char*>(name.c_str());
        ListView_InsertItem(servers_, &item);
        ListView_SetItemText(servers_, index, 1, const_cast<char*>(record.info.c_str()));
        ++index;
    }
    if (selected >= 0 && selected < index) {
        ListView_SetItemState(servers_, selected, LVIS_SELECTED | LVIS_FOCUSED,
                              LVIS_SELECTED | LVIS_FOCUSED);
    }
    SendMessageA(servers_, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(servers_, nullptr, TRUE);
}

void MainDialog::refreshStatus() {
    const desktop::StatusValues status = status_.values();
    SetDlgItemTextA(hwnd_, IDC_LASTDELTA, status.lastDelta.c_str());
    SetDlgItemTextA(hwnd_, IDC_LASTCONTACT, status.lastContact.c_str());
    SetDlgItemTextA(hwnd_, IDC_TIMESOURCE, status.timeSource.c_str());
    SetDlgItemTextA(hwnd_, IDC_DRIFT, status.drift.c_str());
    // The servers' `info` changes with every result.
    if (list_ && !list_->editing()) {
        int index = 0;
        for (const std::string& name : list_->rows()) {
            const std::string info = list_->record(name).info;
            ListView_SetItemText(servers_, index, 1, const_cast<char*>(info.c_str()));
            ++index;
        }
    }
    updateTrayTip(status);
}

void MainDialog::drainLines() {
    std::deque<std::string> lines;
    std::string statusText;
    bool statusChanged = false;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        lines.swap(lines_);
        statusText = statusText_;
        statusChanged = statusTextChanged_;
        statusTextChanged_ = false;
        linesPosted_ = false;
    }
    if (statusChanged) {
        SetDlgItemTextA(hwnd_, IDC_STATUSTEXT, statusText.c_str());
    }
    if (lines.empty()) {
        return;
    }
    SendMessageA(messages_, WM_SETREDRAW, FALSE, 0);
    for (const std::string& line : lines) {
        SendMessageA(messages_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
    }
    int count = static_cast<int>(SendMessageA(messages_, LB_GETCOUNT, 0, 0));
    while (count > kMessageLines) {
        SendMessageA(messages_, LB_DELETESTRING, 0, 0);
        --count;
    }
    SendMessageA(messages_, LB_SETTOPINDEX, static_cast<WPARAM>(count - 1), 0);
    SendMessageA(messages_, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(messages_, nullptr, TRUE);
}

void MainDialog::loopRequested(int which) {
    PostMessageA(hwnd_, kLoopMessage, static_cast<WPARAM>(which), 0);
}

void MainDialog::startTimer(long long ms) {
    SetTimer(hwnd_, kLoopTimer,
             static_cast<UINT>(std::clamp<long long>(ms, USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM)),
             nullptr);
}

void MainDialog::stopTimer() {
    KillTimer(hwnd_, kLoopTimer);
}

void MainDialog::startSource(int selector) {
    engine_->startSource(selector);
}

void MainDialog::corrected(const engine::CorrectionResult& result) {
    if (result.endsOneShot() && !shiftHeld() && !holdOpen()) {
        PostMessageA(hwnd_, kCloseMessage, 0, 0);
    }
    postStatus();
}

void MainDialog::stateChanged() {
    postStatus();
}

void MainDialog::statusTextChanged(const std::string& source, const std::string& text) {
    (void)source;
    showStatusText(text);
}

void MainDialog::lineLogged(const std::string& line) {
    showLine(line);
}

void MainDialog::showLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(queueMutex_);
    lines_.push_back(line);
    if (!linesPosted_) {
        linesPosted_ = PostMessageA(hwnd_, kLinesMessage, 0, 0) != FALSE;
    }
}

void MainDialog::showStatusText(const std::string& text) {
    std::lock_guard<std::mutex> lock(queueMutex_);
    statusText_ = text;
    statusTextChanged_ = true;
    if (!linesPosted_) {
        linesPosted_ = PostMessageA(hwnd_, kLinesMessage, 0, 0) != FALSE;
    }
}

void MainDialog::statusChanged(const engine::StatusSnapshot& status) {
    status_.update(status);
    postStatus();
}

void MainDialog::postStatus() {
    PostMessageA(hwnd_, kStatusMessage, 0, 0);
}

void MainDialog::serverActive(const std::string& server, int kind) {
    (void)server;
    serving_.note(kind, platform::processClock().now());
    PostMessageA(hwnd_, kServingMessage, 0, 0);
}

bool MainDialog::shiftHeld() const {
    return (GetAsyncKeyState(VK_SHIFT) & 0x8000) != 0;
}

bool MainDialog::holdOpen() const {
    return options_.holdOpen || dialogsOpen_.load() > 0;
}

bool MainDialog::askYesNo(const std::string& text, const std::string& caption) {
    const DialogOpen open(dialogsOpen_);
    return MessageBoxA(hwnd_, text.c_str(), caption.c_str(), MB_YESNO | MB_ICONEXCLAMATION) ==
           IDYES;
}

std::optional<std::string> MainDialog::chooseExportFile(const std::string& title,
                                                        const std::string& initialName,
                                                        const std::string& filter) {
    const DialogOpen open(dialogsOpen_);
    return chooseFile(hwnd_, true, title, initialName, filter);
}

std::optional<std::string> MainDialog::chooseImportFile(const std::string& title,
                                                        const std::string& initialName,
                                                        const std::string& filter) {
    const DialogOpen open(dialogsOpen_);
    return chooseFile(hwnd_, false, title, initialName, filter);
}

std::optional<desktop::ServerRecord> MainDialog::editServer(const desktop::ServerRecord& record) {
    const DialogOpen open(dialogsOpen_);
    return showServerPage(hwnd_, instance_, record, *protocolNames_);
}

void MainDialog::startQuery(const std::string& name) {
    // A fresh query: whatever the loop was waiting for is superseded.
    loop_.reset();
    engine_->queryServer(name);
}

void MainDialog::openSettings() {
    std::vector<std::string> changed;
    {
        const DialogOpen open(dialogsOpen_);
        changed = showSettingsSheet(hwnd_, instance_);
    }
    desktop::SettingsTarget target;
    target.stopEngine = [this] { stopEngine(); };
    target.reloadSettings = [this] { engine_->reloadSettings(); };
    target.startEngine = [this] { startEngine(); };
    target.restartWatchdog = [this] { engine_->restartWatchdog(); };
    desktop::applySettings(changed, target);
    if (!changed.empty()) {
        fillServers();
        refreshStatus();
    }
}

void MainDialog::showWindow() {
    ShowWindow(hwnd_, SW_RESTORE);
    ShowWindow(hwnd_, SW_SHOW);
    SetForegroundWindow(hwnd_);
}

void MainDialog::hideWindow() {
    // Without a tray icon a hidden window could not be found again.
    if (trayAdded_) {
        ShowWindow(hwnd_, SW_HIDE);
    } else {
        ShowWindow(hwnd_, SW_MINIMIZE);
    }
}

void MainDialog::addTrayIcon() {
    NOTIFYICONDATAA data{};
    data.cbSize = sizeof(data);
    data.hWnd = hwnd_;
    data.uID = kTrayIconId;
    data.uFlags = NIF_ICON | NIF_MESSAGE | NIF_TIP;
    data.uCallbackMessage = kTrayMessage;
    data.hIcon = smallIcon_;
    lstrcpynA(data.szTip, "Kronel", sizeof(data.szTip));
    trayAdded_ = Shell_NotifyIconA(NIM_ADD, &data) != FALSE;
    updateTrayTip(status_.values());
}

void MainDialog::removeTrayIcon() {
    if (!trayAdded_) {
        return;
    }
    NOTIFYICONDATAA data{};
    data.cbSize = sizeof(data);
    data.hWnd = hwnd_;
    data.uID = kTrayIconId;
    Shell_NotifyIconA(NIM_DELETE, &data);
    trayAdded_ = false;
}

void MainDialog::updateTrayTip(const desktop::StatusValues& status) {
    if (!trayAdded_) {
        return;
    }
    const desktop::SettingsModel settings(engine_->root(), engine_->parametersKey());
    const std::string tip = settings.value("Tips") == "0" ? "Kronel" : status.tooltip();
    NOTIFYICONDATAA data{};
    data.cbSize = sizeof(data);
    data.hWnd = hwnd_;
    data.uID = kTrayIconId;
    data.uFlags = NIF_TIP;
    lstrcpynA(data.szTip, tip.c_str(), sizeof(data.szTip));
    Shell_NotifyIconA(NIM_MODIFY, &data);
}

void MainDialog::trayMenu() {
    HMENU menu = LoadMenuA(instance_, MAKEINTRESOURCEA(IDR_TRAY_MENU));
    if (!menu) {
        return;
    }
    HMENU popup = GetSubMenu(menu, 0);
    SetMenuDefaultItem(popup, IDC_SHOW, FALSE);
    POINT at;
    GetCursorPos(&at);
    // The menu closes when the user clicks elsewhere only if our window is in front.
    SetForegroundWindow(hwnd_);
    const int chosen = TrackPopupMenu(popup, TPM_RIGHTBUTTON | TPM_RETURNCMD | TPM_NONOTIFY, at.x,
                                      at.y, 0, hwnd_, nullptr);
    PostMessageA(hwnd_, WM_NULL, 0, 0);
    DestroyMenu(menu);
    if (chosen == IDC_QUERY) {
        // From the tray the query starts at the top, whatever has the focus in the window.
        if (!list_->rows().empty()) {
            startQuery(list_->rows().front());
        }
    } else if (chosen != 0) {
        command(chosen);
    }
}

void MainDialog::listMenu(int x, int y) {
    HMENU menu = LoadMenuA(instance_, MAKEINTRESOURCEA(IDR_LIST_MENU));
    if (!menu) {
        return;
    }
    HMENU popup = GetSubMenu(menu, 0);
    const int row = selectedRow();
    if (row < 0) {
        EnableMenuItem(popup, IDC_QUERY, MF_BYCOMMAND | MF_GRAYED);
        EnableMenuItem(popup, IDC_EDIT, MF_BYCOMMAND | MF_GRAYED);
    }
    if (x == -1 && y == -1) {
        // From the keyboard: under the selected row, or the list's corner.
        RECT rect{};
        if (row < 0 || !ListView_GetItemRect(servers_, row, &rect, LVIR_LABEL)) {
            GetClientRect(servers_, &rect);
        }
        POINT at{rect.left, rect.bottom};
        ClientToScreen(servers_, &at);
        x = at.x;
        y = at.y;
    }
    const int chosen = TrackPopupMenu(popup, TPM_RIGHTBUTTON | TPM_RETURNCMD | TPM_NONOTIFY, x, y,
                                      0, hwnd_, nullptr);
    DestroyMenu(menu);
    if (chosen == IDC_QUERY) {
        list_->open(row);
    } else if (chosen != 0) {
        command(chosen);
    }
}

void MainDialog::quit() {
    stopEngine();
    removeTrayIcon();
    DestroyWindow(hwnd_);
}

}  // namespace kronelwin
