// Reports the cloud did not take: kept in order, sent again when it answers.
// Kept in memory; an orderly stop writes what is left to a file that the
// next start sends first. A power cut takes them with it.
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "include/log.h"
#include "include/owned.h"
#include "include/result_codes.h"
#include "include/task_bounds.h"
#include "net/cloud.h"
#include "platform/atomic_file.h"
#include "platform/platform.h"
#include "platform/run_flag.h"
#include "platform/task.h"

namespace {

struct Kept {
    uint64_t seq;
    int kind;
    char text[CLOUD_KEEP_TEXT];
};

struct Outbox {
    std::mutex mu;
    Kept ring[CLOUD_KEEP_MAX];
    size_t head = 0, count = 0;
    uint64_t next_seq = 1;
    int wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
};

Outbox& box() {
    static Outbox b;
    return b;
}

void keep(const char* message, int kind) {
    Outbox& b = box();
    {
        std::lock_guard<std::mutex> hold(b.mu);
        if (b.count == CLOUD_KEEP_MAX) {
            log_out("cloud : %d reports kept, the oldest dropped: %s\n", CLOUD_KEEP_MAX,
                    b.ring[b.head].text);
            b.head = (b.head + 1) % CLOUD_KEEP_MAX;
            --b.count;
        }
        Kept& k = b.ring[(b.head + b.count) % CLOUD_KEEP_MAX];
        k.seq = b.next_seq++;
        k.kind = kind;
        snprintf(k.text, sizeof k.text, "%s", message);
        ++b.count;
        log_out("cloud : report kept (%zu waiting): %s\n", b.count, message);
    }
    uint64_t one = 1;
    if (write(b.wake_fd, &one, sizeof one) < 0) perror("eventfd");
}

// Waits for a report to be kept, at most `ms`, or for the stop.
void wait_for_work(int ms) {
    Outbox& b = box();
    struct pollfd p[2] = {{b.wake_fd, POLLIN, 0}, {app_stop_fd(), POLLIN, 0}};
    if (plat_poll(p, app_stop_fd() >= 0 ? 2 : 1, ms) > 0 && (p[0].revents & POLLIN)) {
        uint64_t n;
        if (read(b.wake_fd, &n, sizeof n) < 0) perror("eventfd");
    }
}

const char kKeptPath[] = "/etc/cloud_kept.conf";

// Taken back at start, oldest first, ahead of anything new; the file goes.
void load_kept() {
    std::string path = plat_path(kKeptPath);
    json_error_t err;
    JsonPtr list(json_load_file(path.c_str(), 0, &err));
    if (!list) return;
    size_t i;
    json_t* e;
    json_array_foreach(list.get(), i, e) {
        int kind = 0;
        const char* text = nullptr;
        if (json_unpack(e, "{s:i, s:s}", "kind", &kind, "text", &text) == 0) keep(text, kind);
    }
    unlink(path.c_str());
}

}  // namespace

// An upgrade or a restart during an outage must not take the owner's
// reports with it: what is left at the stop waits in a file.
void cloud_save_kept() {
    Outbox& b = box();
    JsonPtr list(json_array());
    {
        // Handed over to the file: the next start sends them, not this one.
        std::lock_guard<std::mutex> hold(b.mu);
        for (size_t i = 0; i < b.count; ++i) {
            const Kept& k = b.ring[(b.head + i) % CLOUD_KEEP_MAX];
            json_array_append_new(list.get(),
                                  json_pack("{s:i, s:s}", "kind", k.kind, "text", k.text));
        }
        b.head = b.count = 0;
    }
    std::string path = plat_path(kKeptPath);
    if (json_array_size(list.get()) == 0) {
        unlink(path.c_str());
        return;
    }
    if (write_json_atomic(path.c_str(), list.get()) == 0)
        log_out("cloud : %zu reports kept for the next start\n", json_array_size(list.get()));
}

int cloud_notify(const char* message, int kind) {
    char request[1024];
    if (cloud_get_request(request, sizeof request, message, kind) < 0 ||
        strlen(message) >= CLOUD_KEEP_TEXT) {
        log_out("cloud_notify : message too long, not sent\n");
        return __HTTP_ERROR;
    }
    // Behind reports still waiting, a new one waits too: the owner reads
    // them in the order they happened.
    if (cloud_kept() == 0 && cloud_send(message, kind) == __HTTP_DONE) return __HTTP_DONE;
    keep(message, kind);
    return __HTTP_ERROR;
}

size_t cloud_kept() {
    Outbox& b = box();
    std::lock_guard<std::mutex> hold(b.mu);
    return b.count;
}

bool cloud_send_kept() {
    Outbox& b = box();
    Kept k;
    {
        std::lock_guard<std::mutex> hold(b.mu);
        if (b.count == 0) return true;
        k = b.ring[b.head];
    }
    if (cloud_send(k.text, k.kind) != __HTTP_DONE) return false;
    std::lock_guard<std::mutex> hold(b.mu);
    // It may have been dropped for a newer one meanwhile.
    if (b.count > 0 && b.ring[b.head].seq == k.seq) {
        b.head = (b.head + 1) % CLOUD_KEEP_MAX;
        --b.count;
    }
    return true;
}

void cloud_thread_proc() {
    TaskScope task("cloud", TASK_CLOUD_S);
    load_kept();
    int backoff = 0;
    while (sig_flag) {
        if (cloud_kept() == 0) {
            wait_for_work(60 * 1000);
            continue;
        }
        if (cloud_send_kept()) {
            if (backoff) log_out("cloud : answering again\n");
            backoff = 0;
            continue;
        }
        backoff = backoff ? std::min(backoff * 2, int(CLOUD_RETRY_MAX_S)) : CLOUD_RETRY_FIRST_S;
        run_wait(unsigned(backoff));
    }
    if (size_t n = cloud_kept()) log_out("cloud : %zu reports not delivered at the stop\n", n);
    log_out("%s exit...\n", __func__);
}
