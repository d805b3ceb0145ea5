#include "feeder/dispense.h"

#include <stdio.h>

#include "feeder/feeder.h"
#include "gpio/gpio.h"
#include "include/log.h"
#include "include/result_codes.h"
#include "include/variant.h"
#include "mcu/ucom.h"
#include "net/cloud.h"
#include "platform/platform.h"
#include "platform/run_flag.h"
#include "sys/sys.h"

namespace {

bool manual(FeedPath p) {
    return p == FeedPath::Manual;
}

FeedSessionPtr& session_of(Feeder* f, FeedPath p) {
    return manual(p) ? f->in_manual : f->in_schedule;
}

// One motor step: nothing for a count of 0 or less. False when the program
// stops meanwhile: the MCU finishes the portions by itself, and the next
// start weighs them as food in the bowl.
bool motor_step(int count, int* runs) {
    if (count <= 0) return true;
    ucom_feed_meal(ucom_get_fd(), count);
    ++*runs;
    return run_wait(unsigned(count + 4) * 2);
}

void motor_back_off() {
    ucom_feed_motor_back(ucom_get_fd(), 20);
    run_wait(20 / 5 + 1);
}

// The whole wait, signals or a stop meanwhile.
void travel_wait(unsigned seconds) {
    int64_t end = plat_monotonic_us() + int64_t(seconds) * 1000000;
    for (int64_t left; (left = end - plat_monotonic_us()) > 0;)
        plat_usleep(unsigned(left < 1000000 ? left : 1000000));
}

}  // namespace

bool bowl_is_missing(const Feeder* f, int32_t gap) {
    return float(gap) + f->ldcell_gCoeff * 20.0f < 0;
}

void bowl_missing_out(Feeder* f, FeedSessionPtr& session, const char* message) {
    log_out("bowl out --------->\n");
    if (!kSilentBuild) plat_system("/root/play /root/audio/nobowl.g711");
    ucom_bowl_out(ucom_get_fd());
    run_wait(13);
    f->bowl_missing = 1;
    cloud_notify(message, 3);
    std::lock_guard<std::mutex> hold(f->lock);
    session.reset();
}

int motor_count(FeedPath path, int64_t requested, int64_t grams) {
    if (manual(path) && requested < 1) return 0;
    int64_t count = (requested - grams + 4) / 7;
    if (count > MOTOR_COUNT_MAX) {
        // More than one command can carry: run the most it can, and let the
        // top-up passes carry on from the weight that gives.
        log_out("motor count %lld above %d, running %d\n", (long long)count, MOTOR_COUNT_MAX,
                MOTOR_COUNT_MAX);
        return MOTOR_COUNT_MAX;
    }
    return int(count);
}

int melody_number(const char* text) {
    return (unsigned char)text[0] & 3;
}

const char* melody_command(int melody) {
    switch (melody & 3) {
        case 1:
            return "/root/play /root/audio/melody1.g711";
        case 2:
            return "/root/play /root/audio/melody2.g711";
        case 3:
            return "/root/play /root/audio/melody3.g711";
        default:
            return "/root/stop";
    }
}

FillResult dispense_fill(FeedPath path, int32_t requested, uint32_t* sensor, bool motor) {
    Feeder* f = get_feeder();
    int fd = ucom_get_fd();
    const char* who = manual(path) ? "manual" : "schedule";
    const char* tag = manual(path) ? "ZELuM" : "ZELsS";
    FillResult res = {FillOutcome::Filled, 0, 0};

    if (manual(path)) {
        feeder_read_sensor(fd, sensor);
        if (*sensor & SENSOR_FOOD_LOW) return {FillOutcome::FoodLow, 0, 0};
    }
    if (!feeder_scale_ready()) {
        if (!feeder_scale_recover()) {
            log_out("%s feed : the scale is not calibrated, nothing dispensed\n", who);
            return {FillOutcome::NoScale, 0, 0};
        }
        feeder_read_sensor(fd, sensor);  // the calibration moved the bowl
    }
    if (!(*sensor & SENSOR_BOWL_IN)) {
        log_out("<<<<<<<<<< bowl_in\n");
        feeder_bowl_in(fd);
        if (!run_wait(20)) return {FillOutcome::Stopped, 0, 0};
    }
    if (!manual(path)) f->bowl_missing = 0;

    int32_t r = ldcell_read();
    if (r == LDCELL_NO_READING) {
        log_out("%s feed : no reading from the load cell, nothing dispensed\n", who);
        return {FillOutcome::NoScale, 0, 0};
    }
    int32_t gap = ldcell_gap_of(f, r);
    log_out("%s1:ldcell_gap(%d) = ldcell_read_value(%d) - (ldcell_base(%d) + ldcell_bowl(%d));\n",
            tag, gap, r, f->ldcell_base, f->ldcell_bowl);
    if (bowl_is_missing(f, gap)) {
        bowl_missing_out(f, session_of(f, path), "그릇이 빠진것같습니다. 확인해주세요.");
        return {FillOutcome::BowlMissing, 0, 0};
    }
    if (gap < 0) gap = 0;
    int32_t remain = grams_of(f, gap);
    log_out("%s2:feed_gram(%d) = (ldcell_gap(%d)'/ldcell_gCoeff(%f);\n", tag, remain, gap,
            double(f->ldcell_gCoeff));
    // The bowl is back from the pet: what it holds is the rest of a session
    // still open, which ends here with its eaten report rather than unsaid.
    feeder_end_sessions(gap, int64_t(plat_time()));
    res.gram = remain;
    if (!motor) {
        log_out("%s feed : hopper low, %d gram in the bowl, nothing dispensed\n", who, remain);
        return res;
    }
    int count = motor_count(path, requested, remain);
    log_out("%s feed try %d gram, remain %d gram\n", who, requested, remain);
    log_out("%s feed motor trying %d count\n", who, count);
    if (!motor_step(count, &res.runs)) return {FillOutcome::Stopped, res.runs, remain};

    for (int pass = 1; pass <= 4; ++pass) {
        r = ldcell_read();
        if (r == LDCELL_NO_READING) {
            // Never run the motor on a weight we do not have.
            log_out("%s feed : no reading from the load cell, top-up stopped\n", who);
            break;
        }
        int32_t gap_now = ldcell_gap_of(f, r);
        if (bowl_is_missing(f, gap_now)) {
            // Taken away while the motor ran: no more portions onto nothing.
            log_out("%s feed : no bowl on the scale (%d), top-up stopped\n", who, gap_now);
            motor_back_off();
            bowl_missing_out(f, session_of(f, path), "그릇이 빠진것같습니다. 확인해주세요.");
            return {FillOutcome::BowlMissing, res.runs, 0};
        }
        res.gram = grams_of(f, gap_now);
        count = motor_count(path, requested, res.gram);
        log_out("%s feed motor retrying %d count\n", who, count);
        if (!motor_step(count, &res.runs)) return {FillOutcome::Stopped, res.runs, res.gram};
        if (count <= 0) break;
    }
    if (!manual(path) && res.runs > 0) motor_back_off();
    return res;
}

ServeOutcome dispense_serve(FeedPath path, int32_t requested, int melody, const FillResult& fill,
                            uint32_t* sensor, int32_t* feed_gram, ServeHook hook) {
    Feeder* f = get_feeder();
    int fd = ucom_get_fd();
    const char* who = manual(path) ? "manual" : "schedule";
    const char* tag = manual(path) ? "ZELuM" : "ZELsS";

    int32_t r = ldcell_read();
    if (r == LDCELL_NO_READING) {
        log_out("%s feed : no reading from the load cell, serving the last weight %d\n", who,
                fill.gram);
        *feed_gram = fill.gram < 0 ? 0 : fill.gram;
    } else {
        int32_t gap = ldcell_gap_of(f, r);
        if (bowl_is_missing(f, gap)) {
            // Taken away since the fill weighed it: there is nothing to present,
            // and a weight below the empty bowl is no amount to report.
            log_out("%s3:ldcell_gap(%d): no bowl on the scale, nothing presented\n", tag, gap);
            if (manual(path) && fill.runs > 0) motor_back_off();
            bowl_missing_out(f, session_of(f, path), "그릇이 빠진것같습니다. 확인해주세요.");
            return ServeOutcome::BowlMissing;
        }
        // Up to 20 g below the empty bowl is the scale's noise around an
        // empty one: served is 0 g, never a negative amount.
        *feed_gram = gap < 0 ? 0 : grams_of(f, gap);
    }
    log_out(
        "%s3:feed_gram(%d) = (ldcell_read_value(%d) - (ldcell_base(%d) + ldcell_bowl(%d)))'/"
        "ldcell_gCoeff(%f);\n",
        tag, *feed_gram, r, f->ldcell_base, f->ldcell_bowl, double(f->ldcell_gCoeff));
    if (manual(path) && fill.runs > 0) motor_back_off();
    log_out("%s feed try %d gram and feed %d gram\n", who, requested, *feed_gram);
    log_out(">>>>>>>>>> bowl_out\n");
    if (!kSilentBuild) {
        log_out("%s melody: %d\n", manual(path) ? "uds" : "sched", melody);
        plat_system(melody_command(melody));
    }
    if (!sig_flag) return ServeOutcome::Stopped;  // nothing is presented to a stopping feeder
    bool answered = ucom_bowl_out(fd) == __UCOM_DONE;
    // A stop does not cut this wait short: a bowl on its way reaches the pet
    // whatever the program does, so the meal is reported, and counted as
    // served, as any other.
    travel_wait(13);
    int32_t tmp = ldcell_read();
    log_out("%s4:tmpCellBase(%d) = ldcell_read();\n", tag, tmp);
    feeder_read_sensor(fd, sensor);
    // A bowl-out the MCU never heard left the meal standing in: a pet with
    // nothing, and an owner told the bowl is stuck. Without an answer, a
    // bowl not seen out is sent again; one already out takes it as done.
    if (!answered && !(*sensor & SENSOR_BOWL_OUT)) {
        log_out(">>>>>>>>>> bowl_out again: no answer, the bowl not seen out\n");
        ucom_bowl_out(fd);
        travel_wait(13);
        feeder_read_sensor(fd, sensor);
    }

    char date[80];
    char msg[200];
    if (*sensor & SENSOR_BOWL_OUT) {
        if (hook.served) hook.served(hook.ctx);
        {
            std::lock_guard<std::mutex> hold(f->lock);
            FeedSessionPtr& s = session_of(f, path);
            s = feed_session_alloc();  // a session already there is released
            get_date_text(date);
            snprintf(msg, sizeof msg, "%dg 제공되었습니다. %s", *feed_gram, date);
            log_out("%s\n", msg);
            cloud_notify(msg, 3);
            if (s) {
                s->fed_at = int64_t(plat_time());
                s->try_gram = *feed_gram;
            } else {
                log_out("%s feed : no memory for the session, nothing to weigh later\n", who);
            }
        }
        snprintf(msg, sizeof msg, "%dg 제공", *feed_gram);
        log_out("%s\n", msg);
        cloud_notify(msg, 2);
        return ServeOutcome::Served;
    }
    bowl_stuck_out(path);
    return ServeOutcome::BowlStuck;
}

void bowl_stuck_out(FeedPath path) {
    Feeder* f = get_feeder();
    char date[80];
    char msg[200];
    std::lock_guard<std::mutex> hold(f->lock);
    get_date_text(date);
    snprintf(msg, sizeof msg,
             manual(path) ? "사료그릇이 멈추었습니다. %s" : "사료그릇이 멈추었습니다... %s", date);
    cloud_notify(msg, 3);
    session_of(f, path).reset();
}
