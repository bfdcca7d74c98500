#include "platform/Result.h"

namespace platform {

namespace {
thread_local int tlsSystemError = 0;
thread_local int tlsSocketError = 0;
}  // namespace

int lastSystemError() {
    return tlsSystemError;
}
void setLastSystemError(int error) {
    tlsSystemError = error;
}
int lastSocketError() {
    return tlsSocketError;
}
void setLastSocketError(int error) {
    tlsSocketError = error;
}

}  // namespace platform
