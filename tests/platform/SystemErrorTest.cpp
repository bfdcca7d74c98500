#include <gtest/gtest.h>

#include <cerrno>

#include "platform/SystemError.h"

using namespace platform;

TEST(SystemMessage, KnownNumberEndsWithALineBreak) {
    const auto text = systemMessage(ENOENT);
    ASSERT_TRUE(text.has_value());
    ASSERT_GT(text->size(), 2u);
    EXPECT_EQ(text->substr(text->size() - 2), "\r\n");
    EXPECT_EQ(text->find('\n'), text->size() - 1);
}

TEST(SystemMessage, UnknownNumberHasNoText) {
    EXPECT_FALSE(systemMessage(987654).has_value());
    EXPECT_FALSE(systemMessage(-3).has_value());
}
