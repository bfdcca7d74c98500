#include "alerts/AlertBox.h"

#include "platform/MessageBox.h"

namespace alerts {

void DesktopAlertBox::show(const std::string& text) {
    platform::simpleBeep();
    (void)platform::messageBox(text, kCaption, platform::kMbOk | platform::kMbSetForeground);
}

void LoggedAlertBox::show(const std::string& text) {
    messages_.error(source_, "%s", text.c_str());
}

}  // namespace alerts
