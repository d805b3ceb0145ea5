#include "tests/support/process.h"

#include "tests/support/emulation.h"

#include <jansson.h>

#include <elf.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

extern char** environ;

namespace {
double now_s() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

#ifdef HOPPERD_TEST_EMULATOR
// The ELF machine a program file is built for; 0 for anything else (a
// script). e_machine sits at the same offset in 32- and 64-bit headers.
int elf_machine(const char* path) {
    unsigned char h[EI_NIDENT + 4];
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    ssize_t n = read(fd, h, sizeof h);
    close(fd);
    if (n != ssize_t(sizeof h) || memcmp(h, ELFMAG, SELFMAG) != 0) return 0;
    return h[EI_DATA] == ELFDATA2MSB ? h[18] << 8 | h[19] : h[19] << 8 | h[18];
}
#endif

// A cross build's tests run under an emulator, and so must every program of
// the same instruction set they start: the machine cannot run one directly.
// The emulator goes right before the first such program in the command line,
// which may come after a wrapper that execs it (ip netns exec NS PROGRAM).
// qemu-arm user mode runs the program inside its own process, so the pid,
// signals and exit status stay the program's. Its simulated world runs
// kSlowdown times slower (tests/support/emulation.h).
std::vector<std::string> emulated(const std::vector<std::string>& argv) {
#ifdef HOPPERD_TEST_EMULATOR
    static const int own = elf_machine("/proc/self/exe");
    size_t program = 0;
    while (program < argv.size() && elf_machine(argv[program].c_str()) != own) ++program;
    if (own == 0 || program == argv.size()) return argv;
    std::vector<std::string> out(argv.begin(), argv.begin() + long(program));
    std::string words = HOPPERD_TEST_EMULATOR;  // program, then arguments
    for (size_t at = 0, end; at <= words.size(); at = end + 1) {
        end = std::min(words.find(' ', at), words.size());
        if (end > at) out.push_back(words.substr(at, end - at));
    }
    for (size_t i = program; i < argv.size(); ++i) {
        out.push_back(argv[i]);
        if (argv[i] == "--speed" && i + 1 < argv.size()) {
            char speed[32];
            snprintf(speed, sizeof speed, "%g", atof(argv[++i].c_str()) / kSlowdown);
            out.push_back(speed);
        }
    }
    return out;
#else
    return argv;
#endif
}
}  // namespace

Process::Process(const std::vector<std::string>& program_argv) {
    const std::vector<std::string> argv = emulated(program_argv);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&fa, fds[1], STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    out_fd_ = fds[0];
    reader_ = std::thread([this] {
        char buf[4096];
        ssize_t n;
        while ((n = read(out_fd_, buf, sizeof buf)) > 0) {
            std::lock_guard<std::mutex> hold(mu_);
            out_.append(buf, size_t(n));
        }
    });
}

Process::~Process() {
    if (pid_ > 0) stop(SIGKILL, 5);
    if (reader_.joinable()) reader_.join();
    if (out_fd_ >= 0) close(out_fd_);
}

std::string Process::output() {
    std::lock_guard<std::mutex> hold(mu_);
    return out_;
}

bool Process::wait_for(const std::string& text, double seconds, size_t from) {
    double end = now_s() + slowed(seconds);
    do {
        {
            std::lock_guard<std::mutex> hold(mu_);
            if (out_.size() > from && out_.find(text, from) != std::string::npos) return true;
        }
        usleep(10000);
    } while (now_s() < end);
    return false;
}

int Process::wait(double seconds) {
    return stop(0, seconds);
}

int Process::stop(int signo, double seconds) {
    if (pid_ <= 0) return -1;
    if (signo) kill(pid_, signo);
    double end = now_s() + slowed(seconds);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (now_s() > end) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        usleep(10000);
    }
    pid_ = -1;
    if (reader_.joinable()) reader_.join();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string control_request(const std::string& socket_path, const std::string& line) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, socket_path.c_str(), sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        close(fd);
        return "";
    }
    std::string req = line + "\n";
    if (write(fd, req.data(), req.size()) < 0) {
        close(fd);
        return "";
    }
    std::string reply;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n') reply += c;
    close(fd);
    return reply;
}

std::string control_pace(const std::string& socket_path, double speed) {
    return control_request(socket_path,
                           R"({"op":"pace","speed":)" + std::to_string(speed / kSlowdown) + "}");
}

std::vector<std::pair<int64_t, std::string>> control_events(const std::string& socket_path,
                                                            const char* kind) {
    std::vector<std::pair<int64_t, std::string>> out;
    // The record comes in slices; each reply says where the next one starts.
    for (int64_t since = 0;;) {
        std::string only = *kind ? ",\"kind\":\"" + std::string(kind) + "\"" : "";
        std::string reply = control_request(
            socket_path, "{\"op\":\"log\"" + only + ",\"since\":" + std::to_string(since) + "}");
        json_error_t err;
        json_t* j = json_loads(reply.c_str(), 0, &err);
        size_t i;
        json_t* e;
        json_t* list = json_object_get(j, "events");
        json_array_foreach(list, i, e) {
            const char* text = json_string_value(json_object_get(e, "text"));
            out.push_back({int64_t(json_integer_value(json_object_get(e, "t"))), text ? text : ""});
        }
        int64_t next = int64_t(json_integer_value(json_object_get(j, "next")));
        bool more = json_array_size(list) > 0 && next > since;
        json_decref(j);
        if (!more) return out;
        since = next;
    }
}

pid_t this_thread_id() {
    return pid_t(syscall(SYS_gettid));
}

bool thread_asleep(pid_t tid) {
    char path[64], stat[512] = {0};
    snprintf(path, sizeof path, "/proc/self/task/%d/stat", int(tid));
    FILE* f = fopen(path, "re");
    if (!f) return false;
    size_t n = fread(stat, 1, sizeof stat - 1, f);
    fclose(f);
    const char* paren = strrchr(stat, ')');
    return n > 0 && paren && paren[1] == ' ' && paren[2] == 'S';
}

bool wait_asleep(const std::atomic<pid_t>& tid) {
    for (int i = 0; i < 5000; ++i, usleep(1000))
        if (tid && thread_asleep(tid)) return true;
    return false;
}
