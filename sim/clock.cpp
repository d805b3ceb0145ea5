#include "sim/clock.h"

#include <errno.h>
#include <pthread.h>
#include <string.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <list>
#include <thread>

namespace sim {

namespace {

const int64_t kForever = INT64_MAX;

// The clocks alive now: a thread that ends unregisters only from a clock
// still there (tests make clocks of their own and drop them).
struct Registry {
    std::mutex mu;
    std::vector<std::pair<VirtualClock*, uint64_t>> clocks;
};
Registry& registry() {
    static Registry* r = new Registry;  // outlives every thread's exit
    return *r;
}
std::atomic<uint64_t> g_next_serial{1};

}  // namespace

struct VirtualClock::Entry {
    VirtualClock* clock;
    uint64_t serial;
    uint64_t epoch;
    bool paced;
};

struct VirtualClock::Waiter {
    int64_t until;       // virtual monotonic wake-up; kForever: none
    struct pollfd* set;  // the caller's descriptors, then the thread's wake descriptor
    nfds_t nfds;         // the caller's descriptors only
    int wake_fd;
    bool paced;
    bool woken;  // a jump reached `until`: awake, holding time, from then on
    Entry* entry;
    int64_t real_due = 0;  // real monotonic time its poll times out by itself
};

// Brackets a change of the pace, mu_ held: the readers that overlap it read
// again. What it publishes when it ends is what the lock now guards.
struct VirtualClock::PaceChange {
    explicit PaceChange(VirtualClock& c) : c_(c) {
        c_.pace_seq_.fetch_add(1, std::memory_order_seq_cst);
    }
    ~PaceChange() {
        c_.pace_plain_.store(!c_.manual_ && !c_.warp_, std::memory_order_release);
        c_.pace_real0_.store(c_.real0_us_, std::memory_order_release);
        c_.pace_mono0_.store(c_.mono0_us_, std::memory_order_release);
        c_.pace_wall_.store(c_.wall_offset_, std::memory_order_release);
        c_.pace_speed_.store(c_.speed_, std::memory_order_release);
        c_.pace_seq_.fetch_add(1, std::memory_order_release);
    }
    VirtualClock& c_;
};

bool VirtualClock::read_unlocked(int64_t* mono, int64_t* wall_offset) {
    for (int tries = 0; tries < 2; ++tries) {
        uint32_t seq = pace_seq_.load(std::memory_order_acquire);
        if (seq & 1) continue;
        // Acquire loads, not a fence (ThreadSanitizer cannot follow fences):
        // a field from a later change brings that change's odd count with it.
        bool plain = pace_plain_.load(std::memory_order_acquire);
        int64_t real0 = pace_real0_.load(std::memory_order_acquire);
        int64_t mono0 = pace_mono0_.load(std::memory_order_acquire);
        int64_t wall = pace_wall_.load(std::memory_order_acquire);
        double speed = pace_speed_.load(std::memory_order_acquire);
        int64_t real = real_mono_us();
        if (pace_seq_.load(std::memory_order_relaxed) != seq) continue;
        if (!plain) return false;
        *mono = mono0 + int64_t(double(real - real0) * speed);
        *wall_offset = wall;
        return true;
    }
    return false;
}

void thread_gone(const VirtualClock::Entry& e);

namespace {

// A thread's registrations and the descriptor a jump wakes it by.
struct ThreadSlot {
    std::list<VirtualClock::Entry> entries;
    int wake_fd = -1;
    ~ThreadSlot() {
        for (const VirtualClock::Entry& e : entries) thread_gone(e);
        if (wake_fd >= 0) close(wake_fd);
    }
};
thread_local ThreadSlot t_slot;

void signal(int fd) {
    uint64_t one = 1;
    if (write(fd, &one, sizeof one) < 0) perror("eventfd");
}

void drain(int fd) {
    uint64_t n;
    while (read(fd, &n, sizeof n) > 0) {
    }
}

}  // namespace

void thread_gone(const VirtualClock::Entry& e) {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.mu);
    for (auto& c : r.clocks) {
        if (c.first != e.clock || c.second != e.serial) continue;
        std::lock_guard<std::mutex> clock_hold(e.clock->mu_);
        if (e.epoch == e.clock->epoch_ && e.paced) {
            --e.clock->paced_;
            e.clock->jump_locked();
        }
        return;
    }
}

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

VirtualClock::VirtualClock() : serial_(g_next_serial++) {
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> hold(r.mu);
        r.clocks.emplace_back(this, serial_);
    }
    set_scaled(1.0, real_wall_us());
}

VirtualClock::~VirtualClock() {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.mu);
    r.clocks.erase(std::remove(r.clocks.begin(), r.clocks.end(), std::make_pair(this, serial_)),
                   r.clocks.end());
}

void VirtualClock::rebase_locked() {
    // Threads register again at their next wait; those waiting now stay counted.
    ++epoch_;
    paced_ = 0;
    paced_asleep_ = 0;
    for (Waiter* w : waiters_) {
        w->entry->epoch = epoch_;
        if (w->paced) {
            ++paced_;
            if (!w->woken) ++paced_asleep_;
        }
        signal(w->wake_fd);  // their time-outs were reckoned at the old pace
    }
    cap_real0_ = real0_us_;
    cap_mono0_ = mono0_us_;
}

void VirtualClock::set_scaled(double speed, int64_t start_us) {
    std::lock_guard<std::mutex> hold(mu_);
    PaceChange change(*this);
    manual_ = false;
    speed_ = speed > 0 ? speed : 1.0;
    real0_us_ = real_mono_us();
    mono0_us_ = 0;
    wall_offset_ = start_us;
    jumped_ = 0;
    rebase_locked();
    cv_.notify_all();
}

void VirtualClock::set_speed(double speed) {
    std::lock_guard<std::mutex> hold(mu_);
    if (manual_ || speed <= 0) return;
    PaceChange change(*this);
    int64_t now = mono_locked();
    real0_us_ = real_mono_us();
    mono0_us_ = now;
    speed_ = speed;
    for (Waiter* w : waiters_) signal(w->wake_fd);  // their time-outs were reckoned at the old pace
}

double VirtualClock::speed() {
    std::lock_guard<std::mutex> hold(mu_);
    return speed_;
}

void VirtualClock::set_manual(int64_t start_us, bool auto_advance) {
    std::lock_guard<std::mutex> hold(mu_);
    PaceChange change(*this);
    manual_ = true;
    auto_advance_ = auto_advance;
    speed_ = 1.0;
    manual_mono_ = 0;
    wall_offset_ = start_us;
    rebase_locked();
    cv_.notify_all();
}

int64_t VirtualClock::mono_locked() {
    if (manual_) return manual_mono_;
    int64_t real = real_mono_us();
    int64_t now = mono0_us_ + int64_t(double(real - real0_us_) * speed_);
    if (!warp_) return now;
    // A paced thread whose wake-up has come but which the machine has not yet
    // run holds time at its wake-up: a busy host must not make a thread late
    // in virtual time (a keep-alive that is a few real milliseconds late at
    // fifty times real time would be seconds late on the board).
    if (now > hold_at_) {
        real0_us_ = real;  // time goes on from the wake-up once the thread has left its wait
        mono0_us_ = hold_at_;
        now = hold_at_;
    }
    return now;
}

void VirtualClock::reckon_hold_locked() {
    hold_at_ = kForever;
    for (Waiter* w : waiters_)
        if (w->paced && w->until < hold_at_) hold_at_ = w->until;
}

int64_t VirtualClock::now_us() {
    int64_t mono, wall;
    if (read_unlocked(&mono, &wall)) return mono + wall;
    std::lock_guard<std::mutex> hold(mu_);
    return mono_locked() + wall_offset_;
}

int64_t VirtualClock::monotonic_us() {
    int64_t mono, wall;
    if (read_unlocked(&mono, &wall)) return mono;
    std::lock_guard<std::mutex> hold(mu_);
    return mono_locked();
}

int64_t VirtualClock::wall_at(int64_t mono_us) {
    int64_t mono, wall;
    if (read_unlocked(&mono, &wall)) return mono_us + wall;
    std::lock_guard<std::mutex> hold(mu_);
    return mono_us + wall_offset_;
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
    PaceChange change(*this);
    wall_offset_ = wall_us - mono_locked();
}

void VirtualClock::set_warp(bool on) {
    std::lock_guard<std::mutex> hold(mu_);
    PaceChange change(*this);
    warp_ = on;
    cap_real0_ = real_mono_us();
    cap_mono0_ = mono_locked();
    jump_locked();
}

void VirtualClock::set_max_speed(double virtual_per_real) {
    std::lock_guard<std::mutex> hold(mu_);
    max_speed_ = virtual_per_real > 0 ? virtual_per_real : 0;
    cap_real0_ = real_mono_us();
    cap_mono0_ = mono_locked();
    for (Waiter* w : waiters_) signal(w->wake_fd);  // their time-outs change
    jump_locked();
}

bool VirtualClock::warp() {
    std::lock_guard<std::mutex> hold(mu_);
    return warp_;
}

double VirtualClock::max_speed() {
    std::lock_guard<std::mutex> hold(mu_);
    return max_speed_;
}

int64_t VirtualClock::jumped_us() {
    std::lock_guard<std::mutex> hold(mu_);
    return jumped_;
}

void VirtualClock::keep_real_time(const std::string& prefix) {
    std::lock_guard<std::mutex> hold(mu_);
    real_time_.push_back(prefix);
}

void VirtualClock::pace_this_thread() {
    std::lock_guard<std::mutex> hold(mu_);
    if (manual_) return;
    Entry* entry = nullptr;
    register_locked(&entry);
}

void VirtualClock::expect_thread() {
    std::lock_guard<std::mutex> hold(mu_);
    expected_.push_back(real_mono_us() + kExpectReal_us);
}

void VirtualClock::thread_arrived() {
    std::lock_guard<std::mutex> hold(mu_);
    if (!expected_.empty()) expected_.erase(expected_.begin());
    if (manual_) return;
    Entry* entry = nullptr;
    register_locked(&entry);
}

bool VirtualClock::expecting_locked() {
    if (expected_.empty()) return false;
    int64_t real = real_mono_us();
    expected_.erase(std::remove_if(expected_.begin(), expected_.end(),
                                   [real](int64_t due) { return due <= real; }),
                    expected_.end());
    return !expected_.empty();
}

int VirtualClock::sleepers() {
    std::lock_guard<std::mutex> hold(mu_);
    return manual_ ? blocked_ : int(waiters_.size());
}

bool VirtualClock::register_locked(Entry** entry) {
    char name[16] = {0};
    pthread_getname_np(pthread_self(), name, sizeof name);
    auto paced_name = [&] {
        for (const std::string& p : real_time_)
            if (strncmp(name, p.c_str(), p.size()) == 0) return false;
        return true;
    };
    ThreadSlot& slot = t_slot;
    for (Entry& e : slot.entries) {
        if (e.clock != this || e.serial != serial_) continue;
        if (e.epoch != epoch_) {
            e.epoch = epoch_;
            e.paced = paced_name();
            if (e.paced) ++paced_;
        }
        *entry = &e;
        return e.paced;
    }
    slot.entries.push_back(Entry{this, serial_, epoch_, paced_name()});
    *entry = &slot.entries.back();
    if ((*entry)->paced) ++paced_;
    return (*entry)->paced;
}

// Reckoned from the anchor, with at most a tenth of a real second's worth
// banked: a clock that was held back does not then leap.
int64_t VirtualClock::ceiling_locked(int64_t real_now) {
    int64_t now = mono_locked();
    int64_t cap = cap_mono0_ + int64_t(double(real_now - cap_real0_) * max_speed_);
    cap = std::min(cap, now + int64_t(max_speed_ * 100000));
    cap_real0_ = real_now;
    cap_mono0_ = cap;
    return cap;
}

bool VirtualClock::poller_ready_locked() {
    struct pollfd set[64];
    nfds_t n = 0;
    for (Waiter* w : waiters_) {
        if (w->woken) continue;
        for (nfds_t i = 0; i < w->nfds && n < 64; ++i)
            set[n++] = {w->set[i].fd, w->set[i].events, 0};
    }
    return n > 0 && ::poll(set, n, 0) > 0;
}

// A jump brings every wake-up nearer, but a sleeper's real time-out was
// reckoned before it: should time then flow at its pace alone (a paced thread
// awake, so no more jumps), the sleeper would wake only by that old time-out,
// late by what was jumped. The earliest sleeper is the first that pace can
// reach, so it alone is told to reckon again; whoever is earliest after it
// wakes is checked then.
void VirtualClock::refresh_earliest_locked() {
    Waiter* first = nullptr;
    for (Waiter* w : waiters_)
        if (!w->woken && w->until != kForever && (!first || w->until < first->until)) first = w;
    if (!first) return;
    int64_t real = real_mono_us();
    int64_t due = real + int64_t(double(first->until - mono_locked()) / speed_);
    if (first->real_due > due + 1000) {
        first->real_due = due;  // told once per change, not on every check
        signal(first->wake_fd);
    }
}

// Every paced thread asleep and no sleeping poller's descriptor ready: time
// moves to the earliest wake-up (or to the ceiling), and whoever wakes there
// is awake from this moment, so that nothing jumps again before it has slept.
void VirtualClock::jump_locked() {
    if (manual_ || !warp_ || paced_ <= 0 || paced_asleep_ < paced_) return;
    if (expecting_locked()) return;
    int64_t next = kForever;
    for (Waiter* w : waiters_)
        if (!w->woken) next = std::min(next, w->until);
    if (next == kForever) return;
    int64_t now = mono_locked();
    if (next > now) {
        if (poller_ready_locked()) return;
        int64_t target = next;
        if (max_speed_ > 0) target = std::min(target, ceiling_locked(real_mono_us()));
        if (target > now) {
            mono0_us_ += target - now;
            jumped_ += target - now;
            now = target;
        }
    }
    for (Waiter* w : waiters_) {
        if (w->woken || w->until > now) continue;
        w->woken = true;
        if (w->paced) --paced_asleep_;
        signal(w->wake_fd);
    }
    refresh_earliest_locked();
}

int VirtualClock::wait_scaled(std::unique_lock<std::mutex>& lock, int64_t until, struct pollfd* fds,
                              nfds_t nfds) {
    ThreadSlot& slot = t_slot;
    if (slot.wake_fd < 0) slot.wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (slot.wake_fd < 0) {  // no descriptors left: wait as a plain poll would
        int ms = until == kForever ? -1 : int(double(until - mono_locked()) / 1000.0 / speed_);
        lock.unlock();
        int rc = ::poll(fds, nfds, ms < 0 && until != kForever ? 0 : ms);
        lock.lock();
        return rc;
    }
    std::vector<struct pollfd> big;
    struct pollfd local[32];
    struct pollfd* set = local;
    if (nfds + 1 > 32) {
        big.resize(nfds + 1);
        set = big.data();
    }
    for (nfds_t i = 0; i < nfds; ++i) set[i] = {fds[i].fd, fds[i].events, 0};
    set[nfds] = {slot.wake_fd, POLLIN, 0};
    Entry* entry = nullptr;
    bool paced = register_locked(&entry);
    Waiter me{until, set, nfds, slot.wake_fd, paced, false, entry};
    waiters_.push_back(&me);
    reckon_hold_locked();
    if (paced) ++paced_asleep_;
    int rc = 0;
    for (;;) {
        jump_locked();
        if (me.woken) break;
        int64_t real = real_mono_us();
        int64_t now = mono_locked();
        if (now >= until) break;
        struct timespec ts, *tsp = nullptr;
        if (until != kForever) {
            double ns = double(until - now) * 1000.0 / speed_;
            if (warp_ && max_speed_ > 0) {
                // The ceiling lets this wake-up come sooner than real pace.
                double by_cap = double(until - ceiling_locked(real)) * 1000.0 / max_speed_;
                if (by_cap > 0) ns = std::min(ns, by_cap);
            }
            int64_t whole = int64_t(ns) + 1;
            ts.tv_sec = time_t(whole / 1000000000);
            ts.tv_nsec = long(whole % 1000000000);
            tsp = &ts;
            me.real_due = real + whole / 1000;
        } else {
            me.real_due = kForever;
        }
        if (!expected_.empty() && until != kForever) {
            // A thread that never came lets the jumps go on at its deadline.
            int64_t due = *std::min_element(expected_.begin(), expected_.end());
            int64_t whole = std::max<int64_t>(due - real, 0) * 1000 + 1000000;
            if (whole < int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec) {
                ts.tv_sec = time_t(whole / 1000000000);
                ts.tv_nsec = long(whole % 1000000000);
            }
        }
        lock.unlock();
        int n = ppoll(set, nfds + 1, tsp, nullptr);
        int err = errno;
        lock.lock();
        if (n < 0 && err != EINTR) {
            rc = -1;
            break;
        }
        if (n > 0) {
            bool woke = set[nfds].revents != 0;
            if (woke) drain(slot.wake_fd);
            rc = n - (woke ? 1 : 0);
            if (rc > 0) break;
        }
    }
    mono_locked();  // a hold at this wake-up ends now, not at the last look at the time
    waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &me));
    reckon_hold_locked();
    if (me.paced && !me.woken) --paced_asleep_;
    if (warp_) refresh_earliest_locked();
    drain(slot.wake_fd);  // a jump's signal that came after the wait ended
    for (nfds_t i = 0; i < nfds; ++i) fds[i].revents = rc > 0 ? set[i].revents : 0;
    return rc;
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
        ++blocked_;
        cv_.wait(lock, [&] { return !manual_ || manual_mono_ >= until; });
        --blocked_;
        return;
    }
    // Below a microsecond of real time a sleep is only a system call's cost;
    // the thread stays awake (a load-cell read's bit timing).
    if (double(us) / speed_ < 1.0) return;
    wait_scaled(lock, mono_locked() + us, nullptr, 0);
}

int VirtualClock::poll(struct pollfd* fds, nfds_t nfds, int timeout_ms) {
    if (timeout_ms == 0) return ::poll(fds, nfds, 0);
    std::unique_lock<std::mutex> lock(mu_);
    if (!manual_) {
        int64_t until = timeout_ms < 0 ? kForever : mono_locked() + int64_t(timeout_ms) * 1000;
        return wait_scaled(lock, until, fds, nfds);
    }
    if (timeout_ms < 0) {
        lock.unlock();
        return ::poll(fds, nfds, -1);
    }
    if (auto_advance_) {
        lock.unlock();
        int rc = ::poll(fds, nfds, 0);
        if (rc != 0) return rc;
        sleep_us(int64_t(timeout_ms) * 1000);
        return ::poll(fds, nfds, 0);
    }
    // Blocking manual clock: wait in short real slices until a descriptor is
    // ready or the test has moved time past the time-out.
    int64_t until = manual_mono_ + int64_t(timeout_ms) * 1000;
    ++blocked_;
    int rc = 0;
    for (;;) {
        lock.unlock();
        rc = ::poll(fds, nfds, 2);
        lock.lock();
        if (rc != 0 || !manual_ || manual_mono_ >= until) break;
    }
    --blocked_;
    return rc;
}

}  // namespace sim
