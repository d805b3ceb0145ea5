// The console's checks of what the page sends: good requests become the
// phone's arguments or one control line, bad ones a reason and nothing else.
#include <gtest/gtest.h>
#include <jansson.h>

#include <string>
#include <vector>

#include "include/owned.h"
#include "tools/console/input.h"

namespace {

using Args = std::vector<std::string>;

JsonPtr body(const char* json) {
    json_error_t err;
    JsonPtr j(json_loads(json, 0, &err));
    EXPECT_TRUE(j) << json;
    return j;
}

std::string feed(const char* json, Args* args) {
    return console::feed_args(body(json).get(), args);
}

std::string entry(const char* json, const char* verb, Args* args) {
    return console::entry_args(body(json).get(), verb, args);
}

std::string world(const char* json, std::string* line) {
    return console::world_line(body(json).get(), line);
}

TEST(ConsoleInput, FeedTakesWholeGramsAndAMelody) {
    Args a;
    EXPECT_EQ(feed(R"({"amount":" 30 ","melody":"2"})", &a), "");
    EXPECT_EQ(a, (Args{"feed", "30", "2"}));
    EXPECT_EQ(feed(R"({"amount":"0","melody":"0"})", &a), "");  // weighs and serves what is there
    EXPECT_EQ(a, (Args{"feed", "0", "0"}));
    EXPECT_EQ(feed(R"({"amount":"007","melody":"1"})", &a), "");
    EXPECT_EQ(a[1], "7");
}

TEST(ConsoleInput, FeedRefusesWhatIsNotAnAmountAndLeavesTheArgumentsAlone) {
    const struct {
        const char* body;
        const char* reason;
    } cases[] = {
        {R"({"amount":"abc","melody":"1"})", "amount \"abc\" is not a number"},
        {R"({"amount":"30g","melody":"1"})", "amount \"30g\" is not a number"},
        {R"({"amount":"-5","melody":"1"})", "amount \"-5\" is not a number"},
        {R"({"amount":"2.5","melody":"1"})", "amount \"2.5\" is not a number"},
        {R"({"amount":"1001","melody":"1"})", "amount must be 0 to 1000 g"},
        {R"({"amount":"99999999999","melody":"1"})", "is not a number"},
        {R"({"amount":"","melody":"1"})", "give the amount"},
        {R"({"amount":30,"melody":"1"})", "give the amount"},
        {R"({"melody":"1"})", "give the amount"},
        {R"({"amount":"30","melody":"4"})", "melody must be 0 (none), 1, 2 or 3"},
        {R"({"amount":"30","melody":"12"})", "melody must be"},
        {R"({"amount":"30"})", "melody must be"},
    };
    for (const auto& c : cases) {
        Args a = {"untouched"};
        std::string why = feed(c.body, &a);
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.body << " -> " << why;
        EXPECT_EQ(a, Args{"untouched"}) << c.body;
    }
}

TEST(ConsoleInput, ScheduleEntryBecomesThePhonesArguments) {
    Args a;
    EXPECT_EQ(entry(R"({"uuid":"breakfast","time":"7:05","amount":"25","days":["mon","thur"],
                        "melody":"2","weight":"w1"})",
                    "sched-modify", &a),
              "");
    EXPECT_EQ(a, (Args{"sched-modify", "breakfast", "7:05", "25", "mon,thur", "2", "w1"}));
    EXPECT_EQ(
        entry(R"({"time":"23:59","amount":"30","days":["sun"],"melody":"1"})", "sched-append", &a),
        "");
    ASSERT_EQ(a.size(), 7u);
    EXPECT_EQ(a[1].size(), 36u) << a[1];  // an append without a uuid gets a new one
    EXPECT_EQ(a[2], "23:59");
    EXPECT_EQ(a[6], "");
    Args again;
    entry(R"({"time":"0:00","amount":"30","days":["sun"],"melody":"1"})", "sched-append", &again);
    EXPECT_NE(again[1], a[1]);
    EXPECT_EQ(again[2], "0:00");
}

TEST(ConsoleInput, ScheduleEntryRefusesBadTimesDaysAndNames) {
    const char* bad_times[] = {"7.30", "24:00", "7:60",   "7:5",   ":30",   "7:",     "7:30:00",
                               "",     "abc",   "07:300", "-1:30", "7 :30", "1:2:3:4"};
    for (const char* t : bad_times) {
        JsonPtr b = body(R"({"amount":"30","days":["mon"],"melody":"1"})");
        json_object_set_new(b.get(), "time", json_string(t));
        Args a;
        std::string why = console::entry_args(b.get(), "sched-append", &a);
        EXPECT_NE(why.find("is not h:mm"), std::string::npos) << t << " -> " << why;
        EXPECT_TRUE(a.empty()) << t;
    }
    const struct {
        const char* body;
        const char* verb;
        const char* reason;
    } cases[] = {
        {R"({"time":"7:30","amount":"30","days":[],"melody":"1"})", "sched-append",
         "choose at least one day"},
        {R"({"time":"7:30","amount":"30","days":["thu"],"melody":"1"})", "sched-append",
         "unknown day \"thu\""},
        {R"({"time":"7:30","amount":"30","days":[3],"melody":"1"})", "sched-append", "unknown day"},
        {R"({"time":"7:30","amount":"x","days":["mon"],"melody":"1"})", "sched-append",
         "\"x\" is not a number"},
        {R"({"time":"7:30","amount":"30","days":["mon"],"melody":"1"})", "sched-modify",
         "say which schedule entry"},
        {R"({"uuid":"--proxy","time":"7:30","amount":"30","days":["mon"],"melody":"1"})",
         "sched-modify", "must be up to 63 letters"},
        {R"({"uuid":"a b","time":"7:30","amount":"30","days":["mon"],"melody":"1"})",
         "sched-append", "must be up to 63 letters"},
        {R"({"time":"7:30","amount":"30","days":["mon"],"melody":"1","weight":"twelve bytes"})",
         "sched-append", "longer than 11 bytes"},
        {R"({"time":"7:30","amount":"30","days":["mon"],"melody":"1","weight":"a\u0001"})",
         "sched-append", "control character"},
    };
    for (const auto& c : cases) {
        Args a;
        std::string why = entry(c.body, c.verb, &a);
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.body << " -> " << why;
        EXPECT_TRUE(a.empty()) << c.body;
    }
    std::string long_id(64, 'a');
    JsonPtr b = body(R"({"time":"7:30","amount":"30","days":["mon"],"melody":"1"})");
    json_object_set_new(b.get(), "uuid", json_string(long_id.c_str()));
    Args a;
    EXPECT_NE(console::entry_args(b.get(), "sched-append", &a), "");
    long_id.pop_back();
    json_object_set_new(b.get(), "uuid", json_string(long_id.c_str()));
    EXPECT_EQ(console::entry_args(b.get(), "sched-append", &a), "");
}

TEST(ConsoleInput, DeleteNeedsTheEntry) {
    Args a;
    EXPECT_EQ(console::delete_args(body(R"({"uuid":"breakfast"})").get(), &a), "");
    EXPECT_EQ(a, (Args{"sched-delete", "breakfast"}));
    Args none;
    EXPECT_NE(console::delete_args(body(R"({})").get(), &none), "");
    EXPECT_NE(console::delete_args(body(R"({"uuid":"-x"})").get(), &none), "");
    EXPECT_TRUE(none.empty());
}

TEST(ConsoleInput, WorldActionsBecomeControlRequests) {
    const struct {
        const char* body;
        const char* line;
    } cases[] = {
        {R"({"action":"bowl","present":false})", R"({"op":"bowl","present":false})"},
        {R"({"action":"network","up":true})", R"({"op":"set","network_up":true})"},
        {R"({"action":"hopper","grams":"120"})", R"({"op":"set","hopper":120})"},
        {R"({"action":"button","line":"wps","seconds":"6"})",
         R"({"op":"button","line":"wps","hold_s":6})"},
        {R"({"action":"fault","target":"ldcell","kind":"never_ready","count":"3"})",
         R"({"op":"fault","target":"ldcell","kind":"never_ready","count":3})"},
        {R"({"action":"clear_faults"})", R"({"op":"clear_faults"})"},
        {R"({"action":"clock","time":"7:55"})", R"({"op":"clock","time":"07:55:00"})"},
        {R"({"action":"clock","time":"23:59:30"})", R"({"op":"clock","time":"23:59:30"})"},
    };
    for (const auto& c : cases) {
        std::string line;
        EXPECT_EQ(world(c.body, &line), "") << c.body;
        // Key order is jansson's: compare as JSON.
        JsonPtr got = body(line.c_str()), want = body(c.line);
        EXPECT_TRUE(json_equal(got.get(), want.get())) << line;
    }
}

TEST(ConsoleInput, WorldRefusesBadValues) {
    const struct {
        const char* body;
        const char* reason;
    } cases[] = {
        {R"({"action":"bowl","present":"no"})", "bowl needs true or false"},
        {R"({"action":"hopper","grams":"lots"})", "hopper \"lots\" is not a number"},
        {R"({"action":"hopper","grams":"100001"})", "hopper must be 0 to 100000 g"},
        {R"({"action":"button","line":"power","seconds":"6"})", "button must be reset or wps"},
        {R"({"action":"button","line":"reset","seconds":"61"})", "hold must be 0 to 60 s"},
        {R"({"action":"fault","target":"toaster","kind":"silent","count":"1"})",
         "fault target must be mcu or ldcell"},
        {R"({"action":"fault","target":"mcu","kind":"Fire!","count":"1"})", "is not a kind"},
        {R"({"action":"fault","target":"mcu","kind":"silent","count":"0"})",
         "fault must be 1 to 1000 replies"},
        {R"({"action":"clock","time":"25:00"})", "is not h:mm or h:mm:ss"},
        {R"({"action":"clock","time":"7:55:6"})", "is not h:mm or h:mm:ss"},
        {R"({"action":"fly"})", "unknown action \"fly\""},
        {R"({})", "unknown action"},
    };
    for (const auto& c : cases) {
        std::string line = "untouched";
        std::string why = world(c.body, &line);
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.body << " -> " << why;
        EXPECT_EQ(line, "untouched") << c.body;
    }
}

TEST(ConsoleInput, ControlRequestsByHandAreOneObjectWithAnOp) {
    std::string line;
    EXPECT_EQ(console::control_line("  {\"op\": \"state\"}\n", &line), "");
    EXPECT_EQ(line, R"({"op":"state"})");  // one line, whatever was typed
    EXPECT_EQ(console::control_line("{\"op\":\"log\",\"since\":3}", &line), "");
    for (const char* bad : {"", "state", "[1]", "{\"op\":1}", "{\"x\":\"state\"}",
                            "{\"op\":\"state\"} {\"op\":\"state\"}"}) {
        line = "untouched";
        EXPECT_NE(console::control_line(bad, &line), "") << bad;
        EXPECT_EQ(line, "untouched") << bad;
    }
}

}  // namespace
