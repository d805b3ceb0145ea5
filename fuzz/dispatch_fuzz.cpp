// libFuzzer target: any bytes as the body of a MESSAGE to the device.
//
// Every body gets at most one reply, and the one the envelope rules give: a
// body that is no JSON object "400", a wrong version "505", an unknown
// command "501" without "cmd"; the manual feeding, melody and volume
// commands none; every other command its "-res" with the device's version
// and product. A schedule change that is not answered "200" changes nothing;
// one that is holds the entry as the request gave it.
#include <jansson.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz/harness.h"
#include "include/feeder.h"
#include "include/owned.h"
#include "sched/sched.h"
#include "sip/sip.h"

namespace {

const char kProduct[] = "00:1a:2b:3c:4d:5e";
std::vector<std::string> g_replies;

void record(const char*, const char* text) {
    g_replies.push_back(text);
}

const char* str(json_t* obj, const char* key) {
    return json_string_value(json_object_get(obj, key));
}
bool is(json_t* obj, const char* key, const char* want) {
    const char* v = str(obj, key);
    return v && strcmp(v, want) == 0;
}

bool same_list(const std::vector<ScheduleEntry>& a, const std::vector<ScheduleEntry>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (memcmp(&a[i], &b[i], sizeof a[i]) != 0) return false;
    return true;
}

// The reply of a command that replies: its "-res" name, the device's version
// and product, and an error code of the protocol.
void check_reply(json_t* reply, const char* cmd) {
    std::string res = cmd;
    res.replace(res.size() - 4, 4, "-res");
    const char* code = str(reply, "errorCode");
    FUZZ_CHECK(str(reply, "cmd") && res == str(reply, "cmd"), "%s answered as %s", cmd,
               str(reply, "cmd") ? str(reply, "cmd") : "(no cmd)");
    FUZZ_CHECK(is(reply, "productId", kProduct) && is(reply, "ver", "1.0.0"),
               "%s: reply without the version and product", cmd);
    bool schedule_delete = strcmp(cmd, "feeding-schedule-delete-req") == 0;
    FUZZ_CHECK(code || schedule_delete, "%s: reply without an error code", cmd);
    if (code) {
        const char* known[] = {"200", "400", "405", "502", "506", "509"};
        bool ok = false;
        for (const char* k : known) ok = ok || strcmp(code, k) == 0;
        FUZZ_CHECK(ok, "%s answered code \"%s\"", cmd, code);
    }
}

// An append or modify answered "200" holds the entry as asked; any other
// answer leaves the schedule as it was.
void check_update(json_t* req, json_t* reply, const std::vector<ScheduleEntry>& before,
                  const std::vector<ScheduleEntry>& after) {
    const char* code = str(reply, "errorCode");
    if (!code || strcmp(code, "200") != 0) {
        FUZZ_CHECK(same_list(before, after), "schedule changed though answered \"%s\"",
                   code ? code : "");
        return;
    }
    const char* uuid = str(req, "uuid");
    const char* time = str(req, "feedTime");
    const ScheduleEntry* e = nullptr;
    for (const ScheduleEntry& s : after)
        if (uuid && strcmp(s.uuid, uuid) == 0) e = &s;
    FUZZ_CHECK(e, "entry \"%s\" answered \"200\" but not listed", uuid ? uuid : "");
    FUZZ_CHECK(time && e->feed_time == fuzz::minute_of_day(time),
               "feedTime \"%s\" listed as minute %d", time ? time : "", e->feed_time);
}

// Three entries every run starts from, for the commands that change or
// delete one. Restored after each run, so that a run releases what it
// allocated.
void base_schedule() {
    sched_clear();
    for (const char* uuid : {"A", "B", "C"}) {
        ScheduleEntry e{};
        snprintf(e.uuid, sizeof e.uuid, "%s", uuid);
        snprintf(e.melody, sizeof e.melody, "1");
        e.feed_amount = 30;
        e.feed_time = 7 * 60 + 5;
        e.days[1] = 1;
        sched_update(&e);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::start_board(false);
    Feeder* f = get_feeder();
    feeder_reset(f);
    f->proto_version = "1.0.0";
    snprintf(f->product_id, sizeof f->product_id, "%s", kProduct);
    f->msgq_id = -1;     // no updater queue: an update request fails at once
    uds_client_fd = -1;  // no feeding service: a feeding request fails at once
    cmd_set_reply_sender(record);
    base_schedule();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* body = reinterpret_cast<const char*>(data);
    std::vector<ScheduleEntry> before = sched_snapshot();
    g_replies.clear();
    cmd_dispatch("sip:fuzz@feeder.test", body, size);
    std::vector<ScheduleEntry> after = sched_snapshot();
    base_schedule();

    FUZZ_CHECK(g_replies.size() <= 1, "%zu replies to one body", g_replies.size());
    json_error_t err;
    JsonPtr reply(g_replies.empty() ? nullptr : json_loads(g_replies[0].c_str(), 0, &err));
    FUZZ_CHECK(g_replies.empty() || json_is_object(reply.get()), "reply is no JSON object: %s",
               g_replies[0].c_str());
    JsonPtr req(size <= SIP_BODY_MAX ? json_loadb(body, size, 0, &err) : nullptr);
    const char* ver = str(req.get(), "ver");
    const char* refusal = !json_is_object(req.get())     ? "400"
                          : !ver || strcmp(ver, "1.0.0") ? "505"
                                                         : nullptr;
    if (refusal) {
        FUZZ_CHECK(reply && !json_object_get(reply.get(), "cmd") &&
                       is(reply.get(), "errorCode", refusal) && is(reply.get(), "ver", "1.0.0"),
                   "envelope to be refused %s answered %s", refusal,
                   g_replies.empty() ? "nothing" : g_replies[0].c_str());
        FUZZ_CHECK(same_list(before, after), "a refused envelope changed the schedule");
        return 0;
    }
    const char* cmd = str(req.get(), "cmd");
    std::string name = cmd ? cmd : "";
    const char* silent[] = {"feeding-manual-update-req", "melody-enum-req", "sound-volume-get-req",
                            "sound-volume-set-req"};
    const char* replying[] = {"feeder-sw-update-req", "feeding-schedule-append-req",
                              "feeding-schedule-modify-req", "feeding-schedule-delete-req",
                              "feeding-schedule-enum-req"};
    for (const char* s : silent) {
        if (name != s) continue;
        FUZZ_CHECK(!reply, "%s answered %s", s, g_replies[0].c_str());
        FUZZ_CHECK(same_list(before, after), "%s changed the schedule", s);
        return 0;
    }
    for (const char* r : replying) {
        if (name != r) continue;
        FUZZ_CHECK(reply, "%s not answered", r);
        check_reply(reply.get(), r);
        if (name == "feeding-schedule-append-req" || name == "feeding-schedule-modify-req")
            check_update(req.get(), reply.get(), before, after);
        else if (name != "feeding-schedule-delete-req")
            FUZZ_CHECK(same_list(before, after), "%s changed the schedule", r);
        return 0;
    }
    FUZZ_CHECK(reply && !json_object_get(reply.get(), "cmd") && is(reply.get(), "errorCode", "501"),
               "unknown command \"%s\" answered %s", name.c_str(),
               reply ? g_replies[0].c_str() : "nothing");
    FUZZ_CHECK(same_list(before, after), "unknown command changed the schedule");
    return 0;
}
