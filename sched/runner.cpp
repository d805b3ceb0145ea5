// The schedule runner: once a second, fill two minutes ahead of a meal and
// serve it at its minute.
//
// A meal is one entry at one minute. Its whole life is decided here:
//
// clang-format off
// | meal    | event                                  | the runner                         | owner told        |
// |---------|----------------------------------------|------------------------------------|-------------------|
// | due     | fill minute, the bowl holds no other   | fill; an open session ends first   | its eaten report  |
// |         |   meal waiting for its serve           |                                    |                   |
// | due     | the fill finds the hopper low          | weighs, dispenses nothing          | LOW, once a meal  |
// | due     | the fill finds no bowl                 | bowl out for the owner             | NO BOWL           |
// | due     | the fill finds no scale                | decided, not served                | SCALE, once a meal|
// | due     | its minute (up to SCHED_LATE_S late,   | fills again, then serves           | as for a fill     |
// |         |   the runner busy or starting), bowl   |                                    |                   |
// |         |   not as its fill left it (used, out,  |                                    |                   |
// |         |   a session open, never filled)        |                                    |                   |
// | filled  | its minute, bowl as the fill left it   | serves, keeps the served record    | SERVED            |
// | no bowl | its minute, still no bowl              | decided, not served                | (told at the fill)|
// | serving | the bowl sticks / was taken away       | decided, session dropped           | STUCK / NO BOWL   |
// | serving | a stop while the bowl goes out         | waits for it: served as any other  | SERVED            |
// | serving | the power goes before the bowl is out  | the next start finds it due        | as for a fill     |
// | served  | the runner starts again                | nothing: the served record says so | nothing more      |
// clang-format on
//
// SERVED "<g>g 제공되었습니다. <date>", LOW "사료가 부족합니다...", NO BOWL
// "그릇이 빠진것같습니다. 확인해주세요.", SCALE "저울이 응답하지 않습니다.
// 확인해주세요.", STUCK "사료그릇이 멈추었습니다... <date>". With the hopper low
// the meal is still served with whatever the bowl holds.
//
// Meals are decided in the order of their minutes; a meal at a minute no
// later than the last one decided is done (two entries at one time are one
// meal).
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

const char kLowText[] = "사료가 부족합니다...";

struct Moment {
    int wday;
    int min;       // minutes after local midnight
    int64_t mark;  // epoch seconds at the start of that minute
};

Moment moment_at(int64_t t) {
    time_t tt = time_t(t);
    struct tm tm;
    localtime_r(&tt, &tm);
    return {tm.tm_wday, tm.tm_hour * 60 + tm.tm_min, t - tm.tm_sec};
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

// One notice of each kind per meal, however often its stages find the cause.
void tell(SchedRunner* r, const SchedMeal& meal, unsigned what, const char* text) {
    if (!same(r->told, meal)) {
        r->told = meal;
        r->told_what = 0;
    }
    if (r->told_what & what) return;
    r->told_what |= what;
    cloud_notify(text, 3);
}

void decide(SchedRunner* r, const SchedMeal& meal) {
    if (meal.at > r->decided.at) r->decided = meal;
}

enum class Fill { Done, NoBowl, NoScale, Stopped };

// The fill stage of a meal, with the mechanism held; `out` gets the weighing.
Fill fill(SchedRunner* r, const ScheduleEntry& e, const SchedMeal& meal, FillResult* out) {
    log_out("try to read ucom sensor @ %s\n", "sched_thread_proc");
    feeder_read_sensor(ucom_get_fd(), &r->sensor);
    log_out("read ucom sensor done @ %s\n", "sched_thread_proc");
    bool low = r->sensor & SENSOR_FOOD_LOW;
    if (low) {
        // Nothing is dispensed, but the bowl is still weighed and served
        // with what it holds: the pet gets whatever is there.
        ++r->food_low_count;
        tell(r, meal, 1, kLowText);
    } else {
        log_out("try to read ucom sensor done\n");
    }
    *out = dispense_fill(FeedPath::Scheduled, e.feed_amount, &r->sensor, !low);
    switch (out->outcome) {
        case FillOutcome::Filled:
        case FillOutcome::FoodLow:
            return Fill::Done;
        case FillOutcome::BowlMissing:  // the owner was told as the bowl went out
            r->no_bowl = meal;
            return Fill::NoBowl;
        case FillOutcome::NoScale:
            tell(r, meal, 2, kScaleSilentText);
            return Fill::NoScale;
        case FillOutcome::Stopped:
            break;
    }
    return Fill::Stopped;
}

// The fill minute of `meal`.
void fill_ahead(SchedRunner* r, const ScheduleEntry& e, const SchedMeal& meal) {
    r->tried = meal;
    MechHold mech;
    FillResult res;
    if (fill(r, e, meal, &res) != Fill::Done) return;
    r->filled = meal;
    r->filled_hold = mech.number();
    r->filled_gram = res.gram;
}

// Why the bowl is not where the fill of `meal` left it, or null.
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

// Its fill found no bowl and told the owner: unless a bowl is back, the
// meal is not served, and the owner is not told twice.
bool still_no_bowl(const SchedRunner* r, const SchedMeal& meal) {
    if (!same(r->no_bowl, meal)) return false;
    uint32_t sensor = 0;
    if (ucom_get_sensor(ucom_get_fd(), &sensor) != __UCOM_DONE) return true;
    return sensor & SENSOR_BOWL_MISSING;
}

struct Presenting {
    SchedRunner* r;
    const SchedMeal* meal;
};

// The bowl is out with the pet: from here on the meal counts as served, also
// for a runner that starts again. A power cut before this (the bowl on its
// way) leaves the meal due: the next start weighs what the bowl holds, tops
// it up and serves it, so the pet is not fed twice.
void keep_served(void* ctx) {
    const Presenting* p = static_cast<const Presenting*>(ctx);
    decide(p->r, *p->meal);
    if (sched_served_write(*p->meal) < 0)
        log_out("schedule serve : the served record was not written\n");
}

void serve(SchedRunner* r, const ScheduleEntry& e, const SchedMeal& meal) {
    ServeOutcome out;
    {
        MechHold mech;
        if (still_no_bowl(r, meal)) {
            log_out("schedule serve : the bowl is still missing, %s not served\n", e.uuid);
            decide(r, meal);
            return;
        }
        FillResult res = {FillOutcome::Filled, 0, r->filled_gram};
        const char* why = not_as_filled(r, meal, mech);
        r->filled = SchedMeal{};
        if (why) {
            // Never present a bowl not weighed since it last moved: fill it
            // again, in the meal's own minute.
            log_out("schedule serve : %s, filling %s now\n", why, e.uuid);
            Fill done = fill(r, e, meal, &res);
            if (done == Fill::Stopped) return;
            if (done != Fill::Done) {
                decide(r, meal);
                return;
            }
        }
        int32_t served = 0;
        Presenting p = {r, &meal};
        out = dispense_serve(FeedPath::Scheduled, e.feed_amount, melody_number(e.melody), res,
                             &r->sensor, &served, ServeHook{keep_served, &p});
        if (out == ServeOutcome::Stopped) return;
        decide(r, meal);
    }
    if (out == ServeOutcome::BowlMissing) return;
    log_out("try to wait a min more...\n");
    run_wait(60);
    log_out("waited a min ...\n");
}

// The runner's first pass: a meal the served record names is done, and a
// meal of the last minutes that it does not name is still due. Without the
// record (a first start, or an update from a version that kept none)
// nothing before this pass is taken as due, so a meal served just before
// the start is never served again; an empty record is written, so that from
// the next start on a restart between a fill and its serve still serves.
void start(SchedRunner* r, int64_t now) {
    r->started = true;
    char at[32], last[96] = "never";
    Moment m = moment_at(now);
    snprintf(at, sizeof at, "%02d:%02d:%02d", m.min / 60, m.min % 60, int(now - m.mark) % 60);
    // What a restart made of the meals around it, for whoever reads the log.
    if (sched_served_read(&r->decided) == 0) {
        r->look_from = now - SCHED_LATE_S;
        if (r->decided.at) {
            Moment d = moment_at(r->decided.at);
            snprintf(last, sizeof last, "%s at %02d:%02d", r->decided.uuid, d.min / 60, d.min % 60);
        }
        log_out("sched : running from %s, the last meal served %s\n", at, last);
        return;
    }
    r->decided = SchedMeal{};
    r->look_from = now;
    log_out("sched : running from %s, no served record: no meal before it is due\n", at);
    if (sched_served_write(r->decided) < 0) log_out("sched : the served record was not written\n");
}

// The first meal (in time, then list order) whose serve is due at `now`.
const ScheduleEntry* serve_due(const SchedRunner* r, int64_t now, SchedMeal* meal) {
    int64_t from = r->look_from;
    if (r->decided.at && r->decided.at + 60 > from) from = r->decided.at + 60;
    if (now - SCHED_LATE_S > from) from = now - SCHED_LATE_S;
    for (int64_t back = (now - from) / 60; back >= 0; --back) {
        Moment m = moment_at(now - back * 60);
        if (m.mark < from) continue;
        for (const ScheduleEntry& e : sched_list()) {
            if (!scheduled(e, m)) continue;
            *meal = meal_of(e, m);
            return &e;
        }
    }
    return nullptr;
}

// The meal whose fill minute this is, when its fill is still to be made.
const ScheduleEntry* fill_due(const SchedRunner* r, int64_t now, SchedMeal* meal) {
    Moment ahead = moment_at(now + 120);
    if (ahead.mark <= r->decided.at) return nullptr;
    // The bowl holds another meal still waiting for its serve.
    if (r->filled.at && r->filled.at > r->decided.at && r->filled.at + SCHED_LATE_S > now)
        return nullptr;
    for (const ScheduleEntry& e : sched_list()) {
        if (!scheduled(e, ahead)) continue;
        *meal = meal_of(e, ahead);
        return same(r->tried, *meal) ? nullptr : &e;
    }
    return nullptr;
}

}  // namespace

void sched_runner_pass(SchedRunner* r) {
    std::lock_guard<std::mutex> hold(sched_mutex());
    // The runner starts before the file is read: a pass over the empty list
    // of that moment would take the minutes it saw as looked at, and drop a
    // meal of them that the file holds.
    if (!sched_loaded()) return;
    int64_t now = int64_t(plat_time());
    if (!r->started) start(r, now);
    SchedMeal meal;
    // One stage a pass: a serve that is due first, else a fill.
    if (const ScheduleEntry* e = serve_due(r, now, &meal)) {
        ScheduleEntry copy = *e;
        serve(r, copy, meal);
    } else if (const ScheduleEntry* f = fill_due(r, now, &meal)) {
        ScheduleEntry copy = *f;
        fill_ahead(r, copy, meal);
    }
    // Entries change only between passes, so a meal whose minute began
    // before the end of this pass and that is not due now was never due. One
    // still due stays so for the next pass.
    int64_t end = int64_t(plat_time());
    int64_t keep = serve_due(r, end, &meal) ? meal.at : moment_at(end).mark;
    if (keep > r->look_from) r->look_from = keep;
}

void sched_thread_proc() {
    TaskScope task("sched", TASK_SCHED_S);
    SchedRunner r = {};
    while (sig_flag) {
        sched_runner_pass(&r);
        plat_sleep(1);
    }
    log_out("%s exit...\n", __func__);
}
