// What the device costs while it idles, next to a reference SIP user agent:
// hopperd-sim at real speed and baresip, both registered to the local SIP
// service, over the same window (60 s unless argv[1] gives the seconds):
//  - CPU time used in the window, user + system, all threads;
//  - memory at the end: peak resident (VmHWM), and from smaps_rollup the
//    proportional share (PSS: shared pages divided among their users) and
//    the private pages (USS: Private_Clean + Private_Dirty) and of those the
//    anonymous ones (heap, stacks, written data). USS also counts the text
//    pages of a library no other process has mapped at that moment, so it
//    moves with what else runs on the machine; those pages are the
//    library's, not the process's to spend, so the verdict judges the
//    anonymous memory;
//  - wake-ups per second: the voluntary context switches of all threads
//    over the window, each a sleep that ended (a timer, a reply, a packet).
//    Involuntary switches (the thread was preempted while running) say how
//    busy the machine was, not what the process asked for: they are
//    printed apart;
//  - the SIP requests the device sent the service in the window (REGISTER
//    refreshes, OPTIONS keep-alives), from the service's log: the idle
//    device must still keep its registration and its NAT binding.
// A second argument runs another hopperd-sim (a build of an earlier
// revision) under the same desk, for before/after figures.
// hopperd-sim carries the board simulator (MCU model, control socket, world
// ticker) too; its threads are named "sim-...", so the daemon's share of CPU
// and wake-ups is printed apart. Memory cannot be split that way; next to it
// stands what a process pays for loading libcurl and nothing else.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/cloud.h"
#include "tests/support/desk.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

extern char** environ;

namespace {

volatile sig_atomic_t g_stop = 0;

void on_signal(int) {
    g_stop = 1;
}

double now_s() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Sleeps up to `seconds`; false when we were asked to stop meanwhile.
bool pause_s(double seconds) {
    double end = now_s() + seconds;
    while (!g_stop && now_s() < end) usleep(100000);
    return !g_stop;
}

// A missing file reads as empty: the process may be gone.
std::string slurp(const std::string& path) {
    FILE* f = fopen(path.c_str(), "r");
    if (!f) return "";
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    fclose(f);
    return text;
}

// The number after "key:" in a /proc status file, or -1.
long long status_field(const std::string& text, const char* key) {
    size_t at = text.find(std::string("\n") + key + ":");
    if (at == std::string::npos) return -1;
    return atoll(text.c_str() + at + strlen(key) + 2);
}

// What a process holds in memory, in kB; -1 where it could not be read.
struct Memory {
    long long peak_rss = -1;  // VmHWM
    long long pss = -1;
    long long uss = -1;   // Private_Clean + Private_Dirty
    long long anon = -1;  // Anonymous
};

Memory memory(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid);
    Memory m;
    m.peak_rss = status_field("\n" + slurp(dir + "/status"), "VmHWM");
    std::string rollup = "\n" + slurp(dir + "/smaps_rollup");
    m.pss = status_field(rollup, "Pss");
    long long clean = status_field(rollup, "Private_Clean");
    long long dirty = status_field(rollup, "Private_Dirty");
    if (clean >= 0 && dirty >= 0) m.uss = clean + dirty;
    m.anon = status_field(rollup, "Anonymous");
    return m;
}

// utime + stime in clock ticks from a /proc stat line, or -1. The command
// may hold spaces and parentheses, so the fields are counted after the last ')'.
long long stat_ticks(const std::string& stat) {
    size_t at = stat.rfind(')');
    if (at == std::string::npos) return -1;
    long long utime = 0, stime = 0;
    if (sscanf(stat.c_str() + at + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lld %lld",
               &utime, &stime) != 2)
        return -1;
    return utime + stime;
}

struct ThreadSample {
    std::string comm;
    std::string wchan;        // where it sleeps in the kernel: tells the threads apart a little
    long long wakeups = 0;    // voluntary switches
    long long preempted = 0;  // involuntary switches
    long long run_ns = 0;     // schedstat: exact, where the tick count is too coarse
};

struct Sample {
    double at = 0;
    long long ticks = -1;  // whole process, exited threads included
    std::map<pid_t, ThreadSample> threads;
};

Sample sample(pid_t pid) {
    Sample s;
    s.at = now_s();
    std::string dir = "/proc/" + std::to_string(pid);
    s.ticks = stat_ticks(slurp(dir + "/stat"));
    DIR* d = opendir((dir + "/task").c_str());
    if (!d) return s;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string task = dir + "/task/" + e->d_name;
        std::string status = "\n" + slurp(task + "/status");
        long long vol = status_field(status, "voluntary_ctxt_switches");
        long long invol = status_field(status, "nonvoluntary_ctxt_switches");
        if (vol < 0 || invol < 0) continue;  // ended while we looked
        ThreadSample t;
        t.comm = slurp(task + "/comm");
        if (!t.comm.empty() && t.comm.back() == '\n') t.comm.pop_back();
        t.wchan = slurp(task + "/wchan");
        t.wchan = t.wchan.substr(0, t.wchan.find('.'));  // drop ".constprop.0" and the like
        t.wakeups = vol;
        t.preempted = invol;
        t.run_ns = atoll(slurp(task + "/schedstat").c_str());
        s.threads[pid_t(atoi(e->d_name))] = t;
    }
    closedir(d);
    return s;
}

struct ThreadCost {
    pid_t tid;
    std::string comm, wchan;
    long long wakeups, preempted, run_ns;
};

// A share of the threads: the daemon's or the board simulator's.
struct Share {
    double cpu_ms = 0;  // exact, from schedstat
    long long wakeups = 0;
    long long preempted = 0;
};

// The simulator names its threads "sim-..."; everything else is the daemon.
bool simulator_thread(const std::string& comm) {
    return comm.compare(0, 4, "sim-") == 0;
}

struct Cost {
    double seconds = 0;
    double cpu_ms = 0;  // whole clock ticks, exited threads included
    Memory mem;
    long long wakeups = 0;
    long long preempted = 0;
    Share daemon, simulator;
    int gone = 0;  // threads that ended in the window: their switches are lost
    std::vector<ThreadCost> threads;
};

// Threads born in the window count from zero.
Cost cost(const Sample& a, const Sample& b, pid_t pid) {
    Cost c;
    c.seconds = b.at - a.at;
    c.cpu_ms = double(b.ticks - a.ticks) * 1000.0 / double(sysconf(_SC_CLK_TCK));
    c.mem = memory(pid);
    for (const auto& [tid, t] : b.threads) {
        auto was = a.threads.find(tid);
        ThreadCost tc = {tid, t.comm, t.wchan, t.wakeups, t.preempted, t.run_ns};
        if (was != a.threads.end()) {
            tc.wakeups -= was->second.wakeups;
            tc.preempted -= was->second.preempted;
            tc.run_ns -= was->second.run_ns;
        }
        c.wakeups += tc.wakeups;
        c.preempted += tc.preempted;
        Share& share = simulator_thread(t.comm) ? c.simulator : c.daemon;
        share.cpu_ms += double(tc.run_ns) / 1e6;
        share.wakeups += tc.wakeups;
        share.preempted += tc.preempted;
        c.threads.push_back(tc);
    }
    for (const auto& entry : a.threads)
        if (!b.threads.count(entry.first)) ++c.gone;
    std::sort(c.threads.begin(), c.threads.end(),
              [](const ThreadCost& x, const ThreadCost& y) { return x.wakeups > y.wakeups; });
    return c;
}

// Looks without reaping: the owner of the child reaps it when it stops it.
bool alive(pid_t pid) {
    std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    size_t at = stat.rfind(')');
    return pid > 0 && at != std::string::npos && at + 2 < stat.size() && stat[at + 2] != 'Z';
}

// baresip with a pipe on its standard input that stays open while it runs
// (its stdio front end quits on end of file), its output in a log file.
// Spawned directly, so that pid() is baresip itself and not a shell.
class UserAgent {
  public:
    UserAgent(const std::string& config_dir, const std::string& addr, const std::string& log)
        : log_(log) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) < 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[0], STDIN_FILENO);
        posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, log.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&fa, STDOUT_FILENO, STDERR_FILENO);
        std::vector<std::string> argv = {"baresip", "-f", config_dir, "-n", addr};
        std::vector<char*> args;
        for (std::string& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        if (posix_spawnp(&pid_, "baresip", &fa, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(fds[0]);
        stdin_fd_ = fds[1];
    }
    ~UserAgent() {
        if (stdin_fd_ >= 0) close(stdin_fd_);
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        double end = now_s() + 5;
        while (waitpid(pid_, nullptr, WNOHANG) == 0) {
            if (now_s() > end) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                break;
            }
            usleep(10000);
        }
    }
    pid_t pid() const { return pid_; }
    std::string output() const { return slurp(log_); }
    bool wait_for(const std::string& text, double seconds) const {
        double end = now_s() + seconds;
        do {
            if (output().find(text) != std::string::npos) return true;
            if (!alive(pid_)) return false;
        } while (pause_s(0.05) && now_s() < end);
        return false;
    }

  private:
    pid_t pid_ = -1;
    int stdin_fd_ = -1;
    std::string log_;
};

int run_script(const std::vector<std::string>& argv) {
    Process p(argv);
    int rc = p.wait(30);
    if (rc != 0) fprintf(stderr, "%s", p.output().c_str());
    return rc;
}

// Everything the run starts, torn down in reverse order even when a step
// fails half-way.
struct Desk {
    std::string root = make_temp_dir("idle");
    std::string kam_dir = root + "/kam";
    bool sip_up = false;
    std::unique_ptr<Process> daemon;
    std::unique_ptr<UserAgent> ua;

    ~Desk() {
        ua.reset();
        if (daemon) {
            int rc = daemon->stop(SIGINT, 20);
            if (rc != 0) fprintf(stderr, "hopperd-sim did not end cleanly on SIGINT (%d)\n", rc);
        }
        daemon.reset();
        if (sip_up)
            run_script({std::string(HOPPERD_SOURCE_DIR) + "/scripts/sip-service", "stop", kam_dir});
        remove_tree(root);
    }
};

void print_kb(long long kb) {
    if (kb >= 0)
        printf("%9lld ", kb);
    else
        printf("%9s ", "-");
}

// Wake-ups and preemptions per second; -1 for none measured.
void print_row(const char* name, double cpu_ms, const Memory& m, double wakeups_per_s,
               double preempted_per_s) {
    printf("%-44s %8.1f ", name, cpu_ms);
    print_kb(m.peak_rss);
    print_kb(m.pss);
    print_kb(m.uss);
    print_kb(m.anon);
    if (wakeups_per_s >= 0)
        printf("%12.1f %11.1f\n", wakeups_per_s, preempted_per_s);
    else
        printf("%12s %11s\n", "-", "-");
}

double exact_ms(const Cost& c) {
    return c.daemon.cpu_ms + c.simulator.cpu_ms;
}

// What Debian's libcurl costs a process that does nothing else; -1s when it
// cannot be measured.
Memory curl_floor() {
    Memory m;
    Process p({std::string(HOPPERD_BENCH_BIN_DIR) + "/curl_floor"});
    if (p.wait(10) != 0) return m;
    if (sscanf(p.output().c_str(), "%lld %lld %lld %lld", &m.peak_rss, &m.pss, &m.uss, &m.anon) !=
        4)
        return {};
    return m;
}

void print_threads(const char* name, const Cost& c) {
    printf("%s by thread, busiest first:\n", name);
    printf("  %7s  %-16s %-22s %10s %11s %8s\n", "tid", "comm", "sleeps in", "wake-ups/s",
           "preempted/s", "cpu ms");
    for (const ThreadCost& t : c.threads)
        printf("  %7d  %-16s %-22s %10.2f %11.2f %8.1f\n", int(t.tid), t.comm.c_str(),
               t.wchan.c_str(), double(t.wakeups) / c.seconds, double(t.preempted) / c.seconds,
               double(t.run_ns) / 1e6);
    if (c.gone)
        printf("  (%d threads ended in the window; their switches are not counted)\n", c.gone);
}

// The requests of each method the SIP service logged from `src` ("ADDR:")
// in its log text.
std::map<std::string, int> requests_from(const std::string& log, const std::string& src) {
    std::map<std::string, int> n;
    size_t at = 0;
    while ((at = log.find("REQ ", at)) != std::string::npos) {
        size_t eol = log.find('\n', at);
        std::string line = log.substr(at, eol == std::string::npos ? eol : eol - at);
        at += 4;
        if (line.find("(src " + src) == std::string::npos) continue;
        ++n[line.substr(4, line.find(' ', 4) - 4)];
    }
    return n;
}

// The idle budget of the daemon's own threads, per minute and per second.
const double kBudgetCpuMsPerMin = 35;
const double kBudgetWakeupsPerS = 7;

int measure(Desk& desk, double seconds, const std::string& sim_bin) {
    std::string kam = unused_loopback(), dev = unused_loopback(), ua_addr = unused_loopback();
    if (run_script({std::string(HOPPERD_SOURCE_DIR) + "/scripts/sip-service", "start", desk.kam_dir,
                    kam}) != 0) {
        fprintf(stderr, "the local SIP service did not start\n");
        return 1;
    }
    desk.sip_up = true;
    write_desk_conf(desk.root, {"", dev, "sip:" + kam + ":5080"});

    std::string bdir = desk.root + "/baresip";
    mkdir(bdir.c_str(), 0755);
    write_file(bdir + "/config", "poll_method epoll\nsip_listen " + ua_addr +
                                     ":5070\nmodule_path /usr/lib/baresip/modules\n"
                                     "module stdio.so\nmodule_app account.so\n"
                                     "module_app contact.so\nmodule_app menu.so\n");
    write_file(bdir + "/accounts", "<sip:owner@feeder.test>;auth_pass=qabro4821;outbound=\"sip:" +
                                       kam + ":5080\";regint=300\n");
    write_file(bdir + "/contacts", "<sip:owner@feeder.test>\n");

    // Both start together; the measurement begins once both are registered.
    desk.daemon = std::make_unique<Process>(std::vector<std::string>{
        sim_bin, "--root", desk.root, "--speed", "1", "--control", desk.root + "/ctl.sock"});
    desk.ua = std::make_unique<UserAgent>(bdir, ua_addr, desk.root + "/baresip.log");
    if (!desk.daemon->wait_for(" pjsip  registered", 60)) {
        fprintf(stderr, "hopperd-sim did not register:\n%s\n", desk.daemon->output().c_str());
        return 1;
    }
    if (!desk.ua->wait_for("All 1 useragent registered successfully!", 30)) {
        fprintf(stderr, "baresip did not register:\n%s\n", desk.ua->output().c_str());
        return 1;
    }
    // The daemon's start-up (start-up report, first passes) settles first.
    if (!pause_s(2)) return 1;

    pid_t dpid = desk.daemon->pid(), upid = desk.ua->pid();
    size_t log_from = desk.daemon->output().size();
    std::string kam_log = desk.kam_dir + "/kamailio.log";
    size_t kam_from = slurp(kam_log).size();
    Sample d0 = sample(dpid), u0 = sample(upid);
    double end = now_s() + seconds;
    while (now_s() < end) {
        if (!pause_s(std::min(0.5, end - now_s()))) return 1;
        if (!alive(dpid) || !alive(upid)) {
            fprintf(stderr, "%s ended during the window\n",
                    alive(dpid) ? "baresip" : "hopperd-sim");
            return 1;
        }
    }
    Sample d1 = sample(dpid), u1 = sample(upid);
    Cost d = cost(d0, d1, dpid), u = cost(u0, u1, upid);
    std::string window_log = desk.daemon->output().substr(log_from);
    std::map<std::string, int> sent = requests_from(slurp(kam_log).substr(kam_from), dev + ":");

    Memory floor = curl_floor();
    char title[64];
    snprintf(title, sizeof title, "idle %.0f s, real speed, registered:", seconds);
    printf("%-44s %8s %9s %9s %9s %9s %12s %11s\n", title, "cpu ms", "peak RSS", "PSS", "USS",
           "anon", "wake-ups/s", "preempted/s");
    printf("%-44s %8s %9s %9s %9s %9s\n", "", "", "kB", "kB", "kB", "kB");
    print_row("hopperd-sim, whole process", exact_ms(d), d.mem, double(d.wakeups) / d.seconds,
              double(d.preempted) / d.seconds);
    print_row("  the daemon's threads", d.daemon.cpu_ms, {}, double(d.daemon.wakeups) / d.seconds,
              double(d.daemon.preempted) / d.seconds);
    print_row("  the board simulator's threads (sim-*)", d.simulator.cpu_ms, {},
              double(d.simulator.wakeups) / d.seconds, double(d.simulator.preempted) / d.seconds);
    print_row("baresip (reference SIP user agent)", exact_ms(u), u.mem,
              double(u.wakeups) / u.seconds, double(u.preempted) / u.seconds);
    print_row("a process that only loads libcurl", 0, floor, -1, -1);
    printf(
        "(cpu ms from schedstat, exact; by clock ticks of %.0f ms: hopperd-sim %.0f, baresip "
        "%.0f)\n",
        1000.0 / double(sysconf(_SC_CLK_TCK)), d.cpu_ms, u.cpu_ms);
    // Anonymous memory is what the process spends; pages of shared
    // libraries are the system's (they count in full in the peak RSS of each
    // user, and in the USS of one that maps them alone).
    bool cpu_ok = d.daemon.cpu_ms <= exact_ms(u);
    bool mem_ok = d.mem.anon >= 0 && u.mem.anon >= 0 && d.mem.anon <= u.mem.anon;
    printf(
        "verdict: the daemon's threads used %s CPU than baresip, hopperd-sim %s private "
        "anonymous memory: %s\n",
        cpu_ok ? "no more" : "more", mem_ok ? "no more" : "more",
        cpu_ok && mem_ok ? "PASS" : "FAIL");
    double cpu_per_min = d.daemon.cpu_ms * 60 / d.seconds;
    double wakeups_per_s = double(d.daemon.wakeups) / d.seconds;
    bool budget_ok = cpu_per_min <= kBudgetCpuMsPerMin && wakeups_per_s <= kBudgetWakeupsPerS;
    printf(
        "idle budget of the daemon's threads: %.1f ms of CPU a minute (at most %.0f), %.1f "
        "wake-ups/s (at most %.0f): %s\n",
        cpu_per_min, kBudgetCpuMsPerMin, wakeups_per_s, kBudgetWakeupsPerS,
        budget_ok ? "PASS" : "FAIL");
    // The idle device still refreshes its registration (every 75 to 225 s)
    // and keeps its NAT binding with keep-alives (every 15 s).
    printf("SIP requests the device sent the service in the window: %d REGISTER, %d OPTIONS\n",
           sent["REGISTER"], sent["OPTIONS"]);
    printf("\n");
    print_threads("hopperd-sim", d);
    print_threads("baresip", u);
    long lines = std::count(window_log.begin(), window_log.end(), '\n');
    printf("hopperd-sim wrote %ld log lines in the window\n", lines);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 60;
    if (seconds <= 0 || argc > 3) {
        fprintf(stderr, "usage: idle_bench [SECONDS [HOPPERD-SIM]]\n");
        return 2;
    }
    std::string sim_bin = argc > 2 ? argv[2] : std::string(HOPPERD_SIM_BIN_DIR) + "/hopperd-sim";
    // A stop from the terminal still tears everything down.
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    Desk desk;
    int rc = measure(desk, seconds, sim_bin);
    if (g_stop) fprintf(stderr, "interrupted; cleaning up\n");
    return rc;
}
