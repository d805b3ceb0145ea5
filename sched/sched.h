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
int sched_delete(const ScheduleEntry* e);  // 0 removed, -1 no such uuid
json_t* sched_to_json();                   // new array; the caller owns it
void sched_clear();
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
struct SchedRunner {
    int fill_guard;       // 1 from a fill until its serve
    int64_t guard_until;  // the guard lapses at this time if its serve never came
    int food_low_count;   // food-low events seen; only the first two are told
    uint32_t sensor;      // last sensor word read
    // The meal this runner filled the bowl for, and the number of the
    // mechanism hold that filled it: the serve presents only that meal, and
    // only if nobody used the bowl in between.
    SchedMeal filled;
    uint64_t filled_hold;
    int64_t no_bowl_at;  // the meal minute whose fill found no bowl
    SchedMeal decided;   // the last meal served or passed over at its minute
    // When this runner started. Only a runner that was already running as a
    // meal's minute began can know that nobody served it in that minute: it
    // alone may fill a meal it missed (a restart between fill and serve) and
    // serve it at once.
    int64_t started_at;
};
// One pass over the list at the current time, holding the schedule lock.
void sched_runner_pass(SchedRunner* r);
void sched_thread_proc();
