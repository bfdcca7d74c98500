#pragma once
#include <memory>

#include "engine/ProtocolFactory.h"

namespace app {

// The one place that knows every client and server class: protocol numbers to clients,
// server kinds to servers.
std::unique_ptr<engine::ProtocolFactory> makeProtocolTable();

}  // namespace app
