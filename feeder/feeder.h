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

// False while the scale has no calibration: the load cell said nothing.
bool feeder_scale_ready();
// Calibrates again when the scale has none: a probe of the load cell first,
// and only when it answers is the bowl moved. True when the scale can be
// weighed with. Only while the mechanism is held.
bool feeder_scale_recover();

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

// --- consumption monitor ---------------------------------------------------------
enum { SESSION_DUE_S = 600, DEAD_BAND_G = 3 };
// A rest this much heavier than what was served is no weighing of the bowl
// (a glitch of the load cell, or something set on the scale).
enum { REST_EXCESS_G = 100, REST_READS = 3 };
void feeder_thread_proc();
// One pass of the monitor at time `now` (seconds); returns the seconds to
// sleep before the next pass. `sensor` is the monitor's sensor word.
int feeder_monitor_pass(int64_t now, uint32_t* sensor);
