// The weekly schedule: the list, its file and the runner.
#pragma once

#include <jansson.h>
#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "include/schedule_entry.h"

enum {
    // The whole list goes to the phone in one MESSAGE over UDP, whose datagram
    // holds at most 65507 bytes with the SIP headers. An entry with every text
    // at its longest, each byte a control character JSON writes as \u00XX, is
    // 1109 bytes in that reply: 50 of them are 55.7 KB, room left for the
    // headers the device and the service add.
    SCHED_MAX_ENTRIES = 50,
    // A schedule file written before that limit may hold more: loading keeps
    // them (up to the limit that held then), so an upgrade loses no feeding.
    SCHED_FILE_ENTRIES = 1000,
    SCHED_FILE_MAX = 1024 * 1024,  // the most of the schedule file that is read
};

// --- the list (each operation takes the schedule lock itself) ------------------
int sched_lock_init();
// 0 added (directly after the head), 1 overwrote the entry with that uuid, -1
// refused (no room: the list already holds `limit` entries).
int sched_update(const ScheduleEntry* e, size_t limit = SCHED_MAX_ENTRIES);
int sched_delete(const ScheduleEntry* e);     // 0 removed, -1 no such uuid
json_t* sched_to_json();                      // new array; the caller owns it
void sched_clear();                           // also forgets that the file was loaded
bool sched_loaded();                          // since sched_load() returned
std::vector<ScheduleEntry> sched_snapshot();  // a copy of the list, in list order

// --- the file -------------------------------------------------------------------
int sched_load();         // 0 parsed, -1 no file, too large or not JSON
int sched_save();         // 0 written, -1 not written (the old file stays)
int sched_write_empty();  // "[]"
void sched_bell();        // after a change of the schedule (prompt build)

// Fills `e` (zeroed first) from one JSON object of the schedule. Day names
// that are not known are logged and skipped; a missing day list sets no day.
// With `log_time` the line "feedTime %02d:%02d  ( %d )" is printed once the
// time is read, before the day names. Returns 0, or -1 with the reason in
// `why` when the object cannot be an entry: not an object, a key missing or
// not a string, a "feedTime" that is not "h:m" within a day, or a text
// longer than its field.
int sched_entry_from_json(json_t* obj, ScheduleEntry* e, char* why, size_t n, bool log_time);
// Minutes after midnight from a "feedTime" text, read as the pattern "%d:%d"
// reads it (blanks and a sign before each number, anything after the
// minutes ignored), but with each number checked against a day's range
// before it can overflow. 0, or -1 when the text is no time of day.
int sched_parse_time(const char* text, int* minutes);

// --- the runner --------------------------------------------------------------------
// One meal: an entry at one minute.
struct SchedMeal {
    char uuid[64];
    int64_t at;  // epoch seconds at the start of the meal's minute; 0: none
};
enum {
    // A meal's serve comes in its minute, or this much later at most when the
    // runner was busy with another meal or starting again.
    SCHED_LATE_S = 600,
};
struct SchedRunner {
    bool started;        // the served record has been read
    int food_low_count;  // fills that found the hopper low
    uint32_t sensor;     // last sensor word read
    // The meal the bowl was filled for, the number of the mechanism hold that
    // filled it and the grams it weighed: the serve presents the bowl as it
    // is only for that meal, and only if nobody used it in between.
    SchedMeal filled;
    uint64_t filled_hold;
    int32_t filled_gram;
    SchedMeal tried;    // the last meal whose fill minute was acted on
    SchedMeal no_bowl;  // the meal whose fill found no bowl
    // The notices already sent for one meal (1 hopper low, 2 no scale).
    SchedMeal told;
    unsigned told_what;
    // The last meal decided: served, or passed over with the owner told why.
    // Every meal at its minute or before is done.
    SchedMeal decided;
    // Meals whose minute began before this were looked at already; a meal
    // added for such a minute is not due.
    int64_t look_from;
};
// One pass over the list at the current time, holding the schedule lock:
// at most one stage (a serve that is due, else a fill).
void sched_runner_pass(SchedRunner* r);
void sched_thread_proc();

// --- the served record ----------------------------------------------------------
// The last meal served, replaced whole at each serve, read at start: a meal
// is served once whatever restarts fall around it. 0, or -1 (no record).
// An empty record (no meal served yet) has `at` 0.
int sched_served_read(SchedMeal* meal);
int sched_served_write(const SchedMeal& meal);
