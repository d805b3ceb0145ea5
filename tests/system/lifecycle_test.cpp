// The whole device lifecycle through hopperd-sim: network wait, buttons,
// watchdog, the shutdown order of each build.
#include <gtest/gtest.h>
#include <jansson.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <regex>

#include "include/variant.h"
#include "tests/support/desk.h"
#include "tests/support/emulation.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

namespace {

// A long press, held 15 virtual s on a clock at 25 times real time. The
// daemon reads each edge when its button thread gets to it, and a reader
// late by some real time sees the edge that time times the speed late:
// under qemu-arm beside other suites a press was seen 5 s late at 50 times
// real time, and a 10 s press passed for a short one. The 5/6 s boundary
// itself is the component tests' work.
const int kPressSpeed = 25;
const char kLongReset[] = R"({"op":"button","line":"reset","hold_s":15})";

class Lifecycle : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = make_temp_dir("life");
        sock_ = root_ + "/ctl.sock";
        write_desk_conf(root_);
    }
    void TearDown() override {
        if (d_) d_->stop(SIGKILL, 5);
        remove_tree(root_);
    }
    // `warp`: at most `speed`, and time held at each late wake-up.
    void start(bool network_up = true, int speed = 50, bool warp = false) {
        std::string bin = std::string(HOPPERD_SIM_BIN_DIR) +
                          (kSilentBuild ? "/hopperd-sim-silent" : "/hopperd-sim");
        std::vector<std::string> args = {
            bin, "--root", root_, "--speed", std::to_string(speed), "--control", sock_};
        if (warp) args.insert(args.end(), {"--warp", "--max-speed", std::to_string(speed)});
        d_ = std::make_unique<Process>(args);
        // The calibration takes 37 virtual seconds: time enough to cut the network.
        for (int i = 0; i < int(slowed(2) * 100) && ctl("{\"op\":\"state\"}").empty(); ++i)
            usleep(10000);
        if (!network_up) {
            ASSERT_EQ(ctl(R"({"op":"set","network_up":false})"), "{\"ok\":true}");
        }
    }
    std::string ctl(const std::string& req) { return control_request(sock_, req); }
    std::vector<std::pair<int64_t, std::string>> events(const char* kind) {
        return control_events(sock_, kind);
    }
    // Bounded by the real clock: under emulation each look reads a long
    // record, and a bound in looks stretched to minutes.
    bool shell_ran(const std::string& cmd, double seconds) {
        auto until = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(int64_t(slowed(seconds) * 1000));
        do {
            for (auto& e : events("shell"))
                if (e.second == cmd) return true;
            usleep(50000);
        } while (std::chrono::steady_clock::now() < until);
        return false;
    }
    // Positions of texts in the output, in the order given; -1 when missing.
    std::vector<long> positions(const std::vector<std::string>& texts) {
        std::string out = d_->output();
        std::vector<long> at;
        for (const std::string& t : texts) {
            size_t p = out.find(t);
            at.push_back(p == std::string::npos ? -1 : long(p));
        }
        return at;
    }
    static bool ascending(const std::vector<long>& v) {
        for (size_t i = 0; i < v.size(); ++i)
            if (v[i] < 0 || (i && v[i] < v[i - 1])) return false;
        return true;
    }
    std::string root_, sock_;
    std::unique_ptr<Process> d_;
};

TEST_F(Lifecycle, FactoryResetWorksWhileWaitingForTheNetwork) {
    start(false, kPressSpeed);
    ASSERT_TRUE(d_->wait_for("Wi-Fi Error...........!!!", 20)) << d_->output();
    ASSERT_EQ(ctl(kLongReset), "{\"ok\":true}");
    ASSERT_TRUE(shell_ran("reboot &", 10)) << d_->output();
    EXPECT_TRUE(d_->wait_for(">>>>>>>>>>> factory default...", 1));
    EXPECT_EQ(read_file(root_ + "/etc/feed_sched.conf"), "[]");
    // The wait has no other way out than the network.
    size_t mark = d_->output().size();
    EXPECT_TRUE(d_->wait_for("Wi-Fi Error...........!!!", 5, mark));
    ctl(R"({"op":"set","network_up":true})");
    EXPECT_TRUE(d_->wait_for("Bye....", 20)) << d_->output();
    EXPECT_EQ(d_->stop(0, 10), 0);
}

TEST_F(Lifecycle, SigintWaitsForTheNetworkThenShutsDownInOrder) {
    start(false);
    ASSERT_TRUE(d_->wait_for("Wi-Fi Error...........!!!", 20)) << d_->output();
    kill(d_->pid(), SIGINT);
    size_t mark = d_->output().size();
    EXPECT_TRUE(d_->wait_for("Wi-Fi Error...........!!!", 5, mark));
    sleep_slowed(0.2);
    EXPECT_EQ(d_->output().find("Bye...."), std::string::npos);
    ctl(R"({"op":"set","network_up":true})");
    EXPECT_TRUE(d_->wait_for("Bye....", 20)) << d_->output();
    EXPECT_EQ(d_->stop(0, 10), 0);
    // The steps after the wait still ran; their threads found the flag cleared.
    EXPECT_TRUE(ascending(positions({"Wifi -> connection established!", "watchdog open fd : ",
                                     "shutdown: sip_thread_proc joined", "Bye...."})))
        << d_->output();
}

TEST_F(Lifecycle, StartUpInOrderWatchdogFedAndOrderlyShutdown) {
    // The beat is judged in virtual seconds. On a scaled clock alone a
    // watchdog thread the host runs late is late by that time times the
    // speed: under qemu-arm beside two suites one came 5 virtual s late at
    // 25 times real time, two keep-alives at once. The warp holds time at a
    // late wake-up, so what is judged is the daemon's beat, not the host's.
    start(true, 25, true);
    ASSERT_TRUE(d_->wait_for("uds client open fd : ", 20)) << d_->output();
    ASSERT_TRUE(d_->wait_for("heartbeat : 15 @ watchdog_thread_proc", 5)) << d_->output();
    EXPECT_TRUE(ascending(
        positions({"button open fd : ", "loadcell open fd : ", "ucom open fd : ", "ZELfI1:",
                   "uds server open fd : ", "sipid ---> ", "Wifi -> connection established!",
                   "watchdog open fd : ", "heartbeat : 15 @ watchdog_thread_proc"})))
        << d_->output();
    // The SIP thread starts after the watchdog thread, but nothing orders
    // their first lines.
    EXPECT_TRUE(ascending(positions({"watchdog open fd : ", "uds client open fd : "})));
    // Event times are the wall clock's, which the clock synchronisation sets:
    // the beat is judged after the last setting, over 100 virtual seconds.
    auto keepalives = [&] {
        std::vector<long> kicks;
        for (auto& e : events("")) {
            if (e.second.rfind("settimeofday ", 0) == 0) kicks.clear();
            if (e.second == "keepalive") kicks.push_back(e.first);
        }
        return kicks;
    };
    std::vector<long> kicks;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(int(slowed(20)));
    while ((kicks = keepalives()).size() < 21 && std::chrono::steady_clock::now() < until)
        usleep(200 * 1000);
    ASSERT_GE(kicks.size(), 10u);
    // A 5 s beat: a keep-alive the daemon itself makes late is followed by a
    // shorter gap; never two at once, never near the 15 s time-out, 5 s on
    // average.
    for (size_t i = 1; i < kicks.size(); ++i) {
        EXPECT_GE(kicks[i] - kicks[i - 1], 1) << i;
        EXPECT_LE(kicks[i] - kicks[i - 1], 10) << i;
    }
    EXPECT_NEAR(double(kicks.back() - kicks.front()) / double(kicks.size() - 1), 5.0, 0.5);
    EXPECT_EQ(ctl(R"({"op":"state"})").find("\"bitten\":true"), std::string::npos);

    EXPECT_EQ(d_->stop(SIGINT, 20), 0) << d_->output();
    // Both builds keep the watchdog fed until the last join that may take
    // long, then disarm it.
    std::vector<std::string> order = {"shutdown: sip_thread_proc joined",
                                      "shutdown: sched_thread_proc joined",
                                      "shutdown: ntp_thread_proc joined",
                                      "shutdown: feeder_thread_proc joined",
                                      "shutdown: bttn_thread_proc joined",
                                      "shutdown: uds_thread_proc joined",
                                      "sim: watchdog magic close: disarmed",
                                      "shutdown: watchdog_thread_proc joined",
                                      "Bye...."};
    EXPECT_TRUE(ascending(positions(order))) << d_->output();
    std::string out = d_->output();
    EXPECT_EQ(out.substr(out.size() - 8), "Bye....\n");
}

TEST_F(Lifecycle, LongWpsPressRunsTheWpsSequence) {
    start(true, kPressSpeed);
    ASSERT_TRUE(d_->wait_for("uds client open fd : ", 20)) << d_->output();
    ASSERT_EQ(ctl(R"({"op":"button","line":"wps","hold_s":15})"), "{\"ok\":true}");
    ASSERT_TRUE(shell_ran("dhclient wlan0 &", 10)) << d_->output();
    EXPECT_TRUE(d_->wait_for(">>>>>>>>>>> WPS wifi connection...", 1));
    EXPECT_TRUE(shell_ran("wpa_cli wps_pbc", 1));
    if (!kSilentBuild) {
        size_t at = d_->output().find(">>>>>>>>>>> WPS wifi connection...");
        EXPECT_TRUE(d_->wait_for("Wifi -> connection established!", 5, at));
    }
    EXPECT_EQ(d_->stop(SIGINT, 20), 0) << d_->output();
}

TEST_F(Lifecycle, LongResetPressWhileRunningRebootsAndExitsCleanly) {
    start(true, kPressSpeed);
    ASSERT_TRUE(d_->wait_for("uds client open fd : ", 20)) << d_->output();
    ASSERT_EQ(ctl(kLongReset), "{\"ok\":true}");
    // The daemon stops right after the reboot command: its output, not the
    // control socket, has to say so.
    ASSERT_TRUE(d_->wait_for("sim: reboot requested", 10)) << d_->output();
    EXPECT_TRUE(d_->wait_for("Bye....", 20)) << d_->output();
    EXPECT_EQ(d_->stop(0, 10), 0);
}

}  // namespace
