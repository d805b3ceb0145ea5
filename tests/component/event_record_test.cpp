// The world's event record: the last N events in slots of fixed size.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/event_record.h"

namespace {

std::vector<sim::Event> since(const sim::EventRecord& r, uint64_t seq, size_t max, const char* kind,
                              uint64_t* next) {
    std::vector<sim::Event> out;
    *next = r.since(seq, &out, max, kind);
    return out;
}

TEST(EventRecord, KeepsTheLastEventsAndFollowsOnFromNext) {
    sim::EventRecord r(4);
    for (int i = 0; i < 10; ++i) r.push(i, i % 2 ? "odd" : "even", std::to_string(i));
    EXPECT_EQ(r.size(), 4u);
    EXPECT_EQ(r.next_seq(), 10u);
    uint64_t next;
    auto all = since(r, 0, 100, nullptr, &next);  // the oldest six are gone
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0].seq, 6u);
    EXPECT_EQ(all[0].text, "6");
    EXPECT_EQ(all[3].text, "9");
    EXPECT_EQ(all[3].kind, "odd");
    EXPECT_EQ(next, 10u);
    // One kind, one at a time: each reply says where the next one starts.
    auto first = since(r, 0, 1, "odd", &next);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].text, "7");
    auto second = since(r, next, 1, "odd", &next);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].text, "9");
    EXPECT_TRUE(since(r, next, 1, "odd", &next).empty());
    EXPECT_EQ(next, 10u);
    EXPECT_TRUE(since(r, 1000, 10, nullptr, &next).empty());
    r.clear();
    EXPECT_EQ(r.size(), 0u);
    EXPECT_TRUE(since(r, 0, 10, nullptr, &next).empty());
}

TEST(EventRecord, LongTextsAreCutAndSaySo) {
    sim::EventRecord r(2);
    std::string junk(500, 'A');
    r.push(1, "a-kind-name-far-too-long", junk);
    r.push(2, "shell", std::string("ab\0cd", 5));  // stops at a zero byte
    uint64_t next;
    auto all = since(r, 0, 10, nullptr, &next);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].text.size(), sim::EventRecord::kText - 1);
    EXPECT_EQ(all[0].text.substr(all[0].text.size() - 3), "...");
    EXPECT_EQ(all[0].text.substr(0, 10), junk.substr(0, 10));
    EXPECT_EQ(all[0].kind.size(), sim::EventRecord::kKind - 1);
    EXPECT_EQ(all[1].text, "ab");
}

}  // namespace
