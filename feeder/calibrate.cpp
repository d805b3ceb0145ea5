// Calibration at start-up: the empty scale, then the empty bowl.
#include <math.h>
#include <stdio.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include "feeder/feeder.h"
#include "gpio/gpio.h"
#include "include/log.h"
#include "include/variant.h"
#include "mcu/ucom.h"
#include "platform/platform.h"

namespace {
const char kRule[] = "\n=====================================================";
std::mutex mech_lock;
}  // namespace

std::mutex& feeder_mech_lock() {
    return mech_lock;
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
    f->fw_version = "0.6.0";
    f->proto_version = "1.0.0";
    f->msgq_id = msgget(plat_msgq_key(MSGQ_KEY), IPC_CREAT | 0666);
    if (f->msgq_id < 0) {
        perror("msgget error:");
        return nullptr;
    }

    int fd = ucom_get_fd();
    uint32_t sensor = 0;  // a failed read leaves the bowl where it is
    ucom_get_sensor(fd, &sensor);
    if (sensor & SENSOR_BOWL_IN) {
        ucom_bowl_out(fd);
        plat_sleep(17);
    }
    f->ldcell_base = ldcell_read();
    f->ldcell_bias = int32_t(float(f->ldcell_base) + kNominalBowlCounts);
    ucom_bowl_in(fd);
    plat_sleep(20);
    int32_t r = ldcell_read();
    f->ldcell_bowl = r - f->ldcell_base;
    f->ldcell_gCoeff = float(f->ldcell_bowl) / kBowlGrams;

    log_out("%s\n", kRule);
    log_out("%s\n", kSilentBuild ? "\nTolvik_Feeder_FW hopperd.0511.03"
                                 : "\nTolvik_Feeder_FW hopperd.0606.03.audio");
    log_out(
        "\nZELfI1:ldcell_base(%d), ldcell_bowl(%d), ldcell_bias(%d), "
        "ldcell_gCoeff_129.77f(%f) \n",
        f->ldcell_base, f->ldcell_bowl, f->ldcell_bias, double(f->ldcell_gCoeff));
    log_out("%s\n", kRule);

    if (kSilentBuild) {
        // Out-of-range calibrations fall back to the nominal scale; the
        // measured values stay in the log above.
        if (f->ldcell_bowl < 15600 || f->ldcell_bowl > 23400) f->ldcell_bowl = 20244;
        if (f->ldcell_gCoeff < 100.0f || f->ldcell_gCoeff > 150.0f)
            f->ldcell_gCoeff = kNominalCoeff;
    }
    // Without a bowl (or without a scale) the coefficient comes out at or
    // below zero and every weight after it would be a division by it:
    // weigh with the nominal bowl instead, and say so.
    if (!(f->ldcell_gCoeff > 0.0f) || r < 0 || f->ldcell_base < 0) {
        log_out("feeder_init : calibration failed (bowl %d, coefficient %f), nominal scale used\n",
                f->ldcell_bowl, double(f->ldcell_gCoeff));
        f->ldcell_bowl = 20244;
        f->ldcell_gCoeff = kNominalCoeff;
    }
    f->bowl_missing = 0;
    return f;
}
