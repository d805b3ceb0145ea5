// The device's SIP user agent, kept small: start the stack on a thread of its
// own, register one account and keep it registered, send a MESSAGE, stop.
// Every callback runs on the stack's thread, one at a time.
#pragma once

#include <stddef.h>

#include "sip/service_addrs.h"

// How the account stays registered and reachable, in seconds.
struct SipTiming {
    unsigned expires_s;    // registration expiry asked of the registrar
    unsigned retry_min_s;  // first wait after a failed registration; doubles each time
    unsigned retry_max_s;  // longest wait between attempts
    unsigned keepalive_s;  // keep-alives this far apart on an idle line (they hold a NAT open)
    // Every interval above and the stack's transaction timers run this many
    // times faster: 1 on the board; more in simulation, where minutes of SIP
    // time pass in seconds.
    double scale;
};

struct SipAgentConfig {
    const char* bind_url;   // "sip:*:5060;transport=udp"
    const char* aor;        // "sip:SIPID@DOMAIN"
    const char* registrar;  // "sip:DOMAIN"
    const char* realm;      // digest realm
    const char* user;       // digest user name
    const char* password;
    const char* outbound_proxy;  // "" for none
    // Where requests may come from; the agent adds the address that answers
    // each registration. A MESSAGE or INVITE from elsewhere is answered 403
    // and goes no further.
    const ServiceAddrs* service;
    SipTiming timing;
    // MESSAGEs from the service taken in: a burst, then a steady rate
    // (device seconds); one more is refused with 503 and a Retry-After.
    // Each one taken costs a command and a reply, and the stack holds both
    // for 64 T1 after: a sender in a loop must not fill the board's memory.
    // 0 for no limit.
    unsigned message_burst;
    double message_per_s;
};

struct SipAgentCallbacks {
    // An incoming MESSAGE, taken in and answered 200. `body` is not
    // NUL-terminated.
    void (*on_message)(const char* from, const char* contact, const char* mime, const char* body,
                       size_t len);
    // An incoming call, about to be refused with 405.
    void (*on_incoming_call)(int call_id, const char* from);
    void (*on_call_state)(int call_id, const char* state);
};

// Starts the stack on its thread and binds the transport. 0, or -1 with the
// failing step's title ("Error creating transport", ...) and the stack's
// reason in `why`.
int sip_agent_start(const SipAgentConfig& cfg, const SipAgentCallbacks& cb, const char** title,
                    char* why, size_t n);
// Adds the account and starts its registration. The stack refreshes it; a
// registration that fails or lapses is tried again with a growing wait for as
// long as the agent runs.
int sip_agent_register(const char** title, char* why, size_t n);
// A MESSAGE from the account to `to` with `text` as its plain-text body. From
// any thread; the stack's thread does the sending.
void sip_agent_send_message(const char* to, const char* text);
// Unregisters and stops the stack; waits for the stack's thread.
void sip_agent_stop();
