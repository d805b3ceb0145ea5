// Tasks: the threads that must make progress, as the watchdog sees them.
//
// A task checks in as it goes: at both ends of every wait on the platform
// clock (a sleep, a poll, run_wait) and when it takes a lock behind another
// task. The watchdog gives the hardware keep-alive only while every task has
// checked in within its own bound, so a thread stuck in a shell command, an
// HTTP exchange or a lock ends in a reset. A wait of known length is allowed
// its length on top of the bound: a motor step or the runner's minute after
// a meal keeps a task alive however long it is.
#pragma once

#include <stdint.h>

#include <mutex>

// The calling thread is the task `name` (at most 15 characters are kept)
// for the life of this object: one line at the top of the thread's body. A
// thread that ends leaves the watch with it.
class TaskScope {
  public:
    TaskScope(const char* name, int bound_s);
    ~TaskScope();
    TaskScope(const TaskScope&) = delete;
    TaskScope& operator=(const TaskScope&) = delete;

  private:
    int slot_;
};

// The calling thread's task has made progress; nothing when it is no task.
void task_checkin();

// A legitimate wait of the calling thread, at most `us` long on the platform
// clock, or TASK_UNBOUNDED: one whose end another party's work decides (a
// lock held through a feeding, a descriptor polled without a time-out).
// Checks in when it starts and when it ends.
enum : int64_t { TASK_UNBOUNDED = -1 };
class TaskWait {
  public:
    explicit TaskWait(int64_t us);
    ~TaskWait();
    TaskWait(const TaskWait&) = delete;
    TaskWait& operator=(const TaskWait&) = delete;
};

// Takes `m`, which another task may hold through long legitimate work (a
// whole feeding): that task is watched through its own check-ins, and the
// time spent waiting for it is no silence of the caller.
std::unique_lock<std::mutex> task_lock_behind(std::mutex& m);

struct TaskLate {
    char name[16];
    int bound_s;
    int64_t silent_us;  // since the task's last check-in, platform clock
};
// The first task past its bound; false while every one is within it.
bool task_find_late(TaskLate* late);

// A task is late only when it has also been silent this many seconds on the
// machine's own clock (at most its bound; default 30). On the board that is
// the platform clock, so nothing changes. The simulator runs its clock
// faster than real time but keeps real system calls real (an HTTP exchange,
// the serial link): a step blocked in one lasts speed times longer on its
// clock than it would on a board. Tests that judge by the simulated clock
// alone set 0.
void task_set_real_floor_s(int seconds);
