#include "uds/uds.h"

#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "feeder/dispense.h"
#include "feeder/feeder.h"
#include "include/feed_cmd.h"
#include "include/log.h"
#include "include/result_codes.h"
#include "include/task_bounds.h"
#include "mcu/ucom.h"
#include "net/cloud.h"
#include "platform/platform.h"
#include "platform/run_flag.h"
#include "platform/task.h"

namespace {

const char kServerPath[] = "/tmp/server.sock";
const char kClientPath[] = "/tmp/client.sock";

// The full-size address: family plus the NUL-padded path.
bool make_addr(const std::string& path, struct sockaddr_un* addr) {
    memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (path.size() >= sizeof addr->sun_path) {
        log_out("uds : socket path too long: %s\n", path.c_str());
        return false;
    }
    memcpy(addr->sun_path, path.c_str(), path.size());
    return true;
}

// Decides what a feeding request does; fills the reply code. The decision is
// taken on the state found once the mechanism is ours: a request that waited
// for a scheduled serve or a weighing must see the session it opened or closed.
void handle_request(const FeedCmd& req, FeedCmd* reply) {
    Feeder* f = get_feeder();
    MechHold mech;
    bool running;
    {
        std::lock_guard<std::mutex> hold(f->lock);
        running = f->in_manual || f->in_schedule;
    }
    if (running) {
        reply->cmd = __FEED_STOP;
        f->bowl_missing = 0;
        cloud_notify("급식을 중단 합니다.", 3);
        std::lock_guard<std::mutex> hold(f->lock);
        // Moving fed_at back makes the monitor weigh the rest on its next pass.
        if (f->in_manual)
            f->in_manual->fed_at -= SESSION_DUE_S;
        else if (f->in_schedule)
            f->in_schedule->fed_at -= SESSION_DUE_S;
        return;
    }
    if (f->bowl_missing == 1) {
        cloud_notify("급식구를 닫습니다.", 3);
        reply->cmd = __FEED_STOP;
        f->bowl_missing = 0;
        log_out("<<<<<<<<<< bowl_in\n");
        ucom_bowl_in(ucom_get_fd());
        run_wait(17);
        return;
    }
    uint32_t sensor = 0;
    FillResult fill = dispense_fill(FeedPath::Manual, req.feed_amount, &sensor);
    switch (fill.outcome) {
        case FillOutcome::FoodLow:
            reply->cmd = __FEED_EMPTY;
            cloud_notify("사료가 부족합니다....", 3);
            return;
        case FillOutcome::NoScale:
            cloud_notify(kScaleSilentText, 3);
            reply->cmd = __FEED_FAIL;
            return;
        case FillOutcome::BowlMissing:  // the owner was told as the bowl went out
        case FillOutcome::Stopped:
            reply->cmd = __FEED_FAIL;
            return;
        case FillOutcome::Filled:
            break;
    }
    int32_t served = 0;
    ServeOutcome out = dispense_serve(FeedPath::Manual, req.feed_amount, melody_number(req.melody),
                                      fill, &sensor, &served);
    // Stuck, no bowl, or stopping before the bowl reached the pet.
    reply->cmd = out == ServeOutcome::Served ? __FEED_DONE : __FEED_FAIL;
}

}  // namespace

int uds_socket(const char* path, const char* peer) {
    struct sockaddr_un addr;
    if (!make_addr(path, &addr)) return -1;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror("socket");
        return -1;
    }
    unlink(path);  // a stale file of an earlier run
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        perror("bind");
        close(fd);
        return -1;
    }
    if (!peer) return fd;
    struct sockaddr_un to;
    if (!make_addr(peer, &to) || connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
        perror("connect");
        close(fd);
        return -1;
    }
    return fd;
}

int uds_open(int mode) {
    std::string server = plat_path(kServerPath);
    if (mode == UDS_SERVER) {
        int fd = uds_socket(server.c_str(), nullptr);
        if (fd >= 0) log_out("uds server open fd : %d\n", fd);
        return fd;
    }
    if (mode == UDS_CLIENT) {
        int fd = uds_socket(plat_path(kClientPath).c_str(), server.c_str());
        if (fd >= 0) log_out("uds client open fd : %d\n", fd);
        return fd;
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) perror("socket");
    return fd;
}

int uds_close(int fd) {
    close(fd);
    unlink(plat_path(kClientPath).c_str());
    unlink(plat_path(kServerPath).c_str());
    return 1;
}

int uds_r_event(int fd) {
    log_out("%s entered\n", __func__);
    FeedCmd reply;
    memset(&reply, 0, sizeof reply);
    reply.cmd = __FEED_NONE;
    FeedCmd req;
    memset(&req, 0, sizeof req);
    struct sockaddr_un from;
    socklen_t fromlen = sizeof from;
    memset(&from, 0, sizeof from);
    // A longer datagram is cut to the record; a shorter one leaves zeros.
    ssize_t n = recvfrom(fd, &req, sizeof req, 0, reinterpret_cast<sockaddr*>(&from), &fromlen);
    if (n < 0) {
        perror("recvfrom");
        LOG_RETURN(__UDS_ERROR);
    }
    req.melody[sizeof req.melody - 1] = '\0';
    if (req.cmd == __FEED_REQ) handle_request(req, &reply);
    if (sendto(fd, &reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), fromlen) < 0) {
        perror("sendto");
        LOG_RETURN(__UDS_ERROR);
    }
    LOG_RETURN(__UDS_DONE);
}

void uds_thread_proc(int fd) {
    TaskScope task("uds", TASK_UDS_S);
    while (sig_flag) {
        struct pollfd p = {fd, POLLIN, 0};
        int rc = plat_poll(&p, 1, 1000);
        if (rc < 0) {
            perror("select");
            break;
        }
        if (rc > 0) uds_r_event(fd);
    }
    log_out("%s exit...\n", __func__);
}
