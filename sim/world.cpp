#include "sim/world.h"
#include "include/thread_name.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <future>

namespace sim {

namespace {

void make_dirs(const std::string& path) {
    std::string cur;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            if (!cur.empty()) mkdir(cur.c_str(), 0755);
        }
        if (i < path.size()) cur += path[i];
    }
}
}  // namespace

const char* bowl_pos_name(BowlPos p) {
    switch (p) {
        case BowlPos::In:
            return "in";
        case BowlPos::Out:
            return "out";
        case BowlPos::MovingIn:
            return "moving_in";
        case BowlPos::MovingOut:
            return "moving_out";
    }
    return "?";
}

World& World::get() {
    // Never destroyed: the daemon's threads may still use the board while the
    // process exits (an exit(1) at start-up leaves them running).
    static World* w = new World;
    return *w;
}

std::string World::path(const char* fixed) const {
    return root_ + fixed;
}

void World::start(const WorldConfig& cfg) {
    stop();
    {
        std::lock_guard<std::mutex> hold(mu_);
        root_ = cfg.root == "/" ? "" : cfg.root;
        while (!root_.empty() && root_.back() == '/') root_.pop_back();
        phys = Physics{};
        mcu = McuState{};
        adc = AdcState{};
        wdt = WatchdogState{};
        shell = ShellState{};
        shell.network_up = cfg.network_up;
        phys.food_grams = cfg.food_grams;
        history.clear();
        has_wlan0 = true;
        gpio_f_fails = false;
        bttn_pending = 0;
        devices.clear();
        events_.clear();
        rng_.seed(cfg.seed);
        msgq_key = cfg.msgq_key;
        int64_t start = cfg.start_us ? cfg.start_us : real_wall_us();
        if (cfg.manual_clock)
            clock_.set_manual(start, cfg.auto_advance);
        else
            clock_.set_scaled(cfg.speed, start);
        clock_.set_max_speed(cfg.max_speed);
        if (cfg.pace_starter) clock_.pace_this_thread();
        clock_.set_warp(cfg.warp && !cfg.manual_clock);
        phys.last_update_us = clock_.monotonic_us();
        if (cfg.bowl_out) {
            phys.bowl = BowlPos::Out;
            bowl_presented();
        }
        if (bttn_event_fd < 0) bttn_event_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        uint64_t drain;
        while (read(bttn_event_fd, &drain, sizeof drain) > 0) {
        }
    }
    if (!root_.empty()) {
        for (const char* d : {"/etc", "/dev", "/tmp", "/root/audio"}) make_dirs(root_ + d);
    }
    if (cfg.start_mcu) start_mcu();
    stopping_ = false;
    // A watchdog that stops being fed bites even when nobody looks.
    if (!cfg.manual_clock) {
        if (tick_wake_fd_ < 0) tick_wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        uint64_t drain;
        while (read(tick_wake_fd_, &drain, sizeof drain) > 0) {
        }
        helpers_.push_back(std::make_unique<Helper>());
        helpers_.back()->th = std::thread([this] { tick(); });
        name_thread(helpers_.back()->th, "sim-ticker");
    }
}

void World::stop() {
    stopping_ = true;
    if (tick_wake_fd_ >= 0) {
        uint64_t one = 1;
        if (write(tick_wake_fd_, &one, sizeof one) < 0) perror("eventfd");
    }
    std::list<std::unique_ptr<Helper>> helpers;
    {
        std::lock_guard<std::mutex> hold(mu_);
        helpers.swap(helpers_);
    }
    for (auto& h : helpers) h->th.join();
    {
        std::lock_guard<std::mutex> one(updater_mu_);
        stop_updater();
    }
    stop_mcu();
}

void World::log(const char* kind, const std::string& text) {
    events_.push(clock_.now_us(), kind, text);
}

void World::log_at(int64_t mono_us, const char* kind, const std::string& text) {
    events_.push(clock_.wall_at(mono_us), kind, text);
}

// Only the events asked for are copied: a driver polling the record often
// must not hold the world's lock over all of it.
uint64_t World::events_since(uint64_t seq, std::vector<Event>* out, size_t max, const char* kind) {
    std::lock_guard<std::mutex> hold(mu_);
    return events_.since(seq, out, max, kind);
}

std::vector<std::string> World::texts(const char* kind) {
    std::vector<Event> all;
    events_since(0, &all, SIZE_MAX, kind);
    std::vector<std::string> out;
    for (Event& e : all) out.push_back(std::move(e.text));
    return out;
}

double World::rand_uniform(double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng_);
}

void World::update() {
    int64_t now = clock_.monotonic_us();
    Physics& p = phys;
    while (p.last_update_us < now) {
        // Next event: the end of a bowl movement or the next motor portion.
        int64_t next = now;
        bool moving =
            p.bowl == BowlPos::MovingIn || (p.bowl == BowlPos::MovingOut && !p.bowl_sticks);
        if (moving && p.bowl_arrive_us < next) next = std::max(p.bowl_arrive_us, p.last_update_us);
        if (p.motor_pending > 0 && p.motor_next_us < next)
            next = std::max(p.motor_next_us, p.last_update_us);

        // The pet eats up to the event.
        if (p.bowl == BowlPos::Out && p.bowl_present && p.food_grams > 0) {
            double dt = double(next - p.last_update_us) / 1e6;
            double bite =
                std::min({p.pet_pace_gps * dt, p.pet_appetite - p.pet_eaten, p.food_grams});
            if (bite > 0) {
                p.food_grams -= bite;
                p.pet_eaten += bite;
                p.shown_eaten += bite;
            }
        }
        p.last_update_us = next;

        if (moving && p.bowl_arrive_us <= next) {
            p.bowl = p.bowl == BowlPos::MovingIn ? BowlPos::In : BowlPos::Out;
            log("bowl", std::string("arrived ") + bowl_pos_name(p.bowl));
            if (p.bowl == BowlPos::Out) bowl_presented();
        }
        if (p.motor_pending > 0 && p.motor_next_us <= next) {
            double portion = p.portion_grams + rand_uniform(-p.portion_noise, p.portion_noise);
            portion = std::max(0.0, std::min(portion, p.hopper_grams));
            p.hopper_grams -= portion;
            // Food only lands in a bowl standing in under the outlet.
            if (p.bowl == BowlPos::In && p.bowl_present) p.food_grams += portion;
            --p.motor_pending;
            p.motor_next_us += int64_t(p.portion_s * 1e6);
        }
    }
    if (wdt.armed && !wdt.bitten && now - wdt.last_kick_us > int64_t(wdt.timeout_s) * 1000000) {
        wdt.bitten = true;
        log_at(now, "watchdog", "bite: no keep-alive for " + std::to_string(wdt.timeout_s) + " s");
        fprintf(stderr, "sim: watchdog bite: no keep-alive for %d s, the board would reset\n",
                wdt.timeout_s);
    }
}

void World::bowl_presented() {
    phys.pet_eaten = 0;
    phys.shown_eaten = 0;
    char text[64];
    snprintf(text, sizeof text, "presented %.1f%s", phys.food_grams,
             phys.bowl_present ? "" : " absent");
    log("truth", text);
}

void World::bowl_taken() {
    char text[64];
    snprintf(text, sizeof text, "taken ate %.1f left %.1f%s", phys.shown_eaten, phys.food_grams,
             phys.bowl_present ? "" : " absent");
    log("truth", text);
}

int32_t World::raw_counts() {
    update();
    double grams = 0;
    if (phys.bowl == BowlPos::In && phys.bowl_present) grams = phys.bowl_grams + phys.food_grams;
    double raw = phys.base_counts + grams * phys.counts_per_gram +
                 rand_uniform(-phys.noise_counts, phys.noise_counts);
    return std::clamp(int32_t(raw), 0, 0xFFFFF);
}

uint8_t World::sensor_bits() {
    update();
    if (phys.sensor_override >= 0) return uint8_t(phys.sensor_override);
    uint8_t bits = 0;
    if (phys.hopper_grams < phys.food_low_below) bits |= 0x01;
    if (phys.bowl == BowlPos::In) bits |= 0x04;
    if (phys.bowl == BowlPos::Out) bits |= 0x08;
    if (!phys.bowl_present) bits |= 0x10;
    return bits;
}

void World::button_edge(uint32_t line, bool pressed) {
    std::lock_guard<std::mutex> hold(mu_);
    bttn_pending |= line;
    log("button", std::string(line == 1 ? "reset" : "wps") + (pressed ? " pressed" : " released"));
    uint64_t one = 1;
    if (write(bttn_event_fd, &one, sizeof one) < 0) perror("eventfd");
}

void World::mcu_send_event(uint8_t code) {
    {
        std::lock_guard<std::mutex> hold(mu_);
        mcu.pending_events.push_back(make_frame(code, {0x00}));
    }
    mcu_wake();
}

// The release waits on a thread of its own, which holds the warp from before
// the press: a new thread otherwise counts only from its first sleep, and a
// jump in between would stretch a short press into a factory reset.
void World::press_button(uint32_t line, double hold_s) {
    std::promise<void> paced;
    std::future<void> ready = paced.get_future();
    {
        std::lock_guard<std::mutex> hold(mu_);
        reap_helpers();
        helpers_.push_back(std::make_unique<Helper>());
        Helper* h = helpers_.back().get();
        h->th = std::thread([this, line, hold_s, h, &paced] {
            clock_.pace_this_thread();
            paced.set_value();
            clock_.sleep_us(int64_t(hold_s * 1e6));
            if (!stopping_) button_edge(line, false);
            h->done = true;
        });
    }
    ready.wait();
    button_edge(line, true);
}

// A driver pressing buttons for days must not keep a finished thread (and
// its stack) per press.
void World::reap_helpers() {
    for (auto it = helpers_.begin(); it != helpers_.end();) {
        if ((*it)->done) {
            (*it)->th.join();
            it = helpers_.erase(it);
        } else {
            ++it;
        }
    }
}

// Wakes when the next sample is due or an unfed watchdog would bite, not
// every second: a warping clock jumps between wake-ups, and each costs one.
void World::tick() {
    int64_t wait_us = 1000000;
    while (!stopping_) {
        struct pollfd p = {tick_wake_fd_, POLLIN, 0};
        clock_.poll(&p, 1, int(std::max<int64_t>(1, (wait_us + 999) / 1000)));
        uint64_t drain;
        while (!stopping_ && read(tick_wake_fd_, &drain, sizeof drain) > 0) {
        }
        std::lock_guard<std::mutex> hold(mu_);
        update();
        int64_t now = clock_.monotonic_us();
        history.sample(now / 1000000, phys.food_grams, phys.hopper_grams);
        int64_t next = (history.samples().back().mono_s + History::kEveryS) * 1000000;
        if (wdt.armed && !wdt.bitten)
            next = std::min(next, wdt.last_kick_us + int64_t(wdt.timeout_s) * 1000000 + 1000);
        wait_us = next - now;
    }
}

// A watchdog armed (or given a shorter time-out) after the ticker chose its
// wake-up may bite before it: the ticker reckons again. A bite is looked for
// only when someone looks, so a warping clock would otherwise jump past it
// to the ticker's next sample.
void World::retime_ticker() {
    if (tick_wake_fd_ < 0) return;
    uint64_t one = 1;
    if (write(tick_wake_fd_, &one, sizeof one) < 0) perror("eventfd");
}

uint8_t frame_checksum(const uint8_t* p, int n) {
    uint8_t sum = 0;
    for (int i = 0; i < n; ++i) sum = uint8_t(sum + p[i]);
    return uint8_t(~sum);
}

std::vector<uint8_t> make_frame(uint8_t code, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> f;
    f.reserve(data.size() + 5);
    f.push_back(0xA1);
    f.push_back(uint8_t(1 + data.size()));
    f.push_back(code);
    for (uint8_t b : data) f.push_back(b);
    f.push_back(frame_checksum(f.data() + 2, int(f.size() - 2)));
    f.push_back(0xA8);
    return f;
}

std::string hex(const uint8_t* p, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

}  // namespace sim
