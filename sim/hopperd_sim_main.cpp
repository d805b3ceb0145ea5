// hopperd-sim: the daemon on the simulated board.
//   hopperd-sim --root DIR [--speed N] [--warp] [--max-speed N] [--network-down]
//               [--start "YYYY-MM-DD HH:MM:SS"] [--control SOCKET] [--sip-scale N] [--grams G]
//               [--bowl-out] [--linger]
// --linger keeps the world and its control socket after the daemon ends,
// until a control request {"op":"exit"} (a minute at most): a bench reads what the world did
// while the daemon stopped (a bowl still on its way) before it goes.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "app/app.h"
#include "include/owned.h"
#include "sched/sched.h"
#include "sim/control.h"
#include "sim/world.h"
#include "sip/sip.h"

namespace {

int usage() {
    fprintf(stderr,
            "usage: hopperd-sim --root DIR [--speed N] [--warp] [--max-speed N] [--network-down] "
            "[--start "
            "\"YYYY-MM-DD HH:MM:SS\"] [--control SOCKET] [--sip-scale N] [--grams G] "
            "[--bowl-out] [--linger]\n");
    return 2;
}

// Local time "YYYY-MM-DD HH:MM:SS" as epoch microseconds; 0 when it does not parse.
int64_t parse_start(const char* text) {
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    const char* end = strptime(text, "%Y-%m-%d %H:%M:%S", &tm);
    if (!end || *end) return 0;
    tm.tm_isdst = -1;
    time_t t = mktime(&tm);
    return t < 0 ? 0 : int64_t(t) * 1000000;
}

// The daemon's schedule as the runner sees it.
std::string schedule_op(json_t*) {
    json_t* list = sched_to_json();
    JsonPtr reply(json_pack("{s:b,s:o}", "ok", 1, "schedule", list ? list : json_array()));
    CharPtr text(json_dumps(reply.get(), JSON_COMPACT));
    return text ? text.get() : "{}";
}

std::mutex g_exit_mu;
std::condition_variable g_exit_cv;
bool g_exit = false;

std::string exit_op(json_t*) {
    std::lock_guard<std::mutex> hold(g_exit_mu);
    g_exit = true;
    g_exit_cv.notify_all();
    return "{\"ok\":true}";
}

}  // namespace

int main(int argc, char** argv) {
    // The board keeps its clock in the device's zone (the clock thread links
    // /etc/localtime to it); local times here, --start included, are that zone's.
    setenv("TZ", ":Asia/Seoul", 1);
    tzset();
    sim::WorldConfig cfg;
    std::string control;
    bool linger = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--warp") {
            cfg.warp = true;
            continue;
        }
        if (a == "--network-down") {  // a power cut's return during a Wi-Fi outage
            cfg.network_up = false;
            continue;
        }
        if (a == "--linger") {
            linger = true;
            continue;
        }
        if (a == "--bowl-out") {  // a power cut during a meal: the bowl stayed with the pet
            cfg.bowl_out = true;
            continue;
        }
        if (i + 1 >= argc) return usage();
        const char* v = argv[++i];
        if (a == "--root") {
            cfg.root = v;
        } else if (a == "--speed") {
            cfg.speed = atof(v);
            if (cfg.speed <= 0) return usage();
        } else if (a == "--max-speed") {
            // Bounds the warp from the first instant: a bound set later over
            // the control socket comes after a start-up the clock ran through.
            cfg.max_speed = atof(v);
            if (cfg.max_speed <= 0) return usage();
        } else if (a == "--start") {
            cfg.start_us = parse_start(v);
            if (!cfg.start_us) return usage();
        } else if (a == "--grams") {
            // A start finds the bowl as the last run left it (a power cut
            // during a meal): the calibration weighs it before any request.
            cfg.food_grams = atof(v);
            if (cfg.food_grams < 0) return usage();
        } else if (a == "--control") {
            control = v;
        } else if (a == "--sip-scale") {
            // The SIP stack keeps real time; this shortens its intervals
            // instead, so retries and refreshes fit a test.
            double scale = atof(v);
            if (scale <= 0) return usage();
            sip_set_time_scale(scale);
        } else {
            return usage();
        }
    }
    if (cfg.root.empty()) return usage();

    // A queue of this process's own: simulated devices side by side must not
    // take each other's update requests or updater stop messages.
    cfg.msgq_key = int(0x49000000 | getpid());
    sim::World& w = sim::World::get();
    // The SIP stack's thread runs on its own real-time timers and waits on
    // the virtual clock only inside a command's handler: never paced, or a
    // warping clock would stand still while it sits in its event loop.
    w.clock().keep_real_time("sip-stack");
    // The daemon's start-up runs on this thread, and a warping clock jumps
    // whenever every paced thread waits: counted only from its first wait,
    // this thread's work before it (the world's set-up, settings, files,
    // devices) let the clock leap minutes at each start, past a meal's whole
    // late window.
    cfg.pace_starter = true;
    w.start(cfg);
    w.remove_queue();  // a stale one from an earlier process with this pid
    if (w.tty_path().empty()) return 1;
    sim::control_add_op("schedule", schedule_op);
    sim::control_add_op("exit", exit_op);
    if (!control.empty() && sim::control_start(w, control) < 0) return 1;
    int rc = app_run();
    if (linger && !control.empty()) {
        std::unique_lock<std::mutex> hold(g_exit_mu);
        g_exit_cv.wait_for(hold, std::chrono::seconds(60), [] { return g_exit; });
    }
    sim::control_stop();
    w.stop();
    w.remove_queue();
    return rc;
}
