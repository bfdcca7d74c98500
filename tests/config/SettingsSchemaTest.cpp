#include "config/Settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <map>
#include <set>

namespace {

// A store of DWORD and text values by name, case-insensitive as the registry's.
class MapStore : public config::StoredValues {
public:
    uint32_t readDword(const std::string& name, uint32_t defaultValue) const override {
        const auto it = dwords.find(folded(name));
        return it == dwords.end() ? defaultValue : it->second;
    }
    std::string readText(const std::string& name, const std::string& defaultValue) const override {
        const auto it = texts.find(folded(name));
        return it == texts.end() ? defaultValue : it->second;
    }
    void write(const std::string& name, uint32_t value) { dwords[folded(name)] = value; }
    void write(const std::string& name, const std::string& text) { texts[folded(name)] = text; }

private:
    static std::string folded(std::string name) {
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return name;
    }
    std::map<std::string, uint32_t> dwords;
    std::map<std::string, std::string> texts;
};

bool numeric(const config::Setting& row) {
    return row.kind == config::Kind::Flag || row.kind == config::Kind::Number;
}

uint32_t asStored(int value) {
    return static_cast<uint32_t>(value);
}

}  // namespace

// Every row reads its default from an empty store, reads back what was written, holds an
// out-of-bound value as the engine always has, and says where it shows and what it restarts.
TEST(SettingsSchema, EveryRowReadsWritesClampsAndLabels) {
    std::set<std::string> pages;
    for (const config::Page& page : config::kPages) {
        pages.insert(page.title);
    }
    std::set<std::string> names;
    for (const config::Setting& row : config::kSettings) {
        SCOPED_TRACE(row.name);
        EXPECT_TRUE(names.insert(row.name).second) << "named twice";
        EXPECT_EQ(config::find(row.name), &row);

        // Its default, from an empty store.
        const MapStore empty;
        if (numeric(row)) {
            const int fallback = config::defaultNumber(row.name);
            EXPECT_EQ(config::readDword(empty, row.name), asStored(fallback));
            EXPECT_EQ(config::readNumber(empty, row.name), fallback);
            EXPECT_EQ(config::storedText(empty, row), std::to_string(fallback));
            EXPECT_GE(fallback, row.min);
            EXPECT_LE(fallback, row.max);
            if (row.kind == config::Kind::Flag) {
                EXPECT_EQ(row.max, 1);
                EXPECT_EQ(config::readFlag(empty, row.name), fallback != 0);
            }
        } else {
            EXPECT_STREQ(config::readText(empty, row.name).c_str(), row.text);
            EXPECT_EQ(config::storedText(empty, row), row.text);
        }

        // What was written reads back.
        MapStore store;
        if (numeric(row)) {
            long long value = std::clamp<long long>(7, std::max<long long>(row.min, 1), row.max);
            if (row.read == config::ReadRule::Clamped) {
                value = std::clamp<long long>(value, row.readMin, row.readMax);
            }
            store.write(row.name, static_cast<uint32_t>(value));
            EXPECT_EQ(config::readNumber(store, row.name), value);
            EXPECT_EQ(config::storedText(store, row), std::to_string(value));
        } else {
            store.write(row.name, std::string("written"));
            EXPECT_EQ(config::readText(store, row.name), "written");
            EXPECT_EQ(config::storedText(store, row), "written");
        }

        // Out of bounds: as the engine reads it; a page shows what is stored.
        if (numeric(row)) {
            const int fallback = config::defaultNumber(row.name);
            for (const int stored : {0, -5, INT_MAX}) {
                SCOPED_TRACE(stored);
                MapStore odd;
                odd.write(row.name, asStored(stored));
                int expected = stored;
                if (row.read == config::ReadRule::PositiveElseDefault) {
                    expected = stored > 0 ? stored : fallback;
                } else if (row.read == config::ReadRule::Clamped) {
                    expected = std::clamp(stored, row.readMin, row.readMax);
                }
                EXPECT_EQ(config::readNumber(odd, row.name), expected);
                EXPECT_EQ(config::readDword(odd, row.name), asStored(stored));
            }
        }

        // A default that follows another setting follows it as stored.
        if (row.follows != nullptr) {
            MapStore followed;
            followed.write(row.follows, 30u);
            EXPECT_EQ(config::readNumber(followed, row.name),
                      30 * static_cast<int>(row.followsTimes));
            EXPECT_EQ(config::readDword(followed, row.name), 30u * row.followsTimes);
        }

        // Where it shows, and what a change restarts.
        if (row.kind == config::Kind::Status) {
            EXPECT_FALSE(row.shown());
            EXPECT_EQ(row.restarts, config::Restarts::Nothing);
        } else {
            EXPECT_EQ(pages.count(row.group), 1u) << row.group;
            EXPECT_NE(row.restarts, config::Restarts::Nothing);
            EXPECT_NE(row.unit, nullptr);
        }
    }
    // Every page shows something.
    for (const config::Page& page : config::kPages) {
        EXPECT_TRUE(std::any_of(config::kSettings.begin(), config::kSettings.end(),
                                [&](const config::Setting& row) {
                                    return row.shown() && std::strcmp(row.group, page.title) == 0;
                                }))
            << page.title;
    }
}
