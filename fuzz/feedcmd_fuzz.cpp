// libFuzzer target: any bytes as the datagram of the manual feeding service.
//
// The board is the simulated one (MCU model on its pty, load cell, scale
// physics) on a manual clock, so a whole feeding passes in no real time. Every
// datagram gets exactly one 368-byte reply carrying a known code and nothing
// else; anything but a feeding request is answered __FEED_NONE and nothing
// moves; a request ends a running session without moving anything, closes a
// bowl left out after a missing bowl, and otherwise feeds as the world
// allows.
#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <termios.h>

#include <chrono>
#include <string>

#include "feeder/feeder.h"
#include "fuzz/harness.h"
#include "gpio/gpio.h"
#include "include/feed_cmd.h"
#include "include/feeder.h"
#include "include/result_codes.h"
#include "mcu/ucom.h"
#include "platform/settings.h"
#include "sim/world.h"
#include "uds/uds.h"

namespace {

int g_server = -1, g_client = -1;
sim::Physics g_calm;  // the world as calibration left it
bool g_late = false;  // the last run's serial line was starved (see below)

// What a request must not change when it only ends a session.
struct Mechanism {
    sim::BowlPos bowl;
    double food, hopper;
    int motor_pending, motor_back, led3, led4;
    bool operator==(const Mechanism& o) const {
        return bowl == o.bowl && food == o.food && hopper == o.hopper &&
               motor_pending == o.motor_pending && motor_back == o.motor_back && led3 == o.led3 &&
               led4 == o.led4;
    }
};

Mechanism mechanism() {
    sim::World& w = sim::World::get();
    std::lock_guard<std::mutex> hold(w.mu());
    w.update();
    const sim::Physics& p = w.phys;
    return {p.bowl, p.food_grams, p.hopper_grams, p.motor_pending, p.motor_back_total,
            p.led3, p.led4};
}

enum State { IDLE, MANUAL_SESSION, SCHEDULED_SESSION, BOWL_LEFT_OUT, STATES };
enum Trouble { HEALTHY, HOPPER_LOW, BOWL_TAKEN, BOWL_STICKS, TROUBLES };

// A fresh world and record for each run: the bowl in and empty, the hopper
// full, no session.
void reset(State state, Trouble trouble) {
    sim::World& w = sim::World::get();
    int64_t now = w.clock().now_us() / 1000000;
    {
        std::lock_guard<std::mutex> hold(w.mu());
        w.phys = g_calm;
        w.phys.last_update_us = w.clock().monotonic_us();
        if (state == BOWL_LEFT_OUT) w.phys.bowl = sim::BowlPos::Out;
        if (trouble == HOPPER_LOW) w.phys.hopper_grams = w.phys.food_low_below - 50;
        if (trouble == BOWL_TAKEN) w.phys.bowl_present = false;
        if (trouble == BOWL_STICKS) w.phys.bowl_sticks = true;
    }
    Feeder* f = get_feeder();
    std::lock_guard<std::mutex> hold(f->lock);
    f->in_manual.reset();
    f->in_schedule.reset();
    f->bowl_missing = state == BOWL_LEFT_OUT;
    if (state == MANUAL_SESSION || state == SCHEDULED_SESSION) {
        FeedSessionPtr& s = state == MANUAL_SESSION ? f->in_manual : f->in_schedule;
        s = feed_session_alloc();
        s->fed_at = now - 10;
        s->try_gram = 30;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string root = fuzz::start_board(true);
    // Reports go to a loopback address nobody listens on: refused at once.
    std::string conf = "cloud_host = " + fuzz::own_loopback() + "\n";
    fuzz::put_file(root + "/etc/hopperd.conf", conf.data(), conf.size());
    settings_reload();
    if (bttn_open() < 0 || ucom_open() <= 0 || !feeder_init()) abort();
    g_server = uds_open(UDS_SERVER);
    g_client = uds_open(UDS_CLIENT);
    if (g_server < 0 || g_client < 0) abort();
    sim::World& w = sim::World::get();
    std::lock_guard<std::mutex> hold(w.mu());
    w.update();
    g_calm = w.phys;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in{data, size};
    State state = State(in.byte() % STATES);
    Trouble trouble = Trouble(in.byte() % TROUBLES);
    std::string dgram = in.rest(2 * sizeof(FeedCmd));  // longer ones are cut to the record
    FeedCmd req;
    memset(&req, 0, sizeof req);
    memcpy(&req, dgram.data(), dgram.size() < sizeof req ? dgram.size() : sizeof req);
    if (state != IDLE) trouble = HEALTHY;
    reset(state, trouble);

    Feeder* f = get_feeder();
    int64_t fed_at = 0;
    if (f->in_manual) fed_at = f->in_manual->fed_at;
    if (f->in_schedule) fed_at = f->in_schedule->fed_at;
    Mechanism before = mechanism();
    tcflush(ucom_get_fd(), TCIFLUSH);  // nothing of an earlier run on the line

    FUZZ_CHECK(send(g_client, dgram.data(), dgram.size(), 0) == ssize_t(dgram.size()), "send: %s",
               strerror(errno));
    auto start = std::chrono::steady_clock::now();
    int rc = uds_r_event(g_server);
    // The MCU model answers on a thread of its own inside a 0.6 s read window
    // of real time. On a loaded machine it may miss one: the run then takes
    // that long, what the MCU did is not what the world says, and a reply
    // may still arrive in the next run. Such runs keep only the checks that
    // need no MCU.
    bool slow = std::chrono::steady_clock::now() - start > std::chrono::milliseconds(500);
    bool late = g_late || slow;
    g_late = slow;
    FUZZ_CHECK(rc == __UDS_DONE, "result %d", rc);
    FeedCmd reply;
    ssize_t n = recv(g_client, &reply, sizeof reply + 1, MSG_DONTWAIT);
    FUZZ_CHECK(n == ssize_t(sizeof reply), "reply of %zd bytes", n);
    char extra;
    FUZZ_CHECK(recv(g_client, &extra, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN, "a second reply");
    FeedCmd zero;
    memset(&zero, 0, sizeof zero);
    FUZZ_CHECK(reply.feed_amount == 0 && memcmp(reply.melody, zero.melody, sizeof zero.melody) == 0,
               "reply %d carries more than its code", reply.cmd);

    if (req.cmd != __FEED_REQ) {
        FUZZ_CHECK(reply.cmd == __FEED_NONE, "command %d answered %d", req.cmd, reply.cmd);
        FUZZ_CHECK(mechanism() == before, "command %d moved the mechanism", req.cmd);
        int64_t after = f->in_manual     ? f->in_manual->fed_at
                        : f->in_schedule ? f->in_schedule->fed_at
                                         : 0;
        FUZZ_CHECK(after == fed_at && f->bowl_missing == (state == BOWL_LEFT_OUT),
                   "command %d changed the record", req.cmd);
        return 0;
    }
    switch (state) {
        case MANUAL_SESSION:
        case SCHEDULED_SESSION: {
            FUZZ_CHECK(reply.cmd == __FEED_STOP, "request in a session answered %d", reply.cmd);
            FUZZ_CHECK(mechanism() == before, "ending a session moved the mechanism");
            FeedSessionPtr& s = state == MANUAL_SESSION ? f->in_manual : f->in_schedule;
            FUZZ_CHECK(s && s->fed_at == fed_at - SESSION_DUE_S, "session not ended early");
            break;
        }
        case BOWL_LEFT_OUT:
            FUZZ_CHECK(reply.cmd == __FEED_STOP, "request with the bowl left out answered %d",
                       reply.cmd);
            FUZZ_CHECK(f->bowl_missing == 0, "the missing bowl is still marked");
            FUZZ_CHECK(late || mechanism().bowl == sim::BowlPos::In,
                       "the bowl left out was not closed");
            break;
        case IDLE: {
            FUZZ_CHECK(
                reply.cmd == __FEED_DONE || reply.cmd == __FEED_EMPTY || reply.cmd == __FEED_FAIL,
                "request for %d g answered %d", req.feed_amount, reply.cmd);
            if (late) break;
            const int32_t want[TROUBLES] = {__FEED_DONE, __FEED_EMPTY, __FEED_FAIL, __FEED_FAIL};
            FUZZ_CHECK(reply.cmd == want[trouble], "request for %d g (world %d) answered %d",
                       req.feed_amount, trouble, reply.cmd);
            FUZZ_CHECK((reply.cmd == __FEED_DONE) == bool(f->in_manual),
                       "answer %d with%s a session", reply.cmd, f->in_manual ? "" : "out");
            break;
        }
        case STATES:
            break;
    }
    return 0;
}
