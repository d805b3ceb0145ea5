// soak: a month in a home, in minutes. Runs hopperd-sim with a local cloud
// service and a local SIP service, drives a seeded random mix of the owner's
// and the world's actions for N virtual days, and checks what an owner cares
// about (bench/soak_check.h). Exit status 0 only when every invariant held.
//   soak_bench --days N --seed S [--silent] [--speed X] [--warp] [--keep]
//              [--max-gap S] [--wrong-serve] [--verbose]
#include <errno.h>
#include <jansson.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "bench/soak_check.h"
#include "mcu/ucom.h"
#include "tests/support/desk.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/sip_desk.h"

namespace {

using soak::Excuse;
using soak::Frame;
using soak::Message;
using soak::Violation;

constexpr long kKst = 9 * 3600;  // the device's zone: Korea, no summer time
constexpr long kDay = 86400;
// A daemon serves this long after its start: calibration (up to 37 s and
// its weighings, longer with a load-cell fault) comes first.
constexpr long kStartUp = 180;

// SIGINT or SIGTERM ends the run early, every process it started stopped.
volatile sig_atomic_t g_stop = 0;
void on_stop(int) {
    g_stop = 1;
}

double real_now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

std::string local_text(long t, const char* fmt = "%Y-%m-%d %H:%M:%S") {
    time_t s = time_t(t + kKst);
    struct tm tm;
    gmtime_r(&s, &tm);
    char out[32];
    strftime(out, sizeof out, fmt, &tm);
    return out;
}

// "YYYY/MM/DD-u-HH:MM:SS" (the device's date text) to epoch seconds, or -1.
long epoch_of_date(const std::string& s) {
    struct tm tm = {};
    int u = 0;
    if (sscanf(s.c_str(), "%d/%d/%d-%d-%d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &u,
               &tm.tm_hour, &tm.tm_min, &tm.tm_sec) != 7)
        return -1;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return long(timegm(&tm)) - kKst;
}

struct Options {
    double days = 1;
    unsigned seed = 1;
    bool silent = false, warp = false, keep = false, verbose = false;
    bool wrong_serve = false;  // a deliberate fault: the soak's own serve log doubled
    double speed = 100;        // 50 with --warp: the pace while the device is busy
    double max_speed = 6000;   // with --warp: the bound of the jumps
    bool speed_given = false;
    double rate = 1;  // every action that many times as often
    long max_gap = 7;
};

// One control connection kept open: the frequent polls do not open one each.
class Control {
  public:
    explicit Control(std::string path) : path_(std::move(path)) {}
    ~Control() { drop(); }
    void drop() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
        buf_.clear();
    }
    std::string ask(const std::string& line) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (fd_ < 0 && !open_()) return "";
            std::string req = line + "\n";
            if (write(fd_, req.data(), req.size()) == ssize_t(req.size())) {
                std::string reply;
                if (read_line(&reply)) return reply;
            }
            drop();
        }
        return "";
    }

  private:
    bool open_() {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof a.sun_path, "%s", path_.c_str());
        if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
            drop();
            return false;
        }
        return true;
    }
    bool read_line(std::string* out) {
        char chunk[65536];
        for (;;) {
            size_t nl = buf_.find('\n');
            if (nl != std::string::npos) {
                *out = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                return true;
            }
            ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0) return false;
            buf_.append(chunk, size_t(n));
        }
    }
    std::string path_;
    int fd_ = -1;
    std::string buf_;
};

struct Entry {
    int hour = 0, min = 0, grams = 30, melody = 1;
    std::set<int> days;  // 0 = Sunday
    bool operator==(const Entry& o) const {
        return hour == o.hour && min == o.min && grams == o.grams && days == o.days;
    }
};
using Schedule = std::map<std::string, Entry>;

const char* const kDayWords[7] = {"sun", "mon", "tue", "wed", "thur", "fri", "sat"};

std::string days_arg(const std::set<int>& d) {
    if (d.size() == 7) return "all";
    std::string s;
    for (int x : d) s += std::string(s.empty() ? "" : ",") + kDayWords[x];
    return s;
}

// The schedule in a JSON list (the file, or an enumeration's reply); false
// when it is not one.
bool schedule_of_json(json_t* list, Schedule* out) {
    if (!json_is_array(list)) return false;
    out->clear();
    size_t i;
    json_t* e;
    json_array_foreach(list, i, e) {
        const char* uuid = json_string_value(json_object_get(e, "uuid"));
        const char* tm = json_string_value(json_object_get(e, "feedTime"));
        const char* g = json_string_value(json_object_get(e, "feedAmount"));
        if (!uuid || !tm || !g) return false;
        Entry x;
        if (sscanf(tm, "%d:%d", &x.hour, &x.min) != 2) return false;
        x.grams = atoi(g);
        size_t k;
        json_t* d;
        json_array_foreach(json_object_get(e, "feedDaysOfTheWeek"), k, d) {
            const char* w = json_string_value(d);
            for (int n = 0; n < 7 && w; ++n)
                if (std::string("day-") + kDayWords[n] == w) x.days.insert(n);
        }
        (*out)[uuid] = x;
    }
    return true;
}

std::string schedule_text(const Schedule& s) {
    std::string out;
    for (const auto& [u, e] : s) {
        char b[96];
        snprintf(b, sizeof b, "%s@%02d:%02d/%dg/%s ", u.c_str(), e.hour, e.min, e.grams,
                 days_arg(e.days).c_str());
        out += b;
    }
    return out.empty() ? "(empty)" : out;
}

// An action of the plan: its virtual time and what it does.
struct Action {
    long t;
    std::string kind;
    int a = 0, b = 0;  // kind-specific numbers
    bool near_meal = false;
};

// Faults of the world: each a burst that one control request starts (one of
// `starts`, picked by the plan; "%d" becomes a count of 1 to `max_count`) and
// `ends` ends, planned as `action` and "end " + `action`. A feeding weighed
// during one is not held to an eaten report; one that garbles the load
// cell's readings and keeps their marker makes the amounts weighed meanwhile
// unsure. One more fault is one more line here.
struct Fault {
    const char* action;
    double per_day;
    long min_s, max_s;  // how long it lasts
    int max_count;
    std::vector<const char*> starts;
    const char* ends;
    bool garbles_weights;
};
const Fault kFaults[] = {
    {"mcu-fault",
     2,
     30,
     600,
     5,
     {R"({"op":"fault","target":"mcu","kind":"late","count":%d,"delay_ms":400})",
      R"({"op":"fault","target":"mcu","kind":"noise","count":%d})",
      R"({"op":"fault","target":"mcu","kind":"silent","count":%d})",
      R"({"op":"fault","target":"mcu","kind":"bad_checksum","count":%d})"},
     R"({"op":"clear_faults"})",
     false},
    {"ldcell-fault",
     0.7,
     30,
     600,
     10,
     {R"({"op":"fault","target":"ldcell","kind":"markerless","count":%d})",
      R"({"op":"fault","target":"ldcell","kind":"never_ready","count":%d})"},
     R"({"op":"clear_faults"})",
     false},
    {"ldcell-noise",
     0.3,
     30,
     600,
     10,
     {R"({"op":"fault","target":"ldcell","kind":"noise","count":%d})"},
     R"({"op":"clear_faults"})",
     true},
    // A player whose clip never ends, an updater that takes requests and says
    // nothing: each command ends at its limit and the feeding goes on.
    {"hang",
     0.5,
     60,
     1800,
     1,
     {R"({"op":"hang","target":"play"})", R"({"op":"hang","target":"updater"})",
      R"({"op":"hang","target":"ntpdate"})"},
     R"({"op":"hang","target":"none"})",
     false},
};

const Fault* fault_of(const std::string& action) {
    for (const Fault& f : kFaults)
        if (action == f.action) return &f;
    return nullptr;
}

struct Done {  // an action as it ran
    long t;
    std::string text;
};

class Soak {
  public:
    explicit Soak(const Options& o) : o_(o), rng_(o.seed) {}
    int run();

  private:
    // processes
    bool start_services();
    void stop_services();
    bool start_cloud(const char* mode);
    bool start_device(long at);
    void stop_device(bool orderly, bool final_stop);
    // observing
    void poll();
    void poll_log();
    void poll_output(size_t upto, long from, long to);
    void poll_cloud(const std::string& record, long from, long to);
    void sample_proc();
    // acting
    void plan();
    void act(const Action& a);
    void note(const std::string& text);
    void runner_started(long t);
    bool phone(const std::vector<std::string>& args, std::string* reply, double timeout);
    void enumerate(bool hourly);
    void sched_op(const Action& a);
    void meals_until(long now);
    long next_meal_after(long t) const;
    // The owner changed the entry at local minute `minute` around then.
    void excuse(long from, long to, const std::string& why, int minute) {
        excuses_.push_back({from, to, why, minute});
    }
    // A feeding weighed in [from, to] owes no eaten report.
    void unweighed(long from, long to, const std::string& why) {
        unweighed_.push_back({from, to, why});
    }
    void outage_begins(long* since);
    void outage_ends(long* since);
    // The bowl back, or a fault's end (`fault`), or everything still open
    // (`all`): what was away or faulty meanwhile excuses the weighings.
    void close_spans(bool all, const Fault* fault = nullptr);
    void settle();
    void violation(const std::string& invariant, long t, const std::string& what);
    int report();
    std::string around(long t) const;

    Options o_;
    std::mt19937 rng_;
    std::string dir_, root_, sock_, addr_, bin_dir_, sipid_;
    std::unique_ptr<Process> device_, cloud_;
    std::unique_ptr<Control> ctl_;
    std::string cloud_mode_ = "close";
    bool sip_up_ = true;
    // The daemon went past its start-up's network wait, which takes no stop
    // (it does not look at the run flag): only then is an orderly stop one.
    bool came_up_ = false;
    long vt_ = 0, t0_ = 0, t_end_ = 0;
    long instance_start_ = 0;                       // virtual time this daemon started
    bool stopping_ = false;                         // the daemon was told to stop
    std::vector<std::pair<long, long>> start_ups_;  // each start and how long it took
    double spawned_real_ = 0;                       // real time the last daemon was started
    double real_start_ = 0;
    uint64_t log_next_ = 0;
    size_t out_pos_ = 0, rec_pos_ = 0;
    std::string out_line_;
    long out_lines_ = 0;        // lines of every daemon's output so far, in order
    std::string pending_path_;  // the path of the feeding whose serve line comes next
    std::string identity_;
    // the world as the soak left it (a new daemon brings a new world)
    double hopper_ = 2000, appetite_ = 30;
    double bowl_grams_ = 0;  // what a restart finds in the bowl, and where
    bool bowl_out_ = false;
    bool bowl_present_ = true, network_up_ = true;
    bool food_low_ = false, bowl_missing_now_ = false;
    // plan and record
    std::vector<Action> plan_;
    size_t next_action_ = 0;
    std::vector<Done> done_;
    std::map<std::string, int> by_kind_;
    Schedule model_;
    bool model_sure_ = true;
    long model_changed_ = 0;
    int uuid_seq_ = 0;
    long meals_seen_to_ = 0;
    std::vector<soak::Meal> meals_;
    std::vector<soak::Serve> serves_, manual_serves_;
    // An eaten report carries no time: it came between the time read before
    // the look before the one that read it and the time read after that
    // one, which may lie minutes of virtual time apart when the soak waited
    // on the phone.
    struct Eaten {
        long from, to;
        int tried;
    };
    std::vector<Eaten> eaten_;
    // What a look reads of the device's output and the cloud record was
    // written after the look before it began: after the time read before
    // that look. A warping clock runs minutes in the moments between.
    long read_before_last_look_ = 0;
    std::vector<Frame> frames_, watchdog_, truth_;
    std::vector<std::pair<long, long>> runs_;
    std::vector<Message> messages_, dev_lines_;
    // What the device logged as it sent it: served, feeding-log and eaten
    // reports, and notices it kept for the cloud; and of them the served
    // and the eaten reports.
    std::vector<Message> meant_, served_lines_, eaten_lines_;
    // Spans of the hopper low, of outages (the cloud refusing, the network
    // down), of readings garbled with their marker kept; power cuts.
    std::vector<std::pair<long, long>> low_, outages_, unsure_;
    long cloud_out_since_ = -1, net_out_since_ = -1;
    std::vector<long> cuts_;
    long bowl_away_since_ = -1;
    std::map<const Fault*, std::vector<long>> fault_since_;  // bursts begun, not ended
    // World events the record dropped before the soak read them (a soak held
    // up while the device ran on): spans of time, and how many.
    std::vector<std::pair<long, long>> lost_;
    long last_event_t_ = 0;
    uint64_t events_lost_ = 0;
    std::vector<long> food_low_onsets_, bowl_missing_onsets_, starts_low_, starts_missing_;
    // Junk-prefixed sensor replies the device took as the condition gone.
    std::vector<long> misread_low_, misread_missing_;
    std::vector<Excuse> excuses_, unweighed_;
    std::vector<std::pair<long, long>> anon_, fds_;
    long last_sample_ = 0;
    // phone
    long next_enum_ = 0;
    bool enum_owed_ = false;
    long enum_owed_since_ = 0;
    double owed_real_ = 0, answer_ready_real_ = 0;
    double worst_answer_s_ = 0, last_try_real_ = 0;
    int phone_answered_ = 0, phone_sent_ = 0;
    int restarts_ = 0, max_grams_ = 60;
    std::map<std::string, std::vector<Violation>> bad_;
    std::vector<std::string> order_;
};

void Soak::note(const std::string& text) {
    done_.push_back({vt_, text});
    if (o_.verbose) printf("[%s] %s\n", local_text(vt_).c_str(), text.c_str());
}

void Soak::violation(const std::string& inv, long t, const std::string& what) {
    bad_[inv].push_back({t, what});
}

std::string Soak::around(long t) const {
    std::string out;
    for (const Done& d : done_)
        if (d.t >= t - 900 && d.t <= t + 120)
            out += "      [" + local_text(d.t) + "] " + d.text + "\n";
    return out;
}

// ---------------------------------------------------------------- processes

bool Soak::start_cloud(const char* mode) {
    if (cloud_) cloud_->stop(SIGTERM, 5);
    cloud_ = std::make_unique<Process>(
        std::vector<std::string>{bin_dir_ + "/hopperd-cloud", "--addr", addr_, "--record",
                                 dir_ + "/cloud.jsonl", "--mode", mode});
    cloud_mode_ = mode;
    return cloud_->wait_for("hopperd-cloud ", 10);
}

bool Soak::start_services() {
    SipService sip{dir_ + "/sip", addr_};
    std::string out;
    if (sip.start(&out) != 0) {
        fprintf(stderr, "soak: the SIP service did not start:\n%s\n", out.c_str());
        return false;
    }
    if (!start_cloud("close")) {
        fprintf(stderr, "soak: the cloud service did not start:\n%s\n", cloud_->output().c_str());
        return false;
    }
    return true;
}

void Soak::stop_services() {
    SipService{dir_ + "/sip", addr_}.stop();
    if (cloud_) cloud_->stop(SIGTERM, 5);
}

bool Soak::start_device(long at) {
    std::string bin = bin_dir_ + (o_.silent ? "/hopperd-sim-silent" : "/hopperd-sim");
    std::vector<std::string> argv = {
        bin,       "--root",       root_,       "--speed", std::to_string(o_.speed),
        "--start", local_text(at), "--control", sock_,     "--sip-scale",
        "10"};
    if (o_.warp) {
        argv.push_back("--warp");
        argv.push_back("--max-speed");
        argv.push_back(std::to_string(o_.max_speed));
    }
    // The bowl stays where the last daemon left it, with what it held.
    char grams[32];
    snprintf(grams, sizeof grams, "%.1f", bowl_grams_);
    argv.insert(argv.end(), {"--grams", grams});
    if (bowl_out_) argv.push_back("--bowl-out");
    argv.push_back("--linger");
    spawned_real_ = real_now();
    device_ = std::make_unique<Process>(argv);
    ctl_ = std::make_unique<Control>(sock_);
    out_pos_ = 0;
    out_line_.clear();
    log_next_ = 0;
    char req[200];
    for (int i = 0; i < 5000; ++i) {
        // First the bound of the jumps, as soon as the socket answers.
        snprintf(req, sizeof req, R"({"op":"pace","max_speed":%.0f})", o_.max_speed);
        std::string s = ctl_->ask(o_.warp ? req : R"({"op":"state"})");
        if (!s.empty()) break;
        usleep(1000);
    }
    vt_ = at;
    instance_start_ = at;
    stopping_ = false;
    last_event_t_ = at;
    frames_.push_back({at, "start", bowl_out_ ? "out" : "in"});
    watchdog_.push_back({at, "watchdog", "start"});
    runs_.push_back({at, at});
    // The world is new: put back what the soak had made of it.
    snprintf(req, sizeof req, R"({"op":"set","hopper":%.0f,"pet_appetite":%.0f,"network_up":%s})",
             hopper_, appetite_, network_up_ ? "true" : "false");
    ctl_->ask(req);
    if (o_.warp) {
        // Bounded, so that the real-time services (SIP, the phone) and this
        // driver keep up with the jumps.
        snprintf(req, sizeof req, R"({"op":"pace","max_speed":%.0f})", o_.max_speed);
        ctl_->ask(req);
    }
    if (!bowl_present_) ctl_->ask(R"({"op":"bowl","present":false})");
    if (food_low_) starts_low_.push_back(at);
    if (!bowl_present_) starts_missing_.push_back(at);
    // With the network down the start-up waits for it (serving meals and
    // buttons meanwhile): the banner is as far as it comes.
    came_up_ = false;
    const char* up = network_up_ ? "uds client open fd : " : "        sipid ---> ";
    if (!device_->wait_for(up, 60)) {
        violation("no crash, no stuck start", at,
                  "the daemon did not come up:\n" + device_->output());
        return false;
    }
    came_up_ = network_up_;
    if (identity_.empty()) {
        identity_ = read_file(root_ + "/etc/feeder.conf");
        sipid_ = sipid_of(device_->output());
    } else if (read_file(root_ + "/etc/feeder.conf") != identity_) {
        violation("identity and schedule kept", at, "the identity changed across a restart");
    }
    answer_ready_real_ = std::max(answer_ready_real_, real_now());
    return true;
}

void Soak::stop_device(bool orderly, bool final_stop) {
    poll();
    long at = vt_;
    runs_.back().second = at;
    // What it writes from here on comes before its clock stops, a little on.
    long end = vt_ + 300;
    // Its sessions go with it, and those of feedings it serves as it stops:
    // a feeding being eaten is never weighed.
    unweighed(at, end, orderly ? "an orderly stop" : "a power cut");
    if (!orderly) cuts_.push_back(at);
    int rc;
    stopping_ = true;
    if (orderly) {
        // The world outlives the daemon (--linger): what it did while the
        // daemon stopped (a bowl that was on its way arrives) is read, then
        // it goes.
        kill(device_->pid(), SIGINT);
        if (device_->wait_for("Bye....\n", 120)) {
            poll();
            runs_.back().second = at;
        }
        ctl_->ask(R"({"op":"exit"})");
        rc = device_->stop(0, 120);
        poll_output(device_->output().size(), read_before_last_look_, end);
        std::string out = device_->output();
        bool bye = out.size() >= 8 && out.compare(out.size() - 8, 8, "Bye....\n") == 0;
        if (rc != 0 || !bye)
            violation("orderly stop: Bye.... and status 0", at,
                      "status " + std::to_string(rc) +
                          ", output ends: " + out.substr(out.size() > 300 ? out.size() - 300 : 0));
    } else {
        device_->stop(SIGKILL, 10);
        poll_output(device_->output().size(), read_before_last_look_, end);
    }
    // Every daemon's output, one after the other, for a look afterwards.
    std::string all = read_file(dir_ + "/device.log");
    write_file(dir_ + "/device.log", all + device_->output() + "---- end of daemon ----\n");
    (void)final_stop;
    ctl_.reset();
    device_.reset();
    // The files a restart will read: they must parse, and hold what the last
    // answered command left.
    json_error_t err;
    json_t* j = json_load_file((root_ + "/etc/feed_sched.conf").c_str(), 0, &err);
    Schedule file;
    if (j && !schedule_of_json(j, &file)) {
        violation("identity and schedule kept", at, "the schedule file is not a schedule");
    } else if (!j && !model_.empty()) {
        violation("identity and schedule kept", at,
                  std::string("the schedule file does not parse: ") + err.text);
    } else if (model_sure_ && file != model_) {
        violation("identity and schedule kept", at,
                  "the schedule file holds " + schedule_text(file) + "; the last answer left " +
                      schedule_text(model_));
    } else {
        model_ = file;
        model_sure_ = true;
    }
    json_decref(j);
}

void Soak::close_spans(bool all, const Fault* fault) {
    if (bowl_away_since_ >= 0 && (all || !fault)) {
        unweighed(bowl_away_since_, vt_ + 60, "the bowl away");
        bowl_away_since_ = -1;
    }
    for (auto& [f, since] : fault_since_) {
        if (!all && f != fault) continue;
        size_t n = all ? since.size() : std::min<size_t>(1, since.size());
        for (size_t i = 0; i < n; ++i) {
            unweighed(since[i] - 60, vt_ + 300, f->action);
            if (f->garbles_weights) unsure_.push_back({since[i] - 5, vt_ + 60});
        }
        since.erase(since.begin(), since.begin() + long(n));
    }
}

void Soak::outage_begins(long* since) {
    if (*since < 0) *since = vt_;
}

void Soak::outage_ends(long* since) {
    if (*since < 0) return;
    outages_.push_back({*since, vt_});
    *since = -1;
}

// The last outages end, and what the device kept has its time to arrive
// before the last stop.
void Soak::settle() {
    if (cloud_mode_ != "close") {
        start_cloud("close");
        note("cloud service answering again, for the last stop");
        outage_ends(&cloud_out_since_);
    }
    if (!network_up_) {
        control_request(sock_, R"({"op":"set","network_up":true})");
        network_up_ = true;
        note("network up, for the last stop");
        outage_ends(&net_out_since_);
    }
    long until = 0;
    for (const auto& o : outages_) until = std::max(until, o.second + soak::kRecoverLag);
    while (vt_ < until && !g_stop) {
        usleep(o_.warp ? 20000 : 50000);
        poll();
    }
}

// ---------------------------------------------------------------- observing

void Soak::poll() {
    if (!ctl_) return;
    long from = read_before_last_look_;
    read_before_last_look_ = vt_;
    size_t out_end = device_ ? device_->output().size() : 0;
    std::string record = read_file(dir_ + "/cloud.jsonl");
    poll_log();
    // The time after the look: what it read was written before.
    std::string s = ctl_->ask(R"({"op":"state"})");
    json_error_t err;
    json_t* j = json_loads(s.c_str(), 0, &err);
    if (j) {
        vt_ = long(json_integer_value(json_object_get(j, "time")));
        double hopper = json_real_value(json_object_get(j, "hopper"));
        double low = json_real_value(json_object_get(j, "food_low_below"));
        hopper_ = hopper;
        bool now_low = hopper < low;
        if (now_low && !food_low_) {
            food_low_onsets_.push_back(vt_);
            low_.push_back({vt_, vt_});
        }
        food_low_ = now_low;
        if (food_low_) low_.back().second = vt_;
        bowl_grams_ = json_real_value(json_object_get(j, "grams"));
        const char* bowl = json_string_value(json_object_get(j, "bowl"));
        bowl_out_ = bowl && strstr(bowl, "out");
        runs_.back().second = vt_;
    }
    json_decref(j);
    poll_output(out_end, from, vt_);
    poll_cloud(record, from, vt_);
    if (vt_ - last_sample_ >= 3600) sample_proc();
    meals_until(vt_);
}

void Soak::poll_log() {
    for (int round = 0; round < 80; ++round) {  // 40,000 events at most a poll
        std::string r = ctl_->ask("{\"op\":\"log\",\"since\":" + std::to_string(log_next_) + "}");
        json_error_t err;
        json_t* j = json_loads(r.c_str(), 0, &err);
        if (!j) return;
        uint64_t next = uint64_t(json_integer_value(json_object_get(j, "next")));
        size_t i, n = json_array_size(json_object_get(j, "events"));
        json_t* e;
        json_array_foreach(json_object_get(j, "events"), i, e) {
            std::string kind = json_string_value(json_object_get(e, "kind"));
            const char* text = json_string_value(json_object_get(e, "text"));
            long t = long(json_integer_value(json_object_get(e, "t")));
            uint64_t seq = uint64_t(json_integer_value(json_object_get(e, "seq")));
            if (i == 0 && seq > log_next_) {
                events_lost_ += seq - log_next_;
                lost_.push_back({last_event_t_, t});
            }
            last_event_t_ = t;
            if (kind == "motor" || kind == "bowl") frames_.push_back({t, kind, text ? text : ""});
            if (kind == "watchdog") watchdog_.push_back({t, kind, text ? text : ""});
            if (kind == "truth") truth_.push_back({t, kind, text ? text : ""});
            int v = kind == "mcu_fault" && text ? soak::misread_sensor(text) : -1;
            if (v >= 0 && food_low_ && !(v & SENSOR_FOOD_LOW)) misread_low_.push_back(t);
            if (v >= 0 && !bowl_present_ && !(v & SENSOR_BOWL_MISSING))
                misread_missing_.push_back(t);
        }
        json_decref(j);
        if (next == log_next_ || n == 0) {
            log_next_ = next;
            return;
        }
        log_next_ = next;
    }
}

// The runner's first pass: from here on this daemon can serve. The start-up
// may take its allowance in waits of its own on the clock (a start with the
// bowl out, or food in it, waits longer: its bowl travels and is weighed),
// and the rest is its real time at the busy pace (a loaded host); past that
// it is stuck, and the meals of that stretch would be lost unsaid.
void Soak::runner_started(long t) {
    if (runs_.empty()) return;
    long start = runs_.back().first;
    double real = real_now() - spawned_real_;
    start_ups_.push_back({start, t - start});
    char text[160];
    snprintf(text, sizeof text, "runner started %ld virtual s after the start, in %.1f real s",
             t - start, real);
    done_.push_back({t, text});
    if (double(t - start) - real * o_.speed > kStartUp)
        violation("no crash, no stuck start", start, text);
}

// The device's output up to `upto`, its lines written between `from` and `to`.
void Soak::poll_output(size_t upto, long from, long to) {
    if (!device_) return;
    std::string out = device_->output().substr(0, upto);
    static const std::regex served(R"(^(-?\d+)g 제공되었습니다\. (\S+)$)");
    static const std::regex logged(R"(^(-?\d+)g 제공$)");
    static const std::regex eaten(R"(^(-?\d+)g/(-?\d+)g 먹었습니다\.$)");
    // A report the cloud did not take, kept to be sent again: the only line
    // that shows a notice the device meant to send.
    static const std::regex kept(R"(^cloud : report kept \(\d+ waiting\): (.+)$)");
    for (; out_pos_ < out.size(); ++out_pos_) {
        char c = out[out_pos_];
        if (c != '\n') {
            out_line_ += c;
            continue;
        }
        std::string line = soak::device_line(out_line_);
        out_line_.clear();
        ++out_lines_;
        std::smatch m;
        if (line.rfind("uds client open fd : ", 0) == 0) came_up_ = true;
        int hh, mm, ss;
        if (sscanf(line.c_str(), "sched : running from %d:%d:%d", &hh, &mm, &ss) == 3) {
            // The latest moment up to now at that local time of day.
            long tod = hh * 3600L + mm * 60L + ss;
            runner_started(to - ((to + kKst) % kDay - tod + kDay) % kDay);
        }
        if (line.rfind("schedule feed try ", 0) == 0) pending_path_ = "schedule";
        if (line.rfind("manual feed try ", 0) == 0) pending_path_ = "manual";
        if (std::regex_match(line, m, served)) {
            long t = epoch_of_date(m[2]);
            if (t < 0) t = to;
            int g = std::stoi(m[1]);
            if (pending_path_ == "schedule") {
                serves_.push_back({t, g});
                if (o_.wrong_serve) serves_.push_back({t + 1, g});
                note("device: scheduled serve " + line);
            } else {
                manual_serves_.push_back({t, g});
                note("device: manual serve " + line);
            }
            dev_lines_.push_back({t, line});
            served_lines_.push_back({t, line, -1, out_lines_});
            meant_.push_back({t, line});
        } else if (std::regex_match(line, m, logged)) {
            meant_.push_back({to, line, from});
        } else if (std::regex_match(line, m, eaten)) {
            eaten_.push_back({from, to, std::stoi(m[1])});
            note("device: " + line);
            dev_lines_.push_back({to, line, from});
            eaten_lines_.push_back({to, line, from, out_lines_});
            meant_.push_back({to, line, from});
        } else if (std::regex_match(line, m, kept) && !soak::report_text(m[1])) {
            meant_.push_back({to, m[1], from});
        } else if (line.rfind("sim: watchdog bite", 0) == 0) {
            violation("no watchdog bite, keeps pace", to, line);
        }
    }
}

// The cloud record as read, its new lines taken between `from` and `to`.
void Soak::poll_cloud(const std::string& text, long from, long to) {
    while (rec_pos_ < text.size()) {
        size_t nl = text.find('\n', rec_pos_);
        if (nl == std::string::npos) break;
        std::string line = text.substr(rec_pos_, nl - rec_pos_);
        rec_pos_ = nl + 1;
        json_error_t err;
        json_t* j = json_loads(line.c_str(), 0, &err);
        const char* msg = json_string_value(json_object_get(j, "message"));
        if (msg && *msg) messages_.push_back({to, soak::owner_text(msg), from});
        json_decref(j);
    }
}

// The process's anonymous memory in kB (heap, stacks, written data), -1 when
// unread. Not its private memory: that counts the text pages of every
// library no other process has mapped at that moment, and moves by a
// megabyte and more with what else runs on the machine.
long anon_kb(pid_t pid) {
    std::string t = read_file("/proc/" + std::to_string(pid) + "/smaps_rollup");
    size_t at = t.find("Anonymous:");
    return at == std::string::npos ? -1 : atol(t.c_str() + at + strlen("Anonymous:"));
}

long open_fds(pid_t pid) {
    long n = 0;
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!d) return -1;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

void Soak::sample_proc() {
    last_sample_ = vt_;
    // Once told to stop, the daemon closes its descriptors, and after "Bye"
    // the lingering world is all the process holds: not the daemon's figures.
    if (!device_ || stopping_) return;
    // Samples of a daemon past its first virtual hour: start-up is over.
    if (vt_ - instance_start_ < 3600) return;
    // The simulator keeps its last 50,000 world events in the same process:
    // its memory says something of the daemon only once that record is full.
    // What the allocator holds free is given back first: what is left is in
    // use, or lost to fragmentation, whoever in the process holds it.
    long anon = -1;
    if (log_next_ > 50000) {
        ctl_->ask(R"({"op":"trim"})");
        anon = anon_kb(device_->pid());
    }
    if (anon >= 0) anon_.push_back({vt_, anon});
    fds_.push_back({vt_, open_fds(device_->pid())});
    // Each sample kept with the run, for a look at a trend afterwards.
    if (FILE* f = fopen((dir_ + "/proc.tsv").c_str(), "a")) {
        fprintf(f, "%s\t%d\t%ld\t%ld\n", local_text(vt_).c_str(), int(device_->pid()), anon,
                fds_.back().second);
        fclose(f);
    }
}

// Meal minutes the clock passed, each with what excuses it.
void Soak::meals_until(long now) {
    if (meals_seen_to_ == 0) meals_seen_to_ = now - now % 60;
    for (long m = meals_seen_to_ + 60; m <= now; m += 60) {
        meals_seen_to_ = m;
        long local = m + kKst;
        int wday = int((local / kDay + 4) % 7);  // 1970-01-01 was a Thursday
        int hm = int(local % kDay / 60);
        bool due = false;
        for (const auto& [u, e] : model_)
            if (e.days.count(wday) && e.hour * 60 + e.min == hm) due = true;
        if (!due) continue;
        meals_.push_back({m, true, "", hm});
    }
}

long Soak::next_meal_after(long t) const {
    for (long m = t - t % 60 + 60; m < t + kDay; m += 60) {
        long local = m + kKst;
        int wday = int((local / kDay + 4) % 7);
        int hm = int(local % kDay / 60);
        for (const auto& [u, e] : model_)
            if (e.days.count(wday) && e.hour * 60 + e.min == hm) return m;
    }
    return -1;
}

// ---------------------------------------------------------------- acting

bool Soak::phone(const std::vector<std::string>& args, std::string* reply, double timeout) {
    std::vector<std::string> argv = {bin_dir_ + "/hopperd-phone",
                                     "--proxy",
                                     "sip:" + addr_ + ":5080",
                                     "--listen",
                                     addr_ + ":5070",
                                     "--to",
                                     sipid_,
                                     "--timeout",
                                     std::to_string(timeout)};
    argv.insert(argv.end(), args.begin(), args.end());
    ++phone_sent_;
    std::string out;
    int rc = run_to_end(argv, &out, timeout + 20);
    json_t* j = reply_of(out);
    bool no_wait = std::find(args.begin(), args.end(), "--no-wait") != args.end();
    bool ok = rc == 0 && (j || no_wait);
    if (ok) {
        char* s = json_dumps(j, JSON_COMPACT);
        *reply = s ? s : "";
        free(s);
        ++phone_answered_;
    }
    json_decref(j);
    return ok;
}

void Soak::enumerate(bool hourly) {
    if (hourly) {
        if (!enum_owed_) {
            enum_owed_ = true;
            enum_owed_since_ = vt_;
            owed_real_ = real_now();
        }
    }
    std::string reply;
    bool answered = sip_up_ && phone({"sched-enum"}, &reply, 2);
    if (!answered) {
        if (hourly) note("phone: sched-enum unanswered");
        return;
    }
    json_error_t err;
    json_t* j = json_loads(reply.c_str(), 0, &err);
    Schedule got;
    if (!schedule_of_json(json_object_get(j, "feedingSchedules"), &got)) {
        violation("the phone is answered", vt_, "an enumeration reply without its list: " + reply);
    } else if (model_sure_ && got != model_) {
        violation("identity and schedule kept", vt_,
                  "the device enumerates " + schedule_text(got) + "; the last answer left " +
                      schedule_text(model_));
        model_ = got;
    } else {
        model_ = got;
        model_sure_ = true;
    }
    json_decref(j);
    if (enum_owed_) {
        // Owed since the later of the hour and the moment an answer became
        // possible (the SIP service back, the daemon started).
        double waited = real_now() - std::max(owed_real_, answer_ready_real_);
        worst_answer_s_ = std::max(worst_answer_s_, waited);
        if (waited > 60)
            violation("the phone is answered", vt_,
                      "the hourly enumeration answered " + std::to_string(int(waited)) +
                          " s after it could be");
        enum_owed_ = false;
    }
    note("phone: sched-enum -> " + schedule_text(got));
}

void Soak::sched_op(const Action& a) {
    std::uniform_int_distribution<int> pct(0, 99);
    std::string kind = a.kind, uuid;
    if (kind != "sched-append" && model_.empty()) kind = "sched-append";
    if (kind == "sched-append" && model_.size() >= 10) kind = "sched-delete";
    // A list of a few meals: deletes while it is short would leave no meal to serve.
    if (kind == "sched-delete" && model_.size() <= 2) kind = "sched-append";
    bool base = a.a == 1;  // one of the owner's daily meals
    if (kind != "sched-append") {
        auto it = model_.begin();
        std::advance(it, std::uniform_int_distribution<size_t>(0, model_.size() - 1)(rng_));
        uuid = it->first;
    } else {
        uuid = (base ? "base-" : "meal-") + std::to_string(++uuid_seq_);
    }
    Entry e;
    if (kind != "sched-delete") {
        int p = base ? 100 : pct(rng_);
        if (base) {
            long t = vt_ + kKst + std::uniform_int_distribution<long>(600, kDay - 600)(rng_);
            e.hour = int(t % kDay / 3600);
            e.min = int(t % 3600 / 60);
        } else if (p < 15) {
            e.hour = 0;
            e.min = pct(rng_) % 2;
        } else if (p < 30 && !model_.empty()) {
            e.hour = model_.begin()->second.hour;  // the same minute as another
            e.min = model_.begin()->second.min;
        } else if (p < 55) {
            // Soon, so that the meal comes within the next hours.
            long t = vt_ + kKst + std::uniform_int_distribution<long>(300, 6 * 3600)(rng_);
            e.hour = int(t % kDay / 3600);
            e.min = int(t % 3600 / 60);
        } else {
            e.hour = pct(rng_) % 24;
            e.min = pct(rng_) % 60;
        }
        e.grams = 10 + pct(rng_) % 51;
        e.melody = pct(rng_) % 4;
        if (base || pct(rng_) < 50) {
            for (int d = 0; d < 7; ++d) e.days.insert(d);
        } else {
            for (int d = 0; d < 7; ++d)
                if (pct(rng_) < 50) e.days.insert(d);
            if (e.days.empty()) e.days.insert(int(((vt_ + kKst) / kDay + 4) % 7));
        }
    }
    std::vector<std::string> args = {kind, uuid};
    char hm[8];
    snprintf(hm, sizeof hm, "%02d:%02d", e.hour, e.min);
    if (kind != "sched-delete")
        args.insert(args.end(),
                    {hm, std::to_string(e.grams), days_arg(e.days), std::to_string(e.melody)});
    std::string reply;
    long before = vt_;
    int old_minute = -1;
    if (kind != "sched-append" && model_.count(uuid))
        old_minute = model_[uuid].hour * 60 + model_[uuid].min;
    bool answered = sip_up_ && phone(args, &reply, 2);
    // The change landed on the device somewhere between the two times: with
    // the clock warping, the phone's round trip may take minutes of it.
    poll();
    std::string line = "phone:";
    for (const std::string& s : args) line += " " + s;
    // A meal whose entry the owner changed while it was due is the owner's
    // to judge; a change of another entry excuses nothing.
    if (old_minute >= 0) excuse(before - 60, vt_ + 180, "the schedule changed", old_minute);
    if (kind != "sched-delete")
        excuse(before - 60, vt_ + 180, "the schedule changed", e.hour * 60 + e.min);
    if (!answered) {
        note(line + " -> unanswered");
        model_sure_ = false;  // it may or may not have been done
        return;
    }
    bool ok = reply.find("\"errorCode\":\"200\"") != std::string::npos;
    if (kind == "sched-delete") ok = reply.find("\"code\":\"200\"") != std::string::npos;
    note(line + " -> " + (ok ? "200" : reply));
    if (!ok) return;
    if (kind == "sched-delete")
        model_.erase(uuid);
    else
        model_[uuid] = e;
    model_changed_ = vt_;
    // A meal put on a minute already passed while the change travelled may
    // have been served in it: that minute had a meal due, though not a
    // required one.
    if (kind == "sched-delete") return;
    for (long m = before - before % 60; m <= vt_ && m <= meals_seen_to_; m += 60) {
        long local = m + kKst;
        int wday = int((local / kDay + 4) % 7);
        if (!e.days.count(wday) || e.hour * 60 + e.min != int(local % kDay / 60)) continue;
        auto at = std::lower_bound(meals_.begin(), meals_.end(), m,
                                   [](const soak::Meal& x, long t) { return x.at < t; });
        if (at == meals_.end() || at->at != m)
            meals_.insert(at, {m, false, "the schedule changed", e.hour * 60 + e.min});
    }
}

void Soak::act(const Action& a) {
    ++by_kind_[a.kind];
    char req[256];
    std::uniform_int_distribution<int> pct(0, 99);
    if (a.kind.rfind("sched-", 0) == 0) {
        if (a.kind == "sched-enum")
            enumerate(false);
        else
            sched_op(a);
    } else if (a.kind == "feed") {
        std::string reply;
        int grams = a.a;
        bool sent =
            sip_up_ &&
            phone({"feed", std::to_string(grams), std::to_string(a.b), "--no-wait"}, &reply, 2);
        if (!sent) {
            // The owner's phone cannot reach it: the feeding service's own datagram.
            snprintf(req, sizeof req, R"({"op":"feed","amount":%d,"melody":"%d"})", grams, a.b);
            control_request(sock_, req);
        }
        note("feed " + std::to_string(grams) + " g melody " + std::to_string(a.b) +
             (sent ? " (phone)" : " (datagram)"));
    } else if (a.kind == "bowl-away") {
        control_request(sock_, R"({"op":"bowl","present":false})");
        bowl_present_ = false;
        bowl_missing_onsets_.push_back(vt_);
        note("bowl taken away");
        if (bowl_away_since_ < 0) bowl_away_since_ = vt_;
    } else if (a.kind == "bowl-back") {
        control_request(sock_, R"({"op":"bowl","present":true})");
        bowl_present_ = true;
        note("bowl put back");
        close_spans(false);
    } else if (a.kind == "hopper-low") {
        control_request(sock_, R"({"op":"set","hopper":100})");
        note("hopper runs low (100 g)");
    } else if (a.kind == "refill") {
        control_request(sock_, R"({"op":"set","hopper":2000})");
        note("hopper refilled (2000 g)");
    } else if (a.kind == "appetite") {
        appetite_ = a.a;
        snprintf(req, sizeof req, R"({"op":"set","pet_appetite":%d})", a.a);
        control_request(sock_, req);
        note("pet appetite " + std::to_string(a.a) + " g");
    } else if (const Fault* f = fault_of(a.kind)) {
        std::string start = f->starts[size_t(a.a) % f->starts.size()];
        size_t at = start.find("%d");
        if (at != std::string::npos) start.replace(at, 2, std::to_string(a.b));
        control_request(sock_, start);
        note(a.kind + " " + start);
        fault_since_[f].push_back(vt_);
    } else if (a.kind.rfind("end ", 0) == 0 && fault_of(a.kind.substr(4))) {
        const Fault* f = fault_of(a.kind.substr(4));
        control_request(sock_, f->ends);
        note(a.kind);
        close_spans(false, f);
    } else if (a.kind == "mcu-event") {
        snprintf(req, sizeof req, R"({"op":"mcu_event","code":%d})", a.a);
        control_request(sock_, req);
        note("mcu event frame " + std::to_string(a.a));
    } else if (a.kind == "net-down") {
        control_request(sock_, R"({"op":"set","network_up":false})");
        network_up_ = false;
        note("network down");
        outage_begins(&net_out_since_);
    } else if (a.kind == "net-up") {
        control_request(sock_, R"({"op":"set","network_up":true})");
        network_up_ = true;
        note("network up");
        outage_ends(&net_out_since_);
    } else if (a.kind == "sip-stop") {
        SipService{dir_ + "/sip", addr_}.stop();
        sip_up_ = false;
        note("SIP service stopped");
    } else if (a.kind == "sip-start") {
        SipService{dir_ + "/sip", addr_}.start();
        sip_up_ = true;
        answer_ready_real_ = real_now();
        note("SIP service started again");
    } else if (a.kind == "cloud-slow" || a.kind == "cloud-refuse" || a.kind == "cloud-ok") {
        start_cloud(a.kind == "cloud-slow" ? "slow" : a.kind == "cloud-ok" ? "close" : "refuse");
        note(a.kind == "cloud-ok" ? "cloud service answering again"
                                  : "cloud service " + cloud_mode_);
        if (cloud_mode_ == "refuse")
            outage_begins(&cloud_out_since_);
        else
            outage_ends(&cloud_out_since_);
    } else if (a.kind == "button") {
        snprintf(req, sizeof req, R"({"op":"button","line":"%s","hold_s":1})",
                 a.a ? "wps" : "reset");
        control_request(sock_, req);
        note(std::string("short press of ") + (a.a ? "wps" : "reset"));
    } else if (a.kind == "restart" || a.kind == "power-cut") {
        bool orderly = a.kind == "restart" && came_up_;
        note(orderly ? "orderly stop (SIGINT), then start" : "power cut (SIGKILL), then start");
        double before = real_now();
        stop_device(orderly, false);
        ++restarts_;
        long at = vt_ + (orderly ? 2 : 5);
        // The clock went on while the daemon stopped.
        at += long((real_now() - before) * o_.speed);
        // Never before what the last daemon did: the board's clock keeps going.
        if (!serves_.empty()) at = std::max(at, serves_.back().t + 2);
        if (!manual_serves_.empty()) at = std::max(at, manual_serves_.back().t + 2);
        start_device(at);
    }
}

// The whole run's actions, from the seed alone.
void Soak::plan() {
    std::uniform_real_distribution<double> u(0, 1);
    auto when = [&] { return t0_ + 600 + long(u(rng_) * double(t_end_ - t0_ - 1200)); };
    auto add = [&](const char* kind, double per_day, int a_lo, int a_hi, int b_lo, int b_hi,
                   const char* then = nullptr, long then_lo = 0, long then_hi = 0,
                   int near_pct = 0) {
        int n = std::poisson_distribution<int>(per_day * o_.days * o_.rate)(rng_);
        for (int i = 0; i < n; ++i) {
            Action x{when(), kind};
            x.a = std::uniform_int_distribution<int>(a_lo, a_hi)(rng_);
            x.b = std::uniform_int_distribution<int>(b_lo, b_hi)(rng_);
            x.near_meal = int(u(rng_) * 100) < near_pct;
            plan_.push_back(x);
            if (then) {
                long gap = std::uniform_int_distribution<long>(then_lo, then_hi)(rng_);
                plan_.push_back({x.t + gap, then});
            }
        }
    };
    add("sched-append", 4, 0, 0, 0, 0);
    add("sched-modify", 2, 0, 0, 0, 0);
    add("sched-delete", 1.5, 0, 0, 0, 0);
    add("sched-enum", 1, 0, 0, 0, 0);
    add("feed", 4, 5, 60, 0, 3, nullptr, 0, 0, 40);
    add("bowl-away", 1, 0, 0, 0, 0, "bowl-back", 300, 3600);
    add("hopper-low", 0.5, 0, 0, 0, 0, "refill", 1800, 6 * 3600);
    add("refill", 1, 0, 0, 0, 0);
    add("appetite", 2, 0, 60, 0, 0);
    // A burst ends by its count or, for a fault that keeps no count (a converter
    // never ready), when the world clears it.
    for (const Fault& f : kFaults) {
        std::string end = std::string("end ") + f.action;
        add(f.action, f.per_day, 0, int(f.starts.size()) - 1, 1, f.max_count, end.c_str(), f.min_s,
            f.max_s);
    }
    add("mcu-event", 1, 128, 129, 0, 0);
    add("net-down", 0.5, 0, 0, 0, 0, "net-up", 120, 1800);
    add("sip-stop", 0.5, 0, 0, 0, 0, "sip-start", 60, 1200);
    add("cloud-slow", 0.3, 0, 0, 0, 0, "cloud-ok", 600, 3600);
    add("cloud-refuse", 0.3, 0, 0, 0, 0, "cloud-ok", 600, 3600);
    add("button", 1, 0, 1, 0, 0);
    add("restart", 1.5, 0, 0, 0, 0, nullptr, 0, 0, 40);
    add("power-cut", 1, 0, 0, 0, 0, nullptr, 0, 0, 40);
    std::stable_sort(plan_.begin(), plan_.end(),
                     [](const Action& a, const Action& b) { return a.t < b.t; });
}

// ---------------------------------------------------------------- the run

int Soak::run() {
    bin_dir_ = HOPPERD_SIM_BIN_DIR;
    dir_ = make_temp_dir("soak");
    root_ = dir_ + "/root";
    sock_ = dir_ + "/ctl.sock";
    addr_ = "127." + std::to_string(10 + o_.seed % 200) + "." + std::to_string(getpid() % 250 + 1) +
            "." + std::to_string(o_.silent ? 2 : 1);
    mkdir(root_.c_str(), 0755);
    write_desk_conf(root_, {addr_, addr_, "sip:" + addr_ + ":5080"});
    // 2026-12-07 06:00 in Korea, a Monday.
    struct tm start = {};
    start.tm_year = 2026 - 1900;
    start.tm_mon = 11;
    start.tm_mday = 7;
    start.tm_hour = 6;
    t0_ = long(timegm(&start)) - kKst;
    t_end_ = t0_ + long(o_.days * kDay);
    plan();
    printf("soak: seed %u, %.1f virtual days, %s build, %s, folder %s, services on %s\n", o_.seed,
           o_.days, o_.silent ? "silent" : "prompt",
           o_.warp ? "warp" : ("speed " + std::to_string(int(o_.speed))).c_str(), dir_.c_str(),
           addr_.c_str());
    fflush(stdout);
    real_start_ = real_now();
    if (!start_services()) return 2;
    if (!start_device(t0_)) {
        stop_services();
        return report();
    }
    poll();
    if (vt_ > t0_ + 60) {
        // The clock ran ahead before the bound of its jumps was set: the plan
        // starts where the clock is.
        long by = vt_ - t0_;
        for (Action& a : plan_) a.t += by;
        t0_ += by;
        t_end_ += by;
    }
    next_enum_ = t0_ + 3600;
    // The owner's usual day: a few meals every day, at times of the seed's.
    for (int i = 0; i < 4; ++i) {
        Action a{vt_, "sched-append"};
        a.a = 1;
        sched_op(a);
    }
    double day1_real = 0;
    while (vt_ < t_end_ && !g_stop) {
        usleep(o_.warp ? 20000 : 50000);
        poll();
        {
            siginfo_t info = {};
            int status = 0;
            if (waitid(P_PID, id_t(device_->pid()), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                info.si_pid == device_->pid()) {
                status = info.si_status;
                violation("no crash, no stuck start", vt_,
                          "the daemon ended by itself, status " + std::to_string(status) + ":\n" +
                              device_->output().substr(device_->output().size() > 2000
                                                           ? device_->output().size() - 2000
                                                           : 0));
                break;
            }
        }
        while (next_action_ < plan_.size() && plan_[next_action_].t <= vt_) {
            Action a = plan_[next_action_];
            if (a.near_meal) {
                // Into the next meal's fill or serve: two minutes ahead to half a
                // minute after; or, for half the power cuts, into the meal
                // being eaten, so that the next daemon finds food in the bowl.
                long m = next_meal_after(vt_);
                plan_[next_action_].near_meal = false;
                if (m > 0 && m - vt_ < 6 * 3600) {
                    Action moved = a;
                    moved.near_meal = false;
                    bool eaten = a.kind == "power-cut" && std::bernoulli_distribution(0.5)(rng_);
                    moved.t = m + std::uniform_int_distribution<long>(eaten ? 60 : -130,
                                                                      eaten ? 400 : 40)(rng_);
                    if (moved.t <= vt_) moved.t = vt_ + 1;
                    plan_.erase(plan_.begin() + long(next_action_));
                    auto at = std::upper_bound(
                        plan_.begin() + long(next_action_), plan_.end(), moved,
                        [](const Action& x, const Action& y) { return x.t < y.t; });
                    plan_.insert(at, moved);
                    continue;
                }
            }
            ++next_action_;
            act(a);
            if (!device_) break;
        }
        if (!device_) break;
        if (vt_ >= next_enum_ || (enum_owed_ && sip_up_ && real_now() - last_try_real_ >= 2)) {
            last_try_real_ = real_now();
            if (vt_ >= next_enum_) next_enum_ += 3600;
            enumerate(true);
        }
        if (!day1_real && vt_ - t0_ >= kDay) day1_real = real_now() - real_start_;
        static long shown = 0;
        if (vt_ - shown >= kDay / 4) {
            shown = vt_;
            printf("soak: %s, %.1f virtual days in %.0f s\n", local_text(vt_).c_str(),
                   double(vt_ - t0_) / kDay, real_now() - real_start_);
            fflush(stdout);
        }
    }
    if (device_) settle();
    if (device_ && !came_up_) {
        // The last stop is an orderly one: past the start-up's network wait.
        if (!device_->wait_for("uds client open fd : ", 60))
            violation("no crash, no stuck start", vt_,
                      "the daemon did not go on when the network came back");
        came_up_ = true;
    }
    if (device_) stop_device(true, true);
    stop_services();
    int rc = report();
    if (!o_.keep && rc == 0) remove_tree(dir_);
    return rc;
}

int Soak::report() {
    double real = real_now() - real_start_;
    double days = double(vt_ - t0_) / kDay;
    // Spans still open (a run cut short) last until now.
    close_spans(true);
    std::vector<std::pair<long, long>> outages = outages_;
    for (long since : {cloud_out_since_, net_out_since_})
        if (since >= 0) outages.push_back({since, vt_});
    // Meals: each served, or the owner told why, unless the daemon was not
    // running or the owner changed that meal meanwhile.
    soak::excuse_meals(&meals_, excuses_);
    soak::excuse_not_running(&meals_, runs_, kStartUp);
    soak::MealTally meals = soak::check_meals(meals_, serves_, messages_, outages, low_);
    for (const Violation& v : meals.bad)
        violation("each meal served once, or the owner told why", v.t, v.what);
    // Every feeding, the owner's or the schedule's, is weighed and reported
    // eaten unless the bowl went away, the daemon stopped or a fault hit it.
    int eaten_checked = 0;
    std::vector<soak::Serve> feedings = serves_;
    feedings.insert(feedings.end(), manual_serves_.begin(), manual_serves_.end());
    for (const soak::Serve& s : feedings) {
        bool excused = s.t + 900 > vt_;
        for (const Excuse& e : unweighed_)
            if (e.from <= s.t + 900 && e.to >= s.t) excused = true;
        if (excused) continue;
        ++eaten_checked;
        bool found = false;
        for (const Eaten& e : eaten_)
            if (e.to >= s.t && e.from <= s.t + 900 && e.tried == s.served) found = true;
        if (!found)
            violation("every feeding weighed and reported eaten", s.t,
                      "a feeding (" + std::to_string(s.served) +
                          " g) not weighed and reported eaten within 15 minutes");
    }
    soak::AmountTally amounts =
        soak::check_amounts(served_lines_, eaten_lines_, soak::truth_of(truth_), unsure_, lost_, 5);
    for (const Violation& v : amounts.bad) violation("every amount true", v.t, v.what);
    soak::DeliveryTally sent = soak::check_delivery(meant_, messages_, outages, cuts_, vt_);
    for (const Violation& v : sent.bad) violation("reports arrive, each once", v.t, v.what);
    int checked = 0;
    for (const Violation& v : soak::check_reports(messages_, max_grams_ + 25, &checked))
        violation("no negative or impossible report", v.t, v.what);
    int dev_checked = 0;
    for (const Violation& v : soak::check_reports(dev_lines_, max_grams_ + 25, &dev_checked))
        violation("no negative or impossible report", v.t, v.what);
    for (const Violation& v : soak::check_one_user(frames_, 0.8))
        violation("one user of the bowl and motor", v.t, v.what);
    long worst_gap = 0;
    for (const Violation& v : soak::check_keepalives(watchdog_, runs_, o_.max_gap, &worst_gap))
        violation("no watchdog bite, keeps pace", v.t, v.what);
    std::vector<long> marks_low = starts_low_, marks_missing = starts_missing_;
    marks_low.insert(marks_low.end(), misread_low_.begin(), misread_low_.end());
    marks_missing.insert(marks_missing.end(), misread_missing_.begin(), misread_missing_.end());
    for (const Violation& v :
         soak::check_notice(messages_, "사료가 부족합니다.", food_low_onsets_, marks_low, 60))
        violation("the owner is not flooded", v.t, v.what);
    for (const Violation& v : soak::check_notice(messages_, "밥그릇이 빠져 있습니다.",
                                                 bowl_missing_onsets_, marks_missing, 60))
        violation("the owner is not flooded", v.t, v.what);
    std::map<std::string, int> notices;
    for (const Message& m : messages_) ++notices[m.text];
    // Per-meal and per-request notices: never more than there were meals or requests.
    if (notices["사료가 부족합니다..."] > meals.due)
        violation("the owner is not flooded", vt_,
                  "\"사료가 부족합니다...\" sent " +
                      std::to_string(notices["사료가 부족합니다..."]) + " times for " +
                      std::to_string(meals.due) + " meals");
    if (notices["사료가 부족합니다...."] > by_kind_["feed"])
        violation("the owner is not flooded", vt_,
                  "\"사료가 부족합니다....\" sent " +
                      std::to_string(notices["사료가 부족합니다...."]) + " times for " +
                      std::to_string(by_kind_["feed"]) + " feedings asked");
    long from = t0_ + std::min(kDay, long(o_.days * kDay / 4));
    long anon0, anon1, fd0, fd1;
    // Free pages given back before each sample, the samples of 3-day soaks
    // stay within 0.5 MB of each other with no trend: a leak of the daemon's
    // shows as a climb past the bound.
    for (const Violation& v : soak::check_flat(anon_, from, 2048, "anonymous kB", &anon0, &anon1))
        violation("memory and descriptors flat", v.t, v.what);
    for (const Violation& v : soak::check_flat(fds_, from, 4, "descriptors", &fd0, &fd1))
        violation("memory and descriptors flat", v.t, v.what);

    printf("\n| figure | value |\n|---|---|\n");
    printf("| build, seed | %s, %u |\n", o_.silent ? "silent" : "prompt", o_.seed);
    printf("| virtual days | %.2f |\n", days);
    printf("| real time | %.0f s |\n", real);
    printf("| speed | %.0f virtual s per s |\n", real > 0 ? double(vt_ - t0_) / real : 0.0);
    std::string kinds;
    for (const auto& [k, n] : by_kind_) kinds += k + " " + std::to_string(n) + ", ";
    printf("| actions | %zu: %s|\n", next_action_, kinds.c_str());
    printf("| restarts | %d |\n", restarts_);
    printf(
        "| meals due / served / missed with a notice / missed without one / doubled | %d / %d / "
        "%d / %d / %d |\n",
        meals.due, meals.served, meals.told, meals.untold, meals.doubled);
    std::map<std::string, int> whys;
    for (const soak::Meal& m : meals_)
        if (!m.required && !m.why.empty()) ++whys[m.why];
    std::string excused;
    for (const auto& [why, n] : whys) excused += why + " " + std::to_string(n) + ", ";
    printf("| meals not required | %d: %s|\n", meals.due - meals.required, excused.c_str());
    printf("| meals served from a low hopper, told | %d |\n", meals.low_told);
    printf(
        "| largest error against the world, served / eaten | %.1f g of %d / %.1f g of %d "
        "(%d weighed with the load cell garbled, %d whose truth the record dropped: %llu world "
        "events unread) |\n",
        amounts.worst_served, amounts.served, amounts.worst_eaten, amounts.eaten, amounts.unsure,
        amounts.lost, (unsigned long long)events_lost_);
    printf(
        "| reports the device sent / arrived / lost to power cuts / pending at the end | %d / %d / "
        "%d / %d (outages %zu) |\n",
        sent.meant, sent.arrived, sent.lost_to_cuts, sent.pending, outages.size());
    printf(
        "| reports checked | %d in the cloud record, %d in the device log, %d eaten weighings |\n",
        checked, dev_checked, eaten_checked);
    printf("| phone commands answered | %d of %d (worst hourly wait %.1f s) |\n", phone_answered_,
           phone_sent_, worst_answer_s_);
    int stuck = 0;
    for (const Message& m : messages_) stuck += m.text.rfind("사료그릇이 멈추었습니다", 0) == 0;
    printf(
        "| notices | food low %d, bowl missing %d; for meals: bowl missing %d, hopper low %d, bowl "
        "stuck %d, scale %d |\n",
        notices["사료가 부족합니다."], notices["밥그릇이 빠져 있습니다."],
        notices["그릇이 빠진것같습니다. 확인해주세요."], notices["사료가 부족합니다..."], stuck,
        notices["저울이 응답하지 않습니다. 확인해주세요."]);
    printf(
        "| junk sensor replies the link took | %zu read as food no longer low, %zu as the bowl "
        "back |\n",
        misread_low_.size(), misread_missing_.size());
    printf("| widest keep-alive gap | %ld virtual s |\n", worst_gap);
    std::pair<long, long> slowest = {0, 0};
    for (const auto& su : start_ups_)
        if (su.second > slowest.second) slowest = su;
    printf("| longest start-up, to the runner's first pass | %ld virtual s (the start at %s) |\n",
           slowest.second, local_text(slowest.first).c_str());
    printf("| anonymous memory at day 1 / at the end | %ld kB / %ld kB |\n", anon0, anon1);
    printf("| descriptors at day 1 / at the end | %ld / %ld |\n", fd0, fd1);
    const char* invariants[] = {"each meal served once, or the owner told why",
                                "every feeding weighed and reported eaten",
                                "every amount true",
                                "reports arrive, each once",
                                "identity and schedule kept",
                                "no negative or impossible report",
                                "one user of the bowl and motor",
                                "the phone is answered",
                                "the owner is not flooded",
                                "no watchdog bite, keeps pace",
                                "no crash, no stuck start",
                                "memory and descriptors flat",
                                "orderly stop: Bye.... and status 0"};
    int failed = 0;
    for (const char* inv : invariants) {
        auto it = bad_.find(inv);
        bool ok = it == bad_.end() || it->second.empty();
        printf("| %s | %s |\n", inv,
               ok ? "held" : ("VIOLATED (" + std::to_string(it->second.size()) + ")").c_str());
        failed += !ok;
    }
    for (const auto& [inv, list] : bad_) {
        if (list.empty()) continue;
        printf("\n%s: %zu violations, the first:\n", inv.c_str(), list.size());
        for (size_t i = 0; i < list.size() && i < 3; ++i) {
            printf("  [%s] %s\n    actions around it:\n%s", local_text(list[i].t).c_str(),
                   list[i].what.c_str(), around(list[i].t).c_str());
        }
    }
    if (failed) printf("\nsoak: the run's files are kept in %s\n", dir_.c_str());
    fflush(stdout);
    return failed ? 1 : 0;
}

bool parse(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--silent") {
            o->silent = true;
        } else if (a == "--warp") {
            o->warp = true;
        } else if (a == "--keep") {
            o->keep = true;
        } else if (a == "--verbose") {
            o->verbose = true;
        } else if (a == "--wrong-serve") {
            o->wrong_serve = true;
        } else if ((a == "--days" || a == "--seed" || a == "--speed" || a == "--max-speed" ||
                    a == "--max-gap" || a == "--rate") &&
                   (v = value())) {
            if (a == "--days") o->days = atof(v);
            if (a == "--seed") o->seed = unsigned(strtoul(v, nullptr, 10));
            if (a == "--speed") o->speed = atof(v), o->speed_given = true;
            if (a == "--max-speed") o->max_speed = atof(v);
            if (a == "--max-gap") o->max_gap = atol(v);
            if (a == "--rate") o->rate = atof(v);
        } else {
            return false;
        }
    }
    if (o->warp && !o->speed_given) o->speed = 50;
    return o->days > 0 && o->speed > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, &o)) {
        fprintf(stderr,
                "usage: soak --days N --seed S [--silent] [--speed X] [--warp] [--max-speed X] "
                "[--keep] [--max-gap S] [--verbose] [--wrong-serve]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    signal(SIGINT, on_stop);
    signal(SIGTERM, on_stop);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Soak s(o);
    return s.run();
}
