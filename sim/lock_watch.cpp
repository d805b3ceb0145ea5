#include "sim/lock_watch.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "sim/clock.h"

namespace sim {

namespace {

// Reads a small file of this process's thread `tid` into `buf`; "" when it
// cannot.
void read_task_file(pid_t tid, const char* what, char* buf, size_t size) {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%d/%s", int(tid), what);
    buf[0] = 0;
    FILE* f = fopen(path, "r");
    if (!f) return;
    size_t n = fread(buf, 1, size - 1, f);
    fclose(f);
    buf[n] = 0;
    buf[strcspn(buf, "\n")] = 0;
}

struct Sched {
    long long run_ns = -1, wait_ns = -1;
};

Sched sched_of(pid_t tid) {
    char buf[128];
    read_task_file(tid, "schedstat", buf, sizeof buf);
    Sched s;
    if (sscanf(buf, "%lld %lld", &s.run_ns, &s.wait_ns) != 2) s = Sched{};
    return s;
}

// The state letter of stat, after the name in parentheses (which may itself
// hold spaces or parentheses).
char state_of(pid_t tid) {
    char buf[512];
    read_task_file(tid, "stat", buf, sizeof buf);
    const char* close = strrchr(buf, ')');
    return close && close[1] == ' ' && close[2] ? close[2] : '?';
}

}  // namespace

std::unique_lock<std::mutex> lock_watched(std::mutex& m, int64_t look_after_us, LockWait* w) {
    *w = LockWait{};
    int64_t asked = real_mono_us();
    std::unique_lock<std::mutex> hold(m, std::try_to_lock);
    if (hold.owns_lock()) return hold;
    // A timed lock of the realtime clock: the one the sanitizers know.
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += time_t(look_after_us / 1000000);
    until.tv_nsec += long(look_after_us % 1000000) * 1000;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    if (pthread_mutex_timedlock(m.native_handle(), &until) == 0) {
        w->waited_us = real_mono_us() - asked;
        return std::unique_lock<std::mutex>(m, std::adopt_lock);
    }
    // The C library keeps the holder's thread id in the lock itself.
    w->holder = __atomic_load_n(&m.native_handle()->__data.__owner, __ATOMIC_RELAXED);
    Sched before;
    if (w->holder > 0) {
        read_task_file(w->holder, "comm", w->name, sizeof w->name);
        w->state = state_of(w->holder);
        if (w->state != 'R') read_task_file(w->holder, "wchan", w->wchan, sizeof w->wchan);
        if (strcmp(w->wchan, "0") == 0) w->wchan[0] = 0;  // a sleep the kernel does not name
        before = sched_of(w->holder);
    }
    hold.lock();
    w->waited_us = real_mono_us() - asked;
    Sched after = w->holder > 0 ? sched_of(w->holder) : Sched{};
    if (before.run_ns >= 0 && after.run_ns >= 0) {
        w->ran_us = (after.run_ns - before.run_ns) / 1000;
        w->queued_us = (after.wait_ns - before.wait_ns) / 1000;
    }
    return hold;
}

std::string describe(const LockWait& w) {
    if (w.holder <= 0) return "";
    char text[256];
    int n = snprintf(text, sizeof text, "held by %s (tid %d, %c%s%s when looked at)",
                     w.name[0] ? w.name : "?", int(w.holder), w.state, w.wchan[0] ? " in " : "",
                     w.wchan);
    if (w.ran_us >= 0 && n > 0 && size_t(n) < sizeof text)
        snprintf(text + n, sizeof text - size_t(n),
                 ": from then on, %lld ms on a core and %lld ms waiting for one",
                 (long long)(w.ran_us / 1000), (long long)(w.queued_us / 1000));
    return text;
}

}  // namespace sim
