// Virtual time for the simulated board.
//
// Scaled: virtual time runs `speed` times as fast as real time from a chosen
// start, so a ten-minute feeding cycle passes in a second at speed 600.
// Manual: time moves only when told. With auto_advance every sleep moves it
// forward by its own length at once (single-threaded tests run in
// microseconds); without, sleepers block until the test calls advance().
#pragma once

#include <poll.h>
#include <stdint.h>

#include <condition_variable>
#include <mutex>

namespace sim {

class VirtualClock {
  public:
    VirtualClock();

    void set_scaled(double speed, int64_t start_us);
    void set_manual(int64_t start_us, bool auto_advance);

    int64_t now_us();
    // Monotonic virtual time: never moved back by set_time().
    int64_t monotonic_us();
    void sleep_us(int64_t us);
    int poll(struct pollfd* fds, nfds_t nfds, int timeout_ms);

    // Manual clock: sleeps move time themselves, or wait for advance().
    void set_auto_advance(bool on);
    // Manual clock: move time forward and wake sleepers whose time has come.
    void advance(int64_t us);
    // Set the wall time (settimeofday, or a test placing the device).
    void set_time(int64_t wall_us);

    bool manual() const { return manual_; }
    double speed() const { return speed_; }

  private:
    int64_t mono_locked();  // virtual monotonic time; mu_ held

    std::mutex mu_;
    std::condition_variable cv_;
    bool manual_ = false;
    bool auto_advance_ = true;
    double speed_ = 1.0;
    int64_t real0_us_ = 0;     // real monotonic time when scaled time was set
    int64_t mono0_us_ = 0;     // virtual monotonic time at real0_us_
    int64_t manual_mono_ = 0;  // manual clock's monotonic time
    int64_t wall_offset_ = 0;  // wall = monotonic + offset
};

int64_t real_wall_us();
int64_t real_mono_us();  // the machine's monotonic clock, microseconds

}  // namespace sim
