// The external programs of the board, as the daemon starts them through the
// shell: audio player, date, ps listing, updater, reboot, Wi-Fi and NTP tools.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "platform/command_limit.h"
#include "sim/devices.h"
#include "sim/world.h"

namespace sim {

namespace {

bool starts(const char* s, const char* prefix) {
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

std::string date_text(World& w, const char* fmt) {
    time_t t = time_t(w.clock().now_us() / 1000000);
    struct tm tm;
    localtime_r(&t, &tm);
    char out[80];
    strftime(out, sizeof out, fmt, &tm);
    return std::string(out) + "\n";
}

// "ps aux | grep fw_update | awk {'print $11'}": the command column of every
// process whose line mentions fw_update, in PID order. The pipeline's shell
// (its own command line holds the pattern), ps, grep and awk each take a PID;
// the shell's and grep's lines match. mu() held.
std::string updater_listing(World& w) {
    std::vector<std::pair<int, const char*>> lines;
    lines.push_back({w.take_pid(), "sh"});
    w.take_pid();  // ps
    lines.push_back({w.take_pid(), "grep"});
    w.take_pid();  // awk
    for (int pid : w.shell.updater_pids) lines.push_back({pid, "/root/fw_update"});
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (auto& l : lines) out += std::string(l.second) + "\n";
    return out;
}

// "wget -O FILE URL": as the real one, FILE is emptied before the server is
// reached; it is filled only when the download succeeds. mu() held.
int wget(World& w, const char* cmd) {
    char file[256] = {0}, url[256] = {0};
    if (sscanf(cmd, "wget -O %255s %255s", file, url) != 2) return 1 << 8;
    int fd = open(w.path(file).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return 3 << 8;  // file I/O error
    int rc = 0;
    if (w.shell.download_fails || !w.shell.network_up) {
        w.log("shell", std::string("wget: ") + url + ": Connection refused");
        rc = 4 << 8;  // network failure
    } else {
        std::string body = std::string("#!sim updater from ") + url + "\n";
        if (write(fd, body.data(), body.size()) != ssize_t(body.size())) rc = 3 << 8;
    }
    close(fd);
    return rc;
}

// "ln -sf TARGET /etc/localtime": the link lives below the root. The C
// library reaches the zone through TZ here (hopperd-sim names the board's
// zone at start), so TZ now names the link: like the board's glibc after a
// new /etc/localtime, the process sees the change at its next tzset() and
// not before. mu() held.
int link_zone(World& w, const char* cmd) {
    char target[256] = {0}, name[256] = {0};
    if (sscanf(cmd, "ln -sf %255s %255s", target, name) != 2) return 1 << 8;
    std::string link = w.path(name);
    unlink(link.c_str());
    if (symlink(target, link.c_str()) < 0) return 1 << 8;
    if (strcmp(name, "/etc/localtime") == 0) setenv("TZ", (":" + link).c_str(), 1);
    return 0;
}

// Output of a command run for reading; mu() held.
std::string output_of(World& w, const char* cmd, int* status) {
    *status = 0;
    if (starts(cmd, "date ")) {
        if (w.shell.date_fails) {
            *status = 1;
            return "";
        }
        const char* fmt = strchr(cmd, '+');
        return date_text(w, fmt ? fmt + 1 : "%a %b %e %H:%M:%S %Z %Y");
    }
    if (starts(cmd, "ps ")) return updater_listing(w);
    *status = 127;
    return "";
}

const int kKilled = 9;  // the wait status of a shell ended by SIGKILL

// A program that runs `run_s`, or, while the hang flag `hang` is up, until
// it is lifted; ended at `limit_ms` as the board ends it. Its status: `rc`
// when it ended by itself, that of a killed shell otherwise.
using HangFlag = bool ShellState::*;
int run_program(World& w, const char* cmd, double run_s, HangFlag hang, int limit_ms, int rc) {
    VirtualClock& clock = w.clock();
    auto hung = [&] {
        std::lock_guard<std::mutex> hold(w.mu());
        return hang && w.shell.*hang;
    };
    int64_t start = clock.monotonic_us();
    int64_t limit_at = start + int64_t(limit_ms) * 1000;
    if (!hung()) {
        int64_t ends = start + int64_t(run_s * 1e6);
        clock.sleep_us(std::min(ends, limit_at) - start);
        if (ends <= limit_at) return rc;
    } else {
        // In slices, so that lifting the hang ends it.
        for (int64_t now = start; now < limit_at; now = clock.monotonic_us()) {
            clock.sleep_us(std::min<int64_t>(1000000, limit_at - now));
            if (!hung()) return rc;
        }
    }
    command_limit_log(cmd, limit_ms);
    bool outlives;
    {
        std::lock_guard<std::mutex> hold(w.mu());
        w.log("shell", std::string("ended at its limit: ") + cmd);
        outlives = hang && w.shell.*hang && w.shell.unkillable;
    }
    // Killed, but stuck in the kernel: its caller waits until it is let go.
    while (outlives) {
        clock.sleep_us(1000000);
        std::lock_guard<std::mutex> hold(w.mu());
        outlives = w.shell.*hang && w.shell.unkillable;
    }
    return kKilled;
}

}  // namespace

int shell_system(World& w, const char* cmd, int limit_ms) {
    double wait_s = 0;
    HangFlag hang = nullptr;
    int rc = 0;
    bool updaters_changed = false;
    {
        std::lock_guard<std::mutex> hold(w.mu());
        w.log("shell", cmd);
        w.take_pid();  // the shell; a simple command is exec'ed in its place
        if (starts(cmd, "/root/play ")) {
            wait_s = w.shell.clip_s;  // the player returns when the clip has played
            hang = &ShellState::hang_play;
        } else if (starts(cmd, "/root/fw_update")) {
            // "&": the shell forks the updater, a process of its own, and ends.
            // An empty file (a download cut short) runs as an empty script.
            struct stat st;
            bool empty = stat(w.path("/root/fw_update").c_str(), &st) == 0 && st.st_size == 0;
            if (!w.shell.updater_broken && !empty) w.shell.updater_pids.push_back(w.take_pid());
            updaters_changed = true;
        } else if (starts(cmd, "killall fw_update")) {
            w.shell.updater_pids.clear();
            updaters_changed = true;
        } else if (starts(cmd, "wget ")) {
            rc = wget(w, cmd);
        } else if (starts(cmd, "reboot")) {
            w.shell.reboot_requested = true;
            // Said on the desk too: the daemon is usually gone before anyone
            // asks the control socket.
            fprintf(stderr, "sim: reboot requested\n");
        } else if (starts(cmd, "ntpdate ")) {
            rc = w.shell.network_up ? 0 : 1 << 8;
            hang = &ShellState::hang_ntpdate;
        } else if (starts(cmd, "ln -sf ")) {
            rc = link_zone(w, cmd);
        } else if (starts(cmd, "/root/stop") || starts(cmd, "sync") || starts(cmd, "chmod ") ||
                   starts(cmd, "killall ") || starts(cmd, "ifconfig ") ||
                   starts(cmd, "wpa_supplicant ") || starts(cmd, "wpa_cli ") ||
                   starts(cmd, "dhclient ")) {
            rc = 0;
        } else {
            w.log("shell", std::string("unknown program: ") + cmd);
            rc = 127 << 8;
        }
    }
    if (updaters_changed) w.sync_updater_queue();
    if (wait_s > 0 || hang) rc = run_program(w, cmd, wait_s, hang, limit_ms, rc);
    return rc;
}

FILE* shell_popen(World& w, const char* cmd, const char* mode) {
    if (strcmp(mode, "r") != 0) return nullptr;
    std::string out;
    int status;
    {
        std::lock_guard<std::mutex> hold(w.mu());
        w.log("shell", cmd);
        if (!starts(cmd, "ps ")) w.take_pid();  // the shell; the listing counts its own
        out = output_of(w, cmd, &status);
    }
    // The output waits in a pipe, so the caller reads it as it would read a
    // real command's, and fclose is its pclose.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0) return nullptr;
    if (!out.empty() && write(fds[1], out.data(), out.size()) < 0) perror("pipe");
    close(fds[1]);
    FILE* f = fdopen(fds[0], "r");
    if (!f) close(fds[0]);
    return f;
}

}  // namespace sim
