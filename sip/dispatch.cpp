// The remote command envelope: parse, check, dispatch by name, reply.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "include/feeder.h"
#include "include/log.h"
#include "include/owned.h"
#include "include/result_codes.h"
#include "sip/agent.h"
#include "sip/sip.h"

namespace {

using Json = JsonPtr;

ReplySender g_send = sip_agent_send_message;

const struct {
    const char* cmd;
    CmdHandler handler;
} kCommands[] = {
    {"feeding-manual-update-req", feeder_feed_manual_update},
    {"feeder-sw-update-req", feeder_firmware_update},
    {"melody-enum-req", feeder_melody_list},
    {"feeding-schedule-append-req", feeder_feed_sched_append},
    {"feeding-schedule-modify-req", feeder_feed_sched_modify},
    {"feeding-schedule-delete-req", feeder_feed_sched_delete},
    {"feeding-schedule-enum-req", feeder_feed_sched_enum},
    {"sound-volume-get-req", feeder_volume_get},
    {"sound-volume-set-req", feeder_volume_set},
};

void send_json(const char* to, json_t* reply, bool print) {
    CharPtr text(json_dumps(reply, 0));
    if (!text) return;
    if (print) log_out("%s\n", text.get());
    g_send(to, text.get());
}

// The dispatcher's own refusal of an envelope: no "cmd" key.
int refuse(const char* to, const char* code, const char* message) {
    Json reply(sip_reply_new(nullptr));
    sip_reply_error(reply.get(), code, message);
    send_json(to, reply.get(), false);
    return __SIP_ERROR;
}

}  // namespace

void cmd_set_reply_sender(ReplySender send) {
    g_send = send ? send : sip_agent_send_message;
}

json_t* sip_reply_new(const char* cmd) {
    Feeder* f = get_feeder();
    json_t* r = json_object();
    json_object_set_new(r, "ver", json_string(f->proto_version ? f->proto_version : ""));
    if (cmd) json_object_set_new(r, "cmd", json_string(cmd));
    json_object_set_new(r, "productId", json_string(f->product_id));
    return r;
}

void sip_reply_error(json_t* reply, const char* code, const char* message) {
    json_object_set_new(reply, "errorCode", json_string(code));
    json_object_set_new(reply, "errorMessage", json_string(message));
}

bool sip_product_matches(json_t* req) {
    const char* id = json_string_value(json_object_get(req, "productId"));
    return id && strcmp(id, get_feeder()->product_id) == 0;
}

int cmd_dispatch(const char* from, const char* body, size_t len) {
    Feeder* f = get_feeder();
    json_error_t err;
    // A body too large for any command, or JSON that is not an object, is a
    // syntax error of the envelope like text that is not JSON.
    Json req(len <= SIP_BODY_MAX ? json_loadb(body, len, 0, &err) : nullptr);
    if (!req || !json_is_object(req.get())) return refuse(from, "400", "Message Syntax Error");
    // A missing or non-text "ver" is no version of this protocol.
    const char* ver = json_string_value(json_object_get(req.get(), "ver"));
    if (!ver || !f->proto_version || strcmp(ver, f->proto_version) != 0)
        return refuse(from, "505", "Protocol Version Mismatch");
    // A missing or non-text "cmd" names no command: the unknown-command answer.
    const char* cmd = json_string_value(json_object_get(req.get(), "cmd"));
    if (!cmd) cmd = "";
    log_out("------------> SIP cmd : %s\n", cmd);

    CmdHandler handler = feeder_cmd_unknown;
    for (const auto& c : kCommands) {
        if (strcmp(cmd, c.cmd) == 0) {
            handler = c.handler;
            break;
        }
    }
    json_t* slot = nullptr;
    int rc = handler(uds_client_fd, req.get(), &slot);
    Json reply(slot);
    if (rc == 13 && reply) sip_reply_error(reply.get(), "502", "Feeder Internal Error");
    // A manual feeding is told through the cloud, never by a reply.
    if (reply && strcmp(cmd, "feeding-manual-update-req") != 0) send_json(from, reply.get(), true);
    return __SIP_DONE;
}
