// Schedule commands: append, modify, delete and enumerate.
#include <stdio.h>
#include <string.h>

#include "include/log.h"
#include "include/variant.h"
#include "platform/platform.h"
#include "sched/sched.h"
#include "sip/sip.h"

namespace {

// A request the protocol has no code for (a key missing or not text, a bad
// time, a text too long for its field) is answered as a syntax error and
// touches nothing.
void refuse(json_t* reply, const char* why) {
    log_out("schedule request refused: %s\n", why);
    sip_reply_error(reply, "400", "Message Syntax Error");
}

int update(const char* name, int line, const char* res, json_t* req, json_t** reply) {
    log_out("------------> %s entered %d line\n", name, line);
    ScheduleEntry e;
    char why[96];
    bool valid = sched_entry_from_json(req, &e, why, sizeof why, true) == 0;
    *reply = sip_reply_new(res);
    if (!sip_product_matches(req)) {
        sip_reply_error(*reply, "509", "productId Mismatch");
        return -1;
    }
    if (!valid) {
        refuse(*reply, why);
        return -1;
    }
    if (sched_update(&e) < 0) {
        sip_reply_error(*reply, "506", "스케쥴 업데이트 실패");
        log_out("schedule error\n");
        return 14;
    }
    sip_reply_error(*reply, "200", "");
    log_out("schedule added or updated\n");
    sched_save();
    sched_bell();
    return 9;
}

}  // namespace

int feeder_feed_sched_append(int, json_t* req, json_t** reply) {
    return update(__func__, __LINE__, "feeding-schedule-append-res", req, reply);
}

int feeder_feed_sched_modify(int, json_t* req, json_t** reply) {
    return update(__func__, __LINE__, "feeding-schedule-modify-res", req, reply);
}

int feeder_feed_sched_delete(int, json_t* req, json_t** reply) {
    json_t* results = json_array();
    *reply = sip_reply_new("feeding-schedule-delete-res");
    if (!sip_product_matches(req)) {
        json_decref(results);
        sip_reply_error(*reply, "509", "productId Mismatch");
        return -1;
    }
    // Every uuid is checked before the first one goes: a bad list deletes nothing.
    json_t* uuids = json_object_get(req, "uuid");
    size_t i;
    json_t* u;
    ScheduleEntry e;
    if (uuids && !json_is_array(uuids)) {
        json_decref(results);
        refuse(*reply, "\"uuid\" is not a list");
        return -1;
    }
    json_array_foreach(uuids, i, u) {
        if (!json_is_string(u) || json_string_length(u) >= sizeof e.uuid) {
            json_decref(results);
            refuse(*reply, "\"uuid\" holds something that is not a uuid text");
            return -1;
        }
    }
    json_object_set_new(*reply, "error", results);
    json_array_foreach(uuids, i, u) {
        memset(&e, 0, sizeof e);
        snprintf(e.uuid, sizeof e.uuid, "%s", json_string_value(u));
        json_t* one = json_object();
        json_object_set_new(one, "uuid", json_string(e.uuid));
        if (sched_delete(&e) < 0) {
            json_object_set_new(one, "code", json_string("404"));
            json_object_set_new(one, "message", json_string("스케쥴 삭제 실패"));
            log_out("schedule error\n");
            log_out("scheudle unkown error\n");
        } else {
            json_object_set_new(one, "code", json_string("200"));
            json_object_set_new(one, "message", json_string(""));
            log_out("schedule deleted\n");
            sched_save();
            sched_bell();
        }
        json_array_append_new(results, one);
    }
    return 9;
}

int feeder_feed_sched_enum(int, json_t* req, json_t** reply) {
    *reply = sip_reply_new("feeding-schedule-enum-res");
    if (!sip_product_matches(req)) {
        sip_reply_error(*reply, "509", "productId Mismatch");
        return -1;
    }
    json_t* list = sched_to_json();
    if (!list) {
        sip_reply_error(*reply, "405", "스케쥴목록 실패");
        return 9;
    }
    json_object_set_new(*reply, "feedingSchedules", list);
    sip_reply_error(*reply, "200", "");
    return 9;
}
