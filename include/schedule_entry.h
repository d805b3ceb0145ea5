// One weekly feeding time of the schedule.
#pragma once

#include <stdint.h>

struct ScheduleEntry {
    char weight[12];      // the phone's text, stored and returned unchanged
    int32_t feed_amount;  // grams
    int32_t feed_time;    // minutes after local midnight
    int32_t days[7];      // 0 = Sunday .. 6 = Saturday; scheduled when exactly 1
    char melody[80];
    char uuid[64];  // the entry's identity
};
