// The descriptor event loop, the buttons and their actions, and Wi-Fi.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "app/app.h"
#include "app/fds.h"
#include "gpio/buttons.h"
#include "gpio/gpio.h"
#include "include/feeder.h"
#include "include/result_codes.h"
#include "include/variant.h"
#include "net/wifi.h"
#include "sched/sched.h"
#include "tests/support/cloud.h"
#include "tests/support/sim_fixture.h"

namespace {

std::vector<int> g_calls;
int handler_a(int fd) {
    char c;
    if (read(fd, &c, 1) < 0) return -1;
    g_calls.push_back(1);
    return __BTTN_NONE;
}
int handler_b(int fd) {
    char c;
    if (read(fd, &c, 1) < 0) return -1;
    g_calls.push_back(2);
    return __BTTN_NONE;
}

class EventLoop : public SimTest {
  protected:
    void TearDown() override {
        fds_clear();
        for (int fd : fds_) close(fd);
        SimTest::TearDown();
    }
    int pair(int* other) {
        int sv[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
        fds_.push_back(sv[0]);
        fds_.push_back(sv[1]);
        *other = sv[1];
        return sv[0];
    }
    std::vector<int> fds_;
};

TEST_F(EventLoop, EmptyRegistryTimesOut) {
    EXPECT_EQ(fds_clear(), -1);
    int64_t t0 = world().clock().monotonic_us();
    EXPECT_EQ(fds_loop(), __EVT_TIMEOUT);
    EXPECT_EQ(world().clock().monotonic_us() - t0, 10000000);
}

TEST_F(EventLoop, ReadableDescriptorsInRegistrationOrder) {
    int wa, wb;
    int a = pair(&wa), b = pair(&wb);
    ASSERT_EQ(fds_add(b, handler_b), 0);
    ASSERT_EQ(fds_add(a, handler_a), 0);
    ASSERT_EQ(write(wa, "x", 1), 1);
    ASSERT_EQ(write(wb, "x", 1), 1);
    g_calls.clear();
    StdoutCapture out;
    EXPECT_EQ(fds_loop(), __EVT_DONE);
    EXPECT_EQ(g_calls, (std::vector<int>{2, 1}));
    std::string text = out.text();
    EXPECT_NE(text.find("------------------------- start event loop ---------------------"),
              std::string::npos);
    EXPECT_NE(text.find("  r_event returned : 1\n"), std::string::npos);
    EXPECT_EQ(fds_clear(), 0);
    EXPECT_EQ(fds_clear(), -1);
}

TEST_F(EventLoop, HangUpEndsThePassBeforeLaterDescriptors) {
    int wa, wb;
    int a = pair(&wa), b = pair(&wb);
    ASSERT_EQ(fds_add(a, handler_a), 0);
    ASSERT_EQ(fds_add(b, handler_b), 0);
    ASSERT_EQ(write(wa, "x", 1), 1);
    close(wa);  // readable and hung up: revents is POLLIN|POLLHUP
    fds_.erase(std::find(fds_.begin(), fds_.end(), wa));
    ASSERT_EQ(write(wb, "x", 1), 1);
    g_calls.clear();
    StdoutCapture out;
    EXPECT_EQ(fds_loop(), __EVT_ERROR);
    EXPECT_TRUE(g_calls.empty());
    EXPECT_NE(out.text().find("  Error! revents = "), std::string::npos);
}

TEST_F(EventLoop, TwentyFirstDescriptorIsRefused) {
    int other;
    for (int i = 0; i < FDS_MAX; ++i) ASSERT_EQ(fds_add(pair(&other), handler_a), 0);
    StdoutCapture out;
    EXPECT_EQ(fds_add(pair(&other), handler_a), -1);
    EXPECT_NE(out.text().find("fds_add : registry full (20 descriptors)"), std::string::npos);
}

class Buttons : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        fd_ = bttn_open();
        ASSERT_GT(fd_, 0);
        feeder_reset(get_feeder());
    }
    void TearDown() override {
        bttn_close(fd_);
        sig_flag = 1;
        SimTest::TearDown();
    }
    // One edge of a button at the current virtual time, handled as the
    // button thread does.
    int edge(uint32_t line) {
        world().button_edge(line, true);
        return bttn_r_event(fd_);
    }
    void wait_s(int s) { world().clock().sleep_us(int64_t(s) * 1000000); }
    int fd_ = -1;
};

TEST_F(Buttons, FiveSecondsApartIsNothingSixIsALongPress) {
    EXPECT_EQ(edge(GPIO_BTTN_RST), __BTTN_NONE);
    wait_s(5);
    EXPECT_EQ(edge(GPIO_BTTN_RST), __BTTN_NONE);  // a short press disarms
    EXPECT_EQ(gpio_state()->rst_pressed_at, 0);
    EXPECT_EQ(edge(GPIO_BTTN_RST), __BTTN_NONE);
    wait_s(6);
    StdoutCapture out;
    EXPECT_EQ(edge(GPIO_BTTN_RST), __BTTN_FAC_RST);
    std::string text = out.text();
    EXPECT_NE(text.find("bttn_r_event entered\n"), std::string::npos);
    EXPECT_NE(text.find("\t==> interrupt -> ch :/dev/gpio/f | port : 0x01\n"), std::string::npos);
    EXPECT_NE(text.find("return __BTTN_FAC_RST ( 2 ) @ "), std::string::npos);
    EXPECT_NE(gpio_state()->rst_pressed_at, 0);  // stays armed: the device restarts
}

TEST_F(Buttons, ASingleEdgeArmsAndTheNextOneHoweverLateActs) {
    EXPECT_EQ(edge(GPIO_BTTN_WPS), __BTTN_NONE);
    wait_s(3600);
    EXPECT_EQ(edge(GPIO_BTTN_WPS), __BTTN_WIFI_WPS);
    EXPECT_EQ(edge(GPIO_BTTN_WPS), kSilentBuild ? __BTTN_WIFI_WPS : __BTTN_NONE);
}

// Press times held 32 bits of epoch seconds, which end at 2038-01-19
// 03:14:07 UTC: a press across that second, and one in 2040.
TEST_F(Buttons, LongPressesPast2038) {
    for (int64_t start : {INT64_C(2147483645), INT64_C(2214097200)}) {
        world().clock().set_time(start * 1000000);
        EXPECT_EQ(edge(GPIO_BTTN_WPS), __BTTN_NONE);
        EXPECT_EQ(gpio_state()->wps_pressed_at, start);
        wait_s(6);
        EXPECT_EQ(edge(GPIO_BTTN_WPS), __BTTN_WIFI_WPS) << start;
        gpio_state()->wps_pressed_at = 0;  // the silent build keeps it armed
    }
}

TEST_F(Buttons, TheTwoButtonsKeepTheirOwnState) {
    EXPECT_EQ(edge(GPIO_BTTN_RST), __BTTN_NONE);
    wait_s(2);
    EXPECT_EQ(edge(GPIO_BTTN_WPS), __BTTN_NONE);
    wait_s(5);
    EXPECT_EQ(edge(GPIO_BTTN_RST), __BTTN_FAC_RST);  // 7 s after its own first edge
    EXPECT_EQ(edge(GPIO_BTTN_WPS), __BTTN_NONE);     // 5 s after its own: short
    EXPECT_EQ(edge(GPIO_BTTN_WPS), __BTTN_NONE);     // arms again
    wait_s(6);
    EXPECT_EQ(edge(GPIO_BTTN_WPS), __BTTN_WIFI_WPS);
}

// During the network wait the main thread and the button thread both wake on
// one interrupt; between them the press must count once, or the second reader
// disarms what the first one armed and a long press is lost.
TEST_F(Buttons, TwoReadersOfOneInterruptCountItOnce) {
    world().bttn_ack_delay_us = 2000;  // widens the window between query and acknowledge
    int armed = 0;
    {
        StdoutCapture quiet;
        for (int i = 0; i < 50; ++i) {
            gpio_state()->rst_pressed_at = 0;
            world().button_edge(GPIO_BTTN_RST, true);
            std::atomic<int> ready{0};
            auto reader = [&] {
                ready.fetch_add(1);
                while (ready.load() < 2) {
                }
                bttn_r_event(fd_);
            };
            std::thread a(reader), b(reader);
            a.join();
            b.join();
            if (gpio_state()->rst_pressed_at != 0) ++armed;
        }
    }
    EXPECT_EQ(armed, 50);
    EXPECT_EQ(world().bttn_pending, 0u);
}

TEST_F(Buttons, NoLineOrBothLinesAreNothing) {
    StdoutCapture out;
    EXPECT_EQ(bttn_r_event(fd_), __BTTN_NONE);  // nothing pending: port 0
    world().button_edge(GPIO_BTTN_RST, true);
    world().button_edge(GPIO_BTTN_WPS, true);
    EXPECT_EQ(bttn_r_event(fd_), __BTTN_NONE);
    std::string text = out.text();
    EXPECT_NE(text.find("ioctl of " + std::to_string(fd_) + " , port : 0x0\n"), std::string::npos);
    EXPECT_NE(text.find("ioctl of " + std::to_string(fd_) + " , port : 0x3\n"), std::string::npos);
    EXPECT_NE(text.find("return __BTTN_NONE ( 1 ) @ "), std::string::npos);
    // Neither button was armed by the ambiguous press...
    EXPECT_EQ(gpio_state()->rst_pressed_at, 0);
    EXPECT_EQ(gpio_state()->wps_pressed_at, 0);
    // ...but it was acknowledged, so the descriptor is quiet again.
    EXPECT_EQ(world().bttn_pending, 0u);
    struct pollfd p = {fd_, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0);
}

// Both lines pending at once used to be left pending: the descriptor stayed
// readable, the button thread woke at once, forever, at a core's full load
// and megabytes of log a second, and no press was seen again.
TEST_F(Buttons, BothLinesAtOnceNeitherSpinTheThreadNorKillTheButtons) {
    world().clock().set_auto_advance(false);  // the thread's waits last until the test moves time
    std::thread t;
    std::atomic<bool> ended{false};
    size_t entered;
    {
        StdoutCapture out;
        // Both lines are pending before the thread first looks.
        world().button_edge(GPIO_BTTN_RST, true);
        world().button_edge(GPIO_BTTN_WPS, true);
        t = std::thread([this, &ended] {
            bttn_thread_proc(fd_);
            ended = true;
        });
        auto pending = [&] {
            std::lock_guard<std::mutex> hold(world().mu());
            return world().bttn_pending;
        };
        for (int i = 0; i < 2000 && pending() != 0; ++i) usleep(1000);
        usleep(100 * 1000);  // room to spin, if it did
        std::string text = out.text();
        entered = 0;
        for (size_t p = text.find("bttn_r_event entered"); p != std::string::npos;
             p = text.find("bttn_r_event entered", p + 1))
            ++entered;
        // A long WPS press afterwards still acts: the first edge arms...
        world().button_edge(GPIO_BTTN_WPS, true);
        for (int i = 0; i < 500 && gpio_state()->wps_pressed_at == 0; ++i) usleep(1000);
        EXPECT_NE(gpio_state()->wps_pressed_at, 0);
        // The thread may still be on its way back to its 3-s wait (the
        // stop's check passed): time moved before it waits would leave it
        // waiting for good. Move time on until it has seen the stop.
        sig_flag = 0;
        for (int i = 0; i < 1000 && !ended; ++i) {
            world().clock().advance(4000000);
            usleep(5000);
        }
        EXPECT_TRUE(ended);
        t.join();
    }
    EXPECT_EQ(entered, 1u);
    world().clock().advance(6000000);
    EXPECT_EQ(edge(GPIO_BTTN_WPS), __BTTN_WIFI_WPS);  // ...and the next one, 6 s on, decides
}

TEST_F(Buttons, FactoryDefaultEvenWithoutTheCloud) {
    use_cloud_host(root_, unused_loopback());
    write_file(root_ + "/etc/feeder.conf", "uuid:0a1b2c3d-4e5f-11ee-8c90-0242ac120002\n");
    write_file(root_ + "/etc/feed_sched.conf", "[{\"uuid\":\"x\"}]");
    write_file(root_ + "/etc/wpa_supplicant.conf", "network={ssid=\"home\"}\n");
    sig_flag = 1;
    StdoutCapture out;
    EXPECT_EQ(bttn_action(__BTTN_FAC_RST), __HTTP_ERROR);
    EXPECT_EQ(sig_flag, 0);
    std::string conf = read_file(root_ + "/etc/feeder.conf");
    EXPECT_EQ(conf.size(), 42u);
    EXPECT_EQ(conf.find("0a1b2c3d"), std::string::npos);
    EXPECT_EQ(read_file(root_ + "/etc/feed_sched.conf"), "[]");
    EXPECT_EQ(read_file(root_ + "/etc/wpa_supplicant.conf").size(), 177u);
    EXPECT_EQ(strlen(get_feeder()->sipid), 32u);
    EXPECT_STREQ(get_feeder()->product_id, "00:1a:2b:3c:4d:5e");
    auto sh = world_texts("shell");
    EXPECT_NE(std::find(sh.begin(), sh.end(), "reboot &"), sh.end());
    std::string text = out.text();
    EXPECT_NE(text.find(">>>>>>>>>>> factory default..."), std::string::npos);
    EXPECT_EQ(text.find("register successful"), std::string::npos);
}

TEST_F(Buttons, FactoryDefaultRegistersWhenTheCloudAnswers) {
    CloudService cloud;
    ASSERT_TRUE(cloud.ready());
    use_cloud_host(root_, cloud.addr());
    StdoutCapture out;
    EXPECT_EQ(bttn_action(__BTTN_FAC_RST), __HTTP_DONE);
    std::string sipid = get_feeder()->sipid;
    EXPECT_NE(out.text().find("\t" + sipid + " register successful...\n"), std::string::npos);
    auto recs = cloud.records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].field("sip-username"), sipid);
}

TEST_F(Buttons, WpsSequenceWithItsSleepsAndChecks) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().shell.network_up = false;
    }
    int64_t t0 = world().clock().monotonic_us();
    EXPECT_EQ(bttn_action(__BTTN_WIFI_WPS), 0);
    int64_t took = world().clock().monotonic_us() - t0;
    std::vector<sim::Event> evs;
    world().events_since(0, &evs);
    std::vector<std::pair<int64_t, std::string>> shell;
    for (const sim::Event& e : evs)
        if (e.kind == "shell") shell.push_back({e.t_us, e.text});
    std::vector<std::string> wps = {
        "killall wpa_supplicant &", "killall dhclient &",
        "ifconfig wlan0 up",        "wpa_supplicant -B -Dwext -iwlan0 -c/etc/wpa_supplicant.conf &",
        "wpa_cli wps_pbc",          "dhclient wlan0 &"};
    std::vector<int64_t> at;
    size_t next = 0;
    for (auto& s : shell)
        if (next < wps.size() && s.second == wps[next]) {
            at.push_back(s.first);
            ++next;
        }
    ASSERT_EQ(next, wps.size());
    EXPECT_EQ(at[2] - at[1], 1000000);  // 1 s after the kills
    EXPECT_EQ(at[4] - at[3], 4000000);  // 4 s for the supplicant
    int beeps = 0;
    for (auto& s : shell) beeps += s.second == "/root/play /root/audio/_beep.g711";
    if (kSilentBuild) {
        EXPECT_EQ(beeps, 0);  // no waiting, no beeps
        EXPECT_EQ(took, 8000000);
    } else {
        EXPECT_EQ(beeps, 10);  // ten failed checks
        EXPECT_GE(took, 8000000 + 10 * 2000000);
    }
}

// A stop does not wait out the 20 s for the network (an orderly stop of up
// to a minute, at every restart after a WPS press): the pairing itself runs
// on in wpa_supplicant.
TEST_F(Buttons, WpsWaitEndsAtAStop) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().shell.network_up = false;
    }
    app_stop_fd_open();
    app_stop();
    int64_t t0 = world().clock().monotonic_us();
    EXPECT_EQ(bttn_action(__BTTN_WIFI_WPS), 0);
    int64_t took = world().clock().monotonic_us() - t0;
    auto sh = world_texts("shell");
    EXPECT_EQ(std::count(sh.begin(), sh.end(), "wpa_cli wps_pbc"), 1);  // the pairing started
    EXPECT_EQ(std::count(sh.begin(), sh.end(), "/root/play /root/audio/_beep.g711"), 0);
    EXPECT_LE(took, 8000000 + (kSilentBuild ? 0 : 2000000));  // its steps and the prompt only
    uint64_t drain;
    EXPECT_EQ(read(app_stop_fd(), &drain, sizeof drain), ssize_t(sizeof drain));
}

TEST_F(Buttons, WpsStopsCheckingOnceTheNetworkAnswers) {
    StdoutCapture out;
    EXPECT_EQ(bttn_action(__BTTN_WIFI_WPS), 0);
    auto sh = world_texts("shell");
    EXPECT_EQ(std::count(sh.begin(), sh.end(), "/root/play /root/audio/_beep.g711"), 0);
    EXPECT_EQ(out.text().find("Wifi -> connection established!") != std::string::npos,
              !kSilentBuild);
}

TEST_F(Buttons, FactoryConfigurationIsExactlyItsBytes) {
    write_file(root_ + "/etc/wpa_supplicant.conf", std::string(5000, 'z'));
    EXPECT_EQ(wifi_write_config(), __WIFI_DONE);
    EXPECT_EQ(read_file(root_ + "/etc/wpa_supplicant.conf"),
              "ctrl_interface=/var/run/wpa_supplicant\nctrl_interface_group=0\nupdate_config=1\n\n"
              "network={\nssid=\"tolvik\"\npsk=\"wexrun3871\"\nproto=RSN\nkey_mgmt=WPA-PSK\n"
              "pairwise=CCMP\nauth_alg=OPEN\n}\n");
    remove_tree(root_ + "/etc");
    EXPECT_EQ(wifi_write_config(), __WIFI_ERROR);
}

TEST_F(Buttons, ConnectionCheck) {
    StdoutCapture out;
    EXPECT_EQ(wifi_check_connection(), __WIFI_DONE);
    EXPECT_NE(out.text().find("Wifi -> connection established!\n"), std::string::npos);
    auto sh = world_texts("shell");
    EXPECT_EQ(std::count(sh.begin(), sh.end(), "/root/play /root/audio/systemwifi.g711"),
              kSilentBuild ? 0 : 1);
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().shell.network_up = false;
    }
    EXPECT_EQ(wifi_check_connection(), __WIFI_ERROR);
}

}  // namespace
