#include "platform/MessageBox.h"

#include <cstdio>

namespace platform {

int messageBox(const std::string& text, const std::string& caption, unsigned /*style*/) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
    return kIdOk;
}

unsigned long currentThreadId() {
    return 0;
}

bool closeMessageBoxes(unsigned long) {
    return false;
}

void simpleBeep() {}

}  // namespace platform
