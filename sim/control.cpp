#include "sim/control.h"

#include <fcntl.h>
#include <jansson.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "sim/world.h"

namespace sim {

namespace {

struct JsonFree {
    void operator()(json_t* j) const { json_decref(j); }
};
using Json = std::unique_ptr<json_t, JsonFree>;

std::string dump(json_t* j) {
    char* s = json_dumps(j, JSON_COMPACT);
    std::string out = s ? s : "{}";
    free(s);
    return out;
}

std::string error(const char* text) {
    Json r(json_pack("{s:b,s:s}", "ok", 0, "error", text));
    return dump(r.get());
}

std::string ok() {
    return "{\"ok\":true}";
}

json_t* state(World& w) {
    std::lock_guard<std::mutex> hold(w.mu());
    w.update();
    Physics& p = w.phys;
    return json_pack(
        "{s:b,s:I,s:s,s:b,s:f,s:f,s:i,s:{s:i,s:i},s:b,s:b,s:{s:b,s:b,s:I,s:b},s:i,s:i}", "ok", 1,
        "time", (json_int_t)(w.clock().now_us() / 1000000), "bowl", bowl_pos_name(p.bowl),
        "bowl_present", p.bowl_present, "grams", p.food_grams, "hopper", p.hopper_grams, "sensor",
        int(w.sensor_bits()), "leds", "3", p.led3, "4", p.led4, "updater", w.shell.updater_running,
        "reboot", w.shell.reboot_requested, "watchdog", "open", w.wdt.open, "armed", w.wdt.armed,
        "keepalives", (json_int_t)w.wdt.keepalives, "bitten", w.wdt.bitten, "motor_pending",
        p.motor_pending, "adc_frames", int(w.adc.frames));
}

json_t* events(World& w, uint64_t since, const char* kind) {
    std::vector<Event> evs;
    uint64_t next = w.events_since(since, &evs);
    json_t* list = json_array();
    for (const Event& e : evs) {
        if (kind && e.kind != kind) continue;
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
                  {"oversize", McuFault::Oversize}};
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

}  // namespace

std::string control_handle(World& w, const std::string& line) {
    json_error_t jerr;
    Json req(json_loadb(line.data(), line.size(), 0, &jerr));
    if (!req || !json_is_object(req.get())) return error("not a JSON object");
    const char* op = json_string_value(json_object_get(req.get(), "op"));
    if (!op) return error("missing \"op\"");
    json_t* r = req.get();

    if (strcmp(op, "state") == 0) return dump(Json(state(w)).get());
    if (strcmp(op, "log") == 0) {
        json_t* since = json_object_get(r, "since");
        const char* kind = json_string_value(json_object_get(r, "kind"));
        return dump(
            Json(events(w, json_is_integer(since) ? json_integer_value(since) : 0, kind)).get());
    }
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
    if (strcmp(op, "clear_faults") == 0) {
        std::lock_guard<std::mutex> hold(w.mu());
        w.mcu.fault = McuFault::None;
        w.adc.fault = AdcFault::None;
        w.log("control", "faults cleared");
        return ok();
    }
    if (strcmp(op, "mcu_event") == 0) {
        json_t* code = json_object_get(r, "code");
        if (!json_is_integer(code)) return error("mcu_event needs integer \"code\"");
        w.mcu_send_event(uint8_t(json_integer_value(code)));
        return ok();
    }
    if (strcmp(op, "updater") == 0) {
        json_t* running = json_object_get(r, "running");
        if (!json_is_boolean(running)) return error("updater needs boolean \"running\"");
        std::lock_guard<std::mutex> hold(w.mu());
        w.shell.updater_running = json_is_true(running);
        return ok();
    }
    return error("unknown op");
}

namespace {

struct Server {
    int listen_fd = -1;
    std::string path;
    std::atomic<bool> stop{false};
    std::thread th;
};
Server* g_server = nullptr;

void serve(World& w, Server& s) {
    struct Client {
        int fd;
        std::string buf;
    };
    std::vector<Client> clients;
    while (!s.stop) {
        std::vector<struct pollfd> pfds{{s.listen_fd, POLLIN, 0}};
        for (const Client& c : clients) pfds.push_back({c.fd, POLLIN, 0});
        if (poll(pfds.data(), pfds.size(), 50) <= 0) continue;
        if (pfds[0].revents & POLLIN) {
            int fd = accept4(s.listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) clients.push_back({fd, ""});
        }
        for (size_t i = 1; i < pfds.size(); ++i) {
            if (!pfds[i].revents) continue;
            Client& c = clients[i - 1];
            char buf[4096];
            ssize_t n = read(c.fd, buf, sizeof buf);
            if (n <= 0 || c.buf.size() > (1 << 20)) {  // closed, or a line without end
                close(c.fd);
                c.fd = -1;
                continue;
            }
            c.buf.append(buf, size_t(n));
            size_t nl;
            while ((nl = c.buf.find('\n')) != std::string::npos) {
                std::string reply = control_handle(w, c.buf.substr(0, nl)) + "\n";
                c.buf.erase(0, nl + 1);
                if (send(c.fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) break;
            }
        }
        std::erase_if(clients, [](const Client& c) { return c.fd < 0; });
    }
    for (const Client& c : clients) close(c.fd);
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
    g_server->path = path;
    g_server->th = std::thread([&w] { serve(w, *g_server); });
    return 0;
}

void control_stop() {
    if (!g_server) return;
    g_server->stop = true;
    g_server->th.join();
    close(g_server->listen_fd);
    unlink(g_server->path.c_str());
    delete g_server;
    g_server = nullptr;
}

}  // namespace sim
