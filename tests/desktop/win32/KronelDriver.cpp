// Drives a running kronel.exe through its real controls, as a user would, and checks what
// reaches the store, the list view and the status display. Each step prints "ok: ..." or
// "FAIL: ..." and a failure ends the run with exit code 1.
//   kronel_driver STEP [ARGUMENTS]
//   correction NAME LOW HIGH  the status display shows a correction in [LOW, HIGH] from NAME
//   tray                      the tray icon is registered and its menu opens
//   servers EXPORT_PATH       add, edit, open, export, delete all, restore, import
//   apply-settings            values set on two settings pages reach the store on OK
//   exit                      the Exit button ends the program
//   alert-exit                with the watchdog's alert box up, Exit still ends the program
// For screenshots, each printing the window's rectangle "X Y WIDTH HEIGHT":
//   main | settings PAGE | server | tray-menu | close TITLE
#include <windows.h>

#include <commctrl.h>
#include <prsht.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "desktop/ServerListModel.h"
#include "desktop/win32/MainDialog.h"
#include "desktop/win32/resource.h"

namespace {

constexpr const char* kDetails = "Software\\Kronel\\Server Details";
HWND mainWindow = nullptr;

[[noreturn]] void fail(const std::string& what) {
    std::printf("FAIL: %s\n", what.c_str());
    std::fflush(stdout);
    std::exit(1);
}

void ok(const std::string& what) {
    std::printf("ok: %s\n", what.c_str());
    std::fflush(stdout);
}

// Polls `done` every 50 ms for up to `seconds`.
bool waitFor(const std::function<bool()>& done, double seconds = 15) {
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000);
    while (GetTickCount64() < end) {
        if (done()) {
            return true;
        }
        Sleep(50);
    }
    return done();
}

std::string text(HWND hwnd) {
    char buffer[1024] = {};
    GetWindowTextA(hwnd, buffer, sizeof(buffer));
    return buffer;
}

// A top-level window of this title that belongs to kronel's process and is visible.
HWND findTopLevel(const std::string& title) {
    DWORD kronel = 0;
    GetWindowThreadProcessId(mainWindow, &kronel);
    struct Search {
        std::string title;
        DWORD process;
        HWND found;
    } search{title, kronel, nullptr};
    EnumWindows(
        [](HWND hwnd, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<Search*>(data);
            DWORD process = 0;
            GetWindowThreadProcessId(hwnd, &process);
            if (process == s->process && IsWindowVisible(hwnd) && text(hwnd) == s->title) {
                s->found = hwnd;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND waitForWindow(const std::string& title) {
    HWND found = nullptr;
    if (!waitFor([&] { return (found = findTopLevel(title)) != nullptr; })) {
        fail("no window \"" + title + "\" appeared");
    }
    return found;
}

void waitGone(HWND hwnd, const std::string& what) {
    if (!waitFor([&] { return !IsWindow(hwnd) || !IsWindowVisible(hwnd); })) {
        fail(what + " did not close");
    }
}

// Memory in kronel's process for the list view messages that carry a pointer.
class Remote {
public:
    explicit Remote(HWND window) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        process_ =
            OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, process);
        if (!process_) {
            fail("OpenProcess on kronel.exe");
        }
        memory_ = static_cast<char*>(
            VirtualAllocEx(process_, nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        if (!memory_) {
            fail("VirtualAllocEx in kronel.exe");
        }
    }
    ~Remote() {
        VirtualFreeEx(process_, memory_, 0, MEM_RELEASE);
        CloseHandle(process_);
    }
    std::string itemText(HWND list, int row, int column) {
        LVITEMA item{};
        item.iSubItem = column;
        item.pszText = memory_ + 512;
        item.cchTextMax = 512;
        write(item);
        SendMessageA(list, LVM_GETITEMTEXTA, static_cast<WPARAM>(row),
                     reinterpret_cast<LPARAM>(memory_));
        char buffer[512] = {};
        ReadProcessMemory(process_, memory_ + 512, buffer, sizeof(buffer) - 1, nullptr);
        return buffer;
    }
    void select(HWND list, int row) {
        LVITEMA item{};
        item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
        item.state = row >= 0 ? LVIS_SELECTED | LVIS_FOCUSED : 0;
        write(item);
        SendMessageA(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row),
                     reinterpret_cast<LPARAM>(memory_));
    }

private:
    void write(const LVITEMA& item) {
        WriteProcessMemory(process_, memory_, &item, sizeof(item), nullptr);
    }
    HANDLE process_ = nullptr;
    char* memory_ = nullptr;
};

HWND list() {
    return GetDlgItem(mainWindow, IDC_SERVERS);
}

int rowCount() {
    return static_cast<int>(SendMessageA(list(), LVM_GETITEMCOUNT, 0, 0));
}

std::vector<std::string> shownRows() {
    Remote remote(mainWindow);
    std::vector<std::string> rows;
    for (int i = 0; i < rowCount(); ++i) {
        rows.push_back(remote.itemText(list(), i, 0));
    }
    return rows;
}

std::string joined(const std::vector<std::string>& items) {
    std::string all;
    for (const std::string& item : items) {
        all += (all.empty() ? "" : ",") + item;
    }
    return all;
}

// The store's view of one server: "addr|protocol|order", or "" when there is no key.
std::string stored(const std::string& name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, (std::string(kDetails) + "\\" + name).c_str(), 0, KEY_READ,
                      &key) != ERROR_SUCCESS) {
        return "";
    }
    char addr[512] = {};
    DWORD size = sizeof(addr);
    RegQueryValueExA(key, "addr", nullptr, nullptr, reinterpret_cast<BYTE*>(addr), &size);
    DWORD protocol = 0;
    DWORD order = 99;
    size = sizeof(DWORD);
    RegQueryValueExA(key, "protocol", nullptr, nullptr, reinterpret_cast<BYTE*>(&protocol), &size);
    size = sizeof(DWORD);
    RegQueryValueExA(key, "order", nullptr, nullptr, reinterpret_cast<BYTE*>(&order), &size);
    RegCloseKey(key);
    return std::string(addr) + "|" + std::to_string(protocol) + "|" + std::to_string(order);
}

int storedCount() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kDetails, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return 0;
    }
    DWORD subkeys = 0;
    RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr);
    RegCloseKey(key);
    return static_cast<int>(subkeys);
}

void expect(bool condition, const std::string& what) {
    if (!condition) {
        fail(what);
    }
    ok(what);
}

void click(int id) {
    PostMessageA(mainWindow, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(mainWindow, id)));
}

// Fills the server page that a click opened and presses OK (or Cancel).
void answerServerPage(const std::string& name, const std::string& addr, int protocolIndex,
                      bool accept = true) {
    HWND sheet = waitForWindow("Time Server Properties");
    HWND page = reinterpret_cast<HWND>(SendMessageA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
    if (!page) {
        fail("the server sheet has no page");
    }
    if (accept) {
        SetWindowTextA(GetDlgItem(page, IDC_SERVER_NAME), name.c_str());
        SetWindowTextA(GetDlgItem(page, IDC_SERVER_ADDR), addr.c_str());
        SendMessageA(GetDlgItem(page, IDC_SERVER_PROTOCOL), CB_SETCURSEL,
                     static_cast<WPARAM>(protocolIndex), 0);
    }
    PostMessageA(sheet, PSM_PRESSBUTTON, accept ? PSBTN_OK : PSBTN_CANCEL, 0);
    waitGone(sheet, "the server sheet");
}

// Answers the question box of this caption with Yes or No.
void answerQuestion(const std::string& caption, bool yes) {
    HWND box = waitForWindow(caption);
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(yes ? IDYES : IDNO, BN_CLICKED), 0);
    waitGone(box, "\"" + caption + "\"");
}

// Types a path into the file dialog of this title and accepts it; a create or replace
// question from the dialog is answered Yes.
void answerFileDialog(const std::string& title, const std::string& path) {
    HWND dialog = waitForWindow(title);
    // The file name box: the first visible edit field (edt1, or the one of combo box cmb13).
    struct Search {
        HWND edit = nullptr;
        std::string seen;
    } search;
    EnumChildWindows(
        dialog,
        [](HWND child, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<Search*>(data);
            char name[64] = {};
            GetClassNameA(child, name, sizeof(name));
            s->seen += std::string(name) + "#" + std::to_string(GetDlgCtrlID(child)) + " ";
            if (_stricmp(name, "Edit") == 0 && IsWindowVisible(child)) {
                s->edit = child;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    HWND edit = search.edit;
    if (!edit) {
        fail("no file name box in \"" + title + "\": " + search.seen);
    }
    SetWindowTextA(edit, path.c_str());
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    if (!waitFor([&] {
            if (!IsWindow(dialog) || !IsWindowVisible(dialog)) {
                return true;
            }
            if (HWND question = findTopLevel(title); question && question != dialog) {
                PostMessageA(question, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED), 0);
            }
            return false;
        })) {
        fail("\"" + title + "\" did not close");
    }
}

void correction(const std::string& source, double low, double high) {
    std::string delta;
    const bool seen = waitFor(
        [&] {
            delta = text(GetDlgItem(mainWindow, IDC_LASTDELTA));
            const double value = std::atof(delta.c_str());
            return value >= low && value <= high &&
                   text(GetDlgItem(mainWindow, IDC_TIMESOURCE)) == source;
        },
        40);
    expect(seen, "the status display shows the correction \"" + delta + "\" from " + source);
    const std::string contact = text(GetDlgItem(mainWindow, IDC_LASTCONTACT));
    expect(contact != "Never" && !contact.empty(), "last contact \"" + contact + "\"");
    Remote remote(mainWindow);
    std::string info;
    // A time text such as "Tue Dec  8 16:57:19 2026".
    const bool shown = waitFor(
        [&] { return (info = remote.itemText(list(), 0, 1)).find(':') != std::string::npos; }, 5);
    expect(shown, "the list shows the server's last result \"" + info + "\"");
}

// The serving line: empty while no server has served, then the given beginning.
void serving(const std::string& beginning) {
    std::string shown;
    const bool seen = waitFor(
        [&] {
            shown = text(GetDlgItem(mainWindow, IDC_SERVING));
            return beginning.empty() ? shown.empty() : shown.rfind(beginning, 0) == 0;
        },
        beginning.empty() ? 0 : 10);
    expect(seen, "the serving line \"" + shown + "\"");
}

void tray() {
    NOTIFYICONDATAA data{};
    data.cbSize = sizeof(data);
    data.hWnd = mainWindow;
    data.uID = kronelwin::kTrayIconId;
    data.uFlags = NIF_MESSAGE;
    data.uCallbackMessage = kronelwin::kTrayMessage;
    // The shell modifies only an icon it holds.
    expect(Shell_NotifyIconA(NIM_MODIFY, &data) != FALSE, "the tray holds kronel's icon");
    PostMessageA(mainWindow, kronelwin::kTrayMessage, kronelwin::kTrayIconId, WM_RBUTTONUP);
    HWND menu = nullptr;
    expect(waitFor([&] {
               menu = FindWindowA("#32768", nullptr);
               return menu && IsWindowVisible(menu);
           }),
           "the tray icon's menu opens");
    PostMessageA(menu, WM_KEYDOWN, VK_ESCAPE, 0);
    waitGone(menu, "the tray menu");
}

void servers(const std::string& exportPath) {
    const std::vector<std::string> first = shownRows();
    expect(first.size() == 1 && storedCount() == 1, "one server at start: " + joined(first));
    const std::string base = first[0];

    click(IDC_ADD);
    answerServerPage("second", "127.0.0.2", 1);
    expect(rowCount() == 2 && stored("second") == "127.0.0.2|1|1",
           "Add: a second row, stored as " + stored("second"));

    click(IDC_ADD);
    answerServerPage("", "127.0.0.3", 0);
    expect(rowCount() == 3 && stored("127.0.0.3") == "127.0.0.3|0|2",
           "Add without a name: stored under its address");

    Remote(mainWindow).select(list(), 1);
    click(IDC_EDIT);
    answerServerPage("renamed", "127.0.0.4", 2);
    expect(stored("second").empty() && stored("renamed") == "127.0.0.4|2|1" &&
               joined(shownRows()) == base + ",renamed,127.0.0.3",
           "Edit: renamed in place, the old key deleted: " + joined(shownRows()));

    // A double click where no row is: the page of a new server, cancelled.
    Remote(mainWindow).select(list(), -1);
    RECT client;
    GetClientRect(list(), &client);
    PostMessageA(list(), WM_LBUTTONDBLCLK, MK_LBUTTON,
                 MAKELPARAM(client.right / 2, client.bottom - 4));
    answerServerPage("", "", 0, false);
    expect(rowCount() == 3 && storedCount() == 3, "double click on no row: add, cancelled");

    DeleteFileA(exportPath.c_str());
    click(IDC_EXPORT);
    answerFileDialog(desktop::kExportTitle, exportPath);
    std::string exported;
    waitFor([&] {
        std::ifstream in(exportPath, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        exported = all.str();
        return exported.size() > 40;
    });
    const std::string expected =
        base + "|" + stored(base).substr(0, stored(base).find('|')) +
        "|0|0|1\r\nrenamed|127.0.0.4|2|0|1\r\n127.0.0.3|127.0.0.3|0|0|1\r\n";
    expect(exported == expected, "Export writes the rows in order:\n" + exported);
    const std::string before = stored(base) + stored("renamed") + stored("127.0.0.3");

    click(IDC_DELETEALL);
    answerQuestion(desktop::kDeleteAllCaption, false);
    expect(rowCount() == 3 && storedCount() == 3, "Delete All answered No keeps every server");
    click(IDC_DELETEALL);
    answerQuestion(desktop::kDeleteAllCaption, true);
    expect(waitFor([] { return rowCount() == 0; }, 5) && storedCount() == 0,
           "Delete All answered Yes empties the list and the store");

    click(IDC_RESTORE);
    answerQuestion(desktop::kDeleteAllCaption, true);
    expect(waitFor([] { return rowCount() == 3; }, 5) &&
               stored("0.pool.ntp.org") == "0.pool.ntp.org|0|0",
           "Restore Defaults: " + joined(shownRows()));

    click(IDC_IMPORT);
    answerFileDialog(desktop::kImportTitle, exportPath);
    answerQuestion(desktop::kDeleteAllCaption, true);
    expect(waitFor([] { return rowCount() == 3; }, 5) && storedCount() == 3 &&
               stored(base) + stored("renamed") + stored("127.0.0.3") == before,
           "Import brings back the exported list: " + joined(shownRows()));
}

DWORD storedNumber(const char* name) {
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegGetValueA(HKEY_CURRENT_USER, "Software\\Kronel", name, RRF_RT_REG_DWORD, nullptr, &value,
                     &size) != ERROR_SUCCESS) {
        return 0xFFFFFFFF;
    }
    return value;
}

// The first child of this class on the sheet's page `page`.
HWND pageControl(HWND sheet, int page, const char* className) {
    SendMessageA(sheet, PSM_SETCURSEL, static_cast<WPARAM>(page), 0);
    HWND shown = reinterpret_cast<HWND>(SendMessageA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
    HWND control = shown ? FindWindowExA(shown, nullptr, className, nullptr) : nullptr;
    if (!control) {
        fail(std::string("no ") + className + " on settings page " + std::to_string(page));
    }
    return control;
}

// The settings sheet: a polling interval and an alert time-out set through their controls
// reach the store on OK.
void applySettings() {
    click(IDC_SETTINGS);
    HWND sheet = waitForWindow("Kronel Settings");
    SetWindowTextA(pageControl(sheet, 1, "Edit"), "3");
    SendMessageA(pageControl(sheet, 6, TRACKBAR_CLASSA), TBM_SETPOS, TRUE, 2);
    PostMessageA(sheet, PSM_PRESSBUTTON, PSBTN_OK, 0);
    waitGone(sheet, "the settings sheet");
    // The sheet hides before PropertySheetA returns and the values are written.
    waitFor([] { return storedNumber("Frequency") == 3 && storedNumber("AlertTimeout") == 60; });
    expect(storedNumber("Frequency") == 3 && storedNumber("AlertTimeout") == 60,
           "Settings OK stores Frequency " + std::to_string(storedNumber("Frequency")) +
               " and AlertTimeout " + std::to_string(storedNumber("AlertTimeout")));
}

void printRect(HWND hwnd) {
    RECT rect;
    GetWindowRect(hwnd, &rect);
    std::printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left,
                rect.bottom - rect.top);
}

// Opens (or keeps) the settings sheet at a page.
void settingsPage(int page) {
    HWND sheet = findTopLevel("Kronel Settings");
    if (!sheet) {
        click(IDC_SETTINGS);
        sheet = waitForWindow("Kronel Settings");
    }
    SendMessageA(sheet, PSM_SETCURSEL, static_cast<WPARAM>(page), 0);
    HWND tabs = reinterpret_cast<HWND>(SendMessageA(sheet, PSM_GETTABCONTROL, 0, 0));
    if (page >= static_cast<int>(SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0))) {
        fail("no page " + std::to_string(page));
    }
    Sleep(300);
    printRect(sheet);
}

void serverPage() {
    Remote(mainWindow).select(list(), 0);
    click(IDC_EDIT);
    Sleep(300);
    printRect(waitForWindow("Time Server Properties"));
}

void trayMenu() {
    PostMessageA(mainWindow, kronelwin::kTrayMessage, kronelwin::kTrayIconId, WM_RBUTTONUP);
    HWND menu = nullptr;
    if (!waitFor([&] {
            menu = FindWindowA("#32768", nullptr);
            return menu && IsWindowVisible(menu);
        })) {
        fail("no tray menu");
    }
    Sleep(300);
    printRect(menu);
}

void closeWindow(const std::string& title) {
    if (title == "menu") {
        HWND menu = FindWindowA("#32768", nullptr);
        PostMessageA(menu, WM_KEYDOWN, VK_ESCAPE, 0);
        waitGone(menu, "the menu");
        return;
    }
    HWND window = waitForWindow(title);
    PostMessageA(window, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    waitGone(window, title);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: kronel_driver STEP [ARGUMENTS]\n");
        return 2;
    }
    const std::string step = argv[1];
    if (!waitFor(
            [] {
                mainWindow = FindWindowA("#32770", "Kronel");
                return mainWindow != nullptr;
            },
            90)) {
        fail("no Kronel window");
    }
    if (step == "correction" && argc == 5) {
        correction(argv[2], std::atof(argv[3]), std::atof(argv[4]));
    } else if (step == "serving" && argc == 3) {
        serving(argv[2]);
    } else if (step == "tray") {
        tray();
    } else if (step == "servers" && argc == 3) {
        servers(argv[2]);
    } else if (step == "apply-settings") {
        applySettings();
    } else if (step == "main") {
        SetForegroundWindow(mainWindow);
        printRect(mainWindow);
    } else if (step == "settings" && argc == 3) {
        settingsPage(std::atoi(argv[2]));
    } else if (step == "server") {
        serverPage();
    } else if (step == "tray-menu") {
        trayMenu();
    } else if (step == "close" && argc == 3) {
        closeWindow(argv[2]);
    } else if (step == "exit" || step == "alert-exit") {
        // Nobody answers the alert box: the watchdog's stop has to take it down.
        HWND box = step == "alert-exit" ? waitForWindow("Alert") : nullptr;
        click(IDC_EXIT);
        DWORD process = 0;
        GetWindowThreadProcessId(mainWindow, &process);
        HANDLE handle = OpenProcess(SYNCHRONIZE, FALSE, process);
        expect(handle && WaitForSingleObject(handle, 15000) == WAIT_OBJECT_0,
               box ? "Exit with the alert box up ends kronel.exe" : "Exit ends kronel.exe");
        if (box) {
            expect(!IsWindow(box), "the alert box is gone");
        }
    } else {
        std::fprintf(stderr, "unknown step %s\n", step.c_str());
        return 2;
    }
    return 0;
}
