// The firmware updater's side of the message queue: like the real updater it
// waits in a blocking receive for the daemon's update requests (type 2), so
// the kernel hands each request straight to it, and when told to it answers
// with a chosen type (15 stops the daemon). Several updaters running take the
// requests as one would (whichever receives first answers): one thread
// serves the queue while any updater is in the listing. A hung one takes
// each request and says nothing.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "include/thread_name.h"
#include "sim/world.h"

namespace sim {

namespace {
struct Msg {
    long type;
    char text[368];
};
const char kStop = 0x7f;  // the first text byte of the message that ends the updater
}  // namespace

struct World::UpdaterThread {
    int q = -1;
    std::thread th;
    std::atomic<pid_t> tid{0};  // set just before its first receive
};

namespace {

// On the board a started updater reaches its receive well within the
// daemon's ten seconds' grace for taking a request. Here those ten virtual
// seconds are a few real milliseconds. So that a busy host does not decide a
// test, the start returns once the thread sleeps there (the next thing it
// does after naming itself), at most two seconds on.
void wait_until_receiving(const std::atomic<pid_t>& tid) {
    for (int i = 0; i < 2000; ++i, usleep(1000)) {
        if (!tid) continue;
        char path[64];
        snprintf(path, sizeof path, "/proc/self/task/%d/stat", int(tid));
        FILE* f = fopen(path, "re");
        if (!f) return;
        char stat[512] = {0};
        size_t n = fread(stat, 1, sizeof stat - 1, f);
        fclose(f);
        const char* paren = strrchr(stat, ')');
        if (n > 0 && paren && paren[1] == ' ' && paren[2] == 'S') return;
    }
}

}  // namespace

void World::start_updater() {
    if (updater_) return;
    auto* u = new UpdaterThread;
    u->q = msgget(msgq_key ? msgq_key : 1234, IPC_CREAT | 0666);
    if (u->q < 0) {
        delete u;
        return;
    }
    updater_ = u;
    u->th = std::thread([this, u] {
        u->tid = pid_t(syscall(SYS_gettid));
        for (;;) {
            Msg m;
            if (msgrcv(u->q, &m, sizeof m.text, 2, 0) < 0) {
                if (errno == EINTR) continue;
                return;  // the queue is gone
            }
            if (m.text[0] == kStop) return;
            int answer;
            {
                std::lock_guard<std::mutex> hold(mu_);
                answer = shell.hang_updater ? 0 : shell.updater_answer;
                log("updater", shell.hang_updater
                                   ? std::string("update requested, hung: answering nothing")
                                   : "update requested, answering " + std::to_string(answer));
            }
            if (answer > 0) {
                memset(&m, 0, sizeof m);
                m.type = answer;
                msgsnd(u->q, &m, sizeof m.text, IPC_NOWAIT);
            }
        }
    });
    name_thread(u->th, "sim-updater");
    wait_until_receiving(u->tid);
}

void World::stop_updater() {
    if (!updater_) return;
    Msg m;
    memset(&m, 0, sizeof m);
    m.type = 2;
    m.text[0] = kStop;
    msgsnd(updater_->q, &m, sizeof m.text, IPC_NOWAIT);
    updater_->th.join();
    delete updater_;
    updater_ = nullptr;
}

int World::take_pid() {
    const std::vector<int>& used = shell.updater_pids;
    int pid = 300;
    for (size_t tries = 0; tries <= used.size(); ++tries) {
        pid = shell.next_pid++;
        if (pid >= shell.pid_max) {
            pid = 300;
            shell.next_pid = 301;
        }
        if (std::find(used.begin(), used.end(), pid) == used.end()) break;
    }
    return pid;
}

void World::sync_updater_queue() {
    std::lock_guard<std::mutex> one(updater_mu_);
    bool any;
    {
        std::lock_guard<std::mutex> hold(mu_);
        any = !shell.updater_pids.empty();
    }
    if (any)
        start_updater();
    else
        stop_updater();
}

void World::remove_queue() {
    if (!msgq_key) return;
    int q = msgget(msgq_key, 0);
    if (q >= 0) msgctl(q, IPC_RMID, nullptr);
}

}  // namespace sim
