#include "sim/clock.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace sim {

int64_t real_wall_us() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t real_mono_us() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

VirtualClock::VirtualClock() {
    set_scaled(1.0, real_wall_us());
}

void VirtualClock::set_scaled(double speed, int64_t start_us) {
    std::lock_guard<std::mutex> hold(mu_);
    manual_ = false;
    speed_ = speed > 0 ? speed : 1.0;
    real0_us_ = real_mono_us();
    mono0_us_ = 0;
    wall_offset_ = start_us;
    cv_.notify_all();
}

void VirtualClock::set_manual(int64_t start_us, bool auto_advance) {
    std::lock_guard<std::mutex> hold(mu_);
    manual_ = true;
    auto_advance_ = auto_advance;
    speed_ = 1.0;
    manual_mono_ = 0;
    wall_offset_ = start_us;
    cv_.notify_all();
}

int64_t VirtualClock::mono_locked() {
    if (manual_) return manual_mono_;
    return mono0_us_ + int64_t(double(real_mono_us() - real0_us_) * speed_);
}

int64_t VirtualClock::now_us() {
    std::lock_guard<std::mutex> hold(mu_);
    return mono_locked() + wall_offset_;
}

int64_t VirtualClock::monotonic_us() {
    std::lock_guard<std::mutex> hold(mu_);
    return mono_locked();
}

void VirtualClock::set_auto_advance(bool on) {
    std::lock_guard<std::mutex> hold(mu_);
    auto_advance_ = on;
    cv_.notify_all();
}

void VirtualClock::advance(int64_t us) {
    std::lock_guard<std::mutex> hold(mu_);
    if (manual_ && us > 0) manual_mono_ += us;
    cv_.notify_all();
}

void VirtualClock::set_time(int64_t wall_us) {
    std::lock_guard<std::mutex> hold(mu_);
    wall_offset_ = wall_us - mono_locked();
}

void VirtualClock::sleep_us(int64_t us) {
    if (us <= 0) return;
    std::unique_lock<std::mutex> lock(mu_);
    if (manual_) {
        if (auto_advance_) {
            manual_mono_ += us;
            cv_.notify_all();
            return;
        }
        int64_t until = manual_mono_ + us;
        cv_.wait(lock, [&] { return !manual_ || manual_mono_ >= until; });
        return;
    }
    double real = double(us) / speed_;
    lock.unlock();
    // Below a microsecond of real time a sleep is only a system call's cost.
    if (real >= 1.0) std::this_thread::sleep_for(std::chrono::microseconds(int64_t(real)));
}

int VirtualClock::poll(struct pollfd* fds, nfds_t nfds, int timeout_ms) {
    if (timeout_ms < 0) return ::poll(fds, nfds, -1);
    bool manual_now, auto_now;
    double speed;
    {
        std::lock_guard<std::mutex> hold(mu_);
        manual_now = manual_;
        auto_now = auto_advance_;
        speed = speed_;
    }
    if (!manual_now) {
        double real_ms = double(timeout_ms) / speed;
        int ms = timeout_ms == 0 ? 0 : std::max(1, int(real_ms + 0.5));
        return ::poll(fds, nfds, ms);
    }
    if (auto_now) {
        int rc = ::poll(fds, nfds, 0);
        if (rc != 0) return rc;
        sleep_us(int64_t(timeout_ms) * 1000);
        return ::poll(fds, nfds, 0);
    }
    // Blocking manual clock: wait in short real slices until a descriptor is
    // ready or the test has moved time past the time-out.
    int64_t until = monotonic_us() + int64_t(timeout_ms) * 1000;
    for (;;) {
        int rc = ::poll(fds, nfds, 2);
        if (rc != 0) return rc;
        if (monotonic_us() >= until) return 0;
    }
}

}  // namespace sim
