// Manual feeding, firmware update, melody, volume and unknown commands.
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/msg.h>
#include <sys/socket.h>

#include "include/feed_cmd.h"
#include "include/feeder.h"
#include "include/log.h"
#include "include/variant.h"
#include "platform/platform.h"
#include "platform/run_flag.h"
#include "platform/settings.h"
#include "sip/fw_download.h"
#include "sip/sip.h"

namespace {

// atoi without its overflow: digits beyond an int are held at its end.
int32_t grams_of_text(const char* text) {
    long long v = strtoll(text, nullptr, 10);
    return int32_t(v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : v);
}

int product_only(json_t* req) {
    return sip_product_matches(req) ? 0 : -1;
}

// Answers to a request whose wait gave up, and requests no updater took, are
// no answer to the next one. A stop message stays: the supervision loop
// takes it, late or not.
void drop_stale_updates(int q) {
    UpdateMsg msg;
    while (msgrcv(q, &msg, UPD_MSG_TEXT, UPD_MSG_STOP, IPC_NOWAIT | MSG_EXCEPT) >= 0)
        log_out("updater : stale message of type %ld dropped\n", long(msg.type));
}

}  // namespace

int feeder_feed_manual_update(int sock, json_t* req, json_t**) {
    const char* amount = json_string_value(json_object_get(req, "feedAmount"));
    const char* melody = json_string_value(json_object_get(req, "melody"));
    if (!amount || !melody) {
        // Nothing to feed from: refused before anything reaches the service.
        log_out("feeding request without \"feedAmount\" or \"melody\" text, refused\n");
        return -1;
    }
    FeedCmd cmd;
    memset(&cmd, 0, sizeof cmd);
    cmd.cmd = __FEED_REQ;
    snprintf(cmd.melody, sizeof cmd.melody, "%s", melody);  // only its first byte counts
    cmd.feed_amount = grams_of_text(amount);
    if (!sip_product_matches(req)) return -1;

    // An answer that came after an earlier request gave up would otherwise
    // be read as the answer to this one.
    FeedCmd rd;
    while (recv(sock, &rd, sizeof rd, MSG_DONTWAIT) > 0) {
    }
    if (send(sock, &cmd, sizeof cmd, 0) < 0) return -1;
    memset(&rd, 0, sizeof rd);
    // A stop ends the wait too: the feeding service leaves after the feeding
    // it has in hand, so a request still queued behind it is never answered,
    // and the stop waits for this thread (the stack's) before the program ends.
    struct pollfd p[2] = {{sock, POLLIN, 0}, {app_stop_fd(), POLLIN, 0}};
    int rc = plat_poll(p, 2, FEED_REPLY_WAIT_S * 1000);
    if (rc > 0 && (p[0].revents & POLLIN))
        recv(sock, &rd, sizeof rd, 0);
    else if (rc > 0)
        log_out("the program is stopping: no answer from the feeding service awaited\n");
    else
        log_out("no answer from the feeding service in %d s\n", FEED_REPLY_WAIT_S);
    log_out("feeder_rd_cmd.cmd --> %ld\n", long(rd.cmd));
    return rd.cmd;
}

int feeder_firmware_update(int, json_t* req, json_t** reply) {
    if (!kSilentBuild) {
        char url[200] = {0};
        plat_system("killall fw_update");
        snprintf(url, sizeof url, "http://%s:8088/update/tolvik_app/fw_update",
                 settings().firmware_host);
        fw_download(url, "/root/fw_update");  // a failed download keeps the old updater
        plat_system("chmod 755 /root/fw_update");
        plat_system("/root/fw_update &");
        plat_system("sync");
    }
    *reply = sip_reply_new("feeder-sw-update-res");
    if (!sip_product_matches(req)) {
        sip_reply_error(*reply, "509", "productId Mismatch");
        return -1;
    }
    sip_reply_error(*reply, "200", "");
    Feeder* f = get_feeder();
    drop_stale_updates(f->msgq_id);
    UpdateMsg msg;
    memset(&msg, 0, sizeof msg);
    msg.type = UPD_MSG_REQUEST;
    if (msgsnd(f->msgq_id, &msg, UPD_MSG_TEXT, IPC_NOWAIT) < 0) {
        // The updater never hears of the update: the phone must not be told
        // it was taken.
        perror("msgsnd");
        sip_reply_error(*reply, "502", "Feeder Internal Error");
        return -1;
    }
    // The updater's answer: any message but a request, so that an updater
    // still starting finds the request waiting when it first looks. One that
    // has not taken it within the grace is not listening: the device takes
    // its request back, and that ends the wait. An updater that never answers
    // must not keep the device unreachable, nor a stop wait for it: either
    // ends the wait as a failed receive does.
    int64_t sent = plat_monotonic_us();
    int64_t give_up = sent + int64_t(UPDATER_REPLY_WAIT_S) * 1000000;
    struct pollfd stop = {app_stop_fd(), POLLIN, 0};
    for (;;) {
        if (msgrcv(f->msgq_id, &msg, UPD_MSG_TEXT, UPD_MSG_REQUEST, IPC_NOWAIT | MSG_EXCEPT) >= 0)
            break;
        if (errno != ENOMSG) {
            perror("msgrcv");
            return -1;
        }
        int64_t now = plat_monotonic_us();
        // The only request on the queue is this one: stale ones went first.
        if (now - sent >= int64_t(UPDATER_TAKE_WAIT_S) * 1000000 &&
            msgrcv(f->msgq_id, &msg, UPD_MSG_TEXT, UPD_MSG_REQUEST, IPC_NOWAIT) >= 0) {
            log_out("no updater took the request in %d s\n", UPDATER_TAKE_WAIT_S);
            return int(msg.type);
        }
        if (!sig_flag) {
            log_out("the program is stopping: no answer from the updater awaited\n");
            return -1;
        }
        if (now >= give_up) {
            log_out("no answer from the updater in %d s\n", UPDATER_REPLY_WAIT_S);
            return -1;
        }
        plat_poll(&stop, 1, 100);  // the queue has no descriptor: a look every 100 ms
    }
    if (msg.type == UPD_MSG_STOP) app_stop();  // the reply still goes out first
    return int(msg.type);
}

int feeder_melody_list(int, json_t* req, json_t**) {
    return product_only(req);
}
int feeder_volume_get(int, json_t* req, json_t**) {
    return product_only(req);
}
int feeder_volume_set(int, json_t* req, json_t**) {
    return product_only(req);
}

int feeder_cmd_unknown(int, json_t*, json_t** reply) {
    *reply = sip_reply_new(nullptr);
    sip_reply_error(*reply, "501", "실행할 수 없는 명령입니다.");
    return 0;
}
