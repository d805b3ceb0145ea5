// The SIP user agent on sofia-sip's NUA. The stack, its root and every call
// into it live on one thread; other threads hand work to it with
// su_task_execute, which runs a function there and waits for it.
//
// The stack refreshes a registration that succeeded, but gives up on one
// that failed: the agent tries again itself on a timer of the stack's thread,
// waiting longer after each failure. Behind a NAT the stack takes its public
// address from the registrar's received/rport and sends keep-alives that hold
// the NAT's binding. The stack's STUN transport is left off: it writes a
// placeholder host into every Via for good and so takes every network for a
// NAT, and the stack never uses the address it learns.
//
// Listening on every address, the stack binds a socket on each address the
// host has when it starts, and keeps those: one that comes later (DHCP done
// after the start, a new lease, another Wi-Fi network) is never used, and
// every request fails from then on. So the agent looks at the host's
// addresses every few seconds; when they differ from those the transports
// were bound with, it shuts the stack down and creates it again on the same
// root, which binds on the addresses there are now, and registers at once.
struct AgentCtx;
#define SU_ROOT_MAGIC_T struct AgentCtx
#define NUA_MAGIC_T struct AgentCtx
#define NUA_HMAGIC_T void

#include "sip/agent.h"

#include <malloc.h>
#include <math.h>
#include <pthread.h>
#include <sofia-sip/msg_addr.h>
#include <sofia-sip/nta_tag.h>
#include <sofia-sip/nua.h>
#include <sofia-sip/nua_tag.h>
#include <sofia-sip/sip_header.h>
#include <sofia-sip/sip_status.h>
#include <sofia-sip/su_log.h>
#include <sofia-sip/su_tag_io.h>
#include <sofia-sip/su_wait.h>
#include <sofia-sip/url.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "include/log.h"
#include "include/task_bounds.h"
#include "platform/task.h"
#include "sip/host_addrs.h"
#include "sip/rate_limit.h"

// Where the stack stands while its transports are bound again.
enum class Stack {
    up,       // running on the addresses in `bound`
    closing,  // shutting down, to be created again
    closed,   // shut down (or its creation failed): created again at the next look
};

struct AgentCtx {
    std::string bind_url, aor, registrar, auth, proxy;
    SipTiming timing{};
    SipAgentCallbacks cb{};
    su_root_t* root = nullptr;
    nua_t* nua = nullptr;
    Stack stack = Stack::up;
    bool every_addr = false;       // bound on every address of the host: watch them
    HostAddrs bound;               // the host's addresses when the stack was created
    su_timer_t* rebind = nullptr;  // drives the shutdown and the new stack
    bool account = false;          // the registration has been asked for
    unsigned bind_failures = 0;    // new stacks that could not bind, in a row
    // MESSAGEs to send once the stack is up again: to whom, and the text.
    std::vector<std::pair<std::string, std::string>> held;
    nua_handle_t* reg = nullptr;  // the one registration; a new one for each attempt
    bool reg_challenged = false;  // this attempt's challenge has been answered
    bool registered = false;
    unsigned attempt = 0;         // attempts since the last success
    unsigned retry_wait_s = 0;    // nominal wait before the next attempt
    su_timer_t* retry = nullptr;  // armed only while waiting to try again
    su_time_t attempt_started{};
    bool stopping = false;
    std::minstd_rand jitter;
    ServiceAddrs service;     // where requests may come from
    unsigned strangers = 0;   // requests refused since the last one from the service
    NetAddr last_stranger{};  // the source of the last refusal logged
    bool limited = false;     // MESSAGEs beyond the limit are refused
    RateLimit messages{};
    unsigned refused = 0;                // MESSAGEs refused since the last one taken
    unsigned since_trim = 0;             // MESSAGEs since the heap was last given back
    su_timer_t* trim = nullptr;          // armed while a burst's transactions last
    su_timer_t* checkin = nullptr;       // the watchdog's sign that the loop turns
    std::map<nua_handle_t*, int> calls;  // incoming calls and their ids
    int next_call = 0;
    std::thread th;
    std::mutex mu;
    std::condition_variable cv;
    int state = 0;  // 0 starting, 1 running, -1 failed to start, 2 ended
    const char* fail_title = "";
    std::string last_log;  // the stack's last log line: the reason of a failure
    std::string partial;   // a log line being assembled
};

namespace {

AgentCtx* g_agent = nullptr;

// The stack hands its logger pieces of lines: print whole lines, as the
// library's own logger at level 3 would, and keep the last one.
void stack_logger(void* stream, const char* fmt, va_list ap) {
    AgentCtx* ctx = static_cast<AgentCtx*>(stream);
    char piece[1024];
    vsnprintf(piece, sizeof piece, fmt, ap);
    std::string& line = ctx->partial;
    line += piece;
    size_t nl;
    while ((nl = line.find('\n')) != std::string::npos) {
        std::string one = line.substr(0, nl);
        line.erase(0, nl + 1);
        if (one.empty()) continue;
        ctx->last_log = one;
        log_out(" pjsip  %s\n", one.c_str());
    }
}

std::string url_text(const url_t* u) {
    if (!u) return "";
    char buf[512];
    url_e(buf, sizeof buf, u);
    buf[sizeof buf - 1] = '\0';
    return buf;
}

// A device interval in stack milliseconds.
su_duration_t scaled_ms(const AgentCtx* ctx, double seconds) {
    double ms = seconds * 1000.0 / ctx->timing.scale;
    return ms < 1 ? 1 : su_duration_t(ms);
}

void start_register(AgentCtx* ctx);

void on_retry_timer(AgentCtx* ctx, su_timer_t*, su_timer_arg_t*) {
    start_register(ctx);
}

// The next attempt after a failed one: attempts start 30 s apart, then 60 s,
// doubling to the longest, less up to a tenth so devices that failed
// together spread out. An attempt that took longer than the wait (no answer
// for 32 s) is followed at once, so one is always under way while the wait
// is shorter than that: its retransmissions reach a service that returns.
void schedule_retry(AgentCtx* ctx) {
    if (ctx->stopping || su_timer_is_set(ctx->retry)) return;
    const SipTiming& t = ctx->timing;
    unsigned wait = ctx->retry_wait_s ? ctx->retry_wait_s : t.retry_min_s;
    ctx->retry_wait_s = wait * 2 < t.retry_max_s ? wait * 2 : t.retry_max_s;
    double s = wait - std::uniform_real_distribution<double>(0, wait / 10.0)(ctx->jitter);
    su_duration_t left = scaled_ms(ctx, s) - su_duration(su_now(), ctx->attempt_started);
    if (left < 1) left = 1;
    log_out(" pjsip  next registration attempt in %.0f s, %.0f s after the last began\n",
            left * ctx->timing.scale / 1000, s);
    su_timer_set_interval(ctx->retry, on_retry_timer, nullptr, left);
}

// One registration attempt on a handle of its own: whatever the last one
// left behind (a failed transaction, a refresh that gave up) goes with it.
void start_register(AgentCtx* ctx) {
    su_timer_reset(ctx->retry);
    if (ctx->stack != Stack::up) return;  // the new stack registers when it is up
    if (ctx->reg) nua_handle_destroy(ctx->reg);
    ctx->registered = false;
    ctx->reg_challenged = false;
    ctx->attempt_started = su_now();
    ctx->reg = nua_handle(ctx->nua, nullptr, SIPTAG_TO_STR(ctx->aor.c_str()),
                          SIPTAG_FROM_STR(ctx->aor.c_str()), TAG_END());
    if (!ctx->reg) {
        log_out(" pjsip  registration attempt %u not started\n", ++ctx->attempt);
        schedule_retry(ctx);
        return;
    }
    double expires = ctx->timing.expires_s / ctx->timing.scale;
    char text[16];
    snprintf(text, sizeof text, "%u", expires < 1 ? 1u : unsigned(expires + 0.5));
    log_out(" pjsip  registering %s (attempt %u)\n", ctx->aor.c_str(), ++ctx->attempt);
    nua_register(ctx->reg, NUTAG_REGISTRAR(ctx->registrar.c_str()), SIPTAG_EXPIRES_STR(text),
                 TAG_END());
}

// A registration that held until now is renewed at once; only a failed
// renewal waits.
void lapsed(AgentCtx* ctx) {
    if (ctx->stopping || ctx->stack != Stack::up) return;
    if (ctx->registered)
        start_register(ctx);
    else
        schedule_retry(ctx);
}

// Where the request or answer being handled came from: the address of the
// datagram, as the transport received it.
bool current_source(const AgentCtx* ctx, NetAddr* out) {
    msg_t* msg = nua_current_request(ctx->nua);
    su_addrinfo_t* ai = msg ? msg_addrinfo(msg) : nullptr;
    return ai && net_addr_from_sockaddr(ai->ai_addr, socklen_t(ai->ai_addrlen), out);
}

// The registrar answered from here (itself, or the proxy in front of it):
// the service is there now.
void learn_service(AgentCtx* ctx) {
    NetAddr a;
    if (!current_source(ctx, &a) || !service_addrs_learn(&ctx->service, a)) return;
    char text[64];
    net_addr_text(a, text, sizeof text);
    log_out(" pjsip  the SIP service answers from %s\n", text);
}

// A request whose source is not the SIP service is answered 403 and goes no
// further: no command, no call, no reply. A spell of them is logged by
// source and counted when the service next speaks.
bool from_service(AgentCtx* ctx, nua_handle_t* nh, const char* method) {
    NetAddr a;
    bool known = current_source(ctx, &a);
    if (known && service_addrs_has(ctx->service, a)) {
        if (ctx->strangers) log_out(" pjsip  %u requests from strangers refused\n", ctx->strangers);
        ctx->strangers = 0;
        return true;
    }
    if (ctx->strangers++ == 0 || !known || !net_addr_equal(a, ctx->last_stranger)) {
        char text[64] = "an unknown source";
        if (known) net_addr_text(a, text, sizeof text);
        log_out(" pjsip  %s from %s refused: not the SIP service\n", method, text);
        ctx->last_stranger = a;
    }
    nua_respond(nh, SIP_403_FORBIDDEN, NUTAG_WITH_THIS(ctx->nua), TAG_END());
    nua_handle_destroy(nh);
    return false;
}

void on_register(AgentCtx* ctx, int status, const char* phrase, nua_handle_t* nh) {
    // A handle given up, still going, or the old stack's un-REGISTER.
    if (nh != ctx->reg || status < 200 || ctx->stack != Stack::up) return;
    // One answer to a challenge: a second one means the credentials are refused.
    if ((status == 401 || status == 407) && !ctx->reg_challenged) {
        ctx->reg_challenged = true;
        nua_authenticate(nh, NUTAG_AUTH(ctx->auth.c_str()), TAG_END());
        return;
    }
    ctx->reg_challenged = false;  // a refresh may be challenged again
    if (status < 300) {
        learn_service(ctx);
        log_out(" pjsip  registered %s\n", ctx->aor.c_str());
        su_timer_reset(ctx->retry);
        ctx->registered = true;
        ctx->attempt = 0;
        ctx->retry_wait_s = 0;
        return;
    }
    // Refused, timed out or not sent: the stack will not try again by itself.
    log_out(" pjsip  registration failed: %d %s\n", status, phrase);
    lapsed(ctx);
}

// The stack's reports on the path to the service. No answer to a keep-alive
// means the network went away or the NAT forgot the device: register anew
// (the stack stops its keep-alives until a registration succeeds).
void on_outbound(AgentCtx* ctx, int status, const char* phrase, nua_handle_t* nh) {
    if (nh != ctx->reg) return;
    log_out(" pjsip  outbound: %d %s\n", status, phrase);
    if (ctx->registered && (status == 408 || status >= 500)) lapsed(ctx);
}

// Stack time in device seconds, from the monotonic clock: the wall clock
// steps when the time is synchronised, and a step back would keep the
// limit's bucket empty for as long as the step.
double device_now_s(const AgentCtx* ctx) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double(now.tv_sec) + double(now.tv_nsec) / 1e9) * ctx->timing.scale;
}

// One MESSAGE too many is answered 503 and goes no further. A spell of them
// is logged at its start and counted at its end, not one line each.
bool take_message(AgentCtx* ctx, nua_handle_t* nh) {
    unsigned retry_s = 0;
    if (!ctx->limited || rate_limit_take(ctx->messages, device_now_s(ctx), &retry_s)) {
        if (ctx->refused) log_out(" pjsip  MESSAGEs taken again, %u refused\n", ctx->refused);
        ctx->refused = 0;
        nua_respond(nh, SIP_200_OK, NUTAG_WITH_THIS(ctx->nua), TAG_END());
        return true;
    }
    double wait = retry_s / ctx->timing.scale;
    char text[16];
    snprintf(text, sizeof text, "%u", wait < 1 ? 1u : unsigned(ceil(wait)));
    if (ctx->refused++ == 0) log_out(" pjsip  too many MESSAGEs: refused for %u s\n", retry_s);
    nua_respond(nh, SIP_503_SERVICE_UNAVAILABLE, SIPTAG_RETRY_AFTER_STR(text),
                NUTAG_WITH_THIS(ctx->nua), TAG_END());
    return false;
}

// A burst of MESSAGEs, taken or refused, leaves the stack's thread with a
// heap grown to what it held at once: every request and its answer, kept 64
// T1 after for retransmissions. The allocator keeps freed memory for later
// and gives back little of it, so on a board with little RAM each burst
// would stay. Once the last transaction of a burst has ended, the heap is
// handed back to the system.
enum { TRIM_AFTER_MESSAGES = 100 };

void on_trim_timer(AgentCtx* ctx, su_timer_t*, su_timer_arg_t*) {
    malloc_trim(0);
    log_out(" pjsip  memory given back after %u MESSAGEs\n", ctx->since_trim);
    ctx->since_trim = 0;
}

void note_message(AgentCtx* ctx) {
    if (++ctx->since_trim < TRIM_AFTER_MESSAGES || !ctx->trim) return;
    // 64 T1 after this one, and a second for the last timer to run.
    su_timer_set_interval(ctx->trim, on_trim_timer, nullptr,
                          64 * scaled_ms(ctx, 0.5) + scaled_ms(ctx, 1));
}

void on_incoming_message(AgentCtx* ctx, nua_handle_t* nh, const sip_t* sip) {
    note_message(ctx);
    if (!from_service(ctx, nh, "MESSAGE")) return;
    if (take_message(ctx, nh) && sip && ctx->cb.on_message) {
        std::string from = sip->sip_from ? url_text(sip->sip_from->a_url) : "";
        std::string contact = sip->sip_contact ? url_text(sip->sip_contact->m_url) : "";
        const char* mime = sip->sip_content_type && sip->sip_content_type->c_type
                               ? sip->sip_content_type->c_type
                               : "";
        const char* body = sip->sip_payload ? sip->sip_payload->pl_data : "";
        size_t len = sip->sip_payload ? sip->sip_payload->pl_len : 0;
        ctx->cb.on_message(from.c_str(), contact.c_str(), mime, body, len);
    }
    nua_handle_destroy(nh);
}

void on_call(AgentCtx* ctx, nua_event_t event, nua_handle_t* nh, const sip_t* sip, tagi_t tags[]) {
    if (event == nua_i_invite) {
        if (!from_service(ctx, nh, "INVITE")) return;
        int id = ctx->next_call++;
        ctx->calls[nh] = id;
        std::string from = sip && sip->sip_from ? url_text(sip->sip_from->a_url) : "";
        if (ctx->cb.on_incoming_call) ctx->cb.on_incoming_call(id, from.c_str());
        nua_respond(nh, 405, "No Support for Incoming Calls", NUTAG_WITH_THIS(ctx->nua), TAG_END());
        return;
    }
    auto it = ctx->calls.find(nh);
    if (it == ctx->calls.end()) return;
    int state = nua_callstate_init;
    tl_gets(tags, NUTAG_CALLSTATE_REF(state), TAG_END());
    if (ctx->cb.on_call_state)
        ctx->cb.on_call_state(it->second,
                              nua_callstate_name(static_cast<enum nua_callstate>(state)));
    if (state == nua_callstate_terminated) {
        ctx->calls.erase(it);
        nua_handle_destroy(nh);
    }
}

void stack_closed(AgentCtx* ctx);

void event_cb(nua_event_t event, int status, const char* phrase, nua_t*, AgentCtx* ctx,
              nua_handle_t* nh, void*, const sip_t* sip, tagi_t tags[]) {
    switch (event) {
        case nua_r_register:
            on_register(ctx, status, phrase, nh);
            break;
        case nua_i_outbound:
            on_outbound(ctx, status, phrase, nh);
            break;
        case nua_i_message:
            on_incoming_message(ctx, nh, sip);
            break;
        case nua_r_message:
            // Replies go through the service, which may ask who we are.
            if ((status == 401 || status == 407) && nua_handle_magic(nh) == nullptr) {
                nua_handle_bind(nh, ctx);  // marks the one retry
                nua_authenticate(nh, NUTAG_AUTH(ctx->auth.c_str()), TAG_END());
            } else if (status >= 200) {
                if (status >= 300) log_out(" pjsip  reply not delivered: %d %s\n", status, phrase);
                nua_handle_destroy(nh);
            }
            break;
        case nua_i_invite:
        case nua_i_state:
            on_call(ctx, event, nh, sip, tags);
            break;
        case nua_i_options:
            // The stack has answered it; the handle it made for it is ours
            // to release, or each OPTIONS, from anyone, would stay for good.
            if (nh && nh != ctx->reg) nua_handle_destroy(nh);
            break;
        case nua_r_shutdown:
            if (status < 200) break;
            if (ctx->stopping)
                su_root_break(ctx->root);
            else if (ctx->stack == Stack::closing)
                stack_closed(ctx);
            break;
        default:
            break;
    }
}

// How the stack's own thread sleeps. The stack keeps its housekeeping
// (registration refresh, keep-alive) on deferrable timers, which run when
// its thread wakes anyway, and wakes it at the latest `max_defer` after its
// last wake. A keep-alive interval of at least max_defer is cut by the
// stack to 100 ms plus what it exceeds: asked for 15 s, the default
// max_defer, a keep-alive went out every 500 ms, at each tick of its own
// transaction.
// So the keep-alive interval stays below max_defer and above T4: after a
// keep-alive the stack wakes when its transaction ends (T4), finds it not yet
// due, and sends the next one at its following wake, T4 + max_defer after the
// last one: `keepalive_s` apart when nothing else happens, sooner when a
// request wakes it.
struct StackSleep {
    su_duration_t max_defer_ms;
    unsigned keepalive_ms;
};

StackSleep stack_sleep(const AgentCtx* ctx) {
    const double t4 = 5;  // the stack's T4, scaled below like the rest
    double max_defer = ctx->timing.keepalive_s > t4 + 1 ? ctx->timing.keepalive_s - t4 : 1;
    return {scaled_ms(ctx, max_defer), unsigned(scaled_ms(ctx, t4 + (max_defer - t4) / 2))};
}

// The stack, bound on the host's addresses as they are now.
bool create_stack(AgentCtx* ctx) {
    if (ctx->every_addr && !host_addrs_now(&ctx->bound)) ctx->bound = HostAddrs{};
    const SipTiming& t = ctx->timing;
    // The stack's transaction timers (500 ms, 4 s, 5 s, 32 s) follow the scale.
    bool scaled = t.scale != 1;
    unsigned t1 = unsigned(scaled_ms(ctx, 0.5));
    StackSleep sleep = stack_sleep(ctx);
    ctx->nua =
        nua_create(ctx->root, event_cb, ctx, NUTAG_URL(ctx->bind_url.c_str()),
                   SIPTAG_FROM_STR(ctx->aor.c_str()), NUTAG_MEDIA_ENABLE(0),
                   TAG_IF(!ctx->proxy.empty(), NUTAG_PROXY(ctx->proxy.c_str())),
                   // Contact from received/rport when a NAT is seen; keep-alives
                   // (on UDP whether or not), after a probe that the service reaches
                   // the device there.
                   NUTAG_OUTBOUND("natify use-rport options-keepalive validate"),
                   NUTAG_KEEPALIVE(sleep.keepalive_ms),
                   // The registration refresh waits for a wake too, instead of
                   // waking the stack every second to look for it.
                   NUTAG_DEFERRABLE_TIMERS(1),
                   // MESSAGEs are answered here: the limit refuses some.
                   NUTAG_APPL_METHOD("MESSAGE"),
                   // The device takes part in no call and no subscription: the
                   // stack answers anything else 405 itself (a REFER it would
                   // accept, 202, and keep a handle of it for good). INVITE stays,
                   // to be answered 405 with the device's own reason.
                   SIPTAG_ALLOW_STR("INVITE, ACK, BYE, CANCEL, OPTIONS, MESSAGE"),
                   TAG_IF(scaled, NTATAG_SIP_T1(t1)), TAG_IF(scaled, NTATAG_SIP_T1X64(64 * t1)),
                   TAG_IF(scaled, NTATAG_SIP_T2(unsigned(scaled_ms(ctx, 4)))),
                   TAG_IF(scaled, NTATAG_SIP_T4(unsigned(scaled_ms(ctx, 5)))), TAG_END());
    return ctx->nua != nullptr;
}

// The stack sees whether its shutdown is over on its deferred timer, which
// runs only when something wakes its thread: after the last answer it could
// sleep for max_defer. Asking again wakes it and has it look at once; it ends
// with nua_r_shutdown 200.
void on_shutdown_timer(AgentCtx* ctx, su_timer_t* t, su_timer_arg_t*) {
    nua_shutdown(ctx->nua);
    su_timer_set_interval(t, on_shutdown_timer, nullptr, 250);
}

void send_now(AgentCtx* ctx, const char* to, const char* text) {
    nua_handle_t* nh = nua_handle(ctx->nua, nullptr, SIPTAG_TO_STR(to), TAG_END());
    if (!nh) return;
    nua_message(nh, SIPTAG_CONTENT_TYPE_STR("text/plain"), SIPTAG_PAYLOAD_STR(text), TAG_END());
}

// The handles the agent holds go first, so that the shutdown waits only for
// what is under way: the un-REGISTER of a registration that held (the
// service forgets the old contact), a reply being sent.
void close_stack(AgentCtx* ctx) {
    ctx->stack = Stack::closing;
    su_timer_reset(ctx->retry);
    for (auto& call : ctx->calls) nua_handle_destroy(call.first);
    ctx->calls.clear();
    if (ctx->reg && !ctx->registered) {
        nua_handle_destroy(ctx->reg);
        ctx->reg = nullptr;
    }
    on_shutdown_timer(ctx, ctx->rebind, nullptr);
}

// A new stack on the addresses there are now; the registration starts over
// at once, and the replies held meanwhile go out. On failure (an address
// not yet usable, the port taken) the next look tries again.
void stack_again(AgentCtx* ctx) {
    su_timer_reset(ctx->rebind);
    if (ctx->nua) nua_destroy(ctx->nua);
    ctx->nua = nullptr;
    ctx->reg = nullptr;  // went with the stack
    ctx->registered = false;
    if (!create_stack(ctx)) {
        if (ctx->bind_failures++ == 0)
            log_out(" pjsip  transports not bound again: %s\n", ctx->last_log.c_str());
        return;
    }
    ctx->stack = Stack::up;
    ctx->bind_failures = 0;
    log_out(" pjsip  the host's addresses changed, transports bound again\n");
    ctx->attempt = 0;
    ctx->retry_wait_s = 0;
    if (ctx->account) start_register(ctx);
    for (const auto& m : ctx->held) send_now(ctx, m.first.c_str(), m.second.c_str());
    ctx->held.clear();
}

// The shutdown is over: the stack is destroyed and made again once its
// callback has returned.
void on_rebind_timer(AgentCtx* ctx, su_timer_t*, su_timer_arg_t*) {
    if (!ctx->stopping && ctx->stack == Stack::closed) stack_again(ctx);
}

void stack_closed(AgentCtx* ctx) {
    ctx->stack = Stack::closed;
    su_timer_reset(ctx->rebind);
    su_timer_set_interval(ctx->rebind, on_rebind_timer, nullptr, 1);
}

void look_at_addrs(AgentCtx* ctx) {
    if (ctx->stopping) return;
    if (ctx->stack == Stack::closed) {
        stack_again(ctx);
        return;
    }
    HostAddrs now;
    if (ctx->stack == Stack::up && host_addrs_now(&now) && !host_addrs_equal(now, ctx->bound))
        close_stack(ctx);
}

// The stack's loop waits on timers and sockets of its own: a check-in every
// kSipCheckinS device seconds shows the watchdog that it turns (a handler
// that hangs stops it), and looks at the host's addresses. Deferrable: it
// rides on the stack's other wakes (at most max_defer, 10 s, apart), so an
// idle device pays no wake-up for it, and a new address is seen within
// about 10 s.
const double kSipCheckinS = 5;

void on_checkin_timer(AgentCtx* ctx, su_timer_t*, su_timer_arg_t*) {
    task_checkin();
    if (ctx->every_addr) look_at_addrs(ctx);
}

void run(AgentCtx* ctx) {
    // Named before the stack starts its own thread, which takes the name too.
    pthread_setname_np(pthread_self(), "sip-stack");
    TaskScope task("sip-stack", TASK_SIP_S);
    su_init();
    su_log_redirect(nullptr, stack_logger, ctx);
    su_log_set_level(nullptr, 3);
    ctx->root = su_root_create(ctx);
    if (ctx->root) {
        // The stack's thread takes its longest sleep from this root's.
        su_root_set_max_defer(ctx->root, stack_sleep(ctx).max_defer_ms);
        create_stack(ctx);
        if (ctx->nua) {
            ctx->retry = su_timer_create(su_root_task(ctx->root), 0);
            ctx->trim = su_timer_create(su_root_task(ctx->root), 0);
            ctx->rebind = su_timer_create(su_root_task(ctx->root), 0);
            ctx->checkin = su_timer_create(su_root_task(ctx->root), scaled_ms(ctx, kSipCheckinS));
            su_timer_deferrable(ctx->checkin, 1);
            su_timer_set_for_ever(ctx->checkin, on_checkin_timer, nullptr);
        }
    }
    {
        std::lock_guard<std::mutex> hold(ctx->mu);
        if (!ctx->root) {
            ctx->state = -1;
            ctx->fail_title = "Error in pjsua_create()";
        } else if (!ctx->nua) {
            ctx->state = -1;
            ctx->fail_title = "Error creating transport";
        } else {
            ctx->state = 1;
        }
    }
    ctx->cv.notify_all();
    if (ctx->state == 1) {
        su_root_run(ctx->root);
        su_timer_destroy(ctx->retry);
        ctx->retry = nullptr;
        su_timer_destroy(ctx->trim);
        ctx->trim = nullptr;
        su_timer_destroy(ctx->checkin);
        ctx->checkin = nullptr;
        su_timer_destroy(ctx->rebind);
        ctx->rebind = nullptr;
        if (ctx->nua) nua_destroy(ctx->nua);
        ctx->nua = nullptr;
    }
    if (ctx->root) su_root_destroy(ctx->root);
    ctx->root = nullptr;
    su_log_redirect(nullptr, nullptr, nullptr);
    su_deinit();
    std::lock_guard<std::mutex> hold(ctx->mu);
    ctx->state = 2;
    ctx->cv.notify_all();
}

// Replies sent while the stack is bound again wait for the new one; they
// answer commands taken before, and no new one comes in meanwhile.
enum { HELD_MAX = 16 };

// Runs `fn` on the stack's thread and waits for it.
template <class F>
void on_stack(AgentCtx* ctx, F fn) {
    if (std::this_thread::get_id() == ctx->th.get_id()) {
        fn();
        return;
    }
    auto call = [](void* arg) -> int {
        (*static_cast<F*>(arg))();
        return 0;
    };
    int rv = 0;
    su_task_execute(su_root_task(ctx->root), call, &fn, &rv);
}

}  // namespace

int sip_agent_start(const SipAgentConfig& cfg, const SipAgentCallbacks& cb, const char** title,
                    char* why, size_t n) {
    AgentCtx* ctx = new AgentCtx;
    ctx->bind_url = cfg.bind_url;
    ctx->aor = cfg.aor;
    ctx->registrar = cfg.registrar;
    ctx->auth = std::string("Digest:\"") + cfg.realm + "\":" + cfg.user + ":" + cfg.password;
    ctx->proxy = cfg.outbound_proxy ? cfg.outbound_proxy : "";
    ctx->every_addr = ctx->bind_url.rfind("sip:*", 0) == 0;
    if (cfg.service) ctx->service = *cfg.service;
    ctx->timing = cfg.timing;
    if (!(ctx->timing.scale > 0)) ctx->timing.scale = 1;
    ctx->jitter.seed(std::random_device{}());
    ctx->limited = cfg.message_burst > 0;
    ctx->messages = rate_limit_new(cfg.message_burst, cfg.message_per_s, device_now_s(ctx));
    ctx->cb = cb;
    ctx->th = std::thread(run, ctx);
    std::unique_lock<std::mutex> lock(ctx->mu);
    ctx->cv.wait(lock, [&] { return ctx->state != 0; });
    if (ctx->state != 1) {
        *title = ctx->fail_title;
        snprintf(why, n, "%s", ctx->last_log.empty() ? "no reason given" : ctx->last_log.c_str());
        lock.unlock();
        ctx->th.join();
        delete ctx;
        return -1;
    }
    g_agent = ctx;
    return 0;
}

int sip_agent_register(const char** title, char* why, size_t n) {
    AgentCtx* ctx = g_agent;
    bool ok = false;
    if (ctx) {
        on_stack(ctx, [&] {
            if (!ctx->retry) return;
            ctx->account = true;
            start_register(ctx);
            ok = true;
        });
    }
    if (ok) return 0;
    *title = "Error adding account";
    snprintf(why, n, "%s", ctx ? ctx->last_log.c_str() : "the stack is not running");
    return -1;
}

void sip_agent_send_message(const char* to, const char* text) {
    AgentCtx* ctx = g_agent;
    if (!ctx) return;
    on_stack(ctx, [&] {
        if (ctx->stack == Stack::up) {
            send_now(ctx, to, text);
        } else if (ctx->held.size() < HELD_MAX) {
            ctx->held.emplace_back(to, text);
        } else {
            log_out(" pjsip  reply to %s not sent: the stack is being bound again\n", to);
        }
    });
}

void sip_agent_stop() {
    AgentCtx* ctx = g_agent;
    if (!ctx) return;
    on_stack(ctx, [&] {
        ctx->stopping = true;
        // No registration attempt and no new stack from now on: the retry
        // timer asks for the shutdown, unless it is over already.
        su_timer_reset(ctx->retry);
        su_timer_reset(ctx->rebind);
        if (ctx->stack == Stack::closed)
            su_root_break(ctx->root);
        else
            on_shutdown_timer(ctx, ctx->retry, nullptr);
    });
    // A registrar that no longer answers must not hold up the exit.
    std::unique_lock<std::mutex> lock(ctx->mu);
    if (!ctx->cv.wait_for(lock, std::chrono::seconds(5), [&] { return ctx->state == 2; })) {
        lock.unlock();
        log_out(" pjsip  the stack did not end its shutdown within 5 s\n");
        on_stack(ctx, [&] { su_root_break(ctx->root); });
    } else {
        lock.unlock();
    }
    ctx->th.join();
    g_agent = nullptr;
    delete ctx;
}
