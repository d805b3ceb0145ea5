// hopperd-phone: the owner's phone app on the command line. Registers a SIP
// account, sends one command to the feeder as a MESSAGE with a JSON body and
// prints the feeder's reply MESSAGE; with --repeat, the same command many
// times with its round trip times. Run without arguments for usage.
struct Phone;
struct Op;
#define SU_ROOT_MAGIC_T struct Phone
#define NUA_MAGIC_T struct Phone
#define NUA_HMAGIC_T struct Op

#include <ctype.h>
#include <jansson.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sofia-sip/msg_header.h>
#include <sofia-sip/nua.h>
#include <sofia-sip/sip_header.h>
#include <sofia-sip/su_log.h>
#include <sofia-sip/url.h>

#include <chrono>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

static const char kUsage[] =
    "usage: hopperd-phone [options] COMMAND [ARGS...]\n"
    "options:\n"
    "  --proxy URI        SIP service (default sip:127.0.0.1:5080)\n"
    "  --direct URI       no SIP service: send straight to the device, e.g. sip:127.0.0.1:5060\n"
    "                     (the device answers 403 unless --listen's address is one of its\n"
    "                     SIP service's: its proxy, its domain or in its sip_allow)\n"
    "  --user NAME        account user (default phone)\n"
    "  --domain D         account domain (default feeder.test)\n"
    "  --password P       account password (default qabro4821)\n"
    "  --listen HOST:PORT local SIP address (default 127.0.0.1:5070)\n"
    "  --to URI           the device, sip:<sipid>@<domain> or a bare sipid (or env HOPPERD_TO)\n"
    "  --product-id MAC   productId (default 00:1a:2b:3c:4d:5e)\n"
    "  --timeout S        seconds to wait for the reply (default 30)\n"
    "  --no-wait          do not wait for a reply\n"
    "  --repeat N         send the command N times, the next once the one before is answered\n"
    "                     (sched-append: UUID, UUID-1, UUID-2, ... so each adds an entry)\n"
    "  --window W         with --repeat: keep up to W commands waiting for their reply\n"
    "  --quiet            print neither the replies nor the MESSAGE 2xx lines\n"
    "  with --repeat or --window, stderr gets 'rtt_us N' per command (MESSAGE sent to\n"
    "  reply received, in order of arrival) and 'total_us N' for all of them\n"
    "commands:\n"
    "  feed GRAMS [MELODY]\n"
    "  update\n"
    "  melody | volume-get | volume-set\n"
    "  sched-append UUID HH:MM GRAMS DAYS MELODY [WEIGHT]   DAYS: mon,wed,thur or all\n"
    "  sched-modify UUID HH:MM GRAMS DAYS MELODY [WEIGHT]\n"
    "  sched-delete UUID [UUID...]\n"
    "  sched-enum\n"
    "  raw JSON           send JSON as the body exactly as given\n"
    "  listen             print every MESSAGE body received until SIGINT/SIGTERM\n"
    "                     (with --direct any URI: no registration)\n"
    "exit status: 0 ok, 1 MESSAGE or REGISTER failed, 2 usage, 3 no reply in time\n";

// Bodies travel over UDP; anything near this size would not fit a datagram anyway.
static constexpr size_t kMaxBody = 60000;

struct Options {
    std::string proxy = "sip:127.0.0.1:5080", direct, user = "phone", domain = "feeder.test";
    std::string password = "qabro4821", listen = "127.0.0.1:5070", to,
                product_id = "00:1a:2b:3c:4d:5e";
    double timeout = 30;
    size_t repeat = 1, window = 1;
    bool no_wait = false, quiet = false;
    bool measure = false;           // --repeat or --window given: print the times
    std::vector<std::string> args;  // COMMAND ARGS...
};

// Per outgoing request: one digest answer until a success, so a wrong password
// ends in the 401/407 instead of a loop.
struct Op {
    int auth_tries = 0;
    long index = -1;  // the command's number; -1 for an echo
};

// One sent command. The device answers one command at a time, in order, so
// a reply belongs to the oldest command still waiting for one.
struct Sent {
    Clock::time_point at;
    bool answered = false;  // the MESSAGE got its 2xx
    bool replied = false;   // its reply came (or none is due)
    bool through = false;
};

struct Phone {
    Options opt;
    bool listen_mode = false, echo = false, expect_reply = false;
    std::string body;
    std::vector<std::string> bodies;  // one per repeat, or just the first for all
    su_root_t* root = nullptr;
    nua_t* nua = nullptr;
    nua_handle_t* reg = nullptr;
    Op reg_op;
    std::vector<Sent> sent;
    size_t next_reply = 0;  // the oldest command still waiting for its reply
    size_t through = 0;
    bool registered = false;
    bool closing = false, shutdown_sent = false;
    int exit_code = 0;
    Clock::time_point start, deadline, close_deadline;

    bool wants_reply() const { return expect_reply && !opt.no_wait; }
};

namespace {

volatile sig_atomic_t g_stop = 0;
bool g_debug = false;
std::string g_log_line, g_bind_error;

void on_signal(int) {
    g_stop = 1;
}

// The stack's log is dropped unless debugging, but its bind failure is the only
// word on why the stack did not start.
void sofia_log(void*, char const* fmt, va_list ap) {
    if (g_debug) {
        vfprintf(stderr, fmt, ap);
        return;
    }
    char piece[512];
    vsnprintf(piece, sizeof piece, fmt, ap);
    g_log_line += piece;  // the stack logs lines in pieces
    for (size_t nl; (nl = g_log_line.find('\n')) != std::string::npos; g_log_line.erase(0, nl + 1))
        if (g_log_line.compare(0, 10, "nta: bind(") == 0) g_bind_error = g_log_line.substr(0, nl);
    if (g_log_line.size() > 4096) g_log_line.clear();
}

bool is_sipid(const std::string& s) {
    if (s.size() != 32) return false;
    for (char c : s)
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

// "mon,wed,thur" or "all" -> ["day-mon","day-wed","day-thur"]
json_t* parse_days(const std::string& text) {
    static const char* const kDays[] = {"sun", "mon", "tue", "wed", "thur", "fri", "sat"};
    json_t* arr = json_array();
    std::string list = text == "all" ? "sun,mon,tue,wed,thur,fri,sat" : text;
    for (size_t pos = 0, comma; pos <= list.size(); pos = comma + 1) {
        comma = list.find(',', pos);
        if (comma == std::string::npos) comma = list.size();
        std::string d = list.substr(pos, comma - pos);
        bool known = false;
        for (const char* k : kDays) known = known || d == k;
        if (!known) {
            fprintf(stderr, "hopperd-phone: unknown day '%s' (sun mon tue wed thur fri sat, all)\n",
                    d.c_str());
            json_decref(arr);
            return nullptr;
        }
        json_array_append_new(arr, json_string(("day-" + d).c_str()));
    }
    return arr;
}

struct Command {
    const char* word;
    const char* cmd;
    size_t min_args, max_args;
    bool reply;  // whether the device answers with a MESSAGE
};

const Command kCommands[] = {
    {"feed", "feeding-manual-update-req", 1, 2, false},
    {"update", "feeder-sw-update-req", 0, 0, true},
    {"melody", "melody-enum-req", 0, 0, false},
    {"volume-get", "sound-volume-get-req", 0, 0, false},
    {"volume-set", "sound-volume-set-req", 0, 0, false},
    {"sched-append", "feeding-schedule-append-req", 5, 6, true},
    {"sched-modify", "feeding-schedule-modify-req", 5, 6, true},
    {"sched-delete", "feeding-schedule-delete-req", 1, 10000, true},
    {"sched-enum", "feeding-schedule-enum-req", 0, 0, true},
};

// Builds the envelope for COMMAND ARGS (a) into p.body. Returns false on a
// usage error.
bool build_body(Phone& p, const std::vector<std::string>& a) {
    size_t n = a.size() - 1;
    if (a[0] == "raw") {
        p.body = n == 1 ? a[1] : "";
        p.expect_reply = true;
        return n == 1;
    }
    const Command* c = nullptr;
    for (const Command& k : kCommands)
        if (a[0] == k.word) c = &k;
    if (!c || n < c->min_args || n > c->max_args) return false;
    p.expect_reply = c->reply;

    json_t* o = json_object();
    bool utf8 = true;  // json_string refuses anything else
    auto put = [&](const char* k, const std::string& v) {
        utf8 = json_object_set_new(o, k, json_string(v.c_str())) == 0 && utf8;
    };
    put("ver", "1.0.0");
    put("cmd", c->cmd);
    put("productId", p.opt.product_id);
    json_t* extra = nullptr;
    if (a[0] == "feed") {
        put("feedAmount", a[1]);
        put("melody", n == 2 ? a[2] : "1");
    } else if (a[0] == "sched-delete") {
        extra = json_array();
        for (size_t i = 1; i <= n; i++) json_array_append_new(extra, json_string(a[i].c_str()));
        utf8 = json_array_size(extra) == n && utf8;
        json_object_set_new(o, "uuid", extra);
    } else if (c->min_args == 5) {
        extra = parse_days(a[4]);
        put("feedAmount", a[3]);
        put("feedTime", a[2]);
        json_object_set_new(o, "feedDaysOfTheWeek", extra);
        put("weight", n == 6 ? a[6] : "");
        put("melody", a[5]);
        put("uuid", a[1]);
        if (!extra) {
            json_decref(o);
            return false;
        }
    }
    char* text = utf8 ? json_dumps(o, JSON_COMPACT) : nullptr;
    json_decref(o);
    if (!text) {
        fprintf(stderr, "hopperd-phone: arguments must be UTF-8 text\n");
        return false;
    }
    p.body = text;
    free(text);
    return true;
}

// Answers a 401/407 with the account's credentials for the challenge's realm.
bool authenticate(Phone& p, nua_handle_t* nh, Op& op, sip_t const* sip) {
    if (!sip || ++op.auth_tries > 1) return false;
    msg_auth_t const* au =
        sip->sip_proxy_authenticate ? sip->sip_proxy_authenticate : sip->sip_www_authenticate;
    if (!au || !au->au_scheme) return false;
    char const* realm = msg_params_find(au->au_params, "realm=");
    if (!realm) return false;
    char cred[512];  // realm keeps its quotes
    int len = snprintf(cred, sizeof cred, "%s:%s:%s:%s", au->au_scheme, realm, p.opt.user.c_str(),
                       p.opt.password.c_str());
    if (len < 0 || size_t(len) >= sizeof cred) return false;
    nua_authenticate(nh, NUTAG_AUTH(cred), TAG_END());
    return true;
}

// Starts the orderly way out: unregister if needed, then shut the stack down.
void finish(Phone& p, int code) {
    if (p.closing) return;
    p.closing = true;
    p.exit_code = code;
    p.close_deadline = Clock::now() + std::chrono::seconds(3);
    if (p.registered) {
        nua_unregister(p.reg, TAG_END());
    } else {
        p.shutdown_sent = true;
        nua_shutdown(p.nua);
    }
}

long long micros(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::microseconds>(to - from).count();
}

void send_message(Phone& p) {
    size_t i = p.sent.size();
    Op* op = new Op;
    op->index = long(i);
    nua_handle_t* nh = nua_handle(p.nua, op, SIPTAG_TO_STR(p.opt.to.c_str()), TAG_END());
    const std::string& body = p.bodies[i < p.bodies.size() ? i : 0];
    auto now = Clock::now();
    if (i == 0) p.start = now;
    p.sent.push_back({now});
    nua_message(nh, SIPTAG_CONTENT_TYPE_STR("application/json"), SIPTAG_PAYLOAD_STR(body.c_str()),
                TAG_END());
    p.deadline = now + std::chrono::milliseconds(long(p.opt.timeout * 1000));
}

// Sends while fewer than --window commands are still missing their answer.
void pump(Phone& p) {
    while (!p.closing && p.sent.size() < p.opt.repeat && p.sent.size() - p.through < p.opt.window)
        send_message(p);
}

// The end of one round trip: the reply, or the 2xx when no reply is due.
void arrived(Phone& p, size_t i) {
    p.sent[i].replied = true;
    if (p.opt.measure) fprintf(stderr, "rtt_us %lld\n", micros(p.sent[i].at, Clock::now()));
}

// A command is through once its MESSAGE was accepted and its reply came;
// the last one ends the run, any other makes room for the next.
void settle(Phone& p, size_t i) {
    Sent& s = p.sent[i];
    if (s.through || !s.answered || !s.replied) return;
    s.through = true;
    if (++p.through == p.opt.repeat) {
        if (p.opt.measure) fprintf(stderr, "total_us %lld\n", micros(p.start, Clock::now()));
        finish(p, 0);
        return;
    }
    pump(p);
}

// One line per body: JSON does not need the line breaks.
std::string one_line(const char* data, size_t len) {
    std::string s(data, len < kMaxBody ? len : kMaxBody);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    for (char& c : s)
        if (c == '\n' || c == '\r') c = ' ';
    return s;
}

void echo_back(Phone& p, sip_t const* sip, const std::string& body) {
    char from[512];
    if (!sip->sip_from) return;
    issize_t len = url_e(from, sizeof from, sip->sip_from->a_url);
    if (len < 0 || size_t(len) >= sizeof from) return;
    const char* type = sip->sip_content_type && sip->sip_content_type->c_type
                           ? sip->sip_content_type->c_type
                           : "application/json";
    nua_handle_t* nh = nua_handle(p.nua, new Op, SIPTAG_TO_STR(from), TAG_END());
    nua_message(nh, SIPTAG_CONTENT_TYPE_STR(type), SIPTAG_PAYLOAD_STR(body.c_str()), TAG_END());
}

void on_incoming(Phone& p, nua_handle_t* nh, sip_t const* sip) {
    bool want = p.listen_mode || (p.wants_reply() && p.next_reply < p.sent.size());
    if (sip && sip->sip_payload && want) {
        std::string body = one_line(sip->sip_payload->pl_data, sip->sip_payload->pl_len);
        if (p.listen_mode || !p.opt.quiet) {
            printf("%s\n", body.c_str());
            fflush(stdout);
        }
        if (p.listen_mode && p.echo) echo_back(p, sip, body);
        if (!p.listen_mode) {
            size_t i = p.next_reply++;
            arrived(p, i);
            settle(p, i);
        }
    }
    nua_handle_destroy(nh);  // the stack has already answered 200
}

void on_event(nua_event_t event, int status, char const* phrase, nua_t*, Phone* pp,
              nua_handle_t* nh, Op* op, sip_t const* sip, tagi_t[]) {
    Phone& p = *pp;
    switch (event) {
        case nua_r_register:
            if (status < 200) return;
            if ((status == 401 || status == 407) && authenticate(p, nh, p.reg_op, sip)) return;
            if (status >= 300) {
                fprintf(stderr, "REGISTER: %d %s\n", status, phrase);
                if (!p.registered) finish(p, 1);
                return;
            }
            p.reg_op.auth_tries = 0;
            if (p.registered) return;  // a refresh
            p.registered = true;
            if (p.listen_mode)
                fprintf(stderr, "listening as sip:%s@%s\n", p.opt.user.c_str(),
                        p.opt.domain.c_str());
            else if (!p.closing)
                pump(p);
            return;
        case nua_r_unregister:
            if (status < 200) return;
            if ((status == 401 || status == 407) && authenticate(p, nh, p.reg_op, sip)) return;
            p.registered = false;
            if (!p.shutdown_sent) {
                p.shutdown_sent = true;
                nua_shutdown(p.nua);
            }
            return;
        case nua_r_message:
            if (status < 200 || !op) return;
            if ((status == 401 || status == 407) && authenticate(p, nh, *op, sip)) return;
            {
                long index = op->index;
                delete op;
                nua_handle_destroy(nh);
                if (index < 0) {  // an echo
                    if (status >= 300) fprintf(stderr, "echo MESSAGE: %d %s\n", status, phrase);
                    return;
                }
                if (status >= 300 || !p.opt.quiet)
                    fprintf(stderr, "MESSAGE: %d %s\n", status, phrase);
                if (p.closing) return;
                if (status >= 300) {
                    finish(p, 1);
                    return;
                }
                size_t i = size_t(index);
                p.sent[i].answered = true;
                if (!p.wants_reply()) arrived(p, i);
                settle(p, i);
            }
            return;
        case nua_i_message:
            on_incoming(p, nh, sip);
            return;
        case nua_r_shutdown:
            if (status >= 200) su_root_break(p.root);
            return;
        case nua_i_options:
            nua_handle_destroy(nh);  // answered by the stack
            return;
        default:
            return;
    }
}

// Signals, the reply deadline and a stuck unregister are all checked here.
void on_tick(Phone* pp, su_timer_t*, su_timer_arg_t*) {
    Phone& p = *pp;
    auto now = Clock::now();
    if (g_stop && !p.closing) {
        if (!p.listen_mode) fprintf(stderr, "hopperd-phone: interrupted\n");
        finish(p, p.listen_mode ? 0 : 1);
    }
    if (!p.closing && !p.listen_mode && now > p.deadline) {
        bool unanswered = false;
        for (const Sent& s : p.sent) unanswered = unanswered || !s.answered;
        fprintf(stderr, "hopperd-phone: %s within %g s\n",
                p.sent.empty() ? "no registration"
                : unanswered   ? "no answer to the MESSAGE"
                               : "no reply",
                p.opt.timeout);
        finish(p, p.sent.empty() ? 1 : 3);
    }
    if (p.closing && !p.shutdown_sent && now > p.close_deadline) {
        p.shutdown_sent = true;
        nua_shutdown(p.nua);
    }
    if (p.closing && now > p.close_deadline + std::chrono::seconds(5)) su_root_break(p.root);
}

// Options may come before or after the command; "--" ends them.
bool parse_args(int argc, char** argv, Options& o) {
    const char* env_to = getenv("HOPPERD_TO");
    if (env_to) o.to = env_to;
    bool opts = true;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (!opts || a.rfind("--", 0) != 0) {
            o.args.push_back(a);
            continue;
        }
        if (a == "--") {
            opts = false;
            continue;
        }
        if (a == "--help") {
            fputs(kUsage, stdout);
            exit(0);
        }
        if (a == "--no-wait" || a == "--quiet") {
            (a == "--quiet" ? o.quiet : o.no_wait) = true;
            continue;
        }
        std::string* dst = a == "--proxy"        ? &o.proxy
                           : a == "--direct"     ? &o.direct
                           : a == "--user"       ? &o.user
                           : a == "--domain"     ? &o.domain
                           : a == "--password"   ? &o.password
                           : a == "--listen"     ? &o.listen
                           : a == "--to"         ? &o.to
                           : a == "--product-id" ? &o.product_id
                                                 : nullptr;
        bool count = a == "--repeat" || a == "--window";
        if ((!dst && !count && a != "--timeout") || i + 1 >= argc) {
            fprintf(stderr, "hopperd-phone: bad option %s\n", a.c_str());
            return false;
        }
        std::string v = argv[++i];
        if (dst) {
            *dst = v;
            continue;
        }
        char* end = nullptr;
        if (count) {
            long n = strtol(v.c_str(), &end, 10);
            if (*end || n < 1 || n > 1000000) {
                fprintf(stderr, "hopperd-phone: bad %s %s\n", a.c_str(), v.c_str());
                return false;
            }
            (a == "--repeat" ? o.repeat : o.window) = size_t(n);
            o.measure = true;
            continue;
        }
        o.timeout = strtod(v.c_str(), &end);
        if (*end || !(o.timeout > 0) || o.timeout > 86400) {
            fprintf(stderr, "hopperd-phone: bad --timeout %s\n", v.c_str());
            return false;
        }
    }
    return !o.args.empty();
}

}  // namespace

int main(int argc, char** argv) {
    Phone p;
    if (!parse_args(argc, argv, p.opt)) {
        fputs(kUsage, stderr);
        return 2;
    }
    Options& o = p.opt;
    p.listen_mode = o.args[0] == "listen" && o.args.size() == 1;
    const char* echo = getenv("HOPPERD_PHONE_ECHO");
    p.echo = echo && strcmp(echo, "1") == 0;
    if (!p.listen_mode && !build_body(p, o.args)) {
        fputs(kUsage, stderr);
        return 2;
    }
    p.bodies.push_back(p.body);
    // Appends of one uuid would only update one entry again and again.
    if (!p.listen_mode && o.args[0] == "sched-append") {
        for (size_t i = 1; i < o.repeat; i++) {
            std::vector<std::string> a = o.args;
            a[1] += "-" + std::to_string(i);
            if (!build_body(p, a)) return 2;
            p.bodies.push_back(p.body);
        }
    }
    for (const std::string& b : p.bodies) {
        if (b.size() > kMaxBody) {
            fprintf(stderr, "hopperd-phone: body too large\n");
            return 2;
        }
    }
    if (is_sipid(o.to)) o.to = "sip:" + o.to + "@" + o.domain;
    if (o.to.empty() && !o.direct.empty()) o.to = o.direct;
    if (!p.listen_mode && o.to.empty()) {
        fprintf(stderr, "hopperd-phone: no device: give --to or set HOPPERD_TO\n");
        return 2;
    }
    if (!o.to.empty() && o.to.rfind("sip:", 0) != 0 && o.to.rfind("sips:", 0) != 0)
        o.to = "sip:" + o.to;
    const bool direct = !o.direct.empty();
    // Without a registrar the device can only answer to where we are.
    std::string from = direct ? "sip:" + o.user + "@" + o.listen : "sip:" + o.user + "@" + o.domain;
    std::string bind = "sip:" + o.listen + ";transport=udp";

    g_debug = getenv("HOPPERD_PHONE_DEBUG") != nullptr;
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    su_init();
    su_log_redirect(su_log_default, sofia_log, nullptr);
    if (g_debug) su_log_set_level(su_log_default, 9);
    p.root = su_root_create(&p);
    if (p.root)
        p.nua = nua_create(p.root, on_event, &p, NUTAG_URL(bind.c_str()),
                           SIPTAG_FROM_STR(from.c_str()), NUTAG_M_USERNAME(o.user.c_str()),
                           // a direct listener answers each sender at its own address
                           TAG_IF(!(direct && p.listen_mode),
                                  NUTAG_PROXY(direct ? o.direct.c_str() : o.proxy.c_str())),
                           // a short-lived client: no keep-alive probing
                           NUTAG_OUTBOUND("no-validate no-options-keepalive"), TAG_END());
    if (!p.nua) {
        fprintf(stderr, "hopperd-phone: cannot listen on %s: %s\n", o.listen.c_str(),
                g_bind_error.empty() ? "SIP stack failed to start" : g_bind_error.c_str());
        if (p.root) su_root_destroy(p.root);
        su_deinit();
        return 1;
    }
    p.deadline = Clock::now() + std::chrono::milliseconds(long(o.timeout * 1000));
    su_timer_t* tick = su_timer_create(su_root_task(p.root), 100);
    su_timer_run(tick, on_tick, nullptr);

    if (direct) {
        if (p.listen_mode)
            fprintf(stderr, "listening as %s\n", from.c_str());
        else
            pump(p);
    } else {
        std::string aor = "sip:" + o.user + "@" + o.domain;
        std::string registrar = "sip:" + o.domain;
        p.reg = nua_handle(p.nua, &p.reg_op, SIPTAG_TO_STR(aor.c_str()),
                           SIPTAG_FROM_STR(aor.c_str()), TAG_END());
        nua_register(p.reg, NUTAG_REGISTRAR(registrar.c_str()), TAG_END());
    }

    su_root_run(p.root);

    su_timer_destroy(tick);
    nua_destroy(p.nua);
    su_root_destroy(p.root);
    su_deinit();
    return p.exit_code;
}
