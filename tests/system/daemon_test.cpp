// hopperd-sim as a real process: start-up, identity, supervision, shutdown.
#include <gtest/gtest.h>
#include <jansson.h>
#include <signal.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "include/variant.h"
#include "tests/support/cloud.h"
#include "tests/support/desk.h"
#include "tests/support/emulation.h"
#include "tests/support/process.h"
#include "tests/support/sim_fixture.h"

namespace {

class Daemon : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = make_temp_dir("daemon");
        ASSERT_FALSE(root_.empty());
        sock_ = root_ + "/ctl.sock";
        // Reports go to a loopback address nobody serves unless a test starts a service.
        mkdir((root_ + "/etc").c_str(), 0755);
        write_desk_conf(root_);
    }

    // Waits for the whole banner; returns false on time-out.
    static bool wait_banner(Process& p, double seconds = 20) {
        if (!p.wait_for("        sipid ---> ", seconds)) return false;
        size_t at = p.output().find("        sipid ---> ");
        return p.wait_for("\n\n=====", 5, at);
    }
    void TearDown() override { remove_tree(root_); }

    std::vector<std::string> argv(const char* speed = "50") {
        std::string bin = std::string(HOPPERD_SIM_BIN_DIR) +
                          (kSilentBuild ? "/hopperd-sim-silent" : "/hopperd-sim");
        return {bin, "--root", root_, "--speed", speed, "--control", sock_};
    }

    // Texts of the world's events of one kind, through the control socket.
    std::vector<std::string> events(const char* kind) {
        std::vector<std::string> out;
        for (auto& e : control_events(sock_, kind)) out.push_back(e.second);
        return out;
    }

    bool wait_event(const char* kind, const std::string& text, double seconds) {
        for (int i = 0; i < int(slowed(seconds) * 50); ++i) {
            for (const std::string& t : events(kind))
                if (t == text) return true;
            usleep(20000);
        }
        return false;
    }

    static std::string sipid_of(const std::string& out) {
        std::smatch m;
        std::regex re("        sipid ---> ([0-9a-f]{32})\n\n=====");
        return std::regex_search(out, m, re) ? m[1].str() : "";
    }

    std::string root_, sock_;
};

TEST_F(Daemon, FirstStartToOrderlyShutdown) {
    Process p(argv());
    ASSERT_TRUE(wait_banner(p)) << p.output();
    std::string out = p.output();
    EXPECT_NE(out.find("\n Quenra TOLVIK Feeder MAC addr ---> 00:1a:2b:3c:4d:5e\n"),
              std::string::npos);
    std::string sipid = sipid_of(out);
    ASSERT_EQ(sipid.size(), 32u) << out;

    std::string conf = read_file(root_ + "/etc/feeder.conf");
    ASSERT_TRUE(std::regex_match(
        conf, std::regex("uuid:[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\n")))
        << conf;
    std::string digits = conf.substr(5, 36);
    std::erase(digits, '-');
    EXPECT_EQ(digits, sipid);

    // Both LEDs switched on, then LED 3 blinks.
    auto rx = events("mcu_rx");
    ASSERT_GE(rx.size(), 2u);
    EXPECT_EQ(rx[0], "A1 02 03 01 FB A8");
    EXPECT_EQ(rx[1], "A1 02 04 01 FA A8");
    EXPECT_TRUE(wait_event("led", "led 3 off", 10));
    EXPECT_TRUE(wait_event("led", "led 3 on", 10));

    // The updater is started once and then seen running.
    EXPECT_TRUE(wait_event("shell", "/root/fw_update &", 10));
    sleep_slowed(0.5);
    auto shell = events("shell");
    EXPECT_EQ(std::count(shell.begin(), shell.end(), "/root/fw_update &"), 1);
    bool prompt =
        std::count(shell.begin(), shell.end(), "/root/play /root/audio/tolvikstart2.g711");
    EXPECT_EQ(prompt, !kSilentBuild);

    EXPECT_EQ(p.stop(SIGINT, 10), 0);
    out = p.output();
    // Every thread that must make progress was watched: a hung one would
    // have ended the keep-alives.
    for (const char* task :
         {"main", "sched", "uds", "monitor", "bttn", "ntp", "sip-stack", "cloud"})
        EXPECT_NE(out.find(std::string("watchdog : ") + task + " ended"), std::string::npos)
            << task;
    ASSERT_GE(out.size(), 8u);
    EXPECT_EQ(out.substr(out.size() - 8), "Bye....\n");
}

TEST_F(Daemon, SecondStartReusesTheIdentity) {
    std::string first;
    {
        Process p(argv());
        ASSERT_TRUE(wait_banner(p)) << p.output();
        first = sipid_of(p.output());
        EXPECT_EQ(p.stop(SIGINT, 10), 0);
    }
    std::string conf = read_file(root_ + "/etc/feeder.conf");
    Process p(argv());
    ASSERT_TRUE(p.wait_for("sipid ---> " + first, 20)) << p.output();
    EXPECT_EQ(read_file(root_ + "/etc/feeder.conf"), conf);
    EXPECT_EQ(p.stop(SIGINT, 10), 0);
}

// Reports an earlier run could not deliver go first at the next start, with
// the device's address like any other. The sending thread started before the
// start-up had read the address, so they went out for an empty product id,
// for no device, and the owner never saw them.
TEST_F(Daemon, ReportsKeptFromTheLastRunCarryTheDevicesAddress) {
    CloudService cloud;
    ASSERT_TRUE(cloud.ready());
    DeskConf desk;  // the SIP side stays on an address of its own
    desk.cloud_host = cloud.addr();
    write_desk_conf(root_, desk);
    std::string kept;
    for (int i = 0; i < 5; ++i)
        kept +=
            std::string(i ? "," : "[") + "{\"kind\":3,\"text\":\"kept " + std::to_string(i) + "\"}";
    write_file(root_ + "/etc/cloud_kept.conf", kept + "]");
    Process p(argv());
    ASSERT_TRUE(cloud.wait_message("/Ovexa/api/messaging", "kept 4", 20)) << p.output();
    int seen = 0;
    for (const CloudRecord& r : cloud.records()) {
        if (r.message.find("kept ") == std::string::npos) continue;
        ++seen;
        EXPECT_EQ(r.field("product-id"), "00:1a:2b:3c:4d:5e") << r.message;
    }
    EXPECT_EQ(seen, 5);
    // They go out early in the start-up: the stop comes once it has ended
    // (LED 3 blinks under the supervision).
    EXPECT_TRUE(wait_event("led", "led 3 off", 20)) << p.output();
    EXPECT_EQ(p.stop(SIGINT, 10), 0) << p.output();
}

TEST_F(Daemon, GarbageIdentityIsReplaced) {
    write_file(root_ + "/etc/feeder.conf", "uuid:" + std::string(10240, 'z') + "\n\x01\x02");
    Process p(argv());
    ASSERT_TRUE(wait_banner(p)) << p.output();
    std::string sipid = sipid_of(p.output());
    EXPECT_EQ(sipid.size(), 32u);
    std::string conf = read_file(root_ + "/etc/feeder.conf");
    EXPECT_EQ(conf.size(), 42u);
    EXPECT_EQ(p.stop(SIGINT, 10), 0);
}

TEST_F(Daemon, ControlSocketDrivesTheWorld) {
    Process p(argv());
    ASSERT_TRUE(p.wait_for("sipid ---> ", 20)) << p.output();
    EXPECT_EQ(control_request(sock_, "{\"op\":\"bowl\",\"present\":false}"), "{\"ok\":true}");
    EXPECT_EQ(control_request(sock_, "{\"op\":\"grams\",\"value\":42.5}"), "{\"ok\":true}");
    std::string state = control_request(sock_, "{\"op\":\"state\"}");
    EXPECT_NE(state.find("\"bowl_present\":false"), std::string::npos) << state;
    EXPECT_NE(state.find("\"grams\":42.5"), std::string::npos) << state;
    EXPECT_NE(control_request(sock_, "not json").find("\"ok\":false"), std::string::npos);
    EXPECT_EQ(p.stop(SIGINT, 10), 0);
}

// A warping clock bounded on the command line is bounded from its first
// instant: the start-up (calibration, the network, registration) does not
// run through minutes of virtual time before anyone could set the bound.
TEST_F(Daemon, AWarpBoundGivenAtStartHoldsThroughTheStartUp) {
    std::vector<std::string> args = argv("1");
    for (const char* a : {"--warp", "--max-speed", "20", "--start", "2026-12-07 06:00:00"})
        args.push_back(a);
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    Process p(args);
    ASSERT_TRUE(wait_banner(p)) << p.output();
    ASSERT_TRUE(p.wait_for("uds client open fd : ", slowed(20))) << p.output();
    std::string state = control_request(sock_, R"({"op":"state"})");
    clock_gettime(CLOCK_MONOTONIC, &t1);
    json_error_t err;
    json_t* j = json_loads(state.c_str(), 0, &err);
    ASSERT_NE(j, nullptr) << state;
    long virtual_s =
        long(json_integer_value(json_object_get(j, "time"))) - 1796590800L;  // 06:00 in Korea
    json_decref(j);
    double real_s = double(t1.tv_sec - t0.tv_sec) + double(t1.tv_nsec - t0.tv_nsec) / 1e9;
    EXPECT_GT(virtual_s, 0);
    EXPECT_LE(double(virtual_s), 20 * real_s + 3) << "real " << real_s << " s";
    EXPECT_EQ(p.stop(SIGINT, 30), 0) << p.output();
}

// Unbounded, a warping clock jumps whenever every thread it counts waits. The
// start-up's own thread works for a while before its first wait (settings,
// files, devices) and used to be counted only from that wait, so the clock
// leapt on meanwhile: a start a minute before a meal came up past the meal's
// whole late window. Until the daemon's first word to the MCU the clock may
// only flow at its pace; the real time taken is measured, so a slow host
// does not matter.
TEST_F(Daemon, AWarpingClockHoldsWhileTheStartUpWorks) {
    std::vector<std::string> args = argv("1");
    for (const char* a : {"--warp", "--start", "2026-12-07 06:00:00"}) args.push_back(a);
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    Process p(args);
    std::vector<std::pair<int64_t, std::string>> rx;
    for (int i = 0; i < int(slowed(20) * 50) && rx.empty(); ++i) {
        rx = control_events(sock_, "mcu_rx");
        if (rx.empty()) usleep(20000);
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    ASSERT_FALSE(rx.empty()) << p.output();
    double real_s = double(t1.tv_sec - t0.tv_sec) + double(t1.tv_nsec - t0.tv_nsec) / 1e9;
    long virtual_s = long(rx[0].first) - 1796590800L;  // 06:00 in Korea
    EXPECT_GE(virtual_s, 0);
    EXPECT_LE(double(virtual_s), real_s / kSlowdown + 2) << "real " << real_s << " s";
    control_request(sock_, R"({"op":"pace","speed":50})");  // the calibration's travel, quickly
    EXPECT_EQ(p.stop(SIGINT, 30), 0) << p.output();
}

// The updater's stop message, when it comes after the update request's wait
// has given up (a download slower than that wait): the program still stops
// as the updater asks, or the update would never be installed.
TEST_F(Daemon, LateStopMessageFromTheUpdaterStopsTheProgram) {
    Process p(argv());
    ASSERT_TRUE(wait_banner(p)) << p.output();
    ASSERT_TRUE(wait_event("shell", "/root/fw_update &", 10));  // supervising
    int q = msgget(key_t(0x49000000 | p.pid()), 0);
    ASSERT_GE(q, 0);
    struct {
        long type;
        char text[368];
    } stop = {15, {0}};
    ASSERT_EQ(msgsnd(q, &stop, sizeof stop.text, IPC_NOWAIT), 0);
    EXPECT_EQ(p.wait(slowed(20)), 0) << p.output();
    std::string out = p.output();
    EXPECT_NE(out.find("updater : stop message, the program stops\n"), std::string::npos) << out;
    ASSERT_GE(out.size(), 8u);
    EXPECT_EQ(out.substr(out.size() - 8), "Bye....\n");
}

// Devices side by side on one machine each talk to an updater of their own:
// a shared queue would let one device's updater take the other's requests
// and stop messages. Each queue is gone again when its device exits.
TEST(SideBySide, EachDeviceHasAnUpdaterQueueOfItsOwnAndLeavesNone) {
    struct Device {
        std::string root, sock;
        std::unique_ptr<Process> p;
        pid_t pid = -1;
    };
    Device devices[2];
    for (Device& d : devices) {
        d.root = make_temp_dir("side");
        d.sock = d.root + "/ctl.sock";
        mkdir((d.root + "/etc").c_str(), 0755);
        write_desk_conf(d.root);
        std::string bin = std::string(HOPPERD_SIM_BIN_DIR) +
                          (kSilentBuild ? "/hopperd-sim-silent" : "/hopperd-sim");
        d.p = std::make_unique<Process>(
            std::vector<std::string>{bin, "--root", d.root, "--speed", "50", "--control", d.sock});
        d.pid = d.p->pid();
        bool updater = false;
        for (int i = 0; i < int(slowed(10) * 40) && !updater; ++i) {
            for (auto& e : control_events(d.sock, "shell"))
                updater |= e.second == "/root/fw_update &";
            usleep(25000);
        }
        ASSERT_TRUE(updater) << d.p->output();
        EXPECT_GE(msgget(key_t(0x49000000 | d.pid), 0), 0);
    }
    EXPECT_EQ(devices[1].p->stop(SIGINT, 10), 0) << devices[1].p->output();
    EXPECT_EQ(devices[0].p->stop(SIGINT, 10), 0) << devices[0].p->output();
    for (Device& d : devices) {
        EXPECT_LT(msgget(key_t(0x49000000 | d.pid), 0), 0);
        remove_tree(d.root);
    }
}

}  // namespace
