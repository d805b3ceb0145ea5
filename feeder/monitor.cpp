// The consumption monitor: ten minutes after serving, weigh the rest and
// tell the owner what the pet ate; while idle, watch food level and bowl.
#include <stdio.h>

#include "feeder/dispense.h"
#include "feeder/feeder.h"
#include "gpio/gpio.h"
#include "include/log.h"
#include "include/result_codes.h"
#include "include/task_bounds.h"
#include "include/variant.h"
#include "mcu/ucom.h"
#include "net/cloud.h"
#include "platform/platform.h"
#include "platform/run_flag.h"
#include "platform/task.h"
#include "sys/sys.h"

namespace {

bool due(const FeedSessionPtr& s, int64_t now) {
    return s && s->fed_at > 0 && now - s->fed_at >= SESSION_DUE_S;
}

FeedSessionPtr& session_of(Feeder* f, FeedPath path) {
    return path == FeedPath::Manual ? f->in_manual : f->in_schedule;
}

// Tells the owner what the pet ate of a session, from the rest weighed with
// the bowl in, and releases the session.
void report_rest(FeedPath path, int32_t try_gram, int32_t gap, int64_t now) {
    Feeder* f = get_feeder();
    bool m = path == FeedPath::Manual;
    int32_t gram = grams_of(f, gap);
    if (m)
        log_out("ZELfM2:ldcell_gram(%d) = (ldcell_gap(%d)'/ldcell_gCoeff(%f);\n", gram, gap,
                double(f->ldcell_gCoeff));
    else
        log_out("ZELfS2:ldcell_gram(%d) = ldcell_gap(%d)/ldcell_gCoeff(%f);\n", gram, gap,
                double(f->ldcell_gCoeff));
    int32_t eat = try_gram - gram;
    log_out("ZELf%c3:eat_gram(%d) = feeder->%s->try_gram(%d) - ldcell_gram(%d);\n", m ? 'M' : 'S',
            eat, m ? "in_manual" : "in_schedule", try_gram, gram);
    if (eat >= -DEAD_BAND_G && eat <= DEAD_BAND_G) eat = 0;
    char msg[200];
    snprintf(msg, sizeof msg, "%dg/%dg 먹었습니다.", try_gram, eat);
    log_out("%s\n", msg);
    cloud_notify(msg, 3);
    std::lock_guard<std::mutex> hold(f->lock);
    FeedSessionPtr& session = session_of(f, path);
    if (session) {
        session->eaten_at = now;
        session->eat_gram = eat;
        session.reset();
        log_out("---------> free : feeder->%s\n", m ? "in_manual" : "in_schedule");
    }
}

// The MCU answered neither bowl-in: the sensor says whether the bowl came
// in all the same. Weighing a bowl still out with the pet would tell the
// owner it is missing, and drop the session. Not known to be in: the
// weighing is put off, the session kept for the next pass, and after
// WEIGH_TRIES the owner is told the bowl is stuck. The mechanism is held.
bool bowl_known_in(int fd, FeedPath path, char tag) {
    uint32_t word = 0;
    if (feeder_read_sensor(fd, &word) == __UCOM_DONE && (word & SENSOR_BOWL_IN)) return true;
    Feeder* f = get_feeder();
    int tries;
    {
        std::lock_guard<std::mutex> hold(f->lock);
        FeedSessionPtr& session = session_of(f, path);
        if (!session) return false;
        tries = ++session->put_off;
    }
    if (tries < WEIGH_TRIES) {
        log_out("ZELf%c1: the bowl is not known to be in (sensor 0x%02x), weighing put off (%d)\n",
                tag, unsigned(word), tries);
        return false;
    }
    log_out("ZELf%c1: the bowl did not come in after %d weighings, session closed as stuck\n", tag,
            tries);
    bowl_stuck_out(path);
    return false;
}

// Weighs a due session; true when the owner got the eaten report.
bool weigh(FeedPath path, int64_t now) {
    Feeder* f = get_feeder();
    FeedSessionPtr& session = session_of(f, path);
    char tag = path == FeedPath::Manual ? 'M' : 'S';

    MechHold mech;
    int32_t try_gram;
    {
        // The session may have been dropped while this pass waited its turn.
        std::lock_guard<std::mutex> hold(f->lock);
        if (!due(session, now)) return false;
        try_gram = session->try_gram;
    }
    int fd = ucom_get_fd();
    log_out("<<<<<<<<<< bowl_in\n");
    bool answered = feeder_bowl_in(fd) == __UCOM_DONE;
    if (!kSilentBuild) plat_system("/root/stop");
    if (!run_wait(20)) return false;  // stopping: the session goes with the process
    if (!answered && !bowl_known_in(fd, path, tag)) return false;

    // A reading that cannot be the rest is read again, a little later.
    auto rest_of = [&](int32_t reading) { return grams_of(f, ldcell_gap_of(f, reading)); };
    auto impossible = [&](int32_t reading) {
        return reading != LDCELL_NO_READING && rest_of(reading) > try_gram + REST_EXCESS_G;
    };
    int32_t r = ldcell_read();
    for (int tries = 1; tries < REST_READS && impossible(r); ++tries) {
        plat_sleep(2);
        r = ldcell_read();
    }
    if (impossible(r)) {
        log_out(
            "ZELf%c1: a rest of %d g for %d g served is no weighing, session closed without "
            "report\n",
            tag, rest_of(r), try_gram);
        std::lock_guard<std::mutex> hold(f->lock);
        session.reset();
        return false;
    }
    if (r == LDCELL_NO_READING) {
        // The owner was told the meal was served: a report that never comes
        // needs its reason.
        log_out("ZELf%c1: no reading from the load cell, session closed without report\n", tag);
        cloud_notify(kScaleSilentText, 3);
        std::lock_guard<std::mutex> hold(f->lock);
        session.reset();
        return false;
    }
    int32_t gap = ldcell_gap_of(f, r);
    log_out(
        "ZELf%c1:ldcell_gap(%d) = ldcell_read_value(%d) - (ldcell_base(%d) + ldcell_bowl(%d));\n",
        tag, gap, r, f->ldcell_base, f->ldcell_bowl);
    if (bowl_is_missing(f, gap)) {
        bowl_missing_out(f, session, "그릇이 빠진것같습니다. 확인바랍니다.");
        return false;
    }
    report_rest(path, try_gram, gap < 0 ? 0 : gap, now);
    return true;
}

void sensor_watch(uint32_t* sensor) {
    Feeder* f = get_feeder();
    int fd = ucom_get_fd();
    ucom_get_sensor(fd, sensor);
    if (*sensor & SENSOR_FOOD_LOW) {
        ucom_get_sensor(fd, sensor);
        if ((*sensor & SENSOR_FOOD_LOW) && !f->low_food_latch) {
            cloud_notify("사료가 부족합니다.", 3);
            f->low_food_latch = 1;
        }
    } else {
        f->low_food_latch = 0;
    }
    if (*sensor & SENSOR_BOWL_MISSING) {
        if (!f->no_bowl_latch) {
            cloud_notify("밥그릇이 빠져 있습니다.", 3);
            f->no_bowl_latch = 1;
        }
    } else {
        f->no_bowl_latch = 0;
    }
}

}  // namespace

void feeder_end_sessions(int32_t gap, int64_t now) {
    Feeder* f = get_feeder();
    for (FeedPath path : {FeedPath::Manual, FeedPath::Scheduled}) {
        int32_t try_gram;
        {
            std::lock_guard<std::mutex> hold(f->lock);
            FeedSessionPtr& s = session_of(f, path);
            if (!s) continue;
            try_gram = s->try_gram;
        }
        const char* which = path == FeedPath::Manual ? "in_manual" : "in_schedule";
        log_out("a fill takes the bowl back: the session of feeder->%s ends now\n", which);
        if (grams_of(f, gap) > try_gram + REST_EXCESS_G) {
            log_out(
                "a rest of %d g for %d g served is no weighing, feeder->%s closed without "
                "report\n",
                grams_of(f, gap), try_gram, which);
            std::lock_guard<std::mutex> hold(f->lock);
            session_of(f, path).reset();
            continue;
        }
        report_rest(path, try_gram, gap, now);
    }
}

int feeder_monitor_pass(int64_t now, uint32_t* sensor) {
    Feeder* f = get_feeder();
    bool manual_due, sched_due, idle;
    {
        std::lock_guard<std::mutex> hold(f->lock);
        manual_due = due(f->in_manual, now);
        sched_due = due(f->in_schedule, now);
        idle = !f->in_manual && !f->in_schedule;
    }
    if (manual_due || sched_due) {
        // After a completed feeding the clock is synchronised, with no lock held.
        if (weigh(manual_due ? FeedPath::Manual : FeedPath::Scheduled, now)) time_sync();
        plat_sleep(1);
        return 1;
    }
    if (idle) sensor_watch(sensor);
    plat_sleep(3);
    log_out(".");
    return 3;
}

void feeder_thread_proc() {
    TaskScope task("monitor", TASK_MONITOR_S);
    uint32_t sensor = 0;
    while (sig_flag) {
        struct timeval tv;
        plat_gettimeofday(&tv);
        feeder_monitor_pass(int64_t(tv.tv_sec), &sensor);
    }
    log_out("%s exit...\n", __func__);
}
