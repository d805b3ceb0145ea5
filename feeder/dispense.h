// The dispense procedure: fill the bowl by weight, then present it.
#pragma once

#include <stdint.h>

enum class FeedPath { Manual, Scheduled };

enum class FillOutcome {
    Filled,
    FoodLow,      // manual path only: the scheduled runner reads the sensor itself
    BowlMissing,  // the bowl went out for the owner to put it back
    NoScale,      // no reading from the load cell, or no calibration: nothing dispensed blind
    Stopped,      // the program is stopping: the procedure ends where it is
};
struct FillResult {
    FillOutcome outcome;
    int runs;      // motor steps made
    int32_t gram;  // grams in the bowl at the last weighing of the fill
};

enum class ServeOutcome {
    Served,
    BowlStuck,
    BowlMissing,  // the serve's weighing found no bowl: nothing presented, nothing reported
    Stopped,      // stopping before the bowl went out: nothing presented, no session
};

// Called by the serve stage once the bowl is out with the pet, before the
// owner is told, so a caller can keep a record of what is served.
struct ServeHook {
    void (*served)(void* ctx) = nullptr;
    void* ctx = nullptr;
};

enum { MOTOR_COUNT_MAX = 255 };  // the count travels in one byte

// The fill stage, with the mechanism held by the caller. The manual path
// reads the sensor word first; the scheduled path starts with the word the
// runner has just read. A session still open when the bowl comes in is ended
// with the rest weighed then, and its eaten report. Without `motor` (the
// hopper is low) the bowl is brought in and weighed, and nothing dispensed.
FillResult dispense_fill(FeedPath path, int32_t requested, uint32_t* sensor, bool motor = true);
// The serve stage; on Served the path's session is open and *feed_gram holds
// the grams presented, never below 0.
ServeOutcome dispense_serve(FeedPath path, int32_t requested, int melody, const FillResult& fill,
                            uint32_t* sensor, int32_t* feed_gram, ServeHook hook = {});

// The bowl did not go where it was sent: tells the owner "사료그릇이
// 멈추었습니다" with the date, and drops the path's session.
void bowl_stuck_out(FeedPath path);

// Portions of about 7 g for a shortfall, within 0 .. MOTOR_COUNT_MAX.
int motor_count(FeedPath path, int64_t requested, int64_t grams);
// Melody number from the melody text: the two low bits of its first byte.
int melody_number(const char* text);
const char* melody_command(int melody);
