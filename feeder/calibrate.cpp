// Calibration at start-up: the empty scale, then the empty bowl.
#include <math.h>
#include <stdio.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <atomic>

#include "feeder/feeder.h"
#include "gpio/gpio.h"
#include "include/log.h"
#include "include/result_codes.h"
#include "include/variant.h"
#include "mcu/ucom.h"
#include "platform/platform.h"

namespace {

const char kRule[] = "\n=====================================================";
std::mutex mech_lock;
std::atomic<uint64_t> mech_holds{0};
// False while no calibration has been weighed: every weight would be a guess.
std::atomic<bool> scale_ready{false};

enum { SCALE_TRIES = 3, SCALE_RETRY_S = 2 };

// One load-cell reading, tried again a few times: a single lost frame
// train at start-up must not leave the feeder without a scale. Bounded by
// SCALE_TRIES reads (each gives up by itself) and the sleeps between them.
int32_t read_scale(const char* what) {
    int32_t r = ldcell_read();
    for (int i = 1; i < SCALE_TRIES && r == LDCELL_NO_READING; ++i) {
        log_out("feeder calibration : no reading of the %s, trying again\n", what);
        plat_sleep(SCALE_RETRY_S);
        r = ldcell_read();
    }
    return r;
}

// A reading this far below the kept empty bowl is still that bowl: the
// scale's noise (about 0.1 g on the simulated converter, a few tenths of a
// gram on the board's) many times over. Food only ever adds weight.
constexpr float kSameBowlBelowG = 5.0f;

enum class Bowl { Same, None, Other };

// What the bowl reading says against the kept calibration: the same bowl
// (with whatever food is in it), no bowl at all, or another bowl.
Bowl judge(int32_t bowl_counts, const ScaleKept& kept) {
    if (float(bowl_counts - kept.bowl) >= -kSameBowlBelowG * kept.coeff) return Bowl::Same;
    if (bowl_counts < kept.bowl / 2) return Bowl::None;
    return Bowl::Other;
}

void log_calibration(const Feeder* f, bool banner) {
    if (banner) {
        log_out("%s\n", kRule);
        log_out("%s\n", kSilentBuild ? "\nTolvik_Feeder_FW hopperd.0511.03"
                                     : "\nTolvik_Feeder_FW hopperd.0606.03.audio");
    }
    log_out(
        "\nZELfI1:ldcell_base(%d), ldcell_bowl(%d), ldcell_bias(%d), "
        "ldcell_gCoeff_129.77f(%f) \n",
        f->ldcell_base, f->ldcell_bowl, f->ldcell_bias, double(f->ldcell_gCoeff));
    if (banner) log_out("%s\n", kRule);
}

// Empty scale with the bowl out, then the bowl in. The empty scale is
// weighed at every start; the bowl only when no kept calibration knows it,
// since food left in it (a power cut during a meal) would be taken for bowl
// and falsify every amount after. The bowl is in afterwards. False when the
// load cell gave no reading.
bool calibrate(Feeder* f, bool banner) {
    int fd = ucom_get_fd();
    // A read that failed says nothing of where the bowl is. Taken for "not
    // in", a bowl standing in was weighed as the empty scale, and every
    // amount after came out short by the bowl (or as no bowl at all). A bowl
    // already out is only sent out again.
    uint32_t sensor = 0;
    bool known = ucom_get_sensor(fd, &sensor) == __UCOM_DONE;
    if (!known || (sensor & SENSOR_BOWL_IN)) {
        auto bowl_out = [fd] {
            bool answered = ucom_bowl_out(fd) == __UCOM_DONE;
            plat_sleep(17);
            return answered;
        };
        // A request the MCU never heard leaves the bowl standing in, and the
        // empty scale would take it in: every weighing after it came out as
        // "bowl missing" until the next start. Without an answer, the sensor
        // says whether it went.
        if (!bowl_out() && ucom_get_sensor(fd, &sensor) == __UCOM_DONE &&
            (sensor & SENSOR_BOWL_IN)) {
            log_out("feeder calibration : the bowl is still in, sending it out again\n");
            bowl_out();
        }
    }
    f->ldcell_base = read_scale("empty scale");
    f->ldcell_bias = int32_t(float(f->ldcell_base) + kNominalBowlCounts);
    feeder_bowl_in(fd);
    plat_sleep(20);
    int32_t r = f->ldcell_base == LDCELL_NO_READING ? LDCELL_NO_READING : read_scale("bowl");
    bool weighed = f->ldcell_base != LDCELL_NO_READING && r != LDCELL_NO_READING;

    ScaleKept kept;
    Bowl bowl = Bowl::Other;
    if (weighed && scale_kept_read(&kept) == 0) bowl = judge(r - f->ldcell_base, kept);
    if (bowl != Bowl::Other) {
        f->ldcell_bowl = kept.bowl;
        f->ldcell_gCoeff = kept.coeff;
        log_calibration(f, banner);
        if (bowl == Bowl::Same)
            log_out("feeder calibration : the kept bowl, with %d g of food in it\n",
                    grams_of(f, ldcell_gap_of(f, r)));
        else
            log_out("feeder calibration : no bowl on the scale (%d), the kept calibration stays\n",
                    r - f->ldcell_base);
        scale_ready = true;
        return true;
    }
    if (weighed && scale_kept_read(&kept) == 0)
        log_out("feeder calibration : another bowl (%d, kept %d), calibrating anew\n",
                r - f->ldcell_base, kept.bowl);

    f->ldcell_bowl = r - f->ldcell_base;
    f->ldcell_gCoeff = float(f->ldcell_bowl) / kBowlGrams;
    const ScaleKept measured = {f->ldcell_bowl, f->ldcell_gCoeff};
    log_calibration(f, banner);

    if (kSilentBuild) {
        // Out-of-range calibrations fall back to the nominal scale; the
        // measured values stay in the log above.
        if (f->ldcell_bowl < 15600 || f->ldcell_bowl > 23400) f->ldcell_bowl = 20244;
        if (f->ldcell_gCoeff < 100.0f || f->ldcell_gCoeff > 150.0f)
            f->ldcell_gCoeff = kNominalCoeff;
    }
    // Without a bowl the coefficient comes out at or below zero and every
    // weight after it would be a division by it: weigh with the nominal bowl
    // instead, and say so. Without a reading there is nothing to weigh with.
    if (!(f->ldcell_gCoeff > 0.0f) || !weighed) {
        log_out("feeder calibration : %s (bowl %d, coefficient %f), nominal scale used\n",
                weighed ? "no bowl" : "no reading from the load cell", f->ldcell_bowl,
                double(f->ldcell_gCoeff));
        f->ldcell_bowl = 20244;
        f->ldcell_gCoeff = kNominalCoeff;
    }
    if (!weighed)
        log_out("feeder calibration : scale not calibrated, feedings refused until it answers\n");
    // Only a calibration weighed and used as measured is kept: a fallback
    // is no knowledge of the bowl.
    if (weighed && f->ldcell_bowl == measured.bowl && f->ldcell_gCoeff == measured.coeff &&
        scale_kept_write(measured) < 0)
        log_out("feeder calibration : not kept\n");
    scale_ready = weighed;
    return weighed;
}

}  // namespace

MechHold::MechHold() : hold_(task_lock_behind(mech_lock)), number_(++mech_holds) {}

uint64_t feeder_mech_last() {
    return mech_holds;
}

int feeder_bowl_in(int fd) {
    if (ucom_bowl_in(fd) == __UCOM_DONE) return __UCOM_DONE;
    log_out("<<<<<<<<<< bowl_in again: no answer\n");
    return ucom_bowl_in(fd);
}

int feeder_read_sensor(int fd, uint32_t* sensor) {
    if (ucom_get_sensor(fd, sensor) == __UCOM_DONE) return __UCOM_DONE;
    log_out("ucom sensor again: no answer\n");
    if (ucom_get_sensor(fd, sensor) == __UCOM_DONE) return __UCOM_DONE;
    log_out("ucom sensor : no answer, where the bowl is is not known\n");
    *sensor = 0;
    return __UCOM_ERROR;
}

bool feeder_scale_ready() {
    return scale_ready;
}

bool feeder_scale_recover() {
    if (scale_ready) return true;
    // Moving the bowl out and in for a scale that still says nothing would
    // only shuttle it at every feeding.
    if (ldcell_read() == LDCELL_NO_READING) {
        log_out("feeder calibration : still no reading from the load cell\n");
        return false;
    }
    log_out("feeder calibration : the load cell answers again, calibrating\n");
    return calibrate(get_feeder(), false);
}

int32_t ldcell_gap_of(const Feeder* f, int32_t raw) {
    return raw - (f->ldcell_base + f->ldcell_bowl);
}

int32_t grams_of(const Feeder* f, int32_t gap) {
    return int32_t(float(gap) / f->ldcell_gCoeff);
}

Feeder* feeder_init() {
    Feeder* f = get_feeder();
    feeder_reset(f);
    scale_ready = false;
    f->fw_version = "0.6.0";
    f->proto_version = "1.0.0";
    f->msgq_id = msgget(plat_msgq_key(MSGQ_KEY), IPC_CREAT | 0666);
    if (f->msgq_id < 0) {
        perror("msgget error:");
        return nullptr;
    }
    calibrate(f, true);
    f->bowl_missing = 0;
    return f;
}
