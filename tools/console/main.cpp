// hopperd-console: the simulated feeder in a browser. A small local web
// server that serves one page and bridges it to what runs on the desk: the
// simulator's control socket, the owner's phone (hopperd-phone through the
// local SIP service), the cloud service's record and the device log.
// Run without arguments for usage.
#include <httplib.h>
#include <jansson.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "include/owned.h"
#include "tools/console/bridge.h"
#include "tools/console/input.h"

namespace {

const char kUsage[] =
    "usage: hopperd-console --control SOCKET --root DIR --record FILE --log FILE [options]\n"
    "  --control SOCKET  hopperd-sim's control socket\n"
    "  --root DIR        the device's root (its identity file names the SIP account)\n"
    "  --record FILE     hopperd-cloud's record (its --record)\n"
    "  --log FILE        the device's output\n"
    "  --addr A          loopback address to serve on (default 127.0.0.1)\n"
    "  --port N          port to serve on (default 8800)\n"
    "  --sip A           the local SIP service's address (port 5080); the phone takes\n"
    "                    port 5070 there (default: --addr)\n"
    "  --phone PATH      the phone client (default: hopperd-phone beside this program)\n"
    "  --web DIR         the page's files (default: the source tree's tools/console/web)\n"
    "  --chart-js DIR    Chart.js (default /usr/share/javascript/chart.js)\n";

struct Options {
    std::string control, root, record, log, addr = "127.0.0.1", sip, phone;
    std::string web = HOPPERD_CONSOLE_WEB, chart_js = "/usr/share/javascript/chart.js";
    int port = 8800;
};

constexpr int kPhoneWaitS = 20;     // the phone's own wait for a reply
constexpr int kRawWaitMs = 130000;  // a feed request by hand waits for the whole feeding
constexpr size_t kOwnerItems = 100;
constexpr size_t kMaxLogLines = 200;
// One slice of the simulator's log op: the latest events come in one reply.
constexpr json_int_t kRecentEvents = 500;  // about 45 KiB of the world's log: one reply

std::string dumped(json_t* j) {
    CharPtr s(json_dumps(j, JSON_COMPACT));
    return s ? s.get() : "{}";
}

void send_json(httplib::Response& res, int status, json_t* j) {
    JsonPtr owned(j);
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(dumped(j), "application/json");
}

void fail(httplib::Response& res, int status, const std::string& why) {
    send_json(res, status, json_pack("{s:b,s:s}", "ok", 0, "error", why.c_str()));
}

// Refused input: the page shows the reason; nothing went to the device.
void refuse(httplib::Response& res, const std::string& why) {
    send_json(res, 400, json_pack("{s:b,s:b,s:s}", "ok", 0, "refused", 1, "error", why.c_str()));
}

long param(const httplib::Request& req, const char* key, long fallback) {
    if (!req.has_param(key)) return fallback;
    std::string v = req.get_param_value(key);
    char* end = nullptr;
    long n = strtol(v.c_str(), &end, 10);
    return end && *end == '\0' && !v.empty() ? n : fallback;
}

class Console {
  public:
    explicit Console(Options o) : opt_(std::move(o)), link_(opt_.control) {}
    void routes(httplib::Server& s);

  private:
    json_t* control(console::ControlLink& link, const std::string& line, std::string* why,
                    int timeout_ms = 10000);
    void state(httplib::Response& res);
    void events(const httplib::Request& req, httplib::Response& res);
    void phone(const std::vector<std::string>& args, httplib::Response& res);
    void world(const std::string& line, httplib::Response& res, console::ControlLink& link,
               int timeout_ms = 10000);

    Options opt_;
    console::ControlLink link_;  // the page's polls and the world's buttons
    std::mutex phone_mu_;        // one phone at a time: it has one SIP port
};

json_t* Console::control(console::ControlLink& link, const std::string& line, std::string* why,
                         int timeout_ms) {
    std::string reply;
    *why = link.request(line, &reply, timeout_ms);
    if (!why->empty()) return nullptr;
    json_error_t err;
    json_t* j = json_loads(reply.c_str(), 0, &err);
    if (!json_is_object(j)) {
        json_decref(j);
        *why = "the device's answer is not JSON";
        return nullptr;
    }
    return j;
}

// The world's state with the virtual clock as the device reads it.
void Console::state(httplib::Response& res) {
    std::string why;
    json_t* s = control(link_, "{\"op\":\"state\"}", &why);
    if (!s) return fail(res, 503, why);
    time_t t = time_t(json_integer_value(json_object_get(s, "time")));
    struct tm tm;
    char text[40];
    localtime_r(&t, &tm);
    strftime(text, sizeof text, "%a %Y-%m-%d %H:%M:%S", &tm);
    json_object_set_new(s, "clock", json_string(text));
    json_object_set_new(s, "utc_offset_s", json_integer(tm.tm_gmtoff));
    send_json(res, 200, s);
}

// What comes by the hundred: frames, pin changes, the heartbeat LED (drawn
// live), keep-alives and the supervisor's look for the updater. The list on
// the page is for what a person follows.
bool routine(json_t* event) {
    static const char* const kKinds[] = {"mcu_rx", "mcu_tx", "gpio", "dev", "resolve", "led"};
    const char* kind = json_string_value(json_object_get(event, "kind"));
    const char* text = json_string_value(json_object_get(event, "text"));
    if (!kind || !text) return true;
    for (const char* k : kKinds)
        if (strcmp(kind, k) == 0) return true;
    return (strcmp(kind, "watchdog") == 0 && strcmp(text, "keepalive") == 0) ||
           (strcmp(kind, "shell") == 0 && strncmp(text, "ps ", 3) == 0);
}

// The world's latest events: never more than the last few hundred, so a
// page that has been away does not pull the whole log.
void Console::events(const httplib::Request& req, httplib::Response& res) {
    std::string why;
    JsonPtr head(control(link_, "{\"op\":\"log\",\"since\":9007199254740992}", &why));
    if (!head) return fail(res, 503, why);
    json_int_t next = json_integer_value(json_object_get(head.get(), "next"));
    json_int_t since = std::max<json_int_t>(param(req, "since", 0), next - kRecentEvents);
    JsonPtr line(json_pack("{s:s,s:I}", "op", "log", "since", std::max<json_int_t>(since, 0)));
    json_t* evs = control(link_, dumped(line.get()), &why);
    if (!evs) return fail(res, 503, why);
    json_t* list = json_object_get(evs, "events");
    for (size_t i = json_array_size(list); i-- > 0;)
        if (routine(json_array_get(list, i))) json_array_remove(list, i);
    send_json(res, 200, evs);
}

void Console::world(const std::string& line, httplib::Response& res, console::ControlLink& link,
                    int timeout_ms) {
    std::string why;
    json_t* r = control(link, line, &why, timeout_ms);
    if (!r) return fail(res, 503, why);
    json_object_set_new(r, "request", json_string(line.c_str()));
    send_json(res, json_is_true(json_object_get(r, "ok")) ? 200 : 422, r);
}

// Runs the phone with one command; answers with what the phone got: the
// MESSAGE's status and the device's reply, if one came.
void Console::phone(const std::vector<std::string>& args, httplib::Response& res) {
    std::string sipid = console::read_sipid(opt_.root + "/etc/feeder.conf");
    if (sipid.empty()) return fail(res, 503, "the device has no SIP account yet (still starting?)");
    std::vector<std::string> argv = {opt_.phone, "--proxy",          "sip:" + opt_.sip + ":5080",
                                     "--listen", opt_.sip + ":5070", "--to",
                                     sipid,      "--timeout",        std::to_string(kPhoneWaitS),
                                     "--"};
    argv.insert(argv.end(), args.begin(), args.end());
    console::RunResult r;
    bool started;
    {
        std::lock_guard<std::mutex> hold(phone_mu_);
        started = console::run_program(argv, (kPhoneWaitS + 10) * 1000, &r);
    }
    if (!started) return fail(res, 500, "cannot start " + opt_.phone);
    json_t* status = json_array();
    json_t* reply = json_null();
    for (const std::string* text : {&r.err, &r.out}) {
        for (size_t pos = 0; pos < text->size();) {
            size_t nl = std::min(text->find('\n', pos), text->size());
            std::string line = text->substr(pos, nl - pos);
            pos = nl + 1;
            json_error_t err;
            json_t* j = text == &r.out ? json_loads(line.c_str(), 0, &err) : nullptr;
            if (json_is_object(j) && json_is_null(reply)) {
                reply = j;
            } else {
                json_decref(j);
                if (!line.empty()) json_array_append_new(status, json_string(line.c_str()));
            }
        }
    }
    json_t* cmd = json_array();
    for (const std::string& a : args) json_array_append_new(cmd, json_string(a.c_str()));
    send_json(res, 200,
              json_pack("{s:b,s:i,s:o,s:o,s:o}", "ok", r.status == 0, "exit", r.status, "command",
                        cmd, "status", status, "reply", reply));
}

void Console::routes(httplib::Server& s) {
    // The console drives a device, so only its own page may. Another site open
    // in the same browser can post a form or plain text here, but not JSON
    // (that takes a preflight this server never answers), and a name rebound
    // to this address arrives with the wrong Host.
    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        std::string port = ":" + std::to_string(opt_.port);
        std::string host = req.get_header_value("Host");
        if (host != opt_.addr + port && host != "localhost" + port) {
            fail(res, 403, "not this console's address");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.method == "POST" &&
            req.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
            fail(res, 415, "requests are JSON (Content-Type: application/json)");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    s.Get("/api/state", [this](const httplib::Request&, httplib::Response& res) { state(res); });
    s.Get("/api/history", [this](const httplib::Request&, httplib::Response& res) {
        std::string why;
        json_t* h = control(link_, "{\"op\":\"history\"}", &why);
        if (!h) return fail(res, 503, why);
        send_json(res, 200, h);
    });
    s.Get("/api/events",
          [this](const httplib::Request& req, httplib::Response& res) { events(req, res); });
    s.Get("/api/owner", [this](const httplib::Request& req, httplib::Response& res) {
        long next;
        json_t* items =
            console::read_owner_feed(opt_.record, param(req, "since", 0), kOwnerItems, &next);
        send_json(res, 200,
                  json_pack("{s:b,s:I,s:o}", "ok", 1, "next", json_int_t(next), "items", items));
    });
    s.Get("/api/log", [this](const httplib::Request& req, httplib::Response& res) {
        size_t n = size_t(std::clamp<long>(param(req, "lines", 40), 1, long(kMaxLogLines)));
        send_json(res, 200,
                  json_pack("{s:b,s:o}", "ok", 1, "lines", console::tail_lines(opt_.log, n)));
    });
    s.Get("/api/schedule",
          [this](const httplib::Request&, httplib::Response& res) { phone({"sched-enum"}, res); });

    // Everything the page sends is one JSON object; the checks in input.cpp
    // decide whether it goes on.
    auto post = [&s](const char* path, auto make) {
        s.Post(path, [make](const httplib::Request& req, httplib::Response& res) {
            json_error_t err;
            JsonPtr body(json_loadb(req.body.data(), req.body.size(), 0, &err));
            if (!json_is_object(body.get())) return refuse(res, "the request is not a JSON object");
            make(body.get(), res);
        });
    };
    auto phone_cmd = [this](auto check) {
        return [this, check](json_t* body, httplib::Response& res) {
            std::vector<std::string> args;
            std::string why = check(body, &args);
            if (!why.empty()) return refuse(res, why);
            phone(args, res);
        };
    };
    post("/api/feed", phone_cmd(console::feed_args));
    post("/api/schedule/append", phone_cmd([](json_t* b, std::vector<std::string>* a) {
             return console::entry_args(b, "sched-append", a);
         }));
    post("/api/schedule/modify", phone_cmd([](json_t* b, std::vector<std::string>* a) {
             return console::entry_args(b, "sched-modify", a);
         }));
    post("/api/schedule/delete", phone_cmd(console::delete_args));
    post("/api/world", [this](json_t* body, httplib::Response& res) {
        std::string line;
        std::string why = console::world_line(body, &line);
        if (!why.empty()) return refuse(res, why);
        world(line, res, link_);
    });
    // A request typed by hand may be a feeding that lasts a minute: it goes
    // on a connection of its own so the page's polls go on meanwhile.
    s.Post("/api/control", [this](const httplib::Request& req, httplib::Response& res) {
        std::string line;
        std::string why = console::control_line(req.body, &line);
        if (!why.empty()) return refuse(res, why);
        console::ControlLink own(opt_.control);
        world(line, res, own, kRawWaitMs);
    });
}

bool parse(int argc, char** argv, Options* o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        std::string* dst = k == "--control"    ? &o->control
                           : k == "--root"     ? &o->root
                           : k == "--record"   ? &o->record
                           : k == "--log"      ? &o->log
                           : k == "--addr"     ? &o->addr
                           : k == "--sip"      ? &o->sip
                           : k == "--phone"    ? &o->phone
                           : k == "--web"      ? &o->web
                           : k == "--chart-js" ? &o->chart_js
                                               : nullptr;
        if (dst) {
            *dst = v;
        } else if (k == "--port") {
            char* end = nullptr;
            long p = strtol(v.c_str(), &end, 10);
            if (*end || p < 1 || p > 65535) return false;
            o->port = int(p);
        } else {
            return false;
        }
    }
    if (argc % 2 == 0) return false;
    // The console drives the device: it is for this machine only.
    if (o->addr.rfind("127.", 0) != 0) return false;
    if (o->sip.empty()) o->sip = o->addr;
    if (o->phone.empty()) {
        char self[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        std::string dir = n > 0 ? std::string(self, size_t(n)) : std::string(argv[0]);
        o->phone = dir.substr(0, dir.rfind('/') + 1) + "hopperd-phone";
    }
    return !o->control.empty() && !o->root.empty() && !o->record.empty() && !o->log.empty();
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parse(argc, argv, &opt)) {
        fputs(kUsage, stderr);
        return 2;
    }
    // The simulated board keeps its clock in the device's zone; the page
    // shows the clock as the device reads it.
    setenv("TZ", ":Asia/Seoul", 1);
    tzset();
    // Signals are taken by one thread; the server's threads never see them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    httplib::Server server;
    if (!server.set_mount_point("/", opt.web)) {
        fprintf(stderr, "hopperd-console: no page files in %s\n", opt.web.c_str());
        return 1;
    }
    if (!server.set_mount_point("/chart.js", opt.chart_js)) {
        fprintf(stderr, "hopperd-console: no Chart.js in %s (apt-get install libjs-chart.js)\n",
                opt.chart_js.c_str());
        return 1;
    }
    Console console(opt);
    console.routes(server);
    if (!server.bind_to_port(opt.addr, opt.port)) {
        fprintf(stderr, "hopperd-console: cannot listen on %s:%d\n", opt.addr.c_str(), opt.port);
        return 1;
    }
    std::thread stopper([&server, &stop_signals] {
        int sig;
        sigwait(&stop_signals, &sig);
        server.stop();
    });
    printf("console on http://%s:%d/\n", opt.addr.c_str(), opt.port);
    fflush(stdout);
    bool ok = server.listen_after_bind();
    if (!ok) kill(getpid(), SIGTERM);  // let the stopper go
    stopper.join();
    return ok ? 0 : 1;
}
