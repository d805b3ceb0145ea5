#include "sim/control.h"

#include <fcntl.h>
#include <jansson.h>
#include <malloc.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <list>
#include <memory>
#include <thread>
#include <vector>

#include "include/feed_cmd.h"
#include "include/owned.h"
#include "include/thread_name.h"
#include "sim/fd.h"
#include "sim/world.h"

namespace sim {

namespace {

using Json = JsonPtr;

std::string dump(json_t* j) {
    CharPtr s(json_dumps(j, JSON_COMPACT));
    return s ? s.get() : "{}";
}

std::string error(const char* text) {
    Json r(json_pack("{s:b,s:s}", "ok", 0, "error", text));
    return dump(r.get());
}

std::string ok() {
    return "{\"ok\":true}";
}

// The clock's pace: its speed, the warp, its ceiling and what it has skipped.
json_t* pace_state(World& w) {
    VirtualClock& c = w.clock();
    return json_pack("{s:f,s:b,s:f,s:I}", "speed", c.speed(), "warp", c.warp(), "max_speed",
                     c.max_speed(), "jumped_s", (json_int_t)(c.jumped_us() / 1000000));
}

// {"op":"pace","warp":false} stops the jumps, "max_speed" bounds them (0: no
// bound), "speed" sets the virtual seconds per real second from now on.
std::string set_pace(World& w, json_t* req) {
    json_t* warp = json_object_get(req, "warp");
    json_t* max = json_object_get(req, "max_speed");
    json_t* speed = json_object_get(req, "speed");
    if (warp && !json_is_boolean(warp)) return error("pace needs boolean \"warp\"");
    if (max && (!json_is_number(max) || json_number_value(max) < 0))
        return error("pace needs \"max_speed\" >= 0");
    if (speed && (!json_is_number(speed) || json_number_value(speed) <= 0))
        return error("pace needs \"speed\" > 0");
    if (w.clock().manual()) return error("the clock is manual");
    if (speed) w.clock().set_speed(json_number_value(speed));
    if (max) w.clock().set_max_speed(json_number_value(max));
    if (warp) w.clock().set_warp(json_is_true(warp));
    if (warp || max || speed) {
        std::string text = "pace speed " + std::to_string(w.clock().speed()) + " warp " +
                           (w.clock().warp() ? "on" : "off") + " max_speed " +
                           std::to_string(w.clock().max_speed());
        std::lock_guard<std::mutex> hold(w.mu());
        w.log("control", text);
    }
    Json r(json_pack("{s:b,s:o}", "ok", 1, "clock", pace_state(w)));
    return dump(r.get());
}

// The clock's own lock is never taken under the world's: a sleeper that
// holds it while the machine does not run it would hold up every user of the
// world, and the MCU model behind them.
json_t* state(World& w) {
    json_t* clock = pace_state(w);
    std::lock_guard<std::mutex> hold(w.mu());
    w.update();
    Physics& p = w.phys;
    json_t* s = json_pack(
        "{s:b,s:I,s:s,s:b,s:f,s:f,s:f,s:i,s:{s:i,s:i},s:b,s:b,s:{s:b,s:b,s:I,s:b},s:i,s:i}", "ok",
        1, "time", (json_int_t)(w.clock().now_us() / 1000000), "bowl", bowl_pos_name(p.bowl),
        "bowl_present", p.bowl_present, "grams", p.food_grams, "hopper", p.hopper_grams,
        "pet_eaten", p.pet_eaten, "sensor", int(w.sensor_bits()), "leds", "3", p.led3, "4", p.led4,
        "updater", !w.shell.updater_pids.empty(), "reboot", w.shell.reboot_requested, "watchdog",
        "open", w.wdt.open, "armed", w.wdt.armed, "keepalives", (json_int_t)w.wdt.keepalives,
        "bitten", w.wdt.bitten, "motor_pending", p.motor_pending, "adc_frames", int(w.adc.frames));
    // What a picture of the device needs besides: the food-low line, the
    // link, and how long ago the watchdog was fed (virtual seconds, -1 never).
    json_object_set_new(s, "food_low_below", json_real(p.food_low_below));
    json_object_set_new(s, "network_up", json_boolean(w.shell.network_up));
    json_object_set_new(s, "updaters", json_integer(json_int_t(w.shell.updater_pids.size())));
    int64_t age = w.wdt.keepalives ? (w.clock().monotonic_us() - w.wdt.last_kick_us) / 1000000 : -1;
    json_object_set_new(json_object_get(s, "watchdog"), "keepalive_age_s", json_integer(age));
    json_object_set_new(s, "clock", clock);
    return s;
}

// The sampled grams and hopper, oldest first, each as [wall s, grams, hopper];
// six digits are more than a scale tells.
std::string history(World& w) {
    std::lock_guard<std::mutex> hold(w.mu());
    int64_t wall_minus_mono = (w.clock().now_us() - w.clock().monotonic_us()) / 1000000;
    json_t* list = json_array();
    for (const Sample& x : w.history.samples())
        json_array_append_new(list, json_pack("[I,f,f]", (json_int_t)(x.mono_s + wall_minus_mono),
                                              double(x.grams), double(x.hopper)));
    Json r(json_pack("{s:b,s:I,s:o}", "ok", 1, "every_s", (json_int_t)History::kEveryS, "samples",
                     list));
    CharPtr text(json_dumps(r.get(), JSON_COMPACT | JSON_REAL_PRECISION(6)));
    return text ? text.get() : "{}";
}

// A reply is built whole in memory before it is sent: a reader that fell
// behind the record gets it in slices, each taking up from "next", so a
// slow poll does not cost the simulator megabytes at once. A slice of 2000
// events took 1.5 MB of the control thread's arena, which stayed with the
// process, fragmented, and showed as a step in its memory.
const size_t kEventsPerReply = 500;

json_t* events(World& w, uint64_t since, const char* kind) {
    std::vector<Event> evs;
    uint64_t next = w.events_since(since, &evs, kEventsPerReply, kind);
    json_t* list = json_array();
    for (const Event& e : evs) {
        json_array_append_new(list, json_pack("{s:I,s:I,s:s,s:s}", "seq", (json_int_t)e.seq, "t",
                                              (json_int_t)(e.t_us / 1000000), "kind",
                                              e.kind.c_str(), "text", e.text.c_str()));
    }
    return json_pack("{s:b,s:I,s:o}", "ok", 1, "next", (json_int_t)next, "events", list);
}

const struct {
    const char* name;
    McuFault fault;
} kMcuFaults[] = {{"none", McuFault::None},
                  {"silent", McuFault::Silent},
                  {"late", McuFault::Late},
                  {"short", McuFault::Short},
                  {"bad_checksum", McuFault::BadChecksum},
                  {"noise", McuFault::Noise},
                  {"oversize", McuFault::Oversize},
                  {"lost", McuFault::Lost}};
const struct {
    const char* name;
    AdcFault fault;
} kAdcFaults[] = {{"none", AdcFault::None},
                  {"markerless", AdcFault::Markerless},
                  {"noise", AdcFault::Noise},
                  {"never_ready", AdcFault::NeverReady}};

std::string set_fault(World& w, json_t* req) {
    const char* target = json_string_value(json_object_get(req, "target"));
    const char* kind = json_string_value(json_object_get(req, "kind"));
    json_t* count = json_object_get(req, "count");
    int n = json_is_integer(count) ? int(json_integer_value(count)) : -1;
    if (!target || !kind) return error("fault needs \"target\" and \"kind\"");
    std::lock_guard<std::mutex> hold(w.mu());
    if (strcmp(target, "mcu") == 0) {
        for (const auto& f : kMcuFaults) {
            if (strcmp(kind, f.name) != 0) continue;
            w.mcu.fault = f.fault;
            w.mcu.fault_count = n;
            json_t* delay = json_object_get(req, "delay_ms");
            if (json_is_integer(delay)) w.mcu.late_ms = int(json_integer_value(delay));
            w.log("control", std::string("mcu fault ") + kind);
            return ok();
        }
    } else if (strcmp(target, "ldcell") == 0) {
        for (const auto& f : kAdcFaults) {
            if (strcmp(kind, f.name) != 0) continue;
            w.adc.fault = f.fault;
            w.adc.fault_count = n;
            w.log("control", std::string("ldcell fault ") + kind);
            return ok();
        }
    } else {
        return error("unknown fault target");
    }
    return error("unknown fault kind");
}

// {"op":"hang","target":T}: the player's clips never end ("play"), ntpdate
// never answers ("ntpdate"), or the updater takes update requests and never
// answers ("updater"); "none" ends every hang, a program hanging now ending
// as if it had finished. "unkillable": true, with "play" or "ntpdate": the
// hung program also outlives the kill at its limit.
std::string set_hang(World& w, json_t* req) {
    const char* target = json_string_value(json_object_get(req, "target"));
    json_t* unkillable = json_object_get(req, "unkillable");
    if (unkillable && !json_is_boolean(unkillable))
        return error("hang needs boolean \"unkillable\"");
    const struct {
        const char* name;
        bool ShellState::*flag;
    } targets[] = {{"play", &ShellState::hang_play},
                   {"ntpdate", &ShellState::hang_ntpdate},
                   {"updater", &ShellState::hang_updater}};
    std::lock_guard<std::mutex> hold(w.mu());
    if (target && strcmp(target, "none") == 0) {
        for (const auto& t : targets) w.shell.*t.flag = false;
        w.shell.unkillable = false;
        w.log("control", "hang none");
        return ok();
    }
    for (const auto& t : targets) {
        if (!target || strcmp(target, t.name) != 0) continue;
        w.shell.*t.flag = true;
        if (unkillable) w.shell.unkillable = json_is_true(unkillable);
        w.log("control", std::string("hang ") + target);
        return ok();
    }
    return error("hang needs \"target\": \"play\", \"ntpdate\", \"updater\" or \"none\"");
}

struct ExtraOp {
    const char* name;
    ControlOp handler;
};
std::vector<ExtraOp> g_extra_ops;

// Sets the virtual wall clock: "at" is a local "YYYY-MM-DD HH:MM:SS", "time"
// a local "HH:MM:SS" of today.
std::string set_clock(World& w, json_t* req) {
    const char* at = json_string_value(json_object_get(req, "at"));
    const char* tod = json_string_value(json_object_get(req, "time"));
    time_t now = time_t(w.clock().now_us() / 1000000);
    struct tm tm;
    localtime_r(&now, &tm);
    const char* end = nullptr;
    if (at) {
        end = strptime(at, "%Y-%m-%d %H:%M:%S", &tm);
    } else if (tod) {
        end = strptime(tod, "%H:%M:%S", &tm);
    }
    if (!end || *end)
        return error("clock needs \"at\" (YYYY-MM-DD HH:MM:SS) or \"time\" (HH:MM:SS)");
    tm.tm_isdst = -1;
    time_t t = mktime(&tm);
    w.clock().set_time(int64_t(t) * 1000000);
    std::lock_guard<std::mutex> hold(w.mu());
    w.log("clock", std::string("set to ") + (at ? at : tod));
    return ok();
}

// Physical settings of the world, each optional in one request.
std::string set_world(World& w, json_t* req) {
    struct Number {
        const char* key;
        double* field;
        double min;
    };
    std::lock_guard<std::mutex> hold(w.mu());
    w.update();
    Physics& p = w.phys;
    const Number numbers[] = {
        {"hopper", &p.hopper_grams, 0},         {"food_low_below", &p.food_low_below, 0},
        {"portion_grams", &p.portion_grams, 0}, {"portion_noise", &p.portion_noise, 0},
        {"portion_s", &p.portion_s, 0.01},      {"travel_s", &p.travel_s, 0},
        {"pet_appetite", &p.pet_appetite, 0},   {"pet_pace", &p.pet_pace_gps, 0},
        {"clip_s", &w.shell.clip_s, 0},
    };
    const struct {
        const char* key;
        bool* field;
    } flags[] = {{"bowl_sticks", &p.bowl_sticks},
                 {"network_up", &w.shell.network_up},
                 {"date_fails", &w.shell.date_fails},
                 {"download_fails", &w.shell.download_fails}};
    const char* key;
    json_t* value;
    json_object_foreach(req, key, value) {
        if (strcmp(key, "op") == 0) continue;
        bool known = false;
        if (strcmp(key, "next_pid") == 0) {  // the PID the next process takes
            if (!json_is_integer(value) || json_integer_value(value) < 1 ||
                json_integer_value(value) >= w.shell.pid_max)
                return error("next_pid needs an integer from 1 to below pid_max");
            w.shell.next_pid = int(json_integer_value(value));
            known = true;
        }
        for (const Number& n : numbers) {
            if (strcmp(key, n.key) != 0) continue;
            if (!json_is_number(value) || json_number_value(value) < n.min)
                return error("bad number in set");
            *n.field = json_number_value(value);
            known = true;
        }
        for (const auto& f : flags) {
            if (strcmp(key, f.key) != 0) continue;
            if (!json_is_boolean(value)) return error("bad flag in set");
            *f.field = json_is_true(value);
            known = true;
        }
        if (!known) return error("unknown key in set");
        w.log("control", std::string("set ") + key);
    }
    if (json_object_get(req, "pet_appetite")) p.pet_eaten = 0;
    return ok();
}

// Sends a feeding request to the daemon's manual feeding service as the
// phone side does, and waits for its one reply.
std::string send_feed(World& w, json_t* req) {
    json_t* amount = json_object_get(req, "amount");
    json_t* melody = json_object_get(req, "melody");
    json_t* cmd = json_object_get(req, "cmd");
    json_t* wait_s = json_object_get(req, "timeout_s");
    if (!json_is_integer(amount)) return error("feed needs integer \"amount\"");
    FeedCmd fc;
    memset(&fc, 0, sizeof fc);
    fc.cmd = json_is_integer(cmd) ? int32_t(json_integer_value(cmd)) : __FEED_REQ;
    fc.feed_amount = int32_t(json_integer_value(amount));
    if (json_is_string(melody))
        snprintf(fc.melody, sizeof fc.melody, "%s", json_string_value(melody));

    std::string mine = w.path("/tmp/simctl-feed.sock");
    std::string server = w.path("/tmp/server.sock");
    struct sockaddr_un a, b;
    memset(&a, 0, sizeof a);
    memset(&b, 0, sizeof b);
    a.sun_family = b.sun_family = AF_UNIX;
    if (mine.size() >= sizeof a.sun_path || server.size() >= sizeof b.sun_path)
        return error("socket path too long");
    memcpy(a.sun_path, mine.c_str(), mine.size());
    memcpy(b.sun_path, server.c_str(), server.size());
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    unlink(mine.c_str());
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
        if (fd >= 0) close(fd);
        return error("cannot bind the feed socket");
    }
    {
        std::lock_guard<std::mutex> hold(w.mu());
        w.log("feed_req",
              std::to_string(fc.cmd) + " " + std::to_string(fc.feed_amount) + " " + fc.melody);
    }
    if (sendto(fd, &fc, sizeof fc, 0, reinterpret_cast<sockaddr*>(&b), sizeof b) < 0) {
        close(fd);
        unlink(mine.c_str());
        return error("the feeding service is not there");
    }
    int timeout_ms = json_is_integer(wait_s) ? int(json_integer_value(wait_s) * 1000) : 120000;
    struct pollfd p = {fd, POLLIN, 0};
    FeedCmd reply;
    memset(&reply, 0, sizeof reply);
    bool got = poll(&p, 1, timeout_ms) > 0 && recv(fd, &reply, sizeof reply, 0) > 0;
    close(fd);
    unlink(mine.c_str());
    if (!got) return error("no reply");
    std::lock_guard<std::mutex> hold(w.mu());
    w.log("feed_reply", std::to_string(reply.cmd));
    Json r(json_pack("{s:b,s:i}", "ok", 1, "reply", int(reply.cmd)));
    return dump(r.get());
}

}  // namespace

void control_add_op(const char* op, ControlOp handler) {
    g_extra_ops.push_back({op, handler});
}

std::string control_handle(World& w, const std::string& line) {
    json_error_t jerr;
    Json req(json_loadb(line.data(), line.size(), 0, &jerr));
    if (!req || !json_is_object(req.get())) return error("not a JSON object");
    const char* op = json_string_value(json_object_get(req.get(), "op"));
    if (!op) return error("missing \"op\"");
    json_t* r = req.get();

    if (strcmp(op, "state") == 0) return dump(Json(state(w)).get());
    if (strcmp(op, "history") == 0) return history(w);
    if (strcmp(op, "log") == 0) {
        json_t* since = json_object_get(r, "since");
        const char* kind = json_string_value(json_object_get(r, "kind"));
        return dump(
            Json(events(w, json_is_integer(since) ? json_integer_value(since) : 0, kind)).get());
    }
    // The allocator gives back the pages it holds free, in every thread's
    // arena: a memory figure taken after a burst of replies then says what is
    // in use, not how far behind a reader was.
    if (strcmp(op, "trim") == 0)
        return dump(Json(json_pack("{s:b,s:b}", "ok", 1, "released", malloc_trim(0) != 0)).get());
    if (strcmp(op, "bowl") == 0) {
        json_t* present = json_object_get(r, "present");
        if (!json_is_boolean(present)) return error("bowl needs boolean \"present\"");
        std::lock_guard<std::mutex> hold(w.mu());
        w.update();
        w.phys.bowl_present = json_is_true(present);
        w.log("control", w.phys.bowl_present ? "bowl put back" : "bowl taken away");
        return ok();
    }
    if (strcmp(op, "grams") == 0) {
        json_t* v = json_object_get(r, "value");
        if (!json_is_number(v) || json_number_value(v) < 0)
            return error("grams needs \"value\" >= 0");
        std::lock_guard<std::mutex> hold(w.mu());
        w.update();
        w.phys.food_grams = json_number_value(v);
        w.log("control", "grams " + std::to_string(w.phys.food_grams));
        return ok();
    }
    if (strcmp(op, "sensor") == 0) {  // force the sensor byte; -1 gives it back to physics
        json_t* v = json_object_get(r, "value");
        if (!json_is_integer(v)) return error("sensor needs integer \"value\"");
        std::lock_guard<std::mutex> hold(w.mu());
        w.phys.sensor_override = int(json_integer_value(v));
        return ok();
    }
    if (strcmp(op, "fault") == 0) return set_fault(w, r);
    if (strcmp(op, "set") == 0) return set_world(w, r);
    if (strcmp(op, "clock") == 0) return set_clock(w, r);
    if (strcmp(op, "pace") == 0) return set_pace(w, r);
    if (strcmp(op, "hang") == 0) return set_hang(w, r);
    for (const ExtraOp& x : g_extra_ops)
        if (strcmp(op, x.name) == 0) return x.handler(r);
    if (strcmp(op, "feed") == 0) return send_feed(w, r);
    if (strcmp(op, "clear_faults") == 0) {
        std::lock_guard<std::mutex> hold(w.mu());
        w.mcu.fault = McuFault::None;
        w.adc.fault = AdcFault::None;
        w.log("control", "faults cleared");
        return ok();
    }
    if (strcmp(op, "button") == 0) {  // "line": "reset" or "wps"; "hold_s" or "edge"
        const char* line = json_string_value(json_object_get(r, "line"));
        uint32_t mask = line && strcmp(line, "reset") == 0 ? 1
                        : line && strcmp(line, "wps") == 0 ? 2
                                                           : 0;
        if (!mask) return error("button needs \"line\": \"reset\" or \"wps\"");
        json_t* hold_s = json_object_get(r, "hold_s");
        const char* edge = json_string_value(json_object_get(r, "edge"));
        if (json_is_number(hold_s) && json_number_value(hold_s) >= 0) {
            w.press_button(mask, json_number_value(hold_s));
        } else if (edge && (strcmp(edge, "press") == 0 || strcmp(edge, "release") == 0)) {
            w.button_edge(mask, strcmp(edge, "press") == 0);
        } else {
            return error("button needs \"hold_s\" >= 0 or \"edge\": \"press\" / \"release\"");
        }
        return ok();
    }
    if (strcmp(op, "mcu_event") == 0) {
        json_t* code = json_object_get(r, "code");
        if (!json_is_integer(code)) return error("mcu_event needs integer \"code\"");
        w.mcu_send_event(uint8_t(json_integer_value(code)));
        return ok();
    }
    if (strcmp(op, "updater") == 0) {  // "running": the listing; "answer": its reply type
        json_t* running = json_object_get(r, "running");
        json_t* answer = json_object_get(r, "answer");
        if (!json_is_boolean(running) && !json_is_integer(answer))
            return error("updater needs boolean \"running\" or integer \"answer\"");
        {
            std::lock_guard<std::mutex> hold(w.mu());
            if (json_is_integer(answer)) w.shell.updater_answer = int(json_integer_value(answer));
            // Every updater ends, or one starts when none runs.
            std::vector<int>& pids = w.shell.updater_pids;
            if (json_is_false(running)) pids.clear();
            if (json_is_true(running) && pids.empty()) pids.push_back(w.take_pid());
        }
        if (json_is_boolean(running)) w.sync_updater_queue();
        return ok();
    }
    return error("unknown op");
}

namespace {

// One connection: its descriptor and its thread, released when it ends.
struct Client {
    explicit Client(int fd) : fd(fd) {}
    ~Client() {
        if (th.joinable()) th.join();
    }
    Fd fd;
    std::thread th;
    std::atomic<bool> done{false};
};

struct Server {
    int listen_fd = -1;
    int wake = -1;  // eventfd: a connection ended, or time to stop
    std::string path;
    std::atomic<bool> stop{false};
    std::thread th;
    std::mutex mu;
    std::list<std::unique_ptr<Client>> clients;
};
Server* g_server = nullptr;

void wake_server(Server& s) {
    uint64_t one = 1;
    if (write(s.wake, &one, sizeof one) < 0) perror("eventfd");
}

// One connection: each request line gets its reply line. A connection has a
// thread of its own so that a feeding request waiting for its reply does not
// hold up the others.
void serve_client(World& w, int fd) {
    std::string buf;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) {
        buf.append(chunk, size_t(n));
        if (buf.size() > (1 << 20)) break;  // a line without end
        size_t nl;
        while ((nl = buf.find('\n')) != std::string::npos) {
            std::string reply = control_handle(w, buf.substr(0, nl)) + "\n";
            buf.erase(0, nl + 1);
            if (send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) return;
        }
    }
}

// Joins the connections that ended: a driver making one connection per
// request must not leave a descriptor and a thread's stack behind each time.
void reap(Server& s) {
    std::list<std::unique_ptr<Client>> ended;
    {
        std::lock_guard<std::mutex> hold(s.mu);
        for (auto it = s.clients.begin(); it != s.clients.end();) {
            auto next = std::next(it);
            if ((*it)->done) ended.splice(ended.end(), s.clients, it);
            it = next;
        }
    }
    ended.clear();  // joins each thread, then closes its descriptor
}

void serve(World& w, Server& s) {
    while (!s.stop) {
        struct pollfd p[2] = {{s.listen_fd, POLLIN, 0}, {s.wake, POLLIN, 0}};
        if (poll(p, 2, -1) <= 0) continue;
        if (p[1].revents & POLLIN) {
            uint64_t drain;
            if (read(s.wake, &drain, sizeof drain) < 0) perror("eventfd");
            reap(s);
        }
        if (!(p[0].revents & POLLIN)) continue;
        int fd = accept4(s.listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        auto c = std::make_unique<Client>(fd);
        Client* mine = c.get();
        std::lock_guard<std::mutex> hold(s.mu);
        c->th = std::thread([&w, &s, mine] {
            serve_client(w, mine->fd.get());
            mine->done = true;
            wake_server(s);
        });
        s.clients.push_back(std::move(c));
    }
}

}  // namespace

int control_start(World& w, const std::string& path) {
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        fprintf(stderr, "control socket path too long: %s\n", path.c_str());
        return -1;
    }
    memcpy(addr.sun_path, path.c_str(), path.size());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    unlink(path.c_str());
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 ||
        listen(fd, 4) < 0) {
        perror("control socket");
        if (fd >= 0) close(fd);
        return -1;
    }
    g_server = new Server;
    g_server->listen_fd = fd;
    g_server->wake = eventfd(0, EFD_CLOEXEC);
    g_server->path = path;
    g_server->th = std::thread([&w] { serve(w, *g_server); });
    name_thread(g_server->th, "sim-control");
    return 0;
}

void control_stop() {
    if (!g_server) return;
    g_server->stop = true;
    wake_server(*g_server);
    g_server->th.join();
    {
        std::lock_guard<std::mutex> hold(g_server->mu);
        // No more requests; a reply being made still goes out (a driver's
        // "exit" is answered as the server stops).
        for (auto& c : g_server->clients) shutdown(c->fd.get(), SHUT_RD);
    }
    g_server->clients.clear();  // joins each connection's thread
    close(g_server->wake);
    close(g_server->listen_fd);
    unlink(g_server->path.c_str());
    delete g_server;
    g_server = nullptr;
}

}  // namespace sim
