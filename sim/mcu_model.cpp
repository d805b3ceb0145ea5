// The MCU model on the master side of a pty: parses request frames, answers
// one reply per request inside the read window, then carries out bowl and
// motor movements over virtual time. Faults on demand.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "include/thread_name.h"
#include "sim/clock.h"
#include "sim/lock_watch.h"
#include "sim/priority.h"
#include "sim/world.h"

namespace sim {

struct World::McuThread {
    int master = -1;
    int wake = -1;        // eventfd: an event frame to send, or time to stop
    int slave_hold = -1;  // keeps the pty open while the daemon closes and reopens it
    std::atomic<bool> stop{false};
    std::thread th;
    std::vector<uint8_t> inbuf;
    struct Late {
        int64_t due_us;  // real monotonic
        std::vector<uint8_t> bytes;
    };
    std::vector<Late> late;
};

namespace {

void write_all(int fd, const std::vector<uint8_t>& b) {
    if (!b.empty() && write(fd, b.data(), b.size()) < 0) perror("mcu model write");
}

// Reply size R of each request code (reply carries R - 5 data bytes).
int reply_size(uint8_t code) {
    switch (code) {
        case 0x02:
            return 12;
        case 0x05:
        case 0x06:
            return 7;
        case 0x22:
            return 10;
        default:
            return 6;
    }
}

void start_bowl(World& w, BowlPos to) {
    Physics& p = w.phys;
    BowlPos target = to == BowlPos::In ? BowlPos::In : BowlPos::Out;
    if (p.bowl == BowlPos::Out) w.bowl_taken();
    if (p.bowl == target) {
        if (target == BowlPos::Out) w.bowl_presented();
        return;
    }
    p.bowl = to == BowlPos::In ? BowlPos::MovingIn : BowlPos::MovingOut;
    p.bowl_arrive_us = w.clock().monotonic_us() + int64_t(p.travel_s * 1e6);
}

// Carries out one request and builds its reply; mu() held.
std::vector<uint8_t> handle(World& w, const std::vector<uint8_t>& req) {
    uint8_t code = req[2];
    const uint8_t* d = req.data() + 3;
    int nd = int(req.size()) - 5;
    uint8_t arg = nd > 0 ? d[0] : 0;
    Physics& p = w.phys;
    w.update();
    std::vector<uint8_t> data(size_t(reply_size(code) - 5), 0);
    char text[96];
    switch (code) {
        case 0x01:
            if (nd >= 7) memcpy(p.mcu_time, d, 7);
            snprintf(text, sizeof text, "set time 20%02u-%02u-%02u wd%u %02u:%02u:%02u",
                     p.mcu_time[0], p.mcu_time[1], p.mcu_time[2], p.mcu_time[3], p.mcu_time[4],
                     p.mcu_time[5], p.mcu_time[6]);
            w.log("mcu", text);
            break;
        case 0x02:
            memcpy(data.data(), p.mcu_time, 7);
            break;
        case 0x03:
        case 0x04: {
            int& led = code == 0x03 ? p.led3 : p.led4;
            if (led != arg) {
                led = arg;
                snprintf(text, sizeof text, "led %d %s", code, arg ? "on" : "off");
                w.log("led", text);
            }
            data[0] = arg;
            break;
        }
        case 0x05:
            data = {0x0F, 0xA0};
            break;  // 4000 mV
        case 0x06:
            data = {uint8_t(w.sensor_bits()), 0};
            break;
        case 0x11:
            if (p.motor_pending == 0) p.motor_next_us = w.clock().monotonic_us();
            p.motor_pending += arg;
            data[0] = arg;
            w.log("motor", "feed " + std::to_string(arg));
            break;
        case 0x12:
            start_bowl(w, BowlPos::In);
            w.log("bowl", "in");
            break;
        case 0x13:
            start_bowl(w, BowlPos::Out);
            w.log("bowl", "out");
            break;
        case 0x14:
            p.motor_back_total += arg;
            data[0] = arg;
            w.log("motor", "back " + std::to_string(arg));
            break;
        case 0x21:
            break;
        case 0x22:
            break;
        case 0x30:
            data[0] = w.sensor_bits();
            break;
        case 0x80:
        case 0x81:
            w.log("mcu", "event acknowledged " + hex(&code, 1));
            return {};  // an acknowledgement gets no reply
        default:
            w.log("mcu", "unknown command " + hex(&code, 1));
            return {};
    }
    return make_frame(code, data);
}

// The active fault, counted down by this use; mu() held.
McuFault take_fault(McuState& m) {
    McuFault f = m.fault;
    if (m.fault_count > 0 && --m.fault_count == 0) m.fault = McuFault::None;
    return f;
}

// Applies the active fault to a reply; mu() held. Returns false when the
// reply is to be sent late.
bool apply_fault(World& w, std::vector<uint8_t>& reply) {
    McuState& m = w.mcu;
    if (m.fault == McuFault::None || reply.empty()) return true;
    McuFault f = take_fault(m);
    switch (f) {
        case McuFault::Silent:
            reply.clear();
            break;
        case McuFault::Short:
            reply.resize(3);
            break;
        case McuFault::BadChecksum:
            reply[reply.size() - 2] ^= 0x5A;
            break;
        case McuFault::Noise: {
            std::vector<uint8_t> noisy;
            int n = 1 + int(w.rand_uniform(0, 4));
            for (int i = 0; i < n; ++i) noisy.push_back(uint8_t(w.rand_uniform(0, 256)));
            noisy.insert(noisy.end(), reply.begin(), reply.end());
            reply = noisy;
            break;
        }
        case McuFault::Oversize: {
            std::vector<uint8_t> extra = reply;
            reply.insert(reply.end(), extra.begin(), extra.end());
            break;
        }
        case McuFault::Late:
            return false;
        case McuFault::Lost:  // taken before the request is carried out
        case McuFault::None:
            break;
    }
    w.log("mcu_fault", "reply " + hex(reply.data(), reply.size()));
    return true;
}

// The board's MCU answers within its window; this one is a thread on a desk
// and can miss it. A test that fails on a missing reply then says whose the
// delay was: the model's own (here the world's lock), or the link's.
const int64_t kSlowReply_us = 300000;  // half the daemon's read window

void say_if_slow(int64_t came_us, int64_t locked_us, const LockWait& lock) {
    int64_t took = real_mono_us() - came_us;
    if (took < kSlowReply_us) return;
    std::string holder = describe(lock);
    fprintf(stderr,
            "sim: mcu reply %lld ms after the request was read (%lld ms for the world's lock, "
            "%lld ms after it)%s%s\n",
            (long long)(took / 1000), (long long)(lock.waited_us / 1000),
            (long long)((real_mono_us() - locked_us) / 1000), holder.empty() ? "" : "; ",
            holder.c_str());
}

// Pulls whole frames out of the input, dropping bytes that do not start one.
void take_frames(World& w, World::McuThread& t, int64_t came_us) {
    std::vector<uint8_t>& in = t.inbuf;
    for (;;) {
        size_t start = 0;
        while (start < in.size() && in[start] != 0xA1) ++start;
        if (start) {
            std::lock_guard<std::mutex> hold(w.mu());
            w.log("mcu_junk", hex(in.data(), start));
            in.erase(in.begin(), in.begin() + long(start));
        }
        if (in.size() < 2) return;
        size_t len = size_t(in[1]) + 4;
        if (in[1] < 2 || len > 64) {  // not a length this protocol uses
            in.erase(in.begin());
            continue;
        }
        if (in.size() < len) return;
        std::vector<uint8_t> frame(in.begin(), in.begin() + long(len));
        bool ok = frame[len - 1] == 0xA8 &&
                  frame[len - 2] == frame_checksum(frame.data() + 2, int(len) - 4);
        if (!ok) {
            std::lock_guard<std::mutex> hold(w.mu());
            w.log("mcu_junk", hex(frame.data(), 1));
            in.erase(in.begin());
            continue;
        }
        in.erase(in.begin(), in.begin() + long(len));
        std::vector<uint8_t> reply;
        bool now = true;
        int late_ms = 0;
        int64_t locked;
        LockWait lock;
        {
            std::unique_lock<std::mutex> hold = lock_watched(w.mu(), kSlowReply_us / 3, &lock);
            locked = real_mono_us();
            if (w.mcu.fault == McuFault::Lost) {
                take_fault(w.mcu);
                w.log("mcu_fault", "request lost " + hex(frame.data(), frame.size()));
                continue;
            }
            w.log("mcu_rx", hex(frame.data(), frame.size()));
            reply = handle(w, frame);
            if (!w.mcu.scripted.empty() && !reply.empty()) {
                reply = w.mcu.scripted.front();
                w.mcu.scripted.pop_front();
            }
            now = apply_fault(w, reply);
            late_ms = w.mcu.late_ms;
            if (!reply.empty()) w.log("mcu_tx", hex(reply.data(), reply.size()));
        }
        if (now) {
            write_all(t.master, reply);
            say_if_slow(came_us, locked, lock);
        } else {
            t.late.push_back({real_mono_us() + int64_t(late_ms) * 1000, reply});
        }
    }
}

void run(World& w, World::McuThread& t) {
    uint8_t buf[256];
    while (!t.stop) {
        // Asleep until a request, an event to send or a late reply's time: an
        // idle board costs no wake-ups.
        int timeout = -1;
        int64_t now = real_mono_us();
        for (const auto& l : t.late) {
            int ms = int(std::max<int64_t>(0, (l.due_us - now + 999) / 1000));
            if (timeout < 0 || ms < timeout) timeout = ms;
        }
        struct pollfd pfd[2] = {{t.master, POLLIN, 0}, {t.wake, POLLIN, 0}};
        int rc = poll(pfd, 2, timeout);
        // Ahead of every ordinary thread, this loop must never spin: a port
        // with no one on its other side is looked at again a little later.
        bool idle_hup = rc > 0 && (pfd[0].revents & (POLLHUP | POLLERR | POLLNVAL)) &&
                        !(pfd[0].revents & POLLIN) && !(pfd[1].revents & POLLIN);
        if (idle_hup || (rc < 0 && errno != EINTR)) usleep(10000);
        if (rc > 0 && (pfd[1].revents & POLLIN)) {
            uint64_t drain;
            if (read(t.wake, &drain, sizeof drain) < 0) perror("eventfd");
        }
        if (rc > 0 && (pfd[0].revents & POLLIN)) {
            ssize_t n = read(t.master, buf, sizeof buf);
            if (n > 0) {
                t.inbuf.insert(t.inbuf.end(), buf, buf + n);
                take_frames(w, t, real_mono_us());
            }
        }
        now = real_mono_us();
        for (size_t i = 0; i < t.late.size();) {
            if (t.late[i].due_us <= now) {
                write_all(t.master, t.late[i].bytes);
                t.late.erase(t.late.begin() + long(i));
            } else {
                ++i;
            }
        }
        std::vector<std::vector<uint8_t>> events;
        {
            std::lock_guard<std::mutex> hold(w.mu());
            events.swap(w.mcu.pending_events);
            for (auto& e : events) w.log("mcu_event", hex(e.data(), e.size()));
        }
        for (auto& e : events) write_all(t.master, e);
    }
}

}  // namespace

void World::mcu_wake() {
    if (!mcu_thread_) return;
    uint64_t one = 1;
    if (write(mcu_thread_->wake, &one, sizeof one) < 0) perror("eventfd");
}

void World::start_mcu() {
    auto* t = new McuThread;
    t->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (t->master < 0 || grantpt(t->master) < 0 || unlockpt(t->master) < 0) {
        perror("posix_openpt");
        delete t;
        return;
    }
    tty_path_ = ptsname(t->master);
    t->wake = eventfd(0, EFD_CLOEXEC);
    t->slave_hold = open(tty_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios tio;
    if (t->slave_hold >= 0 && tcgetattr(t->slave_hold, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(t->slave_hold, TCSANOW, &tio);
    }
    std::string link = path("/dev/ttyAMA3");
    unlink(link.c_str());
    if (!root_.empty() && symlink(tty_path_.c_str(), link.c_str()) < 0) perror("symlink");
    mcu_thread_ = t;
    t->th = std::thread([this, t] { run(*this, *t); });
    name_thread(t->th, "sim-mcu");
    // A chip of its own on the board: its answers never wait behind the
    // desk's load. Where that is not allowed the record says so.
    std::string why;
    if (!run_ahead(t->th, &why)) {
        std::lock_guard<std::mutex> hold(mu_);
        log("mcu", "runs as an ordinary thread: " + why);
    }
}

void World::stop_mcu() {
    McuThread* t = mcu_thread_;
    if (!t) return;
    t->stop = true;
    mcu_wake();
    t->th.join();
    close(t->master);
    close(t->wake);
    if (t->slave_hold >= 0) close(t->slave_hold);
    delete t;
    mcu_thread_ = nullptr;
}

}  // namespace sim
