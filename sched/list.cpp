// The schedule list: entries in list order, one lock, identity by uuid.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <iterator>

#include "include/log.h"
#include "include/variant.h"
#include "platform/platform.h"
#include "platform/task.h"
#include "sched/list_internal.h"
#include "sched/sched.h"

namespace {

// The runner holds it through a whole pass, a feeding and its minute after
// included: whoever waits for it waits behind that task (task_lock_behind).
std::mutex g_lock;
std::list<ScheduleEntry> g_list;
// The schedule file has been read: until then the list is not the device's.
std::atomic<bool> g_loaded{false};

const char* const kDayNames[7] = {"day-sun",  "day-mon", "day-tue", "day-wed",
                                  "day-thur", "day-fri", "day-sat"};
const char* const kDayLogs[7] = {"sun, ", "mon, ", "tue, ", "wed, ", "thu, ", "fri, ", "sat, "};

// Copies a JSON string into a field; false when it is missing, not a
// string or longer than the field.
bool text_field(json_t* obj, const char* key, char* field, size_t size, char* why, size_t n) {
    json_t* v = json_object_get(obj, key);
    if (!json_is_string(v)) {
        snprintf(why, n, "\"%s\" missing or not a string", key);
        return false;
    }
    size_t len = json_string_length(v);
    if (len >= size || strlen(json_string_value(v)) != len) {
        snprintf(why, n, "\"%s\" longer than %zu characters", key, size - 1);
        return false;
    }
    memcpy(field, json_string_value(v), len + 1);
    return true;
}

// One number of a time of day as "%d" reads it (blanks, a sign, digits),
// within 0 .. max; strtol says when it would not fit, where "%d" overflows.
bool day_number(const char** p, long max, int* out) {
    char* end;
    errno = 0;
    long v = strtol(*p, &end, 10);
    if (end == *p || errno == ERANGE || v < 0 || v > max) return false;
    *p = end;
    *out = int(v);
    return true;
}

void copy_settings(ScheduleEntry* to, const ScheduleEntry& from) {
    memcpy(to->days, from.days, sizeof to->days);
    to->feed_amount = from.feed_amount;
    to->feed_time = from.feed_time;
    memcpy(to->weight, from.weight, sizeof to->weight);
    memcpy(to->melody, from.melody, sizeof to->melody);
    to->weight[sizeof to->weight - 1] = '\0';
    to->melody[sizeof to->melody - 1] = '\0';
}

}  // namespace

std::mutex& sched_mutex() {
    return g_lock;
}

void sched_bell() {
    if (!kSilentBuild) plat_system("/root/play /root/audio/_bell.g711");
}
std::list<ScheduleEntry>& sched_list() {
    return g_list;
}

int sched_lock_init() {
    return 0;
}  // the lock is ready from program start

int sched_update(const ScheduleEntry* e, size_t limit) {
    char uuid[sizeof e->uuid];
    snprintf(uuid, sizeof uuid, "%s", e->uuid);
    int rc;
    {
        auto hold = task_lock_behind(g_lock);
        auto it = g_list.begin();
        for (; it != g_list.end(); ++it)
            if (strcmp(it->uuid, uuid) == 0) break;
        if (it != g_list.end()) {
            log_out("schedule uuid -> %s : sched uuid -> %s\n", it->uuid, uuid);
            copy_settings(&*it, *e);
            rc = 1;
        } else if (g_list.size() >= limit) {
            log_out("schedule full (%zu entries), %s not added\n", limit, uuid);
            return -1;
        } else {
            ScheduleEntry fresh{};
            copy_settings(&fresh, *e);
            memcpy(fresh.uuid, uuid, sizeof fresh.uuid);
            // The newest entry goes second: the head stays the head.
            g_list.insert(g_list.empty() ? g_list.end() : std::next(g_list.begin()), fresh);
            rc = 0;
        }
    }
    sched_bell();
    return rc;
}

int sched_delete(const ScheduleEntry* e) {
    {
        auto hold = task_lock_behind(g_lock);
        auto it = g_list.begin();
        for (; it != g_list.end(); ++it)
            if (strncmp(it->uuid, e->uuid, sizeof it->uuid) == 0) break;
        if (it == g_list.end()) return -1;
        g_list.erase(it);
    }
    sched_bell();
    return 0;
}

json_t* sched_entry_json(const ScheduleEntry& e, bool padded_time) {
    char amount[16], time[32];
    snprintf(amount, sizeof amount, "%d", e.feed_amount);
    snprintf(time, sizeof time, padded_time ? "%02d:%02d" : "%d:%d", e.feed_time / 60,
             e.feed_time % 60);
    json_t* days = json_array();
    for (int d = 0; d < 7; ++d)
        if (e.days[d] == 1) json_array_append_new(days, json_string(kDayNames[d]));
    // Every text came in as a JSON string, whole, so it goes out as one.
    json_t* obj = json_object();
    json_object_set_new(obj, "weight", json_string(e.weight));
    json_object_set_new(obj, "feedAmount", json_string(amount));
    json_object_set_new(obj, "feedTime", json_string(time));
    json_object_set_new(obj, "feedDaysOfTheWeek", days);
    json_object_set_new(obj, "melody", json_string(e.melody));
    json_object_set_new(obj, "uuid", json_string(e.uuid));
    return obj;
}

json_t* sched_to_json() {
    json_t* list = json_array();
    if (!list) return nullptr;
    auto hold = task_lock_behind(g_lock);
    for (const ScheduleEntry& e : g_list) json_array_append_new(list, sched_entry_json(e, true));
    return list;
}

std::vector<ScheduleEntry> sched_snapshot() {
    auto hold = task_lock_behind(g_lock);
    return std::vector<ScheduleEntry>(g_list.begin(), g_list.end());
}

void sched_clear() {
    auto hold = task_lock_behind(g_lock);
    g_list.clear();
    g_loaded = false;
}

bool sched_loaded() {
    return g_loaded;
}

void sched_set_loaded() {
    g_loaded = true;
}

int sched_parse_time(const char* text, int* minutes) {
    int hour, minute;
    const char* p = text;
    if (!day_number(&p, 23, &hour) || *p != ':') return -1;
    ++p;
    if (!day_number(&p, 59, &minute)) return -1;
    *minutes = hour * 60 + minute;
    return 0;
}

int sched_entry_from_json(json_t* obj, ScheduleEntry* e, char* why, size_t n, bool log_time) {
    memset(e, 0, sizeof *e);
    if (!json_is_object(obj)) {
        snprintf(why, n, "not an object");
        return -1;
    }
    char amount[32];
    // Only the time's beginning counts, so a long "feedTime" is no reason to refuse it.
    json_t* time = json_object_get(obj, "feedTime");
    if (!json_is_string(time)) {
        snprintf(why, n, "\"feedTime\" missing or not a string");
        return -1;
    }
    if (!text_field(obj, "feedAmount", amount, sizeof amount, why, n) ||
        !text_field(obj, "weight", e->weight, sizeof e->weight, why, n) ||
        !text_field(obj, "melody", e->melody, sizeof e->melody, why, n) ||
        !text_field(obj, "uuid", e->uuid, sizeof e->uuid, why, n))
        return -1;
    // A text that is not a number is 0 grams, as it always was; a number
    // beyond the range of an int is held at its end.
    long long grams = strtoll(amount, nullptr, 10);
    e->feed_amount = int32_t(grams > INT32_MAX ? INT32_MAX : grams < INT32_MIN ? INT32_MIN : grams);
    if (sched_parse_time(json_string_value(time), &e->feed_time) < 0) {
        snprintf(why, n, "\"feedTime\" \"%.32s\" is not a time of day", json_string_value(time));
        return -1;
    }
    if (log_time)
        log_out("feedTime %02d:%02d  ( %d )\n", e->feed_time / 60, e->feed_time % 60, e->feed_time);
    json_t* days = json_object_get(obj, "feedDaysOfTheWeek");
    size_t i;
    json_t* day;
    json_array_foreach(days, i, day) {
        const char* name = json_string_value(day);
        int d = 0;
        while (d < 7 && !(name && strcmp(name, kDayNames[d]) == 0)) ++d;
        if (d == 7) {
            log_out("json feedDaysOfTheWeek parsing error....!!!!!\n");
            continue;
        }
        e->days[d] = 1;
        log_out("%s", kDayLogs[d]);
    }
    log_out("\n");
    return 0;
}
