// The whole device past 2038-01-19 03:14:07 UTC, the last second a 32-bit
// time_t holds, and in 2040: a scheduled meal served, weighed and reported
// with its date, a long press seen, the clock synchronised and given to the
// MCU. The armhf build runs it under qemu-arm, where a 32-bit time_t ended
// all of it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <regex>
#include <string>

#include "include/variant.h"
#include "tests/support/cloud.h"
#include "tests/support/desk.h"
#include "tests/support/emulation.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

namespace {

struct Year {
    const char* name;
    const char* start;      // local (Asia/Seoul) start; the meal is at 12:20
    const char* day;        // the start's weekday in the schedule's words
    const char* served_at;  // date text of the serve, to the ten minutes
    int64_t epoch;          // the start, epoch seconds
    const char* mcu_date;   // set-time request: year - 2000, month, day, weekday
};

void PrintTo(const Year& y, std::ostream* os) {
    *os << y.start;
}

class Years : public ::testing::TestWithParam<Year> {};

TEST_P(Years, MealLongPressAndClock) {
    const Year& y = GetParam();
    std::string root = make_temp_dir("years");
    std::string sock = root + "/ctl.sock";
    CloudService cloud;
    ASSERT_TRUE(cloud.ready());
    mkdir((root + "/etc").c_str(), 0755);
    write_desk_conf(root, {cloud.addr(), "", ""});
    write_file(root + "/etc/feed_sched.conf",
               std::string(
                   R"([{"weight":"","feedAmount":"30","feedTime":"12:20","feedDaysOfTheWeek":[")") +
                   y.day + R"("],"melody":"1","uuid":"lunch"}])");
    std::string bin =
        std::string(HOPPERD_SIM_BIN_DIR) + (kSilentBuild ? "/hopperd-sim-silent" : "/hopperd-sim");
    // Until the device is up its clock runs ten times slower: a start-up the
    // desk kept two real seconds is past the meal at the test's pace.
    Process d({bin, "--root", root, "--speed", "20", "--start", y.start, "--control", sock});
    ASSERT_TRUE(d.wait_for("        sipid ---> ", 20)) << d.output();
    std::string paced = control_pace(sock, 200);
    ASSERT_NE(paced.find("\"ok\":true"), std::string::npos) << paced;
    control_request(sock, R"({"op":"set","pet_appetite":10,"pet_pace":0.5})");
    // A long press, edge by edge: the release comes when the device has
    // seen the press and its clock has moved on more than 5 s.
    auto device_time = [&] {
        std::smatch m;
        std::string s = control_request(sock, R"({"op":"state"})");
        return std::regex_search(s, m, std::regex("\"time\":(\\d+)")) ? std::stoll(m[1]) : 0;
    };
    control_request(sock, R"({"op":"button","line":"wps","edge":"press"})");
    ASSERT_TRUE(d.wait_for("==> interrupt -> ch :/dev/gpio/f | port : 0x02", 10)) << d.output();
    int64_t pressed = device_time();
    ASSERT_GT(pressed, 0);
    for (int i = 0; i < int(slowed(10) * 50) && device_time() < pressed + 8; ++i) usleep(20000);
    control_request(sock, R"({"op":"button","line":"wps","edge":"release"})");
    EXPECT_TRUE(d.wait_for(">>>>>>>>>>> WPS wifi connection...", 10)) << d.output();

    ASSERT_TRUE(cloud.wait_message("/Ovexa/api/messaging", "먹었습니다.", slowed(30)))
        << d.output();
    int served = 0, eaten = 0;
    for (const std::string& msg : cloud.messages("/Ovexa/api/messaging")) {
        served += std::regex_search(msg, std::regex(std::string("^\\$\\{product.alias\\} \\d+g "
                                                                "제공되었습니다. ") +
                                                    y.served_at + "\\d:\\d\\d\n?$"));
        eaten += std::regex_search(msg, std::regex("\\d+g/\\d+g 먹었습니다\\.$"));
    }
    EXPECT_EQ(served, 1) << d.output();
    EXPECT_EQ(eaten, 1);

    // Synchronised at start and after the weighing: each time "date +%s"
    // read as 64-bit seconds (a reading that is no number is logged), the
    // clock never set back, and the time passed on to the MCU. The weighing
    // reports first and synchronises after: it may still be under way.
    auto date_reads = [&] {
        int n = 0;
        for (auto& e : control_events(sock, "shell")) n += e.second == "date +%s";
        return n;
    };
    auto mcu_dates = [&] {
        int n = 0;
        for (auto& e : control_events(sock, "mcu_rx"))
            n += e.second.rfind(std::string("A1 08 01 ") + y.mcu_date, 0) == 0;
        return n;
    };
    int reads = date_reads();
    int mcu = mcu_dates();
    for (int i = 0; i < int(slowed(10) * 50) && (reads < 2 || mcu < 2); ++i) {
        usleep(20000);
        reads = date_reads();
        mcu = mcu_dates();
    }
    EXPECT_GE(reads, 2);
    EXPECT_EQ(d.output().find("no time from date"), std::string::npos) << d.output();
    EXPECT_TRUE(control_events(sock, "clock").empty());
    // Nor moved anywhere else: still the test's hour.
    int64_t now = device_time();
    EXPECT_GE(now, y.epoch);
    EXPECT_LT(now, y.epoch + 3600);
    EXPECT_GE(mcu, 2);
    EXPECT_EQ(d.stop(SIGINT, 20), 0) << d.output();
    remove_tree(root);
}

INSTANTIATE_TEST_SUITE_P(PastTheEndOf32Bits, Years,
                         ::testing::Values(
                             // 2038-01-19 03:15:00 UTC: past 2^31 - 1 from the start.
                             Year{"In2038", "2038-01-19 12:15:00", "day-tue", "2038/01/19-2-12:2",
                                  INT64_C(2147483700), "26 01 13 02 "},
                             Year{"In2040", "2040-02-29 12:15:00", "day-wed", "2040/02/29-3-12:2",
                                  INT64_C(2214098100), "28 02 1D 03 "}),
                         [](const ::testing::TestParamInfo<Year>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
