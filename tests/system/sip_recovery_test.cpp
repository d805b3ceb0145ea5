// The device stays reachable when its SIP service goes away and comes back:
// kamailio started late, silent at a refresh (a link the test cuts), or
// restarted with its bindings lost. The device runs its SIP intervals ten
// times faster (--sip-scale 10): every figure below is the device's seconds,
// a tenth of that in real time.
#include <gtest/gtest.h>
#include <jansson.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <regex>
#include <thread>

#include "include/variant.h"
#include "tests/support/cloud.h"
#include "tests/support/desk.h"
#include "tests/support/emulation.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/sip_desk.h"
#include "tests/support/udp_link.h"

namespace {

// Under emulation the device runs slower: its SIP time is scaled less.
const double kScale = 10 / kSlowdown;

double real_s(double device_s) {
    return device_s / kScale;
}

std::string daemon_bin() {
    return std::string(HOPPERD_SIM_BIN_DIR) +
           (kSilentBuild ? "/hopperd-sim-silent" : "/hopperd-sim");
}

// The waits the device announced, in order ("next registration attempt in N
// s, M s after the last began"): each as M, counted from its attempt's start,
// and as N, what was left of it once the attempt had failed.
struct Wait {
    int from_start, left;
};
std::vector<Wait> announced_waits(const std::string& out) {
    std::vector<Wait> waits;
    std::regex re(
        " pjsip  next registration attempt in ([0-9]+) s, ([0-9]+) s after the last began");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), re); it != std::sregex_iterator();
         ++it)
        waits.push_back({std::stoi((*it)[2]), std::stoi((*it)[1])});
    return waits;
}

class Recovery : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = make_temp_dir("siprec");
        service_ = {root_ + "/kam", unused_loopback()};
        phone_ = {"sip:" + service_.addr + ":5080", unused_loopback() + ":5070", ""};
    }
    void TearDown() override {
        if (device_) {
            EXPECT_EQ(device_->stop(SIGINT, 20), 0) << device_->output();
        }
        device_.reset();
        link_.reset();
        service_.stop();
        remove_tree(root_);
    }
    // The device, with `proxy` ("ADDR:5080") as its way to the service.
    void start_device(const std::string& proxy, double scale = kScale) {
        write_desk_conf(root_, {unused_loopback(), unused_loopback(), "sip:" + proxy});
        device_ = std::make_unique<Process>(std::vector<std::string>{
            daemon_bin(), "--root", root_, "--speed", "200", "--sip-scale", std::to_string(scale)});
        ASSERT_TRUE(device_->wait_for(" pjsip  registering", 30)) << device_->output();
        phone_.sipid = sipid_of(device_->output());
        ASSERT_FALSE(phone_.sipid.empty());
    }
    std::string root_;
    SipService service_;
    Phone phone_;
    std::unique_ptr<UdpLink> link_;
    std::unique_ptr<Process> device_;
};

// The service starts 45 s after the device's first attempt. Its start takes
// what real time the desk gives it, and a start past the next attempt (at 90
// s) leaves the device in a longer wait: so the device is held to the wait
// it announced last, and the phone to its own round trip.
TEST_F(Recovery, ServiceDownAtStartUpThenBack) {
    start_device(service_.addr + ":5080");
    ASSERT_TRUE(device_->wait_for(" pjsip  registration failed", 30)) << device_->output();
    // When each wait was announced and when the device registered, by the
    // desk's clock, from the device's own log.
    std::mutex mu;
    std::vector<double> announced;
    std::atomic<double> registered{0};
    struct Watch {
        std::atomic<bool> done{false};
        std::thread th;
        ~Watch() {
            done = true;
            if (th.joinable()) th.join();
        }
    } watch;
    watch.th = std::thread([&] {
        for (; !watch.done && !registered; usleep(10 * 1000)) {
            std::string out = device_->output();
            size_t n = announced_waits(out).size();
            std::lock_guard<std::mutex> hold(mu);
            while (announced.size() < n) announced.push_back(steady_seconds());
            if (out.find(" pjsip  registered") != std::string::npos) registered = steady_seconds();
        }
    });
    usleep(useconds_t(real_s(45) * 1e6));
    std::string out;
    ASSERT_EQ(service_.start(&out), 0) << out;
    double back = steady_seconds();
    std::vector<Wait> waits = announced_waits(device_->output());
    ASSERT_FALSE(waits.empty());
    std::string phone, attempts;
    double answered = phone_.until_answered({"sched-enum"}, real_s(waits.back().left) + slowed(10),
                                            &phone, &attempts);
    watch.done = true;
    watch.th.join();
    ASSERT_GT(answered, 0) << device_->output() << "\nthe phone's last attempt:\n" << phone;
    ASSERT_GT(registered, 0) << device_->output();
    // The wait the successful attempt followed, kept; with room for its
    // REGISTER's round trip on a loaded desk.
    waits =
        announced_waits(device_->output().substr(0, device_->output().find(" pjsip  registered")));
    double said;
    {
        std::lock_guard<std::mutex> hold(mu);
        ASSERT_GE(announced.size(), waits.size());
        said = announced[waits.size() - 1];
    }
    std::string how = device_->output() + "\nback at " + std::to_string(back - said) +
                      " s, registered at " + std::to_string(registered - said) +
                      " s after the last wait was announced; the phone's attempts:\n" + attempts;
    EXPECT_LE(registered - said, real_s(waits.back().left) + slowed(3)) << how;
    EXPECT_LE(answered - std::max<double>(registered, back), slowed(3)) << how;
}

// The service does not answer the REGISTER that refreshes the registration,
// nor anything else, for 60 s: the stack gives that refresh up and the
// device registers again once the service answers.
TEST_F(Recovery, SilentServiceAtARefreshThenBack) {
    std::string out;
    ASSERT_EQ(service_.start(&out), 0) << out;
    std::string front = unused_loopback();
    link_ = std::make_unique<UdpLink>(front, 5080, service_.addr, 5080);
    ASSERT_TRUE(link_->ready());
    start_device(front + ":5080");
    ASSERT_TRUE(device_->wait_for(" pjsip  registered", 10)) << device_->output();
    ASSERT_GT(phone_.until_answered({"sched-enum"}, 10), 0) << device_->output();
    size_t mark = device_->output().size();
    link_->cut_at_next_register(real_s(60));
    // The stack refreshes within 225 s of the last registration.
    double end = steady_seconds() + real_s(225 + 60) + 10;
    while (!link_->cut_ended_at() && steady_seconds() < end) usleep(50 * 1000);
    double back = link_->cut_ended_at();
    ASSERT_GT(back, 0) << "no refresh was sent\n" << device_->output();

    std::string phone, attempts;
    double answered = phone_.until_answered({"sched-enum"}, real_s(60) + 10, &phone, &attempts);
    ASSERT_GT(answered, 0) << device_->output() << "\nthe phone's last attempt:\n" << phone;
    // For a failure: the REGISTERs and their answers through the link, and
    // the phone's attempts, in seconds from the cut's end.
    auto how = [&] {
        return device_->output().substr(mark) + "\nthe link, from the cut's end:\n" +
               link_->timeline(back) + "the phone's attempts:\n" + attempts;
    };
    EXPECT_LE(answered - back, real_s(60)) << how();
    // Registered again, not just answering on a binding the service still held.
    double registered = 0;
    while (!registered && steady_seconds() < back + real_s(60)) {
        for (double t : link_->registrations())
            if (t > back && !registered) registered = t;
        usleep(20 * 1000);
    }
    ASSERT_GT(registered, 0) << how();
    // The lapsed registration was renewed at once, and that attempt's
    // retransmissions met the service as it came back.
    // (It takes one 4 s retransmission interval; 20 s leaves room for a busy machine.)
    EXPECT_LE(registered - back, real_s(20)) << how();
}

// A restarted service has forgotten every binding; the device's next
// refresh, within the five minutes of its registration, makes it reachable.
TEST_F(Recovery, ServiceRestartedForgetsTheDevice) {
    std::string out;
    ASSERT_EQ(service_.start(&out), 0) << out;
    start_device(service_.addr + ":5080");
    ASSERT_TRUE(device_->wait_for(" pjsip  registered", 10)) << device_->output();
    ASSERT_GT(phone_.until_answered({"sched-enum"}, 10), 0) << device_->output();
    double registered = steady_seconds();
    ASSERT_EQ(service_.stop(), 0);
    ASSERT_EQ(service_.start(&out), 0) << out;
    std::string phone;
    double answered = phone_.until_answered({"sched-enum"}, real_s(300) + 10, &phone);
    ASSERT_GT(answered, 0) << device_->output() << "\nthe phone's last attempt:\n" << phone;
    EXPECT_LE(answered - registered, real_s(300));
}

// Without a service the waits double from 30 s to 300 s, a little less each
// time at random, and stay there; a success starts them at 30 s again.
TEST_F(Recovery, BackOffDoublesToFiveMinutesAndResets) {
    const double scale = 100 / kSlowdown;
    start_device(service_.addr + ":5080", scale);
    const int nominal[] = {30, 60, 120, 240, 300, 300};
    // 0.3 + 0.6 + 1.2 + 2.4 + 3 s in real time before the sixth wait is announced.
    std::vector<Wait> waits;
    for (int i = 0; i < int(slowed(200)) && waits.size() < 6; ++i) {
        usleep(100 * 1000);
        waits = announced_waits(device_->output());
    }
    ASSERT_GE(waits.size(), 6u) << device_->output();
    // Waits count from the attempt's start, so a failed attempt that took
    // long (a loaded host) does not push the next one back.
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_GE(waits[i].from_start, nominal[i] * 9 / 10) << i;
        EXPECT_LE(waits[i].from_start, nominal[i]) << i;
        EXPECT_LE(waits[i].left, waits[i].from_start) << i;
    }

    std::string out;
    ASSERT_EQ(service_.start(&out), 0) << out;
    size_t mark = device_->output().size();
    ASSERT_TRUE(device_->wait_for(" pjsip  registered", 10, mark)) << device_->output();
    // The refresh fails, the renewal at once too; then the first wait again.
    // Counted from before the stop: the refresh may fall due while the
    // service is still shutting down.
    mark = device_->output().size();
    ASSERT_EQ(service_.stop(), 0);
    ASSERT_TRUE(device_->wait_for(" pjsip  next registration attempt", 10, mark))
        << device_->output();
    waits = announced_waits(device_->output().substr(mark));
    ASSERT_FALSE(waits.empty());
    EXPECT_GE(waits[0].from_start, 27);
    EXPECT_LE(waits[0].from_start, 30);
}

}  // namespace
