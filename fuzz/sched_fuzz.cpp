// libFuzzer target: any bytes as the schedule file.
//
// The loader keeps only entries that can run, each as its file says it; an
// entry written plainly is never lost; a save and a second load give the
// same entries, in the order the list rule gives.
#include <jansson.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz/harness.h"
#include "include/owned.h"
#include "sched/sched.h"

namespace {

std::string g_file;  // the schedule file below the board's root

const char* const kDays[7] = {"day-sun",  "day-mon", "day-tue", "day-wed",
                              "day-thur", "day-fri", "day-sat"};

// A JSON string value without NUL bytes, or null.
const char* text(json_t* obj, const char* key) {
    json_t* v = json_object_get(obj, key);
    if (!json_is_string(v) || strlen(json_string_value(v)) != json_string_length(v)) return nullptr;
    return json_string_value(v);
}

bool only(const char* s, const char* allowed, size_t min, size_t max) {
    size_t n = strlen(s);
    return n >= min && n <= max && strspn(s, allowed) == n;
}

const char kDigits[] = "0123456789";

// An entry as the phone or the device itself writes it: every loader must
// keep it.
bool plain(json_t* e) {
    const char *w = text(e, "weight"), *a = text(e, "feedAmount"), *t = text(e, "feedTime"),
               *m = text(e, "melody"), *u = text(e, "uuid");
    json_t* days = json_object_get(e, "feedDaysOfTheWeek");
    if (!w || !a || !t || !m || !u || !json_is_array(days)) return false;
    if (strlen(w) > 11 || strlen(m) > 79 || !only(a, kDigits, 1, 4)) return false;
    if (!only(u, "0123456789abcdefABCDEF-", 1, 63)) return false;
    const char* colon = strchr(t, ':');
    if (!colon || colon - t < 1 || colon - t > 2 || !only(colon + 1, kDigits, 1, 2) ||
        strspn(t, kDigits) != size_t(colon - t) || fuzz::minute_of_day(t) < 0)
        return false;
    size_t i;
    json_t* d;
    json_array_foreach(days, i, d) {
        int k = 0;
        while (k < 7 && !(json_is_string(d) && strcmp(json_string_value(d), kDays[k]) == 0)) ++k;
        if (k == 7) return false;
    }
    return true;
}

// Whether the loaded entry says what element `e` of the file says.
bool same(const ScheduleEntry& s, json_t* e) {
    const char *w = text(e, "weight"), *a = text(e, "feedAmount"), *t = text(e, "feedTime"),
               *m = text(e, "melody"), *u = text(e, "uuid");
    if (!w || !a || !t || !m || !u) return false;
    if (strcmp(s.uuid, u) != 0 || strcmp(s.weight, w) != 0 || strcmp(s.melody, m) != 0)
        return false;
    if (s.feed_time != fuzz::minute_of_day(t)) return false;
    // A plain amount is that many grams; what other texts give is the
    // loader's choice.
    if (only(a, kDigits, 1, 4) && s.feed_amount != atoi(a)) return false;
    int want[7] = {0};
    json_t* days = json_object_get(e, "feedDaysOfTheWeek");
    size_t i;
    json_t* d;
    json_array_foreach(days, i, d) {
        for (int k = 0; k < 7; ++k)
            if (json_is_string(d) && strcmp(json_string_value(d), kDays[k]) == 0) want[k] = 1;
    }
    return memcmp(s.days, want, sizeof want) == 0;
}

bool equal(const ScheduleEntry& a, const ScheduleEntry& b) {
    return strcmp(a.uuid, b.uuid) == 0 && strcmp(a.weight, b.weight) == 0 &&
           strcmp(a.melody, b.melody) == 0 && a.feed_time == b.feed_time &&
           a.feed_amount == b.feed_amount && memcmp(a.days, b.days, sizeof a.days) == 0;
}

// The first load against the file's own elements.
void check_first_load(json_t* list, const std::vector<ScheduleEntry>& got) {
    size_t n = json_is_array(list) ? json_array_size(list) : 0;
    for (size_t k = 0; k < got.size(); ++k) {
        const ScheduleEntry& s = got[k];
        for (size_t j = 0; j < k; ++j)
            FUZZ_CHECK(strcmp(got[j].uuid, s.uuid) != 0, "uuid \"%s\" listed twice", s.uuid);
        // The entry is the last element of its uuid that it could be; no
        // plain element of that uuid may follow it.
        size_t last = n;
        for (size_t i = 0; i < n; ++i)
            if (same(s, json_array_get(list, i))) last = i;
        FUZZ_CHECK(last < n, "entry \"%s\" (%d min, %d g) is no element of the file as written",
                   s.uuid, s.feed_time, s.feed_amount);
        for (size_t i = last + 1; i < n; ++i) {
            json_t* e = json_array_get(list, i);
            const char* u = text(e, "uuid");
            FUZZ_CHECK(!(plain(e) && u && strcmp(u, s.uuid) == 0),
                       "element %zu of \"%s\" lost to an earlier one", i, s.uuid);
        }
    }
    if (n > SCHED_MAX_ENTRIES) return;  // a full schedule refuses the rest
    for (size_t i = 0; i < n; ++i) {
        json_t* e = json_array_get(list, i);
        if (!plain(e)) continue;
        bool found = false;
        for (const ScheduleEntry& s : got) found = found || strcmp(s.uuid, text(e, "uuid")) == 0;
        FUZZ_CHECK(found, "plain element %zu (\"%s\") was not loaded", i, text(e, "uuid"));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_file = fuzz::start_board(false) + "/etc/feed_sched.conf";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::put_file(g_file, data, size);
    sched_clear();
    int rc = sched_load();
    std::vector<ScheduleEntry> first = sched_snapshot();

    // What the loader reads: the first line, as a C string.
    size_t len = 0;
    while (len < size && data[len] != '\n' && data[len] != '\0') ++len;
    json_error_t err;
    JsonPtr list(json_loadb(reinterpret_cast<const char*>(data), len, 0, &err));
    if (!list) {
        FUZZ_CHECK(rc == -1 && first.empty(), "text that is no JSON: rc %d, %zu entries", rc,
                   first.size());
        return 0;
    }
    FUZZ_CHECK(rc == 0, "JSON text refused: rc %d", rc);
    check_first_load(list.get(), first);

    // Save, load again: the same entries. The list keeps its head and puts
    // each newer entry second, so a file A, C, B loads as A, B, C.
    FUZZ_CHECK(sched_save() == 0, "save of %zu entries failed", first.size());
    std::string saved = fuzz::get_file(g_file);
    FUZZ_CHECK(saved.find('\n') == std::string::npos, "saved schedule is not one line");
    sched_clear();
    FUZZ_CHECK(sched_load() == 0, "own file refused: %s", saved.c_str());
    std::vector<ScheduleEntry> second = sched_snapshot();
    FUZZ_CHECK(second.size() == first.size(), "%zu entries saved, %zu loaded back: %s",
               first.size(), second.size(), saved.c_str());
    for (size_t k = 0; k < second.size(); ++k) {
        const ScheduleEntry& want = k == 0 ? first[0] : first[first.size() - k];
        FUZZ_CHECK(equal(second[k], want), "entry %zu \"%s\" changed on its way through the file",
                   k, want.uuid);
    }
    sched_clear();
    return 0;
}
