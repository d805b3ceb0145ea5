// The simulated board: one world that the platform seam's simulation side,
// the MCU model on the pty, the control socket and the tests all share.
//
// Physical state is advanced lazily: every look at the world first runs
// update(), which carries movements, motor portions and the pet's eating
// forward to the current virtual time. One mutex guards all of it.
#pragma once

#include <stdint.h>

#include <atomic>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sim/clock.h"
#include "sim/event_record.h"
#include "sim/history.h"

namespace sim {

enum class BowlPos { In, Out, MovingIn, MovingOut };
const char* bowl_pos_name(BowlPos p);

// How the MCU model misbehaves, each for `count` replies (-1: until cleared).
// Lost: the request never reaches the MCU (not carried out, no reply);
// Silent: it is carried out and its reply is lost.
enum class McuFault { None, Silent, Late, Short, BadChecksum, Noise, Oversize, Lost };
enum class AdcFault { None, Markerless, Noise, NeverReady };

struct WorldConfig {
    std::string root;  // fixed paths live below it; empty: "/"
    bool manual_clock = false;
    bool auto_advance = true;  // manual clock only
    double speed = 1.0;        // scaled clock only
    bool warp = false;         // scaled clock only: jump to the next wake-up while all sleep
    double max_speed = 0;      // bound of the jumps, virtual s per real s; 0: none
    bool network_up = true;    // whether the network answers at start
    double food_grams = 0;     // in the bowl at start: what a stopped device left there
    int64_t start_us = 0;      // virtual wall time at start; 0: now
    bool bowl_out = false;     // out with the pet at start: where a power cut left it
    uint32_t seed = 1;
    bool start_mcu = true;  // run the MCU model on a pty
    int msgq_key = 0;       // the updater's queue; 0: the board's own key
    // The starting thread goes on to work for the device (the daemon's
    // start-up): counted for the warp from the clock's first instant, before
    // any other thread of the world can wait and let the clock jump.
    bool pace_starter = false;
};

struct Physics {
    // Scale: raw = base + (bowl on the scale ? (bowl + food) * counts_per_gram : 0) + noise
    int32_t base_counts = 300000;
    double counts_per_gram = 129.77;
    double bowl_grams = 156.0;
    int32_t noise_counts = 12;  // +/- uniform

    BowlPos bowl = BowlPos::In;
    int64_t bowl_arrive_us = 0;  // monotonic time the running movement ends
    bool bowl_present = true;
    bool bowl_sticks = false;  // the bowl stops on its way out
    double travel_s = 8.0;

    double food_grams = 0.0;  // in the bowl
    double hopper_grams = 2000.0;
    double food_low_below = 150.0;
    double portion_grams = 7.0;
    double portion_noise = 1.0;  // +/- uniform grams
    double portion_s = 0.8;
    int motor_pending = 0;  // portions still to run
    int64_t motor_next_us = 0;
    int motor_back_total = 0;

    // The pet eats while the bowl is out and present.
    double pet_pace_gps = 0.2;   // grams per second
    double pet_appetite = 30.0;  // grams per presentation
    double pet_eaten = 0.0;      // this presentation, against the appetite
    double shown_eaten = 0.0;    // this presentation, for the truth record
    int64_t last_update_us = 0;  // monotonic

    int led3 = 0;
    int led4 = 0;
    int sensor_override = -1;  // forced sensor byte for tests, -1 off
    uint8_t mcu_time[7] = {0};
};

struct McuState {
    McuFault fault = McuFault::None;
    int fault_count = 0;
    int late_ms = 800;
    std::vector<std::vector<uint8_t>> pending_events;  // frames to send on their own
    std::deque<std::vector<uint8_t>> scripted;         // exact bytes to send as the next replies
};

struct AdcState {
    bool powered = false;     // control line pulsed low then high
    int64_t ready_at_us = 0;  // monotonic
    int64_t ready_delay_us = 50000;
    bool clk = false;
    int bit = 32;  // 32: no frame being shifted out
    uint32_t word = 0;
    bool data = true;
    AdcFault fault = AdcFault::None;
    int fault_count = 0;
    uint64_t frames = 0;
    std::deque<uint32_t> scripted;  // exact words to shift out as the next frames
};

struct WatchdogState {
    bool open = false;
    bool armed = false;
    bool magic = false;  // "V" written since the last keep-alive
    int timeout_s = 15;
    int64_t last_kick_us = 0;  // monotonic
    uint64_t keepalives = 0;
    bool bitten = false;
};

struct ShellState {
    // The updaters running, each a process of its own, by PID. ps lists them
    // with the listing pipeline's own shell and grep, in PID order.
    std::vector<int> updater_pids;
    // The kernel's PID counter: each process takes the next free PID; at
    // pid_max it starts again at 300 (the PIDs below stay the boot's).
    int next_pid = 1000;
    int pid_max = 32768;          // a 32-bit board's
    int updater_answer = 0;       // message type the updater sends back to a request; 0: none
    bool updater_broken = false;  // "/root/fw_update &" starts nothing
    // wget reaches no server: like the real one it has already emptied its
    // -O file, and ends with status 4. Also while the network is down.
    bool download_fails = false;
    bool date_fails = false;
    bool network_up = true;
    bool reboot_requested = false;
    double clip_s = 2.0;  // default length of a voice prompt or melody
    // Programs that never end (the control op "hang"): a clip that plays on,
    // ntpdate with no answer; and an updater that takes each request and
    // answers nothing. `unkillable`: a hung program also outlives the kill
    // at its limit, as one stuck in a driver would.
    bool hang_play = false;
    bool hang_ntpdate = false;
    bool hang_updater = false;
    bool unkillable = false;
};

struct DeviceFd {
    enum Kind { GpioF, GpioI, Watchdog } kind;
};

class World {
  public:
    static World& get();

    // Sets up the clock, the folders below the root and the MCU model.
    void start(const WorldConfig& cfg);
    // Stops the MCU model and forgets all state.
    void stop();

    VirtualClock& clock() { return clock_; }
    const std::string& root() const { return root_; }
    std::string path(const char* fixed) const;
    const std::string& tty_path() const { return tty_path_; }

    // All fields below are guarded by mu(). Under it the clock is only read,
    // which takes no lock on a scaled clock: the clock's own lock, which
    // every sleeper takes, is not to be taken under this one.
    std::mutex& mu() { return mu_; }
    void update();  // carry the physics forward to now; mu() held
    void log(const char* kind, const std::string& text);  // mu() held
    int32_t raw_counts();                                 // mu() held
    uint8_t sensor_bits();                                // mu() held
    double rand_uniform(double lo, double hi);            // mu() held
    // Recorded at the monotonic instant the state it tells of was taken at,
    // not at a later reading of a clock that flows meanwhile; mu() held.
    void log_at(int64_t mono_us, const char* kind, const std::string& text);
    // The bowl arrives out, or is sent out again while out: a new meal for
    // the pet; and as it leaves. Each is recorded as the truth the soak
    // holds the device's reports to (events of kind "truth"): "presented G"
    // with the grams in the bowl, "taken ate E left L" with what the pet ate
    // of them, " absent" added when the bowl was not there. mu() held.
    void bowl_presented();
    void bowl_taken();

    Physics phys;
    McuState mcu;
    AdcState adc;
    WatchdogState wdt;
    ShellState shell;
    History history;  // sampled by the ticker (scaled clock only)
    unsigned char mac[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
    bool has_wlan0 = true;
    bool gpio_f_fails = false;
    uint32_t bttn_pending = 0;
    std::atomic<int> bttn_ack_delay_us{0};  // a driver slow to take an acknowledge
    int bttn_event_fd = -1;
    std::map<int, DeviceFd> devices;
    int msgq_key = 0;
    // Removes the queue of a key of the world's own (never the board's), so
    // no stale messages wait for the next world with that key.
    void remove_queue();
    // A new process's PID from the counter (ShellState); mu() held.
    int take_pid();
    // Runs the updaters' side of the queue while any updater is in the
    // listing, and ends it when none is; mu() not held.
    void sync_updater_queue();

    // Events since `seq` (inclusive), at most `max`, only of `kind` when
    // given; returns the next seq.
    uint64_t events_since(uint64_t seq, std::vector<Event>* out, size_t max = 100000,
                          const char* kind = nullptr);
    // Convenience for tests: every event of a kind, as text.
    std::vector<std::string> texts(const char* kind);

    // Button press and release: each edge raises an interrupt.
    void button_edge(uint32_t line, bool pressed);
    // Queue an MCU event frame (0x80 / 0x81) to be sent on its own.
    void mcu_send_event(uint8_t code);
    // Press a button now and release it `hold_s` virtual seconds later; each
    // edge raises an interrupt.
    void press_button(uint32_t line, double hold_s);
    // The watchdog's bite may now come sooner than the ticker's next look.
    void retime_ticker();

    struct McuThread;  // the MCU model's pty and thread (sim/mcu_model.cpp)

  private:
    void start_mcu();
    void stop_mcu();
    void start_updater();  // the updater's side of the queue (sim/updater.cpp)
    void stop_updater();
    std::mutex updater_mu_;  // one start or stop of that side at a time
    void mcu_wake();
    void tick();  // a virtual second's look at the world, for what nobody asks about
    friend int shell_system(World& w, const char* cmd, int limit_ms);

    std::mutex mu_;
    VirtualClock clock_;
    std::string root_;
    std::string tty_path_;
    std::mt19937 rng_;
    EventRecord events_{50000};  // oldest events go first in long runs
    McuThread* mcu_thread_ = nullptr;
    struct UpdaterThread;
    UpdaterThread* updater_ = nullptr;
    struct Helper {  // a button hold or the ticker
        std::thread th;
        std::atomic<bool> done{false};
    };
    std::list<std::unique_ptr<Helper>> helpers_;
    void reap_helpers();  // joins the helpers that ended; mu() held
    std::atomic<bool> stopping_{false};
    int tick_wake_fd_ = -1;  // eventfd: the ticker's time to stop, or to reckon again
};

// Frame helpers of the MCU model (its own, independent of the daemon's).
uint8_t frame_checksum(const uint8_t* p, int n);
std::vector<uint8_t> make_frame(uint8_t code, const std::vector<uint8_t>& data);
std::string hex(const uint8_t* p, size_t n);  // "A1 02 30 00 CF A8"

}  // namespace sim
