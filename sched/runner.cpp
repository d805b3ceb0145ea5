// The schedule runner: once a second, fill two minutes ahead of an entry's
// time and serve at the minute.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "feeder/dispense.h"
#include "feeder/feeder.h"
#include "include/log.h"
#include "include/result_codes.h"
#include "include/task_bounds.h"
#include "mcu/ucom.h"
#include "net/cloud.h"
#include "platform/platform.h"
#include "platform/run_flag.h"
#include "platform/task.h"
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

SchedMeal meal_of(const ScheduleEntry& e, const Moment& m) {
    SchedMeal meal;
    snprintf(meal.uuid, sizeof meal.uuid, "%s", e.uuid);
    meal.at = m.mark;
    return meal;
}

bool same(const SchedMeal& a, const SchedMeal& b) {
    return a.at == b.at && strncmp(a.uuid, b.uuid, sizeof a.uuid) == 0;
}

bool session_open() {
    Feeder* f = get_feeder();
    std::lock_guard<std::mutex> hold(f->lock);
    return f->in_manual || f->in_schedule;
}

enum class Fill { Done, FoodLow, BowlMissing, NotFilled };

// The fill stage of a meal, two minutes before its time.
Fill fill(SchedRunner* r, const ScheduleEntry& e, const SchedMeal& meal) {
    r->fill_guard = 1;
    r->guard_until = meal.at + 60;
    log_out("try to read ucom sensor @ %s\n", "sched_thread_proc");
    ucom_get_sensor(ucom_get_fd(), &r->sensor);
    log_out("read ucom sensor done @ %s\n", "sched_thread_proc");
    if (r->sensor & SENSOR_FOOD_LOW) {
        if (r->food_low_count < 2) cloud_notify("사료가 부족합니다...", 3);
        ++r->food_low_count;
        // Nothing moved: the bowl is as the last user left it, and the meal
        // is served with what it holds.
        r->filled = meal;
        r->filled_hold = feeder_mech_last();
        return Fill::FoodLow;
    }
    log_out("try to read ucom sensor done\n");
    MechHold mech;
    if (session_open()) {
        // The bowl is with the pet: taking it in now would cut that meal
        // short and weigh this one's food into its report.
        log_out("schedule fill : a feeding is being eaten, %s not filled\n", e.uuid);
        return Fill::NotFilled;
    }
    FillResult res = dispense_fill(FeedPath::Scheduled, e.feed_amount, &r->sensor);
    switch (res.outcome) {
        case FillOutcome::BowlMissing:
            r->fill_guard = 0;
            r->no_bowl_at = meal.at;
            return Fill::BowlMissing;
        case FillOutcome::Filled:
            r->filled = meal;
            r->filled_hold = mech.number();
            return Fill::Done;
        case FillOutcome::FoodLow:
        case FillOutcome::NoScale:
            break;
    }
    return Fill::NotFilled;
}

// Why the bowl is not where this runner's fill of `meal` left it, or null.
const char* not_as_filled(const SchedRunner* r, const SchedMeal& meal, const MechHold& mech) {
    if (!same(r->filled, meal)) return "the bowl was not filled for it";
    if (mech.number() != r->filled_hold + 1) return "the bowl was used since its fill";
    if (session_open()) return "a feeding is being eaten";
    uint32_t sensor = 0;
    if (ucom_get_sensor(ucom_get_fd(), &sensor) == __UCOM_DONE &&
        (!(sensor & SENSOR_BOWL_IN) || (sensor & SENSOR_BOWL_MISSING)))
        return "the bowl is not in";
    return nullptr;
}

void serve(SchedRunner* r, const ScheduleEntry& e, const SchedMeal& meal) {
    r->decided = meal;
    // A meal this runner did not fill (it started again after the fill, or
    // the fill found the bowl in use or missing and it is back) is filled now,
    // in its own minute, when this runner saw that minute begin: a runner
    // that started inside the minute cannot know that nobody served it.
    if (!same(r->filled, meal) && r->started_at < meal.at && !session_open()) {
        log_out("schedule serve : %s not filled by this runner, filling it now\n", e.uuid);
        fill(r, e, meal);
    }
    r->fill_guard = 0;
    {
        MechHold mech;
        const char* why = not_as_filled(r, meal, mech);
        r->filled = SchedMeal{};
        if (why) {
            // Presenting a bowl this runner did not fill would serve another
            // meal's rest, or one already served before a restart.
            log_out("schedule serve : %s, %s not served\n", why, e.uuid);
            return;
        }
        // The fill's weight is not kept between stages; the serve weighs anew.
        FillResult none = {FillOutcome::Filled, 0, 0};
        int32_t served = 0;
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
        // A fill that found no bowl is not tried again for that minute until
        // the bowl is back (a manual request brings it in and clears the flag).
        bool no_bowl = r->no_bowl_at == ahead.mark && f->bowl_missing == 1;
        if (!r->fill_guard && !no_bowl && scheduled(e, ahead)) {
            Fill done = fill(r, e, meal_of(e, ahead));
            if (done == Fill::BowlMissing) return;  // ends the pass
            // After food low the entry is looked at again; after a fill the
            // serve test keeps the time from before it, so a fill is never
            // served in its own pass.
            if (done == Fill::FoodLow) m = moment_at(plat_time());
        }
        if (scheduled(e, m) && f->bowl_missing != 1 && !same(r->decided, meal_of(e, m)))
            serve(r, e, meal_of(e, m));
    }
}

void sched_thread_proc() {
    TaskScope task("sched", TASK_SCHED_S);
    SchedRunner r = {};
    r.started_at = plat_time();
    while (sig_flag) {
        sched_runner_pass(&r);
        plat_sleep(1);
    }
    log_out("%s exit...\n", __func__);
}
