#pragma once

namespace desktop {

// The words a settings page shows beside a setting of the parameters key; the setting's own
// name when it has none.
const char* settingLabel(const char* name);

}  // namespace desktop
