#include "engine/DialupGate.h"

namespace engine {

bool DialupGate::passes() const {
    if (!watcher_.available() || !watching_.load()) {
        return true;
    }
    return watcher_.connected();
}

}  // namespace engine
