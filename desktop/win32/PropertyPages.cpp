#include "desktop/win32/PropertyPages.h"

#include <commctrl.h>
#include <prsht.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "alerts/AlertTimeouts.h"
#include "desktop/SettingsModel.h"
#include "desktop/SettingsPages.h"
#include "desktop/win32/resource.h"
#include "engine/CReg.h"
#include "engine/ProtocolCatalogue.h"
#include "platform/Registry.h"

namespace kronelwin {

namespace {

std::string windowText(HWND hwnd) {
    const int length = GetWindowTextLengthA(hwnd);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    GetWindowTextA(hwnd, text.data(), length + 1);
    text.resize(static_cast<size_t>(length));
    return text;
}

// A rectangle in dialog units, in the page's pixels.
RECT dialogRect(HWND page, int x, int y, int width, int height) {
    RECT rect{x, y, x + width, y + height};
    MapDialogRect(page, &rect);
    return rect;
}

HWND makeControl(HWND page, const char* className, const char* text, DWORD style, int id, int x,
                 int y, int width, int height, DWORD exStyle = 0) {
    const RECT rect = dialogRect(page, x, y, width, height);
    HWND control = CreateWindowExA(
        exStyle, className, text, WS_CHILD | WS_VISIBLE | style, rect.left, rect.top,
        rect.right - rect.left, rect.bottom - rect.top, page,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
        reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(page, GWLP_HINSTANCE)), nullptr);
    SendMessageA(control, WM_SETFONT, SendMessageA(page, WM_GETFONT, 0, 0), FALSE);
    return control;
}

// The label with an accelerator on its first letter that the page has not used yet.
std::string withAccelerator(const std::string& label, std::string& used) {
    for (size_t i = 0; i < label.size(); ++i) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(label[i])));
        if (std::isalnum(static_cast<unsigned char>(c)) && used.find(c) == std::string::npos) {
            used += c;
            return label.substr(0, i) + "&" + label.substr(i);
        }
    }
    return label;
}

// The lines `text` takes in a control `widthDlu` dialog units wide with the page's font (at
// most two): labels and units come from the shared pages, their length from the font.
int linesFor(HWND page, const char* text, int widthDlu) {
    const RECT rect = dialogRect(page, 0, 0, widthDlu, 8);
    HDC dc = GetDC(page);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(page, WM_GETFONT, 0, 0)));
    SIZE size{};
    GetTextExtentPoint32A(dc, text, lstrlenA(text), &size);
    SelectObject(dc, old);
    ReleaseDC(page, dc);
    return size.cx <= rect.right - rect.left ? 1 : 2;
}

// What the pages of one sheet share.
struct Sheet {
    desktop::SettingsModel model{platform::RegRoot::CurrentUser, engine::kUserParametersKey};
    bool applied = false;
};

// One settings page: a page of the shared settings pages, made into controls.
struct SettingsPage {
    Sheet* sheet = nullptr;
    const desktop::SettingsPage* page = nullptr;
    struct Field {
        const desktop::SettingDef* def;
        HWND control;
        HWND label;  // the slider's label, beside it
    };
    std::vector<Field> fields;
    int sliderInitial = -1;

    void create(HWND hwnd) {
        int y = 7;
        int id = IDC_SETTING_FIRST;
        const int descriptionLines = linesFor(hwnd, page->description, 236);
        makeControl(hwnd, WC_STATICA, page->description, SS_LEFT | SS_NOPREFIX, id++, 7, y, 236,
                    8 * descriptionLines);
        y += 8 * descriptionLines + 6;
        // OK and Cancel keep their letters.
        std::string used = "oc";
        for (const desktop::SettingField& shown : page->fields) {
            const desktop::SettingDef* def = desktop::findSetting(shown.name);
            if (def == nullptr) {
                continue;
            }
            const std::string value = sheet->model.value(def->name);
            Field field{def, nullptr, nullptr};
            const std::string label = withAccelerator(shown.label, used);
            if (def->kind == desktop::SettingKind::Flag) {
                const int lines = linesFor(hwnd, shown.label, 224);
                field.control = makeControl(hwnd, WC_BUTTONA, label.c_str(),
                                            BS_AUTOCHECKBOX | BS_MULTILINE | WS_TABSTOP | WS_GROUP,
                                            id++, 7, y, 236, 10 + 8 * (lines - 1));
                SendMessageA(field.control, BM_SETCHECK, value == "1" ? BST_CHECKED : BST_UNCHECKED,
                             0);
                y += 13 + 8 * (lines - 1);
            } else if (std::string(def->name) == desktop::kAlertTimeoutSetting) {
                makeControl(hwnd, WC_STATICA, label.c_str(), SS_LEFT, id++, 7, y + 3, 88, 8);
                field.control = makeControl(hwnd, TRACKBAR_CLASSA, "",
                                            TBS_AUTOTICKS | TBS_HORZ | WS_TABSTOP | WS_GROUP, id++,
                                            124, y, 123, 16);
                SendMessageA(field.control, TBM_SETRANGE, TRUE,
                             MAKELPARAM(0, alerts::kAlertTimeoutPositions - 1));
                sliderInitial = alerts::alertTimeoutPosition(
                    static_cast<uint32_t>(std::stoul(value.empty() ? "0" : value)));
                SendMessageA(field.control, TBM_SETPOS, TRUE, sliderInitial);
                field.label =
                    makeControl(hwnd, WC_STATICA, alerts::alertTimeoutLabel(sliderInitial),
                                SS_CENTER | SS_NOPREFIX, id++, 128, y + 17, 115, 8);
                y += 29;
            } else {
                const bool hasUnit = *shown.unit != '\0';
                const int labelLines = linesFor(hwnd, shown.label, 118);
                const int unitLines = hasUnit ? linesFor(hwnd, shown.unit, 72) : 1;
                makeControl(hwnd, WC_STATICA, label.c_str(), SS_LEFT, id++, 7, y + 2, 118,
                            8 * labelLines);
                DWORD style = ES_AUTOHSCROLL | WS_TABSTOP | WS_GROUP;
                if (def->kind == desktop::SettingKind::Number) {
                    style |= ES_NUMBER;
                }
                if (shown.secret) {
                    style |= ES_PASSWORD;
                }
                field.control = makeControl(hwnd, WC_EDITA, value.c_str(), style, id++, 128, y,
                                            hasUnit ? 40 : 115, 12, WS_EX_CLIENTEDGE);
                if (hasUnit) {
                    makeControl(hwnd, WC_STATICA, shown.unit, SS_LEFT | SS_NOPREFIX, id++, 171,
                                y + 2, 72, 8 * unitLines);
                }
                y += 15 + 8 * (std::max(labelLines, unitLines) - 1);
            }
            fields.push_back(field);
        }
    }

    void sliderMoved() {
        for (const Field& field : fields) {
            if (field.label) {
                const int position =
                    static_cast<int>(SendMessageA(field.control, TBM_GETPOS, 0, 0));
                SetWindowTextA(field.label, alerts::alertTimeoutLabel(position));
            }
        }
    }

    // Hands the page's values to the model; false (after saying why) when one is refused.
    bool store(HWND hwnd) {
        for (const Field& field : fields) {
            std::string text;
            if (field.def->kind == desktop::SettingKind::Flag) {
                text = SendMessageA(field.control, BM_GETCHECK, 0, 0) == BST_CHECKED ? "1" : "0";
            } else if (field.label) {
                // The slider shows the stored time-out rounded up to a choice: only a move is
                // a change.
                const int position =
                    static_cast<int>(SendMessageA(field.control, TBM_GETPOS, 0, 0));
                if (position == sliderInitial) {
                    continue;
                }
                text = std::to_string(alerts::alertTimeoutMinutes(position));
            } else {
                text = windowText(field.control);
            }
            const std::string error = sheet->model.set(field.def->name, text);
            if (!error.empty()) {
                MessageBoxA(hwnd, error.c_str(), page->title, MB_OK | MB_ICONEXCLAMATION);
                SetFocus(field.control);
                return false;
            }
        }
        return true;
    }
};

INT_PTR CALLBACK settingsPageProc(HWND page, UINT message, WPARAM, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        const auto* sheetPage = reinterpret_cast<const PROPSHEETPAGEA*>(lParam);
        auto* self = reinterpret_cast<SettingsPage*>(sheetPage->lParam);
        SetWindowLongPtrA(page, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
        self->create(page);
        return TRUE;
    }
    auto* self = reinterpret_cast<SettingsPage*>(GetWindowLongPtrA(page, DWLP_USER));
    if (!self) {
        return FALSE;
    }
    if (message == WM_HSCROLL) {
        self->sliderMoved();
        return TRUE;
    }
    if (message == WM_NOTIFY) {
        const auto* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->code == PSN_KILLACTIVE) {
            SetWindowLongPtrA(page, DWLP_MSGRESULT, self->store(page) ? FALSE : TRUE);
            return TRUE;
        }
        if (header->code == PSN_APPLY) {
            if (self->store(page)) {
                self->sheet->applied = true;
                SetWindowLongPtrA(page, DWLP_MSGRESULT, PSNRET_NOERROR);
            } else {
                SetWindowLongPtrA(page, DWLP_MSGRESULT, PSNRET_INVALID_NOCHANGEPAGE);
            }
            return TRUE;
        }
    }
    return FALSE;
}

INT_PTR CALLBACK informationPageProc(HWND page, UINT message, WPARAM, LPARAM) {
    if (message == WM_INITDIALOG) {
        SetDlgItemTextA(page, IDC_INFO_VERSION, KRONEL_VERSION_TEXT);
        const std::string store = platform::registryFile(platform::RegRoot::CurrentUser) + "\\" +
                                  engine::kUserParametersKey;
        SetDlgItemTextA(page, IDC_INFO_STORE, store.c_str());
        return TRUE;
    }
    return FALSE;
}

// The server page's state while it is open.
struct ServerPage {
    desktop::ServerRecord record;
    const engine::ProtocolFactory* protocols = nullptr;
    bool accepted = false;

    int chosenProtocol(HWND page) const {
        HWND combo = GetDlgItem(page, IDC_SERVER_PROTOCOL);
        const LRESULT index = SendMessageA(combo, CB_GETCURSEL, 0, 0);
        return index == CB_ERR ? 0
                               : static_cast<int>(SendMessageA(combo, CB_GETITEMDATA,
                                                               static_cast<WPARAM>(index), 0));
    }
    void enableFlags(HWND page) const {
        const int protocol = chosenProtocol(page);
        EnableWindow(GetDlgItem(page, IDC_SERVER_PROXY), engine::takesProxy(protocol));
        EnableWindow(GetDlgItem(page, IDC_SERVER_REJECTNTP), engine::takesRejectNtp(protocol));
    }
};

INT_PTR CALLBACK serverPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        const auto* sheetPage = reinterpret_cast<const PROPSHEETPAGEA*>(lParam);
        auto* self = reinterpret_cast<ServerPage*>(sheetPage->lParam);
        SetWindowLongPtrA(page, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
        SetDlgItemTextA(page, IDC_SERVER_NAME, self->record.name.c_str());
        SetDlgItemTextA(page, IDC_SERVER_ADDR, self->record.addr.c_str());
        HWND combo = GetDlgItem(page, IDC_SERVER_PROTOCOL);
        for (const engine::ProtocolRow& row : engine::kProtocolCatalogue) {
            const int protocol = row.number;
            const std::string name = self->protocols->displayName(protocol, false);
            const LRESULT index =
                SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
            SendMessageA(combo, CB_SETITEMDATA, static_cast<WPARAM>(index), protocol);
            if (protocol == self->record.protocol) {
                SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
            }
        }
        CheckDlgButton(page, IDC_SERVER_PROXY, self->record.useproxy ? BST_CHECKED : BST_UNCHECKED);
        CheckDlgButton(page, IDC_SERVER_REJECTNTP,
                       self->record.rejectntp ? BST_CHECKED : BST_UNCHECKED);
        self->enableFlags(page);
        return TRUE;
    }
    auto* self = reinterpret_cast<ServerPage*>(GetWindowLongPtrA(page, DWLP_USER));
    if (!self) {
        return FALSE;
    }
    if (message == WM_COMMAND && LOWORD(wParam) == IDC_SERVER_PROTOCOL &&
        HIWORD(wParam) == CBN_SELCHANGE) {
        self->enableFlags(page);
        return TRUE;
    }
    if (message == WM_NOTIFY && reinterpret_cast<const NMHDR*>(lParam)->code == PSN_APPLY) {
        self->record.name = windowText(GetDlgItem(page, IDC_SERVER_NAME));
        self->record.addr = windowText(GetDlgItem(page, IDC_SERVER_ADDR));
        self->record.protocol = self->chosenProtocol(page);
        self->record.useproxy = IsDlgButtonChecked(page, IDC_SERVER_PROXY) == BST_CHECKED;
        self->record.rejectntp = IsDlgButtonChecked(page, IDC_SERVER_REJECTNTP) == BST_CHECKED;
        self->accepted = true;
        SetWindowLongPtrA(page, DWLP_MSGRESULT, PSNRET_NOERROR);
        return TRUE;
    }
    return FALSE;
}

PROPSHEETPAGEA pageOf(HINSTANCE instance, int templateId, DLGPROC proc, const char* title,
                      LPARAM data) {
    PROPSHEETPAGEA page{};
    page.dwSize = sizeof(page);
    page.dwFlags = title ? PSP_USETITLE : PSP_DEFAULT;
    page.hInstance = instance;
    page.pszTemplate = MAKEINTRESOURCEA(templateId);
    page.pfnDlgProc = proc;
    page.pszTitle = title;
    page.lParam = data;
    return page;
}

}  // namespace

std::vector<std::string> showSettingsSheet(HWND owner, HINSTANCE instance) {
    Sheet sheet;
    std::vector<std::unique_ptr<SettingsPage>> pages;
    for (const desktop::SettingsPage& shown : desktop::settingsPages()) {
        auto page = std::make_unique<SettingsPage>();
        page->sheet = &sheet;
        page->page = &shown;
        pages.push_back(std::move(page));
    }
    std::vector<PROPSHEETPAGEA> sheetPages;
    for (const auto& page : pages) {
        sheetPages.push_back(pageOf(instance, IDD_SETTINGS_PAGE, settingsPageProc,
                                    page->page->title, reinterpret_cast<LPARAM>(page.get())));
    }
    sheetPages.push_back(pageOf(instance, IDD_INFORMATION, informationPageProc, nullptr, 0));

    PROPSHEETHEADERA header{};
    header.dwSize = sizeof(header);
    header.dwFlags = PSH_PROPSHEETPAGE | PSH_NOAPPLYNOW | PSH_USEHICON;
    header.hwndParent = owner;
    header.hInstance = instance;
    header.hIcon = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(IDI_KRONEL), IMAGE_ICON,
                                                 GetSystemMetrics(SM_CXSMICON),
                                                 GetSystemMetrics(SM_CYSMICON), 0));
    header.pszCaption = "Kronel Settings";
    header.nPages = static_cast<UINT>(sheetPages.size());
    header.ppsp = sheetPages.data();
    PropertySheetA(&header);
    if (header.hIcon) {
        DestroyIcon(header.hIcon);
    }
    if (!sheet.applied) {
        return {};
    }
    std::vector<std::string> changed = sheet.model.changedSettings();
    sheet.model.save();
    return changed;
}

std::optional<desktop::ServerRecord> showServerPage(HWND owner, HINSTANCE instance,
                                                    const desktop::ServerRecord& record,
                                                    const engine::ProtocolFactory& protocols) {
    ServerPage state;
    state.record = record;
    state.protocols = &protocols;
    PROPSHEETPAGEA page =
        pageOf(instance, IDD_SERVER, serverPageProc, nullptr, reinterpret_cast<LPARAM>(&state));
    PROPSHEETHEADERA header{};
    header.dwSize = sizeof(header);
    header.dwFlags = PSH_PROPSHEETPAGE | PSH_NOAPPLYNOW;
    header.hwndParent = owner;
    header.hInstance = instance;
    header.pszCaption = "Time Server Properties";
    header.nPages = 1;
    header.ppsp = &page;
    PropertySheetA(&header);
    if (!state.accepted) {
        return std::nullopt;
    }
    return state.record;
}

}  // namespace kronelwin
