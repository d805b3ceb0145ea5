// libFuzzer target: any bytes as the MCU's reply to any command.
//
// The harness plays the MCU on a pty: it waits for the request, checks it
// byte for byte, and answers with the input. A reply that is the command's
// own frame is taken and its value handed back; bytes in which no window
// passes the checksum are never taken; a refused reply leaves the caller's
// value alone; counts of 0 or less send nothing.
#include <poll.h>
#include <stdint.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "fuzz/harness.h"
#include "fuzz/mcu_pty.h"
#include "include/result_codes.h"
#include "mcu/ucom.h"
#include "sim/world.h"

namespace {

int g_fd = -1;

// The MCU's side of one exchange, on a thread of its own: the daemon writes
// its request and then blocks in its read until the reply comes.
struct Responder {
    std::mutex mu;
    std::condition_variable cv;
    bool armed = false, done = false, got_whole = false;
    size_t expect = 0;                           // request bytes to wait for
    std::string reply;                           // what to say then
    std::string heard;                           // what was read before replying
    std::chrono::steady_clock::time_point said;  // when the reply went out

    void run() {
        for (;;) {
            std::unique_lock<std::mutex> lock(mu);
            cv.wait(lock, [&] { return armed; });
            armed = false;
            // Read into the member: what a run allocates is released in that
            // run, not after it (else libFuzzer suspects a leak every run).
            heard.clear();
            got_whole = false;
            char buf[256];
            while (heard.size() < expect) {
                struct pollfd p = {fuzz::mcu_master(), POLLIN, 0};
                if (poll(&p, 1, 2000) != 1) break;  // the request never came whole
                ssize_t k = read(fuzz::mcu_master(), buf, sizeof buf);
                if (k <= 0) break;
                heard.append(buf, size_t(k));
            }
            if (heard.size() >= expect) {
                got_whole = true;
                fuzz::mcu_say(reply);
                said = std::chrono::steady_clock::now();
            }
            done = true;
            cv.notify_all();
        }
    }
    void arm(size_t n, const std::string& r) {
        std::lock_guard<std::mutex> hold(mu);
        expect = n;
        reply = r;
        done = false;
        armed = true;
        cv.notify_all();
    }
    // What the daemon wrote, and whether the reply went out within `window`
    // of `since`.
    std::string wait(std::chrono::steady_clock::time_point since, std::chrono::milliseconds window,
                     bool* on_time) {
        std::unique_lock<std::mutex> lock(mu);
        cv.wait(lock, [&] { return done; });
        *on_time = got_whole && said - since <= window;
        return heard;
    }
};
// Never destroyed: its thread waits on it until the process ends.
Responder& g_mcu = *new Responder;

enum Op {
    SET_TIME,
    GET_TIME,
    SET_LED,
    GET_BATV,
    GET_STATUS,
    FEED_MEAL,
    BOWL_IN,
    BOWL_OUT,
    MOTOR_BACK,
    SET_FEED_MEAL,
    GET_FEED_MEAL,
    GET_SENSOR,
    OPS
};

// Each command's code (the LED command's is its argument) and the reply size
// it reads.
struct OpInfo {
    uint8_t code;
    int reply_size;
} const kOps[OPS] = {
    {UCOM_SET_TIME, 6},      {UCOM_GET_TIME, 12},      {0, 6},
    {UCOM_GET_BATV, 7},      {UCOM_GET_STATUS, 7},     {UCOM_FEED_MEAL, 6},
    {UCOM_BOWL_IN, 6},       {UCOM_BOWL_OUT, 6},       {UCOM_MOTOR_BACK, 6},
    {UCOM_SET_FEED_MEAL, 6}, {UCOM_GET_FEED_MEAL, 10}, {UCOM_GET_SENSOR, 6},
};

// The seven time fields from the board's clock, as `date` prints them.
std::string time_fields() {
    time_t t = time_t(sim::World::get().clock().now_us() / 1000000);
    struct tm tm;
    localtime_r(&t, &tm);
    int year = tm.tm_year + 1900;
    char f[7] = {char((year & 0xFF) + 0x30),
                 char(tm.tm_mon + 1),
                 char(tm.tm_mday),
                 char(tm.tm_wday == 0 ? 7 : tm.tm_wday),
                 char(tm.tm_hour),
                 char(tm.tm_min),
                 char(tm.tm_sec)};
    return std::string(f, 7);
}

// An MCU event frame (0x80 or 0x81, one data byte, right checksum) at the
// front of `w`.
bool event_in_front(const std::string& w) {
    if (w.size() < 6) return false;
    uint8_t code = uint8_t(w[2]);
    return (code == 0x80 || code == 0x81) &&
           w.compare(0, 6, fuzz::frame(code, w.substr(3, 1))) == 0;
}

// What the link must do with the reply as the MCU sent it: an event frame in
// front of it that does not carry the request's own code is acknowledged and
// the reply read after it, twice at most. Gives the acknowledgements the MCU
// must hear and sets `window` to the bytes the link judges in the end.
std::string acks_for(const std::string& reply, uint8_t code, int R, std::string* window) {
    std::string w = reply.substr(0, size_t(R)), acks;
    size_t next = w.size();
    for (int skipped = 0; skipped < 2 && event_in_front(w) && uint8_t(w[2]) != code; ++skipped) {
        acks += fuzz::frame(uint8_t(w[2]), std::string(1, '\0'));
        w.erase(0, 6);
        std::string more = reply.substr(next, size_t(R) - w.size());
        next += more.size();
        w += more;
    }
    *window = w;
    return acks;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::start_board(false);
    g_fd = fuzz::mcu_open();
    std::thread([] { g_mcu.run(); }).detach();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in{data, size};
    Op op = Op(in.byte() % OPS);
    uint8_t lo = in.byte(), hi = in.byte();
    int16_t count = int16_t(lo | hi << 8);  // signed: 0 and less send nothing
    uint8_t a = in.byte(), b = in.byte(), c = in.byte(), d = in.byte();
    uint8_t mode = in.byte();
    const int R = kOps[op].reply_size;

    // The request the command must send: its code and data bytes.
    uint8_t code = op == SET_LED ? b : kOps[op].code;
    std::string args(1, '\0');
    if (op == SET_TIME) args = time_fields();
    if (op == SET_LED) args = std::string(1, char(a));
    if (op == FEED_MEAL || op == MOTOR_BACK) args = std::string(1, char(count & 0xFF));
    if (op == SET_FEED_MEAL) args = {char(a), char(b), char(c), char(d)};
    bool sends = !((op == FEED_MEAL || op == MOTOR_BACK) && count <= 0);
    std::string request = sends ? fuzz::frame(code, args) : "";

    // The reply: raw bytes, a frame around them, the command's own frame, or
    // that frame with one byte changed.
    std::string reply;
    switch (mode % 4) {
        case 0:
            reply = in.rest(64);
            break;
        case 1:
            reply = fuzz::frame(mode & 4 ? in.byte() : code, in.rest(40));
            break;
        default: {
            std::string value = in.rest(size_t(R - 5));
            value.resize(size_t(R - 5), '\0');
            reply = fuzz::frame(code, value);
            if (mode % 4 == 3) {
                size_t at = in.byte() % reply.size();
                reply[at] = char(reply[at] ^ (in.byte() | 1));
            }
        }
    }
    if (reply.empty()) reply.assign(1, '\0');  // a silent MCU costs the whole read window

    const uint32_t kUntouched = 0xDEADBEEF;
    uint32_t flags = kUntouched;
    int status = int(kUntouched);
    if (sends) g_mcu.arm(request.size(), reply);
    auto start = std::chrono::steady_clock::now();
    int rc = 0;
    switch (op) {
        case SET_TIME:
            rc = ucom_set_time(g_fd);
            break;
        case GET_TIME:
            rc = ucom_get_time(g_fd);
            break;
        case SET_LED:
            rc = ucom_set_led(g_fd, int8_t(a), b);
            break;
        case GET_BATV:
            rc = ucom_get_batv(g_fd);
            break;
        case GET_STATUS:
            rc = ucom_get_feeder_status(g_fd, &status);
            break;
        case FEED_MEAL:
            rc = ucom_feed_meal(g_fd, count);
            break;
        case BOWL_IN:
            rc = ucom_bowl_in(g_fd);
            break;
        case BOWL_OUT:
            rc = ucom_bowl_out(g_fd);
            break;
        case MOTOR_BACK:
            rc = ucom_feed_motor_back(g_fd, count);
            break;
        case SET_FEED_MEAL:
            rc = ucom_set_feed_meal(g_fd, a, b, c, d);
            break;
        case GET_FEED_MEAL:
            rc = ucom_get_feed_meal(g_fd);
            break;
        case GET_SENSOR:
            rc = ucom_get_sensor(g_fd, &flags);
            break;
        case OPS:
            break;
    }
    // The command reads for 0.6 s from after its request: a reply sent within
    // 0.5 s of the start is in time. A harness starved for longer (a loaded
    // machine) makes a refusal the right answer.
    bool on_time = false;
    std::string heard = (sends ? g_mcu.wait(start, std::chrono::milliseconds(500), &on_time) : "") +
                        fuzz::mcu_heard();
    fuzz::mcu_quiet();

    // The one read sees at most R bytes of the reply; an event in front of
    // it is acknowledged, but only if it came while the link was reading.
    std::string seen;
    std::string acks = sends ? acks_for(reply, code, R, &seen) : "";
    bool heard_right = heard == request + acks || (!on_time && heard == request);
    FUZZ_CHECK(heard_right, "op %d sent %s, not %s", op, fuzz::hex(heard).c_str(),
               fuzz::hex(request + acks).c_str());
    FUZZ_CHECK(rc == __UCOM_DONE || rc == __UCOM_ERROR, "op %d: result %d", op, rc);
    if (!sends) {
        FUZZ_CHECK(rc == __UCOM_DONE, "a count of %d refused", count);
        return 0;
    }
    bool own = seen.size() == size_t(R) && seen == fuzz::frame(code, seen.substr(3, size_t(R - 5)));
    uint32_t out = op == GET_SENSOR ? flags : op == GET_STATUS ? uint32_t(status) : kUntouched;
    if (own && on_time) {
        FUZZ_CHECK(rc == __UCOM_DONE, "op %d refused its own reply %s", op,
                   fuzz::hex(seen).c_str());
        if (op == GET_SENSOR || op == GET_STATUS)
            FUZZ_CHECK(out == uint8_t(seen[3]), "op %d handed back %u from %s", op, out,
                       fuzz::hex(seen).c_str());
    }
    if (rc == __UCOM_DONE) {
        FUZZ_CHECK(fuzz::has_checked_window(seen), "op %d took %s, which passes no checksum", op,
                   fuzz::hex(seen).c_str());
        if (op == GET_SENSOR || op == GET_STATUS)
            FUZZ_CHECK(out <= 0xFF, "op %d handed back %u, more than a byte", op, out);
    } else {
        FUZZ_CHECK(out == kUntouched, "op %d refused its reply but handed back %u", op, out);
    }
    return 0;
}
