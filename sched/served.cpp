// The served record: which meal was served last, so that a restart in or
// after its minute never serves it again.
#include <stdio.h>
#include <string.h>

#include "include/log.h"
#include "include/owned.h"
#include "platform/atomic_file.h"
#include "platform/platform.h"
#include "sched/sched.h"

namespace {

const char kServedPath[] = "/etc/feed_served.conf";

}  // namespace

int sched_served_write(const SchedMeal& meal) {
    JsonPtr obj(json_pack("{s:s, s:I}", "uuid", meal.uuid, "at", json_int_t(meal.at)));
    return write_json_atomic(plat_path(kServedPath).c_str(), obj.get());
}

int sched_served_read(SchedMeal* meal) {
    *meal = SchedMeal{};
    json_error_t err;
    JsonPtr obj(json_load_file(plat_path(kServedPath).c_str(), 0, &err));
    if (!obj) return -1;
    const char* uuid = nullptr;
    json_int_t at = 0;
    if (json_unpack(obj.get(), "{s:s, s:I}", "uuid", &uuid, "at", &at) < 0 || at < 0 ||
        strlen(uuid) >= sizeof meal->uuid) {
        log_out("sched : the served record is not one, ignored\n");
        return -1;
    }
    snprintf(meal->uuid, sizeof meal->uuid, "%s", uuid);
    meal->at = int64_t(at);
    return 0;
}
