#include "platform/task.h"

#include <stdio.h>
#include <time.h>

#include <algorithm>
#include <atomic>

#include "include/log.h"
#include "platform/platform.h"

namespace {

const int64_t kNever = INT64_MAX;

// One task. The owner thread writes it; the watchdog reads the atomics.
struct Slot {
    bool used = false;  // g_mu
    char name[16] = {0};
    int bound_s = 0;
    std::atomic<int64_t> due_us{kNever};  // platform clock: late after this
    std::atomic<int64_t> last_us{0};      // platform clock: the last check-in
    std::atomic<int64_t> real_us{0};      // machine clock: the last check-in
    int64_t longest_us = 0;               // owner only: longest stretch between check-ins
    int waits = 0;                        // owner only: waits under way
};

// More tasks than threads never happen; a full table leaves the thread
// unwatched, and says so.
std::mutex g_mu;
Slot g_slots[16];
thread_local Slot* t_task = nullptr;
std::atomic<int> g_real_floor_s{30};

int64_t machine_us() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// A stretch of work ends (or a wait ends, which is no stretch): the next
// one is allowed `allow_us` before the bound counts.
void check_in(Slot* s, bool stretch_ended, int64_t allow_us) {
    int64_t now = plat_monotonic_us();
    if (stretch_ended) s->longest_us = std::max(s->longest_us, now - s->last_us.load());
    s->last_us = now;
    s->real_us = machine_us();
    int64_t bound = int64_t(s->bound_s) * 1000000;
    s->due_us.store(allow_us == kNever ? kNever : now + allow_us + bound,
                    std::memory_order_release);
}

}  // namespace

TaskScope::TaskScope(const char* name, int bound_s) : slot_(-1) {
    {
        std::lock_guard<std::mutex> hold(g_mu);
        for (int i = 0; i < int(sizeof g_slots / sizeof g_slots[0]); ++i) {
            if (g_slots[i].used) continue;
            Slot& s = g_slots[i];
            snprintf(s.name, sizeof s.name, "%s", name);
            s.bound_s = bound_s;
            s.longest_us = 0;
            s.waits = 0;
            check_in(&s, false, 0);
            s.used = true;
            slot_ = i;
            break;
        }
    }
    if (slot_ < 0) {
        log_out("watchdog : no room to watch %s\n", name);
        return;
    }
    t_task = &g_slots[slot_];
}

TaskScope::~TaskScope() {
    if (slot_ < 0) return;
    Slot& s = g_slots[slot_];
    t_task = nullptr;
    log_out("watchdog : %s ended, longest stretch %.1f s of its %d s\n", s.name,
            double(s.longest_us) / 1e6, s.bound_s);
    std::lock_guard<std::mutex> hold(g_mu);
    s.used = false;
}

void task_checkin() {
    if (Slot* s = t_task) check_in(s, true, 0);
}

TaskWait::TaskWait(int64_t us) {
    Slot* s = t_task;
    if (!s) return;
    ++s->waits;
    check_in(s, true, us < 0 ? kNever : us);
}

TaskWait::~TaskWait() {
    Slot* s = t_task;
    if (!s || --s->waits > 0) return;
    check_in(s, false, 0);
}

std::unique_lock<std::mutex> task_lock_behind(std::mutex& m) {
    std::unique_lock<std::mutex> hold(m, std::try_to_lock);
    if (!hold.owns_lock()) {
        TaskWait behind(TASK_UNBOUNDED);
        hold.lock();
    }
    return hold;
}

bool task_find_late(TaskLate* late) {
    std::lock_guard<std::mutex> hold(g_mu);
    int64_t now = plat_monotonic_us();
    int64_t real = machine_us();
    for (Slot& s : g_slots) {
        if (!s.used || now <= s.due_us.load(std::memory_order_acquire)) continue;
        int64_t floor = int64_t(std::min(s.bound_s, g_real_floor_s.load())) * 1000000;
        if (real - s.real_us.load() <= floor) continue;
        snprintf(late->name, sizeof late->name, "%s", s.name);
        late->bound_s = s.bound_s;
        late->silent_us = now - s.last_us.load();
        return true;
    }
    return false;
}

void task_set_real_floor_s(int seconds) {
    g_real_floor_s = std::max(0, seconds);
}
