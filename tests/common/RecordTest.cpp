#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "common/Record.h"

TEST(Record, GetOfAnAbsentKeyIsAnEmptyStringNeverNull) {
    Record record;
    ASSERT_NE(record.get("CMD"), nullptr);
    EXPECT_STREQ(record.get("CMD"), "");
    EXPECT_STREQ(record.get(nullptr), "");
    record.set("CMD", "STATUS");
    EXPECT_STREQ(record.get("TYPE"), "");
    EXPECT_FALSE(record.has("TYPE"));
}

TEST(Record, SetCopiesBothStringsSoTheCallerMayFreeThem) {
    Record record;
    {
        auto key = std::make_unique<char[]>(16);
        auto value = std::make_unique<char[]>(16);
        std::strcpy(key.get(), "LOG_LINE");
        std::strcpy(value.get(), "\"line\"");
        record.set(key.get(), value.get());
        std::memset(value.get(), 'x', 15);
        std::memset(key.get(), 'y', 15);
    }
    EXPECT_STREQ(record.get("LOG_LINE"), "\"line\"");
    EXPECT_EQ(record.count(), 1);
}

TEST(Record, SetReplacesTheValueOfAnExistingKeyInPlace) {
    Record record;
    record.set("CMD", "STATUS");
    record.set("TAG", "12");
    record.set("CMD", "ANSWER");
    ASSERT_EQ(record.count(), 2);
    EXPECT_STREQ(record.keyAt(0), "CMD");
    EXPECT_STREQ(record.valueAt(0), "ANSWER");
    EXPECT_STREQ(record.keyAt(1), "TAG");
    EXPECT_STREQ(record.keyAt(2), "");
    record.set("EMPTY", nullptr);
    EXPECT_TRUE(record.has("EMPTY"));
    EXPECT_STREQ(record.get("EMPTY"), "");
}

TEST(Record, CopyAssignmentCopiesEveryEntryAndLeavesTheSourceUnchanged) {
    Record source;
    source.set("CMD", "STATUS");
    source.set("REQUEST", "17");
    source.set("EMPTY", "");
    Record target;
    target.set("OLD", "gone");
    target = source;

    ASSERT_EQ(target.count(), 3);
    EXPECT_STREQ(target.get("CMD"), "STATUS");
    EXPECT_STREQ(target.get("REQUEST"), "17");
    EXPECT_TRUE(target.has("EMPTY"));
    EXPECT_FALSE(target.has("OLD"));

    target.set("CMD", "ANSWER");
    target.set("ANSWER", "STARTED");
    EXPECT_STREQ(source.get("CMD"), "STATUS");
    EXPECT_FALSE(source.has("ANSWER"));
    EXPECT_EQ(source.count(), 3);

    target = target;
    EXPECT_STREQ(target.get("CMD"), "ANSWER");
}

TEST(Record, RemoveAndClearDropEntries) {
    Record record;
    record.set("A", "1");
    record.set("B", "2");
    record.set("C", "3");
    record.remove("B");
    record.remove("MISSING");
    ASSERT_EQ(record.count(), 2);
    EXPECT_STREQ(record.keyAt(1), "C");
    record.clear();
    EXPECT_EQ(record.count(), 0);
}
