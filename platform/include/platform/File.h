#pragma once
#include <string>

#include "platform/Result.h"

namespace platform {

// Appends `data` to the file at `path` in one write, creating the file when it is missing
// and never truncating it; the file is closed again before the call returns. Appends from
// several writers land whole, one after the other. On failure sets the last system error.
Status appendToFile(const std::string& path, const std::string& data);

}  // namespace platform
