#pragma once
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "desktop/ServerListModel.h"
#include "engine/ProtocolFactory.h"

namespace kronelwin {

// The settings as a property sheet: one page per page of the settings model, the Alerts page
// with its time-out slider, and the information page. On OK the values are written to the
// store; the result names the settings that changed (empty on Cancel or when nothing changed).
std::vector<std::string> showSettingsSheet(HWND owner, HINSTANCE instance);

// The server's property page: the edited record on OK, nothing on Cancel.
std::optional<desktop::ServerRecord> showServerPage(HWND owner, HINSTANCE instance,
                                                    const desktop::ServerRecord& record,
                                                    const engine::ProtocolFactory& protocols);

}  // namespace kronelwin
