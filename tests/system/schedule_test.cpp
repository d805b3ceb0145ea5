// The schedule in a whole device: a scheduled meal, and the file under a
// process killed in the middle of a save.
#include <gtest/gtest.h>
#include <jansson.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <regex>

#include "include/variant.h"
#include "tests/support/cloud.h"
#include "tests/support/desk.h"
#include "tests/support/emulation.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

namespace {

// "HH:MM" of an epoch second in the device's zone (Korea: UTC+9, no summer time).
std::string device_hm(int64_t t) {
    time_t s = time_t(t + 9 * 3600);
    struct tm tm;
    gmtime_r(&s, &tm);
    char out[8];
    strftime(out, sizeof out, "%H:%M", &tm);
    return out;
}

// The device's clock as "HH:MM", from the simulator's state.
std::string state_hm(const std::string& sock) {
    std::smatch m;
    std::string s = control_request(sock, R"({"op":"state"})");
    return std::regex_search(s, m, std::regex("\"time\":(\\d+)")) ? device_hm(std::stoll(m[1]))
                                                                  : "";
}

// Waits (real seconds) until the device's clock shows `until` ("HH:MM").
bool wait_state_hm(const std::string& sock, const std::string& until, double seconds) {
    for (int i = 0; i < int(seconds * 20); ++i) {
        if (state_hm(sock) >= until) return true;
        usleep(50000);
    }
    return false;
}

TEST(ScheduledMeal, FillsAtFiveToServesAtTheMinuteReportsOnce) {
    std::string root = make_temp_dir("schedmeal");
    std::string sock = root + "/ctl.sock";
    CloudService cloud;
    ASSERT_TRUE(cloud.ready());
    mkdir((root + "/etc").c_str(), 0755);
    write_desk_conf(root, {cloud.addr(), "", ""});
    // 2026-12-07 is a Monday.
    write_file(
        root + "/etc/feed_sched.conf",
        R"([{"weight":"","feedAmount":"30","feedTime":"8:0","feedDaysOfTheWeek":["day-mon"],"melody":"2","uuid":"breakfast"}])");
    std::string bin =
        std::string(HOPPERD_SIM_BIN_DIR) + (kSilentBuild ? "/hopperd-sim-silent" : "/hopperd-sim");
    // Start-up (37 virtual seconds of calibration) must be over before the
    // fill's minute: from 07:55 at a hundred times real time, an
    // AddressSanitizer start-up beside three suites ended past 08:02, and the
    // fill came at 08:03. Until the device is up its clock runs five times
    // slower.
    Process d({bin, "--root", root, "--speed", "20", "--start", "2026-12-07 07:50:00", "--control",
               sock});
    ASSERT_TRUE(d.wait_for("        sipid ---> ", slowed(20))) << d.output();
    control_pace(sock, 100);
    control_request(sock, R"({"op":"set","pet_appetite":10,"pet_pace":0.5})");
    // The fill and the serve must each fall in their own minute. The fill's
    // half minute of motor steps leaves a few tenths of a real second at a
    // hundred times real time, less than a loaded host may hold the runner
    // (a step at 07:59, a serve at 08:01); from a minute before the fill
    // until the serve the clock runs five times slower.
    ASSERT_TRUE(wait_state_hm(sock, "07:57", slowed(30))) << d.output();
    ASSERT_LT(state_hm(sock), "07:58") << "the start-up ended in the fill's minute\n" << d.output();
    control_pace(sock, 20);
    ASSERT_TRUE(cloud.wait_message("/Ovexa/api/feeding-log", "g 제공", slowed(30))) << d.output();
    control_pace(sock, 100);
    ASSERT_TRUE(cloud.wait_message("/Ovexa/api/messaging", "먹었습니다.", slowed(20)))
        << d.output();

    std::vector<std::string> motor, out;
    for (auto& e : control_events(sock, "motor"))
        if (e.second.rfind("feed", 0) == 0) motor.push_back(device_hm(e.first));
    for (auto& e : control_events(sock, "mcu_rx"))
        if (e.second == "A1 02 13 00 EC A8") out.push_back(device_hm(e.first));
    ASSERT_FALSE(motor.empty()) << d.output();
    for (const std::string& hm : motor) EXPECT_EQ(hm, "07:58") << d.output();
    ASSERT_EQ(out.size(), 2u);  // the calibration's, then the meal's
    EXPECT_EQ(out[1], "08:00") << d.output();
    bool melody2 = false;
    for (auto& e : control_events(sock, "shell"))
        melody2 |= e.second == "/root/play /root/audio/melody2.g711";
    EXPECT_EQ(melody2, !kSilentBuild);

    auto logs = cloud.messages("/Ovexa/api/feeding-log");
    ASSERT_EQ(logs.size(), 1u);  // once, not twice
    std::smatch m;
    ASSERT_TRUE(std::regex_match(logs[0], m, std::regex("(\\d+)g 제공")));
    std::string n = m[1];
    int served = 0, eaten = 0;
    for (const std::string& msg : cloud.messages("/Ovexa/api/messaging")) {
        served +=
            msg.rfind("${product.alias} " + n + "g 제공되었습니다. 2026/12/07-1-08:0", 0) == 0;
        eaten += msg.rfind("${product.alias} " + n + "g/", 0) == 0;
    }
    EXPECT_EQ(served, 1);
    EXPECT_EQ(eaten, 1);
    EXPECT_EQ(d.stop(SIGINT, 20), 0) << d.output();
    remove_tree(root);
}

TEST(ScheduleFile, KilledMidSaveLeavesTheOldOrTheNewList) {
    std::string root = make_temp_dir("saveloop");
    mkdir((root + "/etc").c_str(), 0755);
    std::mt19937 rng(12345);
    int seen[2] = {0, 0};
    for (int round = 0; round < 60; ++round) {
        Process p({std::string(HOPPERD_SIM_BIN_DIR) + "/tests/save_loop", root});
        ASSERT_TRUE(p.wait_for("ready", 10)) << p.output();
        usleep(useconds_t(std::uniform_int_distribution<int>(0, 20000)(rng)));
        p.stop(SIGKILL, 5);
        std::string text = read_file(root + "/etc/feed_sched.conf");
        json_error_t err;
        json_t* j = json_loads(text.c_str(), 0, &err);
        ASSERT_NE(j, nullptr) << "round " << round << ": " << text.substr(0, 200);
        size_t n = json_array_size(j);
        EXPECT_TRUE(n == 3 || n == 40) << n;
        seen[n == 40]++;
        json_decref(j);
    }
    EXPECT_GT(seen[0] + seen[1], 0);
    remove_tree(root);
}

// Whole meals where something else comes between a meal's fill and its
// serve. Each test prints what the owner was told, and checks that nothing
// negative and nothing twice was ever sent.
class Meals : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = make_temp_dir("meals");
        sock_ = root_ + "/ctl.sock";
        cloud_ = std::make_unique<CloudService>();
        ASSERT_TRUE(cloud_->ready());
        write_desk_conf(root_, {cloud_->addr(), "", ""});
    }
    void TearDown() override {
        if (d_) {
            EXPECT_EQ(d_->stop(SIGINT, 20), 0) << d_->output();
        }
        d_.reset();
        cloud_.reset();
        remove_tree(root_);
    }
    // Monday entries (2026-12-07 is a Monday).
    void schedule(const std::vector<std::string>& times) {
        std::string list;
        for (const std::string& t : times)
            list += std::string(list.empty() ? "" : ",") +
                    R"({"weight":"","feedAmount":"30","feedTime":")" + t +
                    R"(","feedDaysOfTheWeek":["day-mon"],"melody":"1","uuid":"meal-)" + t + "\"}";
        write_file(root_ + "/etc/feed_sched.conf", "[" + list + "]");
    }
    // The start-up takes what real time the desk gives it: under an
    // emulator beside other suites, seven real seconds, which at the test's
    // pace is past a meal five minutes on. Until the device is up its clock
    // runs ten times slower; then at `pace`.
    void start(const char* at, const std::vector<std::string>& more = {}, double pace = 200) {
        std::string bin = std::string(HOPPERD_SIM_BIN_DIR) +
                          (kSilentBuild ? "/hopperd-sim-silent" : "/hopperd-sim");
        std::vector<std::string> args = {bin,       "--root", root_,       "--speed", "20",
                                         "--start", at,       "--control", sock_};
        args.insert(args.end(), more.begin(), more.end());
        d_ = std::make_unique<Process>(args);
        ASSERT_TRUE(d_->wait_for("        sipid ---> ", 20)) << d_->output();
        std::string paced = control_pace(sock_, pace);
        ASSERT_NE(paced.find("\"ok\":true"), std::string::npos) << paced;
    }
    std::string ctl(const std::string& req) { return control_request(sock_, req); }
    std::string hm() { return state_hm(sock_); }
    bool wait_hm(const std::string& until, double seconds) {
        return wait_state_hm(sock_, until, seconds);
    }
    bool wait_event(const char* kind, const std::string& text, double seconds) {
        for (int i = 0; i < int(seconds * 20); ++i) {
            for (auto& e : control_events(sock_, kind))
                if (e.second == text) return true;
            usleep(50000);
        }
        return false;
    }
    // Waits (real seconds) until the owner has been told `n` texts holding
    // `part`: what the device does when, not the desk's pace, decides.
    bool wait_told(const std::string& part, int n, double seconds) {
        for (int i = 0; i < int(seconds * 20); ++i) {
            int got = 0;
            for (const std::string& t : cloud_->messages("/Ovexa/api/messaging"))
                got += t.find(part) != std::string::npos;
            if (got >= n) return true;
            usleep(50000);
        }
        return false;
    }
    int count(const std::string& part) {
        int n = 0;
        for (const std::string& t : texts_) n += t.find(part) != std::string::npos;
        return n;
    }
    // What the owner was told; every served amount is at least 0 and every
    // eaten report names a served amount and no more than it.
    void read_texts() {
        texts_ = cloud_->messages("/Ovexa/api/messaging");
        std::vector<int> served;
        std::smatch m;
        for (const std::string& t : texts_) {
            printf("owner: %s\n", t.c_str());
            if (std::regex_search(t, m, std::regex("(-?\\d+)g 제공되었습니다"))) {
                EXPECT_GE(std::stoi(m[1]), 0) << t;
                served.push_back(std::stoi(m[1]));
            }
            if (std::regex_search(t, m, std::regex("(-?\\d+)g/(-?\\d+)g 먹었습니다"))) {
                EXPECT_NE(std::find(served.begin(), served.end(), std::stoi(m[1])), served.end())
                    << t;
                EXPECT_LE(std::stoi(m[2]), std::stoi(m[1]) + 3) << t;
                EXPECT_GE(std::stoi(m[2]), 0) << t;
            }
        }
        fflush(stdout);
    }
    std::string root_, sock_;
    std::unique_ptr<CloudService> cloud_;
    std::unique_ptr<Process> d_;
    std::vector<std::string> texts_;
};

// The owner feeds from the phone after the meal was filled and before its
// minute: that feeding ends, with its report, when the meal's minute takes
// the bowl back to fill it again, and the meal is served.
TEST_F(Meals, ManualFeedingBetweenFillAndServe) {
    schedule({"8:0"});
    // At the test's pace the fill minute is a real second under an emulator,
    // and the two minutes between the fill and the serve two: less than a
    // loaded host may take to look at the clock before the fill, or to see
    // the fill's end and send the owner's feeding. So the clock runs at the
    // start-up's slow pace until the owner is answered, from three minutes
    // before the fill.
    start("2026-12-07 07:55:00", {}, 20);
    ctl(R"({"op":"set","pet_appetite":10,"pet_pace":0.5})");
    ASSERT_TRUE(wait_event("motor", "back 20", slowed(60))) << d_->output();  // the fill is done
    std::string fed_at = hm();
    ASSERT_LT(fed_at, "08:00") << "the fill came in the meal's minute\n" << d_->output();
    std::string reply = ctl(R"({"op":"feed","amount":20,"melody":"1"})");
    EXPECT_NE(reply.find("\"reply\":9"), std::string::npos) << reply << " at " << hm();
    control_pace(sock_, 200);
    // The meal's rest is weighed ten minutes after its serve.
    ASSERT_TRUE(wait_told("먹었습니다.", 2, slowed(60))) << d_->output();
    ASSERT_TRUE(wait_hm("08:20", slowed(30)));  // and nothing more comes
    read_texts();
    EXPECT_EQ(count("g 제공되었습니다."), 2) << "fed at " << fed_at;
    EXPECT_EQ(count("먹었습니다."), 2);
}

// Two meals a minute apart: each is served, the first one's rest reported
// when the second one's fill takes the bowl back.
TEST_F(Meals, TwoMealsAMinuteApart) {
    schedule({"8:0", "8:1"});
    start("2026-12-07 07:55:00");
    ctl(R"({"op":"set","pet_appetite":10,"pet_pace":0.5})");
    ASSERT_TRUE(wait_told("먹었습니다.", 2, slowed(60))) << d_->output();
    ASSERT_TRUE(wait_hm("08:25", slowed(30)));  // and nothing more comes
    read_texts();
    EXPECT_EQ(count("g 제공되었습니다."), 2);
    EXPECT_EQ(count("먹었습니다."), 2);
}

// The bowl taken away before the meal: one notice, the bowl out once for the
// owner, and no shuttling for the rest of the fill minute.
TEST_F(Meals, BowlTakenAwayAtTheMeal) {
    schedule({"8:0"});
    // Eight minutes before the fill, as the manual feeding test above: under
    // ThreadSanitizer beside two other suites the start-up took more than
    // five, and the bowl was taken away only after the meal had been served.
    start("2026-12-07 07:50:00");
    ctl(R"({"op":"bowl","present":false})");
    ASSERT_LT(hm(), "07:58") << "the bowl was taken away after the fill\n" << d_->output();
    ASSERT_TRUE(wait_hm("08:03", 30));
    read_texts();
    EXPECT_EQ(count("그릇이 빠진것같습니다. 확인해주세요."), 1) << d_->output();
    EXPECT_EQ(count("제공"), 0);
    EXPECT_LE(count("밥그릇이 빠져 있습니다."), 1);
    int outs = 0;
    for (auto& e : control_events(sock_, "mcu_rx")) outs += e.second == "A1 02 13 00 EC A8";
    EXPECT_EQ(outs, 2);  // the calibration's, then the one for the owner
}

// The power comes back during a Wi-Fi outage: the device waits for the
// network before it goes on, but the meals of that wait are served and
// weighed, and the bowl comes back for the next one.
TEST_F(Meals, AStartWithoutNetworkStillWeighsItsMealsAndBringsTheBowlBack) {
    schedule({"8:0", "8:30"});
    start("2026-12-07 07:55:00", {"--network-down"});
    ctl(R"({"op":"set","pet_appetite":10,"pet_pace":0.5})");
    // Each rest is weighed ten minutes after its serve, and a fill the
    // loaded desk ran slowly serves late (08:34 under qemu-arm beside two
    // suites): the test waits for the weighings, not for a time of day.
    // With the network down they are kept, not sent: the log tells them.
    ASSERT_TRUE(d_->wait_for("먹었습니다.", slowed(60))) << d_->output();
    size_t first = d_->output().find("먹었습니다.");
    ASSERT_TRUE(d_->wait_for("먹었습니다.", slowed(60), first + 1)) << d_->output();
    ASSERT_TRUE(wait_hm("08:45", slowed(60))) << d_->output();  // and nothing more comes
    std::string out = d_->output();
    auto times = [&](const std::string& part) {
        int n = 0;
        for (size_t at = out.find(part); at != std::string::npos; at = out.find(part, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(times("g 제공되었습니다."), 2) << out;
    EXPECT_EQ(times("먹었습니다."), 2) << out;
    EXPECT_EQ(out.find("uds client open fd : "), std::string::npos) << "the network was down";
    // Back online, the start-up goes on (and an orderly stop can end it).
    ctl(R"({"op":"set","network_up":true})");
    EXPECT_TRUE(d_->wait_for("uds client open fd : ", slowed(30))) << d_->output();
}

// Stopped after the fill, started again inside the meal's minute (an
// update, a power blip): the meal used to be lost without a word, since a
// start inside the minute could not know whether it had been served.
TEST_F(Meals, RestartBetweenFillAndServe) {
    schedule({"8:0"});
    start("2026-12-07 07:55:00");
    ASSERT_TRUE(wait_event("motor", "back 20", 20)) << d_->output();  // the fill is done
    EXPECT_EQ(d_->stop(SIGINT, 20), 0) << d_->output();
    start("2026-12-07 08:00:15");  // calibrated by 08:00:52, still the meal's minute
    ASSERT_TRUE(wait_told("g 제공되었습니다.", 1, slowed(60))) << d_->output();
    ASSERT_TRUE(wait_hm("08:12", slowed(30)));  // past the meal's late window
    read_texts();
    ASSERT_EQ(count("g 제공되었습니다."), 1);
    EXPECT_EQ(count("g 제공되었습니다. 2026/12/07-1-08:0"), 1) << texts_[0];
}

// A power cut after the fill, just before the meal's minute: the next start
// calibrates into the minute and serves it.
TEST_F(Meals, PowerCutAfterTheFillJustBeforeTheMinute) {
    schedule({"8:0"});
    start("2026-12-07 07:55:00");
    ASSERT_TRUE(wait_event("motor", "back 20", 20)) << d_->output();  // the fill is done
    ASSERT_TRUE(wait_hm("07:59", slowed(30)));
    std::smatch m;
    std::string state = ctl(R"({"op":"state"})");
    ASSERT_TRUE(std::regex_search(state, m, std::regex("\"grams\":([0-9.]+)"))) << state;
    std::string grams = m[1];
    d_->stop(SIGKILL, 10);
    start("2026-12-07 07:59:36", {"--grams", grams});
    ASSERT_TRUE(wait_told("g 제공되었습니다.", 1, slowed(60))) << d_->output();
    ASSERT_TRUE(wait_hm("08:12", slowed(30)));
    read_texts();
    EXPECT_EQ(count("g 제공되었습니다. 2026/12/07-1-08:0"), 1) << d_->output();
}

// A power cut during a meal leaves food in the bowl. The next start weighed
// it as bowl and every amount after was a quarter light ("30g
// 제공되었습니다." with 99 g in the bowl); the kept calibration knows the
// bowl, and what the bowl holds is reported as it is.
TEST_F(Meals, StartWithFoodLeftInTheBowl) {
    start("2026-12-07 07:55:00");  // the first start calibrates on the empty bowl
    d_->stop(SIGKILL, 10);
    start("2026-12-07 09:00:00", {"--grams", "60"});
    std::smatch m;
    std::string out = d_->output();
    ASSERT_TRUE(std::regex_search(out, m, std::regex("the kept bowl, with (\\d+) g of food in it")))
        << out;
    int weighed = std::stoi(m[1]);
    // The pet eats while the calibration has the bowl out, as much as that
    // takes (longer on a slow machine); the bowl is in since, and what was
    // weighed is what it holds.
    ctl(R"({"op":"set","pet_appetite":0})");
    std::string calibrated = ctl(R"({"op":"state"})");
    ASSERT_TRUE(std::regex_search(calibrated, m, std::regex("\"grams\":([0-9.]+)"))) << calibrated;
    EXPECT_NE(calibrated.find("\"bowl\":\"in\""), std::string::npos) << calibrated;
    EXPECT_NEAR(weighed, std::stod(m[1]), 2.0);
    EXPECT_LE(weighed, 60);
    // Not hungry now: what the world holds after the serve is what was served,
    // however long the report takes to be read.
    std::string reply = ctl(R"({"op":"feed","amount":90,"melody":"1"})");
    EXPECT_NE(reply.find("\"reply\":9"), std::string::npos) << reply;
    ASSERT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "g 제공되었습니다.", slowed(20)));
    std::string state = ctl(R"({"op":"state"})");
    ASSERT_TRUE(std::regex_search(state, m, std::regex("\"grams\":([0-9.]+)"))) << state;
    double grams = std::stod(m[1]);
    read_texts();
    ASSERT_EQ(count("g 제공되었습니다."), 1);
    for (const std::string& t : texts_) {
        if (!std::regex_search(t, m, std::regex("(\\d+)g 제공되었습니다"))) continue;
        EXPECT_NEAR(std::stoi(m[1]), grams, 2.0) << t;
    }
    EXPECT_GE(grams, 87.0);
}

// The daemon restarted inside the meal's minute (an update, a crash) does not
// serve the meal a second time.
TEST_F(Meals, RestartInsideTheMealsMinute) {
    schedule({"8:0"});
    start("2026-12-07 07:55:00");
    ASSERT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "g 제공되었습니다.", 30))
        << d_->output();
    EXPECT_EQ(d_->stop(SIGINT, 20), 0) << d_->output();
    start("2026-12-07 08:00:05");               // calibrated by 08:00:42, still the meal's minute
    ASSERT_TRUE(wait_hm("08:12", slowed(30)));  // past the meal's late window
    read_texts();
    EXPECT_EQ(count("g 제공되었습니다."), 1);
}

}  // namespace
