// The schedule list and its file.
#include <gtest/gtest.h>

#include <string>

#include "include/variant.h"
#include "sched/sched.h"
#include "tests/support/sim_fixture.h"

namespace {

ScheduleEntry entry(const char* uuid, int time = 480, int grams = 30) {
    ScheduleEntry e{};
    snprintf(e.uuid, sizeof e.uuid, "%s", uuid);
    snprintf(e.weight, sizeof e.weight, "w-%.9s", uuid);
    snprintf(e.melody, sizeof e.melody, "2");
    e.feed_time = time;
    e.feed_amount = grams;
    e.days[1] = e.days[3] = 1;
    return e;
}

std::string order() {
    std::string s;
    for (const ScheduleEntry& e : sched_snapshot()) s += e.uuid;
    return s;
}

class Schedule : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        sched_clear();
    }
    void TearDown() override {
        sched_clear();
        SimTest::TearDown();
    }
    std::string file() { return root_ + "/etc/feed_sched.conf"; }
    int bells() {
        int n = 0;
        for (const std::string& s : world_texts("shell"))
            n += s == "/root/play /root/audio/_bell.g711";
        return n;
    }
    int load(const std::string& text) {
        write_file(file(), text);
        return sched_load();
    }
};

TEST_F(Schedule, NewestEntryGoesSecond) {
    ScheduleEntry a = entry("A"), b = entry("B"), c = entry("C");
    EXPECT_EQ(sched_update(&a), 0);
    EXPECT_EQ(sched_update(&b), 0);
    EXPECT_EQ(sched_update(&c), 0);
    EXPECT_EQ(order(), "ACB");
    EXPECT_EQ(bells(), kSilentBuild ? 0 : 3);
    ASSERT_EQ(sched_save(), 0);
    sched_clear();
    ASSERT_EQ(sched_load(), 0);
    EXPECT_EQ(order(), "ABC");  // saved A, C, B and loaded one at a time
}

TEST_F(Schedule, SameUuidOverwritesInPlace) {
    ScheduleEntry a = entry("A"), b = entry("B");
    sched_update(&a);
    sched_update(&b);
    ScheduleEntry a2 = entry("A", 600, 45);
    a2.days[1] = 0;
    EXPECT_EQ(sched_update(&a2), 1);
    auto list = sched_snapshot();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_STREQ(list[0].uuid, "A");
    EXPECT_EQ(list[0].feed_time, 600);
    EXPECT_EQ(list[0].feed_amount, 45);
    EXPECT_EQ(list[0].days[1], 0);
}

TEST_F(Schedule, DeletingTheHeadAndAnUnknownUuid) {
    ScheduleEntry a = entry("A"), b = entry("B"), c = entry("C");
    sched_update(&a);
    sched_update(&b);
    sched_update(&c);
    int rung = bells();
    EXPECT_EQ(sched_delete(&a), 0);
    EXPECT_EQ(order(), "CB");
    EXPECT_EQ(bells(), rung + (kSilentBuild ? 0 : 1));
    ScheduleEntry x = entry("X");
    EXPECT_EQ(sched_delete(&x), -1);
    EXPECT_EQ(bells(), rung + (kSilentBuild ? 0 : 1));  // an unknown uuid rings nothing
    EXPECT_EQ(order(), "CB");
}

TEST_F(Schedule, TimesInTheFileAndForThePhone) {
    ScheduleEntry a = entry("A", 7 * 60 + 5);
    sched_update(&a);
    ASSERT_EQ(sched_save(), 0);
    std::string text = read_file(file());
    EXPECT_NE(text.find("\"feedTime\": \"7:5\""), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos);
    json_t* list = sched_to_json();
    json_t* first = json_array_get(list, 0);
    EXPECT_STREQ(json_string_value(json_object_get(first, "feedTime")), "07:05");
    EXPECT_STREQ(json_string_value(json_object_get(first, "feedAmount")), "30");
    json_t* days = json_object_get(first, "feedDaysOfTheWeek");
    ASSERT_EQ(json_array_size(days), 2u);
    EXPECT_STREQ(json_string_value(json_array_get(days, 0)), "day-mon");
    EXPECT_STREQ(json_string_value(json_array_get(days, 1)), "day-wed");
    json_decref(list);
}

TEST_F(Schedule, PaddedAndUnpaddedTimesLoadAlike) {
    EXPECT_EQ(
        load(
            R"([{"weight":"1","feedAmount":"30","feedTime":"7:5","feedDaysOfTheWeek":["day-sun"],"melody":"1","uuid":"a"},)"
            R"({"weight":"1","feedAmount":"30","feedTime":"07:05","feedDaysOfTheWeek":["day-thur"],"melody":"1","uuid":"b"}])"),
        0);
    auto list = sched_snapshot();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].feed_time, 425);
    EXPECT_EQ(list[1].feed_time, 425);
    EXPECT_EQ(list[1].days[4], 1);
}

TEST_F(Schedule, UnknownDayNameIsLoggedAndSkipped) {
    StdoutCapture out;
    EXPECT_EQ(
        load(
            R"([{"weight":"","feedAmount":"30","feedTime":"8:0","feedDaysOfTheWeek":["day-thu"],"melody":"1","uuid":"a"}])"),
        0);
    EXPECT_NE(out.text().find("json feedDaysOfTheWeek parsing error....!!!!!\n"),
              std::string::npos);
    auto list = sched_snapshot();
    ASSERT_EQ(list.size(), 1u);
    for (int d = 0; d < 7; ++d) EXPECT_EQ(list[0].days[d], 0);
}

TEST_F(Schedule, EmptyAndNonListFilesLoadEmpty) {
    EXPECT_EQ(load("[]"), 0);
    EXPECT_TRUE(sched_snapshot().empty());
    EXPECT_EQ(load("{}"), 0);
    EXPECT_TRUE(sched_snapshot().empty());
    EXPECT_EQ(load("42"), -1);  // the JSON reader takes only a list or an object
    EXPECT_TRUE(sched_snapshot().empty());
}

TEST_F(Schedule, CutOrMissingFileIsAnError) {
    EXPECT_EQ(load(R"([{"weight":"","feedAmount":"30","feedTi)"), -1);
    EXPECT_EQ(load("not json at all"), -1);
    EXPECT_EQ(load(""), -1);
    remove(file().c_str());
    EXPECT_EQ(sched_load(), -1);
    EXPECT_TRUE(sched_snapshot().empty());
}

TEST_F(Schedule, BadEntriesNeverTakeTheGoodOnesWithThem) {
    std::string good =
        R"({"weight":"w","feedAmount":"30","feedTime":"8:0","feedDaysOfTheWeek":["day-mon"],"melody":"1","uuid":"good"})";
    std::string text =
        "[5, \"x\", [], null,"
        R"({"feedAmount":"30","feedTime":"8:0","melody":"1","uuid":"no-weight"},)"
        R"({"weight":1,"feedAmount":"30","feedTime":"8:0","melody":"1","uuid":"num"},)"
        R"({"weight":"w","feedAmount":"30","feedTime":"8h","melody":"1","uuid":"t1"},)"
        R"({"weight":"w","feedAmount":"30","feedTime":"24:00","melody":"1","uuid":"t2"},)"
        R"({"weight":"w","feedAmount":"30","feedTime":"7:60","melody":"1","uuid":"t3"},)"
        R"({"weight":"w","feedAmount":"30","feedTime":"-1:5","melody":"1","uuid":"t4"},)"
        R"({"weight":"123456789012","feedAmount":"30","feedTime":"8:0","melody":"1","uuid":"long"},)"
        R"({"weight":"w","feedAmount":"30","feedTime":"8:0","melody":"1","uuid":")" +
        std::string(64, 'u') + R"("},)" +
        R"({"weight":"w","feedAmount":"lots","feedTime":"8:0","feedDaysOfTheWeek":[1,"day-sun"],"melody":"1","uuid":"zero"},)" +
        good + "]";
    StdoutCapture out;
    EXPECT_EQ(load(text), 0);
    auto list = sched_snapshot();
    ASSERT_EQ(list.size(), 2u) << out.text();
    EXPECT_STREQ(list[0].uuid, "zero");
    EXPECT_EQ(list[0].feed_amount, 0);  // a text that is not a number is 0 g
    EXPECT_EQ(list[0].days[0], 1);
    EXPECT_STREQ(list[1].uuid, "good");
    std::string text_out = out.text();
    EXPECT_NE(text_out.find("sched_load : entry 0 skipped: not an object"), std::string::npos);
    EXPECT_NE(text_out.find("\"weight\" missing or not a string"), std::string::npos);
    EXPECT_NE(text_out.find("\"feedTime\" \"24:00\" is not a time of day"), std::string::npos);
    EXPECT_NE(text_out.find("\"uuid\" longer than 63 characters"), std::string::npos);
}

TEST_F(Schedule, LargeScheduleRoundTrips) {
    // A full list whose texts are control characters, six bytes each in the file.
    for (int i = 0; i < SCHED_MAX_ENTRIES; ++i) {
        ScheduleEntry e =
            entry(("entry-" + std::to_string(i) + std::string(40, '\x01')).c_str(), i);
        snprintf(e.melody, sizeof e.melody, "%s", std::string(79, '\x02').c_str());
        ASSERT_GE(sched_update(&e), 0);
    }
    ASSERT_EQ(sched_save(), 0);
    EXPECT_GT(read_file(file()).size(), 16384u * 2);
    auto before = sched_snapshot();
    sched_clear();
    ASSERT_EQ(sched_load(), 0);
    auto after = sched_snapshot();
    ASSERT_EQ(after.size(), before.size());
    // Saved in list order and loaded back one at a time: the same entries.
    std::sort(before.begin(), before.end(),
              [](auto& x, auto& y) { return strcmp(x.uuid, y.uuid) < 0; });
    std::sort(after.begin(), after.end(),
              [](auto& x, auto& y) { return strcmp(x.uuid, y.uuid) < 0; });
    for (size_t i = 0; i < after.size(); ++i) {
        EXPECT_STREQ(after[i].uuid, before[i].uuid);
        EXPECT_EQ(after[i].feed_time, before[i].feed_time);
        EXPECT_STREQ(after[i].melody, before[i].melody);
    }
}

TEST_F(Schedule, FullListRefusesNewEntriesButTakesUpdates) {
    for (int i = 0; i < SCHED_MAX_ENTRIES; ++i) {
        ScheduleEntry e = entry(std::to_string(i).c_str());
        ASSERT_EQ(sched_update(&e), 0);
    }
    ScheduleEntry extra = entry("one-more");
    EXPECT_EQ(sched_update(&extra), -1);
    ScheduleEntry again = entry("7", 100);
    EXPECT_EQ(sched_update(&again), 1);
}

// A schedule file written while the list held up to 1000 entries loses none
// of them at start-up (the next save would otherwise drop them for good);
// only new entries are refused until the owner deletes some.
TEST_F(Schedule, OlderFileWithMoreEntriesThanTheListTakesLoadsWhole) {
    std::string text = "[";
    for (int i = 0; i < SCHED_MAX_ENTRIES + 20; ++i)
        text += std::string(i ? "," : "") + "{\"weight\":\"\",\"feedAmount\":\"10\"," +
                "\"feedTime\":\"7:5\",\"feedDaysOfTheWeek\":[\"day-mon\"]," +
                "\"melody\":\"1\",\"uuid\":\"u" + std::to_string(i) + "\"}";
    write_file(file(), text + "]");
    ASSERT_EQ(sched_load(), 0);
    EXPECT_EQ(sched_snapshot().size(), size_t(SCHED_MAX_ENTRIES + 20));
    ScheduleEntry extra = entry("one-more");
    EXPECT_EQ(sched_update(&extra), -1);
    ASSERT_EQ(sched_save(), 0);
    sched_clear();
    ASSERT_EQ(sched_load(), 0);
    EXPECT_EQ(sched_snapshot().size(), size_t(SCHED_MAX_ENTRIES + 20));
}

TEST_F(Schedule, EmptyFileForTheFactoryDefault) {
    ScheduleEntry a = entry("A");
    sched_update(&a);
    ASSERT_EQ(sched_save(), 0);
    ASSERT_EQ(sched_write_empty(), 0);
    EXPECT_EQ(read_file(file()), "[]");
    EXPECT_EQ(order(), "A");  // the list in memory stays
}

TEST_F(Schedule, UnwritableFolderLeavesTheListAlone) {
    ScheduleEntry a = entry("A");
    sched_update(&a);
    remove_tree(root_ + "/etc");
    EXPECT_EQ(sched_save(), -1);
    EXPECT_EQ(sched_write_empty(), -1);
    EXPECT_EQ(order(), "A");
}

// "feedTime" is read as the pattern "%d:%d" reads it: "08:00:00" used to be
// refused (and dropped from the file at load) though the pattern reads 08:00.
// A number beyond a day is refused before it can overflow: "4294967296:5"
// used to come out of the C library's conversion as 0:05.
TEST_F(Schedule, TimesAreReadAsTheProtocolsPatternReadsThem) {
    struct Case {
        const char* text;
        int minutes;  // -1: refused
    } cases[] = {
        {"8:0", 480},
        {"08:00", 480},
        {"7:5", 425},
        {"08:00:00", 480},
        {"23:59", 1439},
        {"0:0", 0},
        {" 8: 5", 485},
        {"+8:+5", 485},
        {"8:05pm", 485},
        {"-0:00", 0},
        {"8:", -1},
        {":30", -1},
        {"8 :30", -1},
        {"8h30", -1},
        {"", -1},
        {"24:00", -1},
        {"7:60", -1},
        {"-1:5", -1},
        {"4294967296:5", -1},
        {"8:4294967296", -1},
        {"99999999999999999999:0", -1},
        {"2147483647:0", -1},
        {"0:-2147483648", -1},
    };
    for (const Case& c : cases) {
        int m = -7;
        EXPECT_EQ(sched_parse_time(c.text, &m), c.minutes < 0 ? -1 : 0) << c.text;
        if (c.minutes >= 0) {
            EXPECT_EQ(m, c.minutes) << c.text;
        }
    }
    // The file's loader is the same parser, and so is the phone's (Dispatch).
    EXPECT_EQ(
        load(
            R"([{"weight":"","feedAmount":"30","feedTime":"08:00:00","melody":"1","uuid":"a"},)"
            R"({"weight":"","feedAmount":"30","feedTime":"4294967296:5","melody":"1","uuid":"b"}])"),
        0);
    auto list = sched_snapshot();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_STREQ(list[0].uuid, "a");
    EXPECT_EQ(list[0].feed_time, 480);
}

}  // namespace
