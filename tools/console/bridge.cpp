#include "tools/console/bridge.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>

#include "include/owned.h"

extern char** environ;

namespace console {

namespace {

constexpr size_t kMaxReply = 1 << 20;   // a control reply (the world's event log is the longest)
constexpr size_t kMaxOutput = 1 << 18;  // what a program may print before the rest is dropped
constexpr long kTailWindow = 64 * 1024;

int64_t now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

// A text for JSON: jansson takes only UTF-8, and a log may hold anything.
json_t* text_value(const char* p, size_t n) {
    json_t* s = json_stringn(p, n);
    if (s) return s;
    std::string ascii(p, n);
    for (char& c : ascii)
        if (static_cast<unsigned char>(c) >= 0x80) c = '?';
    return json_stringn(ascii.data(), ascii.size());
}

}  // namespace

ControlLink::~ControlLink() {
    drop();
}

void ControlLink::drop() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    pending_.clear();
}

std::string ControlLink::request(const std::string& line, std::string* reply, int timeout_ms) {
    std::lock_guard<std::mutex> hold(mu_);
    // A link kept from before may lead to a simulator that has gone since: one
    // more try on a fresh connection, which no earlier request has reached.
    for (int attempt = 0;; ++attempt) {
        bool reused = fd_ >= 0;
        if (fd_ < 0) {
            struct sockaddr_un a;
            memset(&a, 0, sizeof a);
            a.sun_family = AF_UNIX;
            if (path_.size() >= sizeof a.sun_path) return "control socket path too long";
            memcpy(a.sun_path, path_.c_str(), path_.size());
            fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
                drop();
                return "the device is not running (no control socket at " + path_ + ")";
            }
        }
        std::string out = line + "\n";
        bool sent = send(fd_, out.data(), out.size(), MSG_NOSIGNAL) == ssize_t(out.size());
        int64_t deadline = now_ms() + timeout_ms;
        size_t nl;
        while (sent && (nl = pending_.find('\n')) == std::string::npos) {
            struct pollfd p = {fd_, POLLIN, 0};
            int left = int(deadline - now_ms());
            if (left <= 0 || poll(&p, 1, left) <= 0) {
                drop();  // a late reply would answer the next request
                return "the device did not answer within " + std::to_string(timeout_ms / 1000) +
                       " s";
            }
            char chunk[8192];
            ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0) break;
            pending_.append(chunk, size_t(n));
            if (pending_.size() > kMaxReply) {
                drop();
                return "the device's reply is too long";
            }
        }
        if (sent && (nl = pending_.find('\n')) != std::string::npos) {
            reply->assign(pending_, 0, nl);
            pending_.erase(0, nl + 1);
            return "";
        }
        bool answered_part = !pending_.empty();
        drop();
        if (!reused || answered_part || attempt > 0) return "the control socket closed";
    }
}

bool run_program(const std::vector<std::string>& argv, int timeout_ms, RunResult* r) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) < 0) return false;
    if (pipe2(err, O_CLOEXEC) < 0) {
        close(out[0]);
        close(out[1]);
        return false;
    }
    Fd out_r(out[0]), out_w(out[1]), err_r(err[0]), err_w(err[1]);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out_w.fd, 1);
    posix_spawn_file_actions_adddup2(&fa, err_w.fd, 2);
    // The server's sockets are not the program's business.
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // The program gets the signals the server's threads have blocked or ignored.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, reset;
    sigemptyset(&none);
    sigemptyset(&reset);
    sigaddset(&reset, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &reset);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid;
    int rc = posix_spawn(&pid, args[0], &fa, &attr, args.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return false;
    close(out_w.fd);
    close(err_w.fd);
    out_w.fd = err_w.fd = -1;

    int64_t deadline = now_ms() + timeout_ms;
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
        struct pollfd p[2] = {{out_open ? out_r.fd : -1, POLLIN, 0},
                              {err_open ? err_r.fd : -1, POLLIN, 0}};
        int left = int(deadline - now_ms());
        if (left <= 0) {
            r->timed_out = true;
            break;
        }
        if (poll(p, 2, left) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (!p[i].revents) continue;
            char chunk[4096];
            ssize_t n = read(p[i].fd, chunk, sizeof chunk);
            std::string& into = i == 0 ? r->out : r->err;
            if (n > 0 && into.size() < kMaxOutput) into.append(chunk, size_t(n));
            if (n <= 0) (i == 0 ? out_open : err_open) = false;
        }
    }
    if (r->timed_out) kill(pid, SIGTERM);
    // Its output closed, a program exits; one that does not within two
    // seconds is ended.
    int st = 0;
    pid_t done;
    for (int64_t give_up = now_ms() + 2000; (done = waitpid(pid, &st, WNOHANG)) == 0;) {
        if (now_ms() > give_up) {
            kill(pid, SIGKILL);
            done = waitpid(pid, &st, 0);
            break;
        }
        usleep(10000);
    }
    r->status = done == pid && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return true;
}

std::string read_sipid(const std::string& identity_file) {
    std::ifstream in(identity_file);
    std::string line, id;
    if (!std::getline(in, line) || line.rfind("uuid:", 0) != 0) return "";
    for (char c : line.substr(5))
        if (isxdigit(static_cast<unsigned char>(c))) id += c;
    return id.size() == 32 ? id : "";
}

json_t* read_owner_feed(const std::string& record, long since, size_t max, long* next) {
    json_t* items = json_array();
    *next = 0;
    Fd f(open(record.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (f.fd < 0 || fstat(f.fd, &st) < 0) return items;
    if (since < 0 || since > st.st_size) since = 0;
    std::string data;
    char chunk[65536];
    ssize_t n;
    // Bounded per call: a long record is caught up with over a few reads.
    while (data.size() < 4 * kTailWindow &&
           (n = pread(f.fd, chunk, sizeof chunk, since + long(data.size()))) > 0)
        data.append(chunk, size_t(n));
    size_t end = data.rfind('\n');
    end = end == std::string::npos ? 0 : end + 1;  // whole lines only
    *next = since + long(end);
    static const char kAlias[] = "${product.alias} ";  // the service puts the pet's name there
    for (size_t pos = 0; pos < end;) {
        size_t nl = data.find('\n', pos);
        json_error_t jerr;
        JsonPtr rec(json_loadb(data.data() + pos, nl - pos, 0, &jerr));
        pos = nl + 1;
        const char* path = json_string_value(json_object_get(rec.get(), "path"));
        const char* message = json_string_value(json_object_get(rec.get(), "message"));
        if (!path || !message) continue;
        const char* kind = strstr(path, "/messaging")     ? "message"
                           : strstr(path, "/feeding-log") ? "feeding-log"
                                                          : nullptr;
        if (!kind) continue;
        if (strncmp(message, kAlias, sizeof kAlias - 1) == 0) message += sizeof kAlias - 1;
        json_array_append_new(items, json_pack("{s:s,s:s,s:O}", "kind", kind, "message", message,
                                               "t", json_object_get(rec.get(), "t")));
    }
    while (json_array_size(items) > max) json_array_remove(items, 0);
    return items;
}

json_t* tail_lines(const std::string& file, size_t lines) {
    json_t* out = json_array();
    Fd f(open(file.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (f.fd < 0 || fstat(f.fd, &st) < 0) return out;
    long from = st.st_size > kTailWindow ? long(st.st_size) - kTailWindow : 0;
    std::string data(size_t(st.st_size - from), '\0');
    ssize_t n = pread(f.fd, data.data(), data.size(), from);
    data.resize(n > 0 ? size_t(n) : 0);
    size_t start = 0;
    if (from > 0) start = data.find('\n') == std::string::npos ? data.size() : data.find('\n') + 1;
    std::vector<std::pair<size_t, size_t>> spans;
    while (start < data.size()) {
        size_t nl = data.find('\n', start);
        size_t stop = nl == std::string::npos ? data.size() : nl;
        spans.push_back({start, stop - start});
        start = stop + 1;
    }
    size_t first = spans.size() > lines ? spans.size() - lines : 0;
    for (size_t i = first; i < spans.size(); ++i)
        json_array_append_new(out, text_value(data.data() + spans[i].first, spans[i].second));
    return out;
}

}  // namespace console
