// Clock synchronisation: NTP at start and about every twelve hours, then the
// time goes on to the MCU.
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <mutex>

#include "include/log.h"
#include "include/result_codes.h"
#include "include/task_bounds.h"
#include "mcu/ucom.h"
#include "platform/platform.h"
#include "platform/run_flag.h"
#include "platform/settings.h"
#include "platform/task.h"
#include "sys/sys.h"

namespace {
std::mutex time_lock;  // one synchronisation at a time
}  // namespace

int get_date_text(char* buf) {
    plat_command_line("date +%Y/%m/%d-%u-%H:%M:%S", buf, 80);
    return 0;
}

int64_t get_epoch_seconds() {
    char buf[80];
    plat_command_line("date +%s", buf, sizeof buf);
    char* end = nullptr;
    // long is 32 bits on the board: past 2038 the seconds need more.
    long long v = strtoll(buf, &end, 10);
    if (end == buf || v <= 0 || v == LLONG_MAX) return -1;
    return int64_t(v);
}

void time_sync() {
    char cmd[sizeof "ntpdate " + SETTING_TEXT_MAX] = {0};  // room for the longest host setting
    std::lock_guard<std::mutex> hold(time_lock);
    for (const char* server : settings().ntp_servers) {
        snprintf(cmd, sizeof cmd, "ntpdate %s", server);
        plat_system(cmd);
    }
    // A date that gives no number must not set the clock to 1970.
    int64_t now = get_epoch_seconds();
    if (now > 0) {
        // `date` reads the clock this sets, in whole seconds and a moment ago
        // (seconds ago on a busy board): set to that, the clock went back at
        // every synchronisation, and a button held across one measured
        // short. Set to its own reading, it went back by as long as this
        // thread was kept between reading and setting. So it is set only
        // when the reading is ahead of it, and only ever moves forward.
        struct timeval tv;
        plat_gettimeofday(&tv);
        if (int64_t(tv.tv_sec) < now) {
            tv = {time_t(now), 0};
            plat_settimeofday(&tv);
        }
    } else {
        log_out("time_sync : no time from date, clock left as it is\n");
    }
    if (ucom_set_time(ucom_get_fd()) == __UCOM_DONE) plat_sleep(1);
}

void time_zone_link() {
    plat_system("ln -sf /usr/share/zoneinfo/Asia/Seoul /etc/localtime");
    // The C library reads the zone once, at the first local time: the runner's
    // passes before the link would keep the image's zone until the next start.
    tzset();
}

void ntp_thread_proc() {
    TaskScope task("ntp", TASK_NTP_S);
    time_zone_link();
    int passes = NTP_PERIOD_PASSES;
    while (sig_flag) {
        int c = passes++;
        if (c >= NTP_PERIOD_PASSES - 1) {
            time_sync();
            passes = 0;
        }
        plat_sleep(1);
    }
    log_out("%s exit...\n", __func__);
}
