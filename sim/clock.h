// Virtual time for the simulated board.
//
// Scaled: virtual time runs `speed` times as fast as real time from a chosen
// start, so a ten-minute feeding cycle passes in a second at speed 600.
// Manual: time moves only when told. With auto_advance every sleep moves it
// forward by its own length at once (single-threaded tests run in
// microseconds); without, sleepers block until the test calls advance().
//
// Warp (scaled clock): while every paced thread sleeps on this clock and no
// sleeping poller has a ready descriptor, time moves straight to the earliest
// wake-up instead of waiting for it. A thread is paced from its first wait on
// the clock until it ends, unless its name says it keeps real time (the SIP
// stack's thread, which runs on its own timers and only now and then waits
// here). A thread awake (woken, or busy in a real system call such as a
// serial read or an HTTP post) holds time at `speed`: its work takes no
// virtual time beyond the jump that woke it. And time never passes the
// wake-up of a paced thread still in its wait: a thread the machine runs
// late is not late on the clock.
#pragma once

#include <poll.h>
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

class VirtualClock {
  public:
    VirtualClock();
    ~VirtualClock();
    VirtualClock(const VirtualClock&) = delete;
    VirtualClock& operator=(const VirtualClock&) = delete;

    void set_scaled(double speed, int64_t start_us);
    // Scaled clock: a new speed from now on; virtual time goes on from where
    // it is, and each sleeper still wakes at its own virtual time.
    void set_speed(double speed);
    void set_manual(int64_t start_us, bool auto_advance);

    int64_t now_us();
    // Monotonic virtual time: never moved back by set_time().
    int64_t monotonic_us();
    // The wall time at a monotonic instant read earlier.
    int64_t wall_at(int64_t mono_us);
    void sleep_us(int64_t us);
    int poll(struct pollfd* fds, nfds_t nfds, int timeout_ms);

    // Manual clock: sleeps move time themselves, or wait for advance().
    void set_auto_advance(bool on);
    // Manual clock: move time forward and wake sleepers whose time has come.
    void advance(int64_t us);
    // Set the wall time (settimeofday, or a test placing the device).
    void set_time(int64_t wall_us);

    // Scaled clock: jumps on or off, and a ceiling on the virtual seconds per
    // real second they may reach (0: none), so that a driver's real-time
    // services keep up. Off by default.
    void set_warp(bool on);
    void set_max_speed(double virtual_per_real);
    bool warp();
    double max_speed();
    int64_t jumped_us();  // virtual time the jumps have skipped, in total
    // Threads whose name starts with `prefix` are never paced.
    void keep_real_time(const std::string& prefix);

    // Threads inside a sleep or poll on this clock right now.
    int sleepers();
    // Counts the calling thread as paced (and awake) from now on, not only
    // from its first wait: a thread started to act at a virtual time holds
    // the warp until it sleeps.
    void pace_this_thread();
    // A thread about to be started, told by its creator: time holds still
    // until it takes its first step (thread_arrived), so that a jump made
    // while every other thread sleeps does not skip past a thread the machine
    // has not yet run. One that never comes holds time for kExpectReal_us.
    void expect_thread();
    // The expected thread's first step: paced, and awake, from here on.
    void thread_arrived();
    static constexpr int64_t kExpectReal_us = 2000000;

    bool manual() const { return manual_; }
    double speed();

    struct Waiter;  // one thread's wait (sim/clock.cpp)
    struct Entry;   // one thread's registration

  private:
    // A scaled clock without the warp is read without its lock: the world's
    // users read it under the world's lock, and a sleeper the machine does
    // not run while it holds this clock's lock (a loaded desk) must not hold
    // them, and the MCU model behind them, too. Its pace is published to the
    // readers on every change, mu_ held; a reader that meets a change under
    // way reads again, and then under the lock.
    struct PaceChange;
    bool read_unlocked(int64_t* mono, int64_t* wall_offset);
    std::atomic<uint32_t> pace_seq_{0};    // odd while a change is under way
    std::atomic<bool> pace_plain_{false};  // scaled, no warp: readers may compute
    std::atomic<int64_t> pace_real0_{0}, pace_mono0_{0}, pace_wall_{0};
    std::atomic<double> pace_speed_{1.0};

    int64_t mono_locked();  // virtual monotonic time; mu_ held
    int wait_scaled(std::unique_lock<std::mutex>& lock, int64_t until, struct pollfd* fds,
                    nfds_t nfds);
    bool register_locked(Entry** entry);  // this thread's registration; true when paced
    void jump_locked();                   // the warp's one rule; mu_ held
    void refresh_earliest_locked();
    bool poller_ready_locked();
    int64_t ceiling_locked(int64_t real_now);
    void reckon_hold_locked();  // hold_at_ from the waiters; mu_ held
    void rebase_locked();       // a new mode or speed: counts start again
    bool expecting_locked();    // a thread started and not yet arrived
    friend void thread_gone(const Entry& e);
    friend struct ClockLockHolder;  // tests: a holder the machine does not run

    std::mutex mu_;
    std::condition_variable cv_;
    bool manual_ = false;
    bool auto_advance_ = true;
    double speed_ = 1.0;
    int64_t real0_us_ = 0;     // real monotonic time when scaled time was set
    int64_t mono0_us_ = 0;     // virtual monotonic time at real0_us_ (jumps included)
    int64_t manual_mono_ = 0;  // manual clock's monotonic time
    int64_t wall_offset_ = 0;  // wall = monotonic + offset
    int blocked_ = 0;          // manual clock's blocked sleepers and pollers

    // Warp.
    uint64_t serial_;     // this clock among all clocks a thread may have met
    uint64_t epoch_ = 0;  // registrations older than the last set_scaled/set_manual are void
    bool warp_ = false;
    double max_speed_ = 0;
    int64_t cap_real0_ = 0, cap_mono0_ = 0;  // the ceiling's anchor
    int64_t jumped_ = 0;
    int paced_ = 0;         // threads registered as paced
    int paced_asleep_ = 0;  // of those, waiting and not yet woken
    std::vector<Waiter*> waiters_;
    std::vector<int64_t> expected_;  // real monotonic deadlines of threads not yet arrived
    int64_t hold_at_ = INT64_MAX;    // earliest wake-up of a paced thread in its wait
    std::vector<std::string> real_time_;
};

int64_t real_wall_us();
int64_t real_mono_us();  // the machine's monotonic clock, microseconds

}  // namespace sim
