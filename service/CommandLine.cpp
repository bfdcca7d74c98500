#include "service/CommandLine.h"

#include "core/Format.h"

namespace service {

namespace {

char foldCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (foldCase(a[i]) != foldCase(b[i])) {
            return false;
        }
    }
    return true;
}

Verb parseVerb(int argc, const char* const argv[]) {
    if (argc < 2 || argv[1] == nullptr) {
        return Verb::RunService;
    }
    const std::string_view first = argv[1];
    if (first == "add") {
        return Verb::Add;
    }
    if (equalsIgnoringCase(first, "remove")) {
        return Verb::Remove;
    }
    if (equalsIgnoringCase(first, "cleanup")) {
        return Verb::Cleanup;
    }
    if (equalsIgnoringCase(first, "debug")) {
        return Verb::Debug;
    }
    return Verb::Usage;
}

bool consoleDebugRequested(int argc, const char* const argv[]) {
    return argc >= 2 && argv[1] != nullptr && std::string_view(argv[1]) == "debug";
}

std::string usageText() {
    return core::format("%s add              to install the service\n", kProgramName) +
           core::format("%s remove           to remove the service\n", kProgramName) +
           core::format("%s debug            to run as a console application for debugging\n",
                        kProgramName);
}

int exitCodeOf(Verb verb) {
    return verb == Verb::RunService ? 0 : 1;
}

}  // namespace service
