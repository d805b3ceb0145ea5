// Feeder core: calibration, the dispense procedure and the consumption monitor.
#pragma once

#include <stdint.h>

#include <mutex>

#include "include/feeder.h"
#include "platform/task.h"

// --- calibration -------------------------------------------------------------
enum { MSGQ_KEY = 1234 };
constexpr float kBowlGrams = 156.0f;
constexpr float kNominalBowlCounts = 20244.121f;  // 156 g at 129.77 counts per gram
constexpr float kNominalCoeff = 129.77f;

// Clears the record, creates the updater's message queue and calibrates the
// scale (bowl out: empty scale; bowl in: empty bowl). Null when the message
// queue cannot be had. Leaves the bowl in.
Feeder* feeder_init();

// Raw counts above the empty bowl, and those counts in grams (truncated).
int32_t ldcell_gap_of(const Feeder* f, int32_t raw);
int32_t grams_of(const Feeder* f, int32_t gap);
// The scale shows more than 20 g less than the empty bowl: no bowl is there.
bool bowl_is_missing(const Feeder* f, int32_t gap);
// No bowl on the scale: send the bowl position out so that the owner can put
// one back, tell the owner `message`, drop `session`.
void bowl_missing_out(Feeder* f, FeedSessionPtr& session, const char* message);

// The owner's notice for a feeding the scale could not weigh.
constexpr char kScaleSilentText[] = "저울이 응답하지 않습니다. 확인해주세요.";

// False while the scale has no calibration: the load cell said nothing.
bool feeder_scale_ready();
// Calibrates again when the scale has none: a probe of the load cell first,
// and only when it answers is the bowl moved. True when the scale can be
// weighed with. Only while the mechanism is held.
bool feeder_scale_recover();

// --- the kept calibration -------------------------------------------------------
// The empty bowl in counts and the counts per gram, kept from the start that
// weighed them, so that a start with food in the bowl weighs it as food.
struct ScaleKept {
    int32_t bowl;
    float coeff;
};
int scale_kept_read(ScaleKept* kept);  // 0, or -1: none kept, or not a calibration
int scale_kept_write(const ScaleKept& kept);
// The factory default forgets it: the next start weighs its bowl anew.
void feeder_scale_forget();

// --- the mechanism -------------------------------------------------------------
// One user of the bowl and motor at a time: a manual feeding, a scheduled
// stage or a weighing of the rest. Taken after the schedule lock and before
// the feeder lock. Holds are numbered in the order they are taken, so a
// stage can tell whether anyone used the bowl since its own last hold. A
// feeding holds it for many minutes: waiting for it is waiting behind that
// task (task_lock_behind).
class MechHold {
  public:
    MechHold();
    MechHold(const MechHold&) = delete;
    MechHold& operator=(const MechHold&) = delete;
    uint64_t number() const { return number_; }

  private:
    std::unique_lock<std::mutex> hold_;
    uint64_t number_;
};
// The number of the last hold taken (0 before the first).
uint64_t feeder_mech_last();
// Sends the bowl in, once more when the MCU did not answer: a weighing is
// only right with the bowl in. A bowl already in, or on its way in, takes the
// second command as it took the first. The mechanism is held.
int feeder_bowl_in(int fd);
// Reads the sensor word, once more when the MCU did not answer. Still no
// answer: the word is cleared and __UCOM_ERROR returned. A word left from
// before would be taken for where the bowl is now. With nothing known, a
// fill brings the bowl in (harmless when it is in) before it weighs, and a
// serve does not take the bowl as out with the pet.
int feeder_read_sensor(int fd, uint32_t* sensor);

// --- consumption monitor ---------------------------------------------------------
enum { SESSION_DUE_S = 600, DEAD_BAND_G = 3 };
// A rest this much heavier than what was served is no weighing of the bowl
// (a glitch of the load cell, or something set on the scale).
enum { REST_EXCESS_G = 100, REST_READS = 3 };
// Weighings a session may be put off for a bowl not known to be in (about
// 25 s each with the MCU silent) before the owner is told it is stuck.
enum { WEIGH_TRIES = 3 };
void feeder_thread_proc();
// A fill found the bowl in with `gap` counts (0 or more) of rest in it: each
// session still open ends now with its eaten report. The mechanism is held.
void feeder_end_sessions(int32_t gap, int64_t now);
// One pass of the monitor at time `now` (seconds); returns the seconds to
// sleep before the next pass. `sensor` is the monitor's sensor word.
int feeder_monitor_pass(int64_t now, uint32_t* sensor);
