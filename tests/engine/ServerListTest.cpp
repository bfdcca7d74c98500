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

TEST(ServerList, ALaterEntryOverwritesTheSameSlot) {
    ServerList list({C{"one", 0}, C{"two", 0}, C{"three", 1}});
    EXPECT_EQ(list.slot(0), "two");
    EXPECT_EQ(list.slot(1), "three");
    EXPECT_EQ(list.slot(2), "");
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

TEST(ServerList, NextIntoAnEmptySlotRestartsAtTheTop) {
    ServerList list({C{"one", 0}, C{"two", 0}, C{"three", 0}});
    list.setCurrent(0);
    auto next = list.select(ServerList::kNext);
    ASSERT_TRUE(next.startSomething);
    EXPECT_EQ(next.index, 0);
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
