// The kept calibration: one small file, replaced whole.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "feeder/feeder.h"
#include "include/log.h"
#include "include/owned.h"
#include "platform/atomic_file.h"
#include "platform/platform.h"

namespace {

const char kScalePath[] = "/etc/feed_scale.conf";

}  // namespace

int scale_kept_write(const ScaleKept& kept) {
    JsonPtr obj(json_pack("{s:i, s:f}", "ldcell_bowl", int(kept.bowl), "ldcell_gCoeff",
                          double(kept.coeff)));
    return write_json_atomic(plat_path(kScalePath).c_str(), obj.get());
}

int scale_kept_read(ScaleKept* kept) {
    json_error_t err;
    JsonPtr obj(json_load_file(plat_path(kScalePath).c_str(), 0, &err));
    if (!obj) return -1;
    int bowl = 0;
    double coeff = 0;
    if (json_unpack(obj.get(), "{s:i, s:F}", "ldcell_bowl", &bowl, "ldcell_gCoeff", &coeff) < 0 ||
        bowl <= 0 || !(coeff > 0) || coeff > 1e6) {
        log_out("feeder calibration : the kept calibration is not one, ignored\n");
        return -1;
    }
    kept->bowl = bowl;
    kept->coeff = float(coeff);
    return 0;
}

void feeder_scale_forget() {
    unlink(plat_path(kScalePath).c_str());
}
