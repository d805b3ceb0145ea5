// Board side of the platform seam: each call is the literal system call,
// the shell commands aside (they are started as system() and popen() would,
// without what those leave to a child or take from the daemon, and ended
// when they outlast their limit). The waits on the clock are waits of the
// calling thread's task (platform/task.h).
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "platform/command_limit.h"
#include "platform/platform.h"
#include "platform/task.h"

time_t plat_time() {
    return time(nullptr);
}
void plat_gettimeofday(struct timeval* tv) {
    gettimeofday(tv, nullptr);
}
int plat_settimeofday(const struct timeval* tv) {
    return settimeofday(tv, nullptr);
}

int64_t plat_monotonic_us() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void plat_sleep(unsigned seconds) {
    TaskWait wait(int64_t(seconds) * 1000000);
    sleep(seconds);
}
void plat_usleep(unsigned microseconds) {
    usleep(microseconds);
}
int plat_poll(struct pollfd* fds, nfds_t nfds, int timeout_ms) {
    TaskWait wait(timeout_ms < 0 ? TASK_UNBOUNDED : int64_t(timeout_ms) * 1000);
    return poll(fds, nfds, timeout_ms);
}

void plat_thread_coming() {}
void plat_thread_arrived() {}

std::string plat_path(const char* fixed) {
    return fixed;
}
key_t plat_msgq_key(key_t fixed) {
    return fixed;
}

// Children started through the shell never inherit a device: the updater
// outlives the daemon and would keep the watchdog armed.
int plat_dev_open(const char* fixed, int flags) {
    return open(fixed, flags | O_CLOEXEC);
}
int plat_dev_ioctl(int fd, unsigned long request, uintptr_t arg) {
    return ioctl(fd, request, arg);
}
ssize_t plat_dev_write(int fd, const void* buf, size_t len) {
    return write(fd, buf, len);
}
int plat_dev_close(int fd) {
    return close(fd);
}

int plat_if_hwaddr(const char* ifname, unsigned char mac[6]) {
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
    int rc = ioctl(sock, SIOCGIFHWADDR, &ifr);
    if (sock >= 0) close(sock);
    if (rc < 0) return -1;
    memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
    return 0;
}

int plat_resolve(const char* host) {
    return gethostbyname(host) ? 0 : -1;
}

namespace {

// Starts "/bin/sh -c cmd" as system() and popen() do, with three differences
// that matter on the board. The child keeps standard input, output and error
// and nothing else: the SIP stack and libcurl open sockets without
// close-on-exec, and the updater started here would hold port 5060 and the
// watchdog after the daemon ends. The daemon keeps its SIGINT handler while
// it waits (system() ignores SIGINT meanwhile, so a stop was lost); the
// child starts with default signal handling and nothing blocked. And the
// shell leads a process group of its own, so that a command past its limit
// is ended with everything it started. `pipe_fd`, when not -1, becomes the
// child's descriptor `target`.
int spawn_shell(const char* cmd, int pipe_fd, int target, pid_t* pid) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (pipe_fd >= 0) posix_spawn_file_actions_adddup2(&fa, pipe_fd, target);
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>("--"),
                    const_cast<char*>(cmd), nullptr};
    int rc = posix_spawn(pid, "/bin/sh", &fa, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    return rc;
}

int64_t now_ms() {
    return plat_monotonic_us() / 1000;
}

// The wait status, as system() and pclose() give it; -1 when it is lost.
// Past `deadline_ms` the shell's process group is killed (a pipeline, or a
// player the shell started, must not outlive it) and the killed shell's
// status is the command's. A child the kernel cannot end (stuck in a driver)
// still holds this thread: the watchdog sees that.
int wait_child(pid_t pid, int64_t deadline_ms, const char* cmd, int limit_ms) {
    // Where the kernel has no process descriptors (before 5.3), a look every
    // 10 ms. (The C library's wrapper lacks C linkage in its 2.36 header.)
    int pfd = int(syscall(SYS_pidfd_open, pid, 0));
    int status = -1;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) {
            status = -1;
            break;
        }
        int64_t left = deadline_ms - now_ms();
        if (left <= 0) {
            kill(-pid, SIGKILL);
            command_limit_log(cmd, limit_ms);
            while (waitpid(pid, &status, 0) < 0)
                if (errno != EINTR) {
                    status = -1;
                    break;
                }
            break;
        }
        struct pollfd p = {pfd, POLLIN, 0};
        if (pfd >= 0)
            poll(&p, 1, int(left));
        else
            poll(nullptr, 0, int(std::min<int64_t>(left, 10)));
    }
    if (pfd >= 0) close(pfd);
    return status;
}

// The children behind open plat_popen streams. More at once than there are
// threads never happens; a full table refuses like a failed popen.
struct PipeChild {
    FILE* fp;
    pid_t pid;
    bool used;
    int64_t deadline_ms;
    int limit_ms;
    char cmd[200];  // for the log, cut short if need be
};
std::mutex g_pipes_lock;
PipeChild g_pipes[16];

}  // namespace

int plat_system(const char* cmd, int limit_ms) {
    limit_ms = command_limit_or_own(cmd, limit_ms);
    int64_t deadline = now_ms() + limit_ms;
    pid_t pid;
    int rc = spawn_shell(cmd, -1, -1, &pid);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return wait_child(pid, deadline, cmd, limit_ms);
}

FILE* plat_popen(const char* cmd, const char* mode, int limit_ms) {
    limit_ms = command_limit_or_own(cmd, limit_ms);
    int64_t deadline = now_ms() + limit_ms;
    bool reading = mode[0] == 'r';
    if (!reading && mode[0] != 'w') {
        errno = EINVAL;
        return nullptr;
    }
    PipeChild* slot = nullptr;
    {
        std::lock_guard<std::mutex> hold(g_pipes_lock);
        for (PipeChild& c : g_pipes)
            if (!c.used) {
                c = {nullptr, -1, true, deadline, limit_ms, ""};
                snprintf(c.cmd, sizeof c.cmd, "%s", cmd);
                slot = &c;
                break;
            }
    }
    if (!slot) {
        errno = EMFILE;
        return nullptr;
    }
    FILE* fp = nullptr;
    pid_t pid = -1;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
        int mine = reading ? fds[0] : fds[1];
        int theirs = reading ? fds[1] : fds[0];
        int rc = spawn_shell(cmd, theirs, reading ? STDOUT_FILENO : STDIN_FILENO, &pid);
        close(theirs);
        if (rc != 0) {
            close(mine);
            errno = rc;
        } else if (!(fp = fdopen(mine, reading ? "r" : "w"))) {
            int e = errno;
            close(mine);
            wait_child(pid, deadline, cmd, limit_ms);
            errno = e;
        }
    }
    std::lock_guard<std::mutex> hold(g_pipes_lock);
    if (fp) {
        slot->fp = fp;
        slot->pid = pid;
    } else {
        slot->used = false;
    }
    return fp;
}

int plat_pclose(FILE* fp) {
    PipeChild child = {};
    child.pid = -1;
    {
        std::lock_guard<std::mutex> hold(g_pipes_lock);
        for (PipeChild& c : g_pipes)
            if (c.used && c.fp == fp) {
                child = c;
                c.used = false;
                break;
            }
    }
    if (child.pid < 0) {
        errno = ECHILD;
        return -1;
    }
    fclose(fp);
    return wait_child(child.pid, child.deadline_ms, child.cmd, child.limit_ms);
}
