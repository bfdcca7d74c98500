#include <gtest/gtest.h>

#include "engine/ServerList.h"

using engine::ServerList;
using C = ServerList::Candidate;

TEST(ServerList, OrderValuesChooseTheSlots) {
    ServerList list({C{"c", 2}, C{"a", 0}, C{"b", 1}});
    ASSERT_EQ(list.size(), 3);
    EXPECT_EQ(list.slot(0), "a");
    EXPECT_EQ(list.slot(1), "b");
    EXPECT_EQ(list.slot(2), "c");
}

TEST(ServerList, EntriesWithoutOrderFillFromTheEnd) {
    ServerList list({C{"first", 0}, C{"x", std::nullopt}, C{"y", std::nullopt}});
    EXPECT_EQ(list.slot(0), "first");
    EXPECT_EQ(list.slot(2), "x");
    EXPECT_EQ(list.slot(1), "y");
}

TEST(ServerList, OrderBeyondTheEndIsBoundedByTheBackSlot) {
    ServerList list({C{"far", 99}, C{"near", 0}});
    EXPECT_EQ(list.slot(0), "near");
    EXPECT_EQ(list.slot(1), "far");
}

TEST(ServerList, ALaterEntryOverwritesTheSameSlotAndEmptySlotsCloseUp) {
    struct Case {
        std::vector<C> entries;
        std::vector<std::string> slots;
    };
    const Case cases[] = {
        {{C{"one", 0}, C{"two", 0}, C{"three", 1}}, {"two", "three"}},
        {{C{"one", 0}, C{"two", 0}, C{"three", 0}}, {"three"}},
        // Orders counted from 1 leave slot 0 empty.
        {{C{"a", 1}, C{"b", 2}, C{"c", 3}}, {"c", "b"}},
        {{C{"a", 1}, C{"b", 2}, C{"c", 3}, C{"d", 4}}, {"a", "d", "c"}},
        {{C{"a", 2}, C{"b", 2}}, {"b", "a"}},
        {{C{"x", 5}, C{"y", 5}, C{"z", std::nullopt}}, {"z", "y", "x"}},
    };
    for (const Case& c : cases) {
        ServerList list(c.entries);
        std::vector<std::string> slots;
        for (int i = 0; i < list.size(); ++i) {
            slots.push_back(list.slot(i));
        }
        EXPECT_EQ(slots, c.slots) << c.entries.front().name << c.entries.size();
    }
}

TEST(ServerList, NextWalksToTheEndThenGoesIdle) {
    ServerList list({C{"a", 0}, C{"b", 1}});
    auto first = list.select(0);
    ASSERT_TRUE(first.startSomething);
    list.setCurrent(first.index);
    auto second = list.select(ServerList::kNext);
    ASSERT_TRUE(second.startSomething);
    EXPECT_EQ(second.index, 1);
    list.setCurrent(second.index);
    auto past = list.select(ServerList::kNext);
    EXPECT_FALSE(past.startSomething);
    EXPECT_EQ(list.current(), ServerList::kNone);
}

TEST(ServerList, RepeatedOrdersStillEndIdle) {
    ServerList list({C{"one", 0}, C{"two", 0}, C{"three", 1}});
    list.setCurrent(1);
    EXPECT_FALSE(list.select(ServerList::kNext).startSomething);
    EXPECT_EQ(list.current(), ServerList::kNone);
}

TEST(ServerList, TopKeepsTheTopSourceRunning) {
    ServerList list({C{"a", 0}, C{"b", 1}});
    list.setCurrent(0);
    EXPECT_FALSE(list.select(ServerList::kTop).startSomething);
    EXPECT_EQ(list.current(), 0);
    list.setCurrent(1);
    auto top = list.select(ServerList::kTop);
    ASSERT_TRUE(top.startSomething);
    EXPECT_EQ(top.index, 0);
    list.setCurrent(ServerList::kNone);
    EXPECT_TRUE(list.select(ServerList::kTop).startSomething);
}

TEST(ServerList, AnEmptyListNeverStartsAnything) {
    ServerList list(std::vector<C>{});
    EXPECT_EQ(list.size(), 0);
    EXPECT_FALSE(list.select(0).startSomething);
    EXPECT_FALSE(list.select(ServerList::kNext).startSomething);
    EXPECT_FALSE(list.select(ServerList::kTop).startSomething);
    EXPECT_EQ(list.current(), ServerList::kNone);
}
