// The device's SIP account: start-up, the pager callback, the SIP-side
// thread that owns the client end of the local socket, and shutdown.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "include/feeder.h"
#include "include/log.h"
#include "include/result_codes.h"
#include "include/variant.h"
#include "platform/platform.h"
#include "platform/run_flag.h"
#include "platform/settings.h"
#include "sip/agent.h"
#include "sip/sip.h"
#include "uds/uds.h"

std::atomic<int> uds_client_fd{-1};

namespace {

// The client socket once the SIP thread has ended: a handler on the stack's
// thread may still hold it, so it is closed only after that thread is gone
// (else its number could come back as another file while still in use).
int g_client_done = -1;

const char kPassword[] = "qabro4821";  // the same for every device

double g_time_scale = 1;

void on_incoming_call(int, const char* from) {
    log_out(" pjsip  Incoming call from %s!!\n", from);
}

void on_call_state(int call_id, const char* state) {
    log_out(" pjsip  Call %d state=%s\n", call_id, state);
}

}  // namespace

void sip_error_exit(const char* title, const char* why) {
    log_out(" pjsip  %s: %s\n", title, why);
    sip_agent_stop();
    exit(1);
}

void on_pager(const char* from, const char* contact, const char* mime, const char* body,
              size_t len) {
    log_out(kSilentBuild ? " pjsip  MESSAGE from %s: %s (%s)\n"
                         : " pjsip  MESSAGE from %s: %s (%s) zel\n",
            from, contact, mime);
    if (cmd_dispatch(from, body, len) != __SIP_DONE)
        log_out("--------------- Error --------------\n");
}

void sip_set_time_scale(double scale) {
    g_time_scale = scale > 0 ? scale : 1;
}

int sip_init() {
    const Settings& s = settings();
    SipAgentConfig cfg = {};
    std::string bind =
        std::string("sip:") + (s.sip_listen[0] ? s.sip_listen : "*") + ":5060;transport=udp";
    cfg.bind_url = bind.c_str();
    cfg.outbound_proxy = s.sip_outbound_proxy;
    // The service's proxy and domain as they resolve now (the registration's
    // answers add where the service really is), and the allow-list.
    ServiceAddrs service;
    if (s.sip_outbound_proxy[0] && service_addrs_add_uri_host(&service, s.sip_outbound_proxy) == 0)
        log_out(" pjsip  the outbound proxy %s has no address now\n", s.sip_outbound_proxy);
    service_addrs_add_host(&service, s.sip_domain);
    for (int i = 0; i < s.sip_allow_count; ++i) {
        NetAddr a;
        if (net_addr_parse(s.sip_allow[i], &a)) service_addrs_add(&service, a);
    }
    cfg.service = &service;
    // A service that forgot the device has it back within five minutes; a
    // keep-alive every 15 s holds even a NAT that forgets after 30 s.
    cfg.timing = {300, 30, 300, 15, g_time_scale};
    cfg.message_burst = SIP_MESSAGE_BURST;
    cfg.message_per_s = kSipMessagesPerS;
    // The account is known only after sip_account_add; the stack needs its
    // identity now for the From of what it sends.
    Feeder* f = get_feeder();
    std::string aor = std::string("sip:") + f->sipid + "@" + s.sip_domain;
    std::string registrar = std::string("sip:") + s.sip_domain;
    cfg.aor = aor.c_str();
    cfg.registrar = registrar.c_str();
    cfg.realm = s.sip_domain;
    cfg.user = f->sipid;
    cfg.password = kPassword;
    SipAgentCallbacks cb = {on_pager, on_incoming_call, on_call_state};
    const char* title = "";
    char why[256];
    if (sip_agent_start(cfg, cb, &title, why, sizeof why) < 0) {
        log_out(" pjsip  %s: %s\n", title, why);
        exit(1);
    }
    return __SIP_DONE;
}

int sip_account_add() {
    const char* title = "";
    char why[256];
    if (sip_agent_register(&title, why, sizeof why) < 0) sip_error_exit(title, why);
    return __SIP_DONE;
}

void sip_thread_proc() {
    uds_client_fd = uds_open(UDS_CLIENT);
    // Asleep until the program stops: every clearing of the run flag wakes
    // the stop descriptor. Without one (a caller outside app_run) it looks
    // at the flag once a second.
    struct pollfd p = {app_stop_fd(), POLLIN, 0};
    int timeout_ms = p.fd >= 0 ? -1 : 1000;
    while (sig_flag) plat_poll(&p, 1, timeout_ms);
    g_client_done = uds_client_fd.exchange(-1);  // a feeding request now fails at once
    log_out("%s exit...\n", __func__);
}

int sip_shutdown() {
    sip_agent_stop();
    uds_close(g_client_done);
    g_client_done = -1;
    return __SIP_DONE;
}
