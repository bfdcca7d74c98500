#include "config/Settings.h"

#include <algorithm>
#include <cctype>
#include <climits>

namespace config {

namespace {

bool sameName(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

// Code names its settings as the schema spells them; a name not in it stops the program at
// its first read, which every reader's tests reach.
const Setting& row(std::string_view name) {
    return setting(name);
}

// The engine's default: the followed setting as the engine reads it, times the factor, held
// within int for intervals that long.
int engineDefault(const StoredValues& store, const Setting& s) {
    if (!s.follows) {
        return static_cast<int>(s.number);
    }
    const long long followed =
        static_cast<long long>(readNumber(store, s.follows)) * s.followsTimes;
    return static_cast<int>(std::clamp<long long>(followed, INT_MIN, INT_MAX));
}

}  // namespace

const Setting* find(std::string_view name) {
    for (const Setting& s : kSettings) {
        if (sameName(name, s.name)) {
            return &s;
        }
    }
    return nullptr;
}

bool readFlag(const StoredValues& store, std::string_view name) {
    const Setting& s = row(name);
    return store.readDword(s.name, s.number) != 0;
}

int readNumber(const StoredValues& store, std::string_view name) {
    const Setting& s = row(name);
    const int fallback = engineDefault(store, s);
    const int value = static_cast<int>(store.readDword(s.name, static_cast<uint32_t>(fallback)));
    switch (s.read) {
        case ReadRule::PositiveElseDefault:
            return value > 0 ? value : fallback;
        case ReadRule::Clamped:
            return std::clamp(value, s.readMin, s.readMax);
        case ReadRule::AsStored:
            break;
    }
    return value;
}

std::string readText(const StoredValues& store, std::string_view name) {
    const Setting& s = row(name);
    return store.readText(s.name, s.text);
}

uint32_t readDword(const StoredValues& store, std::string_view name) {
    const Setting& s = row(name);
    // A page shows the followed setting as stored, times the factor, as a DWORD holds it.
    const uint32_t fallback = s.follows ? readDword(store, s.follows) * s.followsTimes : s.number;
    return store.readDword(s.name, fallback);
}

std::string storedText(const StoredValues& store, const Setting& s) {
    if (s.kind == Kind::Text || s.kind == Kind::Status) {
        return store.readText(s.name, s.text);
    }
    return std::to_string(readDword(store, s.name));
}

}  // namespace config
