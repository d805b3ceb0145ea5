// The schedule runner: once a second, fill two minutes ahead of an entry's
// time and serve at the minute.
#include <stdio.h>
#include <time.h>

#include "feeder/dispense.h"
#include "feeder/feeder.h"
#include "include/log.h"
#include "mcu/ucom.h"
#include "net/cloud.h"
#include "platform/platform.h"
#include "platform/run_flag.h"
#include "sched/list_internal.h"
#include "sched/sched.h"

namespace {

struct Moment {
    int wday;
    int min;       // minutes after local midnight
    int64_t mark;  // epoch seconds at the start of that minute
};

Moment moment_at(time_t t) {
    struct tm tm;
    localtime_r(&t, &tm);
    return {tm.tm_wday, tm.tm_hour * 60 + tm.tm_min, int64_t(t) - tm.tm_sec};
}

bool scheduled(const ScheduleEntry& e, const Moment& m) {
    return e.days[m.wday] == 1 && e.feed_time == m.min;
}

enum class Fill { Done, FoodLow, BowlMissing };

// The fill stage of an entry, two minutes before its time.
Fill fill(SchedRunner* r, const ScheduleEntry& e, const Moment& serve_at) {
    r->fill_guard = 1;
    r->guard_until = serve_at.mark + 60;
    log_out("try to read ucom sensor @ %s\n", "sched_thread_proc");
    ucom_get_sensor(ucom_get_fd(), &r->sensor);
    log_out("read ucom sensor done @ %s\n", "sched_thread_proc");
    if (r->sensor & SENSOR_FOOD_LOW) {
        if (r->food_low_count < 2) cloud_notify("사료가 부족합니다...", 3);
        ++r->food_low_count;
        return Fill::FoodLow;
    }
    log_out("try to read ucom sensor done\n");
    FillResult res;
    {
        MechHold mech;
        res = dispense_fill(FeedPath::Scheduled, e.feed_amount, &r->sensor);
    }
    if (res.outcome == FillOutcome::BowlMissing) {
        r->fill_guard = 0;
        return Fill::BowlMissing;
    }
    return Fill::Done;
}

void serve(SchedRunner* r, const ScheduleEntry& e) {
    r->fill_guard = 0;
    int32_t served = 0;
    {
        MechHold mech;
        // The fill's weight is not kept between stages; the serve weighs anew.
        FillResult none = {FillOutcome::Filled, 0, 0};
        dispense_serve(FeedPath::Scheduled, e.feed_amount, melody_number(e.melody), none,
                       &r->sensor, &served);
    }
    log_out("try to wait a min more...\n");
    plat_sleep(60);
    log_out("waited a min ...\n");
}

}  // namespace

void sched_runner_pass(SchedRunner* r) {
    Feeder* f = get_feeder();
    std::lock_guard<std::mutex> hold(sched_mutex());
    for (const ScheduleEntry& e : sched_list()) {
        time_t now = plat_time();
        Moment m = moment_at(now);
        // A fill whose serve never came (the entry changed, the day turned)
        // must not keep every later entry from being filled.
        if (r->fill_guard && now >= r->guard_until) {
            log_out("fill guard lapsed: its serve never came\n");
            r->fill_guard = 0;
        }
        // Two minutes ahead, on the day of that minute: an entry at 00:00 or
        // 00:01 is filled before midnight.
        Moment ahead = moment_at(now + 120);
        if (!r->fill_guard && scheduled(e, ahead)) {
            Fill done = fill(r, e, ahead);
            if (done == Fill::BowlMissing) return;  // ends the pass
            // After food low the entry is looked at again; after a fill the
            // serve test keeps the time from before it, so a fill is never
            // served in its own pass.
            if (done == Fill::FoodLow) m = moment_at(plat_time());
        }
        if (scheduled(e, m) && f->bowl_missing != 1) serve(r, e);
    }
}

void sched_thread_proc() {
    SchedRunner r = {};
    while (sig_flag) {
        sched_runner_pass(&r);
        plat_sleep(1);
    }
    log_out("%s exit...\n", __func__);
}
