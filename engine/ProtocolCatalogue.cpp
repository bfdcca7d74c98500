#include "engine/ProtocolCatalogue.h"

#include <algorithm>

namespace engine {

const ProtocolRow* findProtocol(int protocol) {
    const auto row =
        std::find_if(kProtocolCatalogue.begin(), kProtocolCatalogue.end(),
                     [protocol](const ProtocolRow& r) { return r.number == protocol; });
    return row == kProtocolCatalogue.end() ? nullptr : &*row;
}

std::string protocolDisplayName(int protocol, bool sntpFix) {
    if (protocol == 0 && sntpFix) {
        return kSntpAlternativeName;
    }
    const ProtocolRow* row = findProtocol(protocol);
    return row ? row->name : "";
}

bool needsAddress(int protocol) {
    const ProtocolRow* row = findProtocol(protocol);
    return !row || row->needsAddress;
}

bool takesProxy(int protocol) {
    const ProtocolRow* row = findProtocol(protocol);
    return row && row->takesProxy;
}

bool takesRejectNtp(int protocol) {
    const ProtocolRow* row = findProtocol(protocol);
    return row && row->takesRejectNtp;
}

}  // namespace engine
