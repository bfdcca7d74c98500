#pragma once
// Helpers shared by the service tests: temporary directories, environment variables set for
// one test, and a message handler that records what it is given.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/Handlers.h"
#include "support/RecordingMessages.h"
#include "support/TestSupport.h"

namespace servicetest {

namespace fs = std::filesystem;

using testsupport::eventually;
using testsupport::readFile;
using testsupport::ScopedEnvironment;
using testsupport::TempDir;
using testsupport::writeFile;

using testsupport::LoggedMessage;
using testsupport::RecordingMessages;

}  // namespace servicetest
