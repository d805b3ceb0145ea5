#include "fuzz/harness.h"

#include <ctype.h>
#include <fcntl.h>
#include <ftw.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "sim/world.h"

namespace fuzz {

namespace {
std::string g_root;

int remove_one(const char* path, const struct stat*, int, struct FTW*) {
    return remove(path);
}

// At the end of a run: the folder and the updater's queue go (a run that
// ends in a finding leaves them, with its input).
void clean_up() {
    sim::World::get().remove_queue();
    nftw(g_root.c_str(), remove_one, 16, FTW_DEPTH | FTW_PHYS);
}
}  // namespace

std::string start_board(bool with_mcu) {
    // libFuzzer's time-out alarm (SIGALRM, every few seconds) would cut the
    // daemon's blocking reads short with EINTR, a failed exchange the world
    // never caused. It goes to a thread of the harness's own instead: every
    // thread started from here on inherits the blocked mask.
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
    std::thread([alarm] {
        pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
        for (;;) pause();
    }).detach();
    // tmpfs: the schedule and identity writers flush every file they replace.
    struct stat st;
    std::string tmpl = (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp");
    tmpl += "/hp-fuzz-XXXXXX";
    if (!mkdtemp(tmpl.data())) {
        perror("mkdtemp");
        abort();
    }
    sim::WorldConfig cfg;
    cfg.root = tmpl;
    cfg.manual_clock = true;  // every sleep moves time on at once
    cfg.auto_advance = true;
    cfg.start_us = int64_t(1796553000) * 1000000;  // Sunday 2026-12-06 10:30:00 UTC
    cfg.start_mcu = with_mcu;
    cfg.msgq_key = 0x46000000 | (getpid() & 0xFFFFF);  // never the board's queue
    sim::World::get().start(cfg);
    g_root = tmpl;
    atexit(clean_up);
    // The handlers' log lines would drown the fuzzer's and cost a write each.
    if (!freopen("/dev/null", "w", stdout)) abort();
    return tmpl;
}

void put_file(const std::string& path, const void* data, size_t n) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, data, n) != ssize_t(n)) {
        perror(path.c_str());
        abort();
    }
    close(fd);
}

std::string get_file(const std::string& path) {
    std::string s;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return s;
    char buf[4096];
    size_t k;
    while ((k = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, k);
    fclose(f);
    return s;
}

std::string own_loopback(unsigned salt) {
    unsigned v = (unsigned(getpid()) + salt * 7919u) * 2654435761u;
    char a[32];
    snprintf(a, sizeof a, "127.%u.%u.%u", 1 + (v >> 24) % 250, 1 + (v >> 16) % 250,
             1 + (v >> 8) % 250);
    return a;
}

namespace {
bool number(const char** p, int64_t* out) {
    const char* s = *p;
    while (isspace(static_cast<unsigned char>(*s))) ++s;
    bool neg = *s == '-';
    if (*s == '-' || *s == '+') ++s;
    if (!isdigit(static_cast<unsigned char>(*s))) return false;
    int64_t v = 0;
    while (isdigit(static_cast<unsigned char>(*s))) {
        if (v < 1000000000000000LL) v = v * 10 + (*s - '0');  // held, never wrapped
        ++s;
    }
    *out = neg ? -v : v;
    *p = s;
    return true;
}
}  // namespace

int minute_of_day(const char* t) {
    int64_t h, m;
    if (!number(&t, &h) || *t++ != ':' || !number(&t, &m)) return -1;
    if (h < 0 || h > 23 || m < 0 || m > 59) return -1;
    return int(h * 60 + m);
}

void fail_at(const char* file, int line, const char* cond, const char* fmt, ...) {
    fprintf(stderr, "\n==== wrong verdict at %s:%d: %s\n", file, line, cond);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fprintf(stderr, "\n");
    abort();
}

}  // namespace fuzz
