// Owner commands over SIP through real processes: kamailio as the SIP
// service, hopperd-sim at speed 1 registered to it and hopperd-phone as the
// owner, each on a loopback address of its own so runs never collide:
//  - schedule append round trip while the schedule fills up;
//  - enumerate round trip of that full schedule;
//  - enumerate commands per second, one at a time and 8 outstanding;
//  - time from the service's return after a 45 s outage to the device's
//    first answer, median over 5 outages: each a device that found the
//    service gone at its registration (sip_bench [SCALE] runs the device's
//    SIP intervals SCALE times faster; the figure is in the device's time).
// A round trip runs from the phone's MESSAGE to the device's reply MESSAGE,
// both relayed (and digest-challenged) by the SIP service. The simulated
// audio clips are cut to 0 s: an append rings the bell twice, which at
// speed 1 would add 4 s to every append round trip.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sched/sched.h"
#include "tests/support/cloud.h"
#include "tests/support/desk.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/sip_desk.h"
#include "tests/support/udp_link.h"

namespace {

const char kMac[] = "00:1a:2b:3c:4d:5e";

volatile sig_atomic_t g_stop = 0;

void on_signal(int) {
    g_stop = 1;
}

struct Desk {
    std::string root, kam, dev, phone, sipid;
};

struct Times {
    std::vector<long long> rtt;
    long long total = -1;
};

std::string bin(const char* name) {
    return std::string(HOPPERD_SIM_BIN_DIR) + "/" + name;
}

int sip_service(const char* action, const Desk& d, std::string* out) {
    SipService service = {d.root + "/kam", d.kam};
    return std::string(action) == "start" ? service.start(out) : service.stop();
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

// The end of a long output is where the reason is.
const char* tail(const std::string& text) {
    return text.c_str() + (text.size() > 3000 ? text.size() - 3000 : 0);
}

// One hopperd-phone run of n commands; false unless it ended well with a
// time for each of them.
bool phone(const Desk& d, const std::vector<std::string>& args, size_t n, Times* t,
           std::string* out) {
    std::vector<std::string> argv = {bin("hopperd-phone"),
                                     "--proxy",
                                     "sip:" + d.kam + ":5080",
                                     "--listen",
                                     d.phone + ":5070",
                                     "--to",
                                     d.sipid,
                                     "--product-id",
                                     kMac,
                                     "--timeout",
                                     "10"};
    argv.insert(argv.end(), args.begin(), args.end());
    int rc = run_to_end(argv, out, 60);
    for (size_t at = 0; at < out->size();) {
        size_t nl = out->find('\n', at);
        if (nl == std::string::npos) nl = out->size();
        std::string line = out->substr(at, nl - at);
        long long us;
        if (sscanf(line.c_str(), "rtt_us %lld", &us) == 1) t->rtt.push_back(us);
        if (sscanf(line.c_str(), "total_us %lld", &us) == 1) t->total = us;
        at = nl + 1;
    }
    if (rc == 0 && t->rtt.size() == n && t->total > 0) return true;
    fprintf(stderr, "sip_bench: hopperd-phone ended with %d after %zu of %zu commands:\n%s\n", rc,
            t->rtt.size(), n, tail(*out));
    return false;
}

// Nearest rank.
long long percentile(std::vector<long long> v, double p) {
    std::sort(v.begin(), v.end());
    size_t rank = size_t(p * double(v.size()) + 0.999999);
    return v[rank > 0 ? rank - 1 : 0];
}

void round_trips(const char* what, const Times& t) {
    printf("%s (n=%zu): median %lld us, p99 %lld us\n", what, t.rtt.size(), percentile(t.rtt, 0.5),
           percentile(t.rtt, 0.99));
    fflush(stdout);
}

int measure(const Desk& d) {
    Times append;
    std::string out;
    const size_t full = SCHED_MAX_ENTRIES;
    if (!phone(
            d,
            {"--repeat", std::to_string(full), "sched-append", "bench", "12:00", "30", "all", "1"},
            full, &append, &out))
        return 1;
    if (count(out, "\"errorCode\": \"200\"") != full) {
        fprintf(stderr, "sip_bench: not every append was taken:\n%s\n", tail(out));
        return 1;
    }
    round_trips("sip append round trip", append);

    // Every reply is checked here; the throughput runs below only count them.
    Times enumerate;
    if (g_stop || !phone(d, {"--repeat", "200", "sched-enum"}, 200, &enumerate, &out)) return 1;
    if (count(out, "feeding-schedule-enum-res") != 200 || count(out, "\"uuid\"") != 200 * full) {
        fprintf(stderr, "sip_bench: an enumerate reply did not hold the %zu entries\n", full);
        return 1;
    }
    char what[64];
    snprintf(what, sizeof what, "sip enumerate round trip, %zu entries", full);
    round_trips(what, enumerate);

    for (const char* window : {"1", "8"}) {
        // The SIP service keeps each finished transaction, the whole schedule
        // in it, for 5 s: two runs of 500 back to back overflow its 64 MB of
        // shared memory (kamailio answers "500 No error").
        if (window[0] == '8') sleep(6);
        Times t;
        if (g_stop || !phone(d, {"--repeat", "500", "--window", window, "--quiet", "sched-enum"},
                             500, &t, &out))
            return 1;
        printf("sip enumerate throughput, window %s (n=500): %.0f commands/s\n", window,
               500 / (double(t.total) / 1e6));
        fflush(stdout);
    }
    return 0;
}

// The device on the simulated board, from start to SIGINT.
int with_device(Desk& d) {
    write_desk_conf(d.root, {"", d.dev, "sip:" + d.kam + ":5080"});
    // Entries are at 12:00: none falls due while the bench runs.
    std::string sock = d.root + "/ctl.sock";
    Process device({bin("hopperd-sim"), "--root", d.root, "--speed", "1", "--start",
                    "2026-01-05 03:00:00", "--control", sock});
    int rc = 1;
    // At speed 1 the start-up calibration alone takes 37 s (bowl out, bowl in).
    if (!device.wait_for(" pjsip  registered sip:", 75)) {
        fprintf(stderr, "sip_bench: the device did not register:\n%s\n", tail(device.output()));
    } else if (d.sipid = sipid_of(device.output()); d.sipid.empty()) {
        fprintf(stderr, "sip_bench: no sipid in the device's output\n");
    } else if (control_request(sock, R"({"op":"set","clip_s":0})") != R"({"ok":true})") {
        fprintf(stderr, "sip_bench: the simulator did not take clip_s\n");
    } else {
        printf("audio clips at 0 s (the two bells of each append would add 4 s at speed 1)\n");
        rc = measure(d);
    }
    int status = device.stop(SIGINT, 20);
    if (status != 0) {
        fprintf(stderr, "sip_bench: the device ended with %d\n", status);
        rc = 1;
    }
    return rc;
}

// One outage: a device starts while the service is down, the service comes
// back 45 s (device time) after the device's first failed registration.
// The seconds from the return to the first answer, device time, or -1.
double one_outage(const Desk& d, double scale) {
    std::string root = make_temp_dir("sipoutage");
    write_desk_conf(root, {"", unused_loopback(), "sip:" + d.kam + ":5080"});
    SipService service = {d.root + "/kam", d.kam};
    service.stop();
    Process device({bin("hopperd-sim"), "--root", root, "--speed", "200", "--sip-scale",
                    std::to_string(scale)});
    double took = -1;
    if (device.wait_for(" pjsip  registration failed", 60)) {
        usleep(useconds_t(45 / scale * 1e6));
        std::string out;
        if (service.start(&out) == 0) {
            double back = steady_seconds();
            Phone phone = {"sip:" + d.kam + ":5080", d.phone + ":5070", sipid_of(device.output())};
            double answered = phone.until_answered({"sched-enum"}, 400 / scale);
            if (answered > 0) took = (answered - back) * scale;
        }
    }
    if (took < 0)
        fprintf(stderr, "sip_bench: no answer after an outage:\n%s\n", tail(device.output()));
    device.stop(SIGINT, 20);
    remove_tree(root);
    return took;
}

int outages(const Desk& d, double scale) {
    std::vector<long long> ms;
    for (int i = 0; i < 5 && !g_stop; ++i) {
        double s = one_outage(d, scale);
        if (s < 0) return 1;
        ms.push_back((long long)(s * 1000));
    }
    if (ms.size() < 5) return 1;
    printf(
        "sip service return to the device's first answer, 45 s outage at registration "
        "(n=5, SIP scale %g): median %.1f s, max %.1f s (device time)\n",
        scale, double(percentile(ms, 0.5)) / 1000, double(percentile(ms, 1.0)) / 1000);
    fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    double scale = argc > 1 ? atof(argv[1]) : 1;
    if (!(scale > 0)) {
        fprintf(stderr, "usage: sip_bench [SIP-SCALE]\n");
        return 2;
    }
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    Desk d;
    d.root = make_temp_dir("sipbench");
    if (d.root.empty()) {
        fprintf(stderr, "sip_bench: no temporary folder\n");
        return 1;
    }
    d.kam = unused_loopback();
    d.dev = unused_loopback();
    d.phone = unused_loopback();
    std::string out;
    int rc = 1;
    if (sip_service("start", d, &out) != 0)
        fprintf(stderr, "sip_bench: the SIP service did not start:\n%s\n", out.c_str());
    else
        rc = with_device(d);
    if (rc == 0) rc = outages(d, scale);
    sip_service("stop", d, nullptr);
    remove_tree(d.root);
    return rc;
}
