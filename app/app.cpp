#include "app/app.h"

#include <locale.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/msg.h>
#include <unistd.h>

#include <thread>

#include "app/fds.h"
#include "app/identity.h"
#include "feeder/feeder.h"
#include "gpio/buttons.h"
#include "gpio/gpio.h"
#include "include/log.h"
#include "include/result_codes.h"
#include "include/task_bounds.h"
#include "include/variant.h"
#include "mcu/ucom.h"
#include "net/cloud.h"
#include "net/wifi.h"
#include "platform/platform.h"
#include "platform/run_flag.h"
#include "platform/settings.h"
#include "platform/task.h"
#include "sched/sched.h"
#include "sip/sip.h"
#include "sys/sys.h"
#include "uds/uds.h"

void sig_handler(int) {
    app_stop();
}

namespace {

const char kRule[] = "=====================================================";

void print_banner(const Feeder* f) {
    log_out("%s\n%s\n\n Quenra TOLVIK Feeder MAC addr ---> %s\n        sipid ---> %s\n\n%s\n%s\n",
            kRule, kRule, f->product_id, f->sipid, kRule, kRule);
}

// A valid identity file is used as it is; a missing or invalid one is
// replaced by a new uuid, and only then is the device registered.
void settle_identity(const Feeder* f) {
    if (feeder_conf_read() != __CONF_ERROR) return;
    feeder_conf_write();
    feeder_conf_read();
    cloud_request(f->sipid, CLOUD_REGISTER);
}

}  // namespace

// Keeps the firmware updater running. ps lists by PID, and after the PID
// counter wraps the check's own shell and grep come before the updater: the
// updater runs if any line of the listing names it, not only the first.
void supervise_updater() {
    FILE* p = plat_popen("ps aux | grep fw_update | awk {'print $11'}", "r");
    if (!p) return;
    char line[80];
    bool running = false;
    while (fgets(line, sizeof line, p))
        if (strstr(line, "/root/fw_update")) running = true;
    plat_pclose(p);
    if (!running) plat_system("/root/fw_update &");
}

namespace {
// The updater's stop message, when it comes after the update request's wait
// gave up (a download slower than that wait): the update goes ahead.
void take_late_stop(const Feeder* f) {
    UpdateMsg msg;
    if (msgrcv(f->msgq_id, &msg, UPD_MSG_TEXT, UPD_MSG_STOP, IPC_NOWAIT) < 0) return;
    log_out("updater : stop message, the program stops\n");
    app_stop();
}

void supervise(int ucom_fd, Feeder* f) {
    TaskScope task("main", TASK_MAIN_S);
    int blink = 0;
    while (sig_flag) {
        if (f->online) ucom_set_led(ucom_fd, blink++ & 1, 3);
        plat_sleep(1);
        supervise_updater();
        take_late_stop(f);
    }
}

struct Workers {
    std::thread bttn, uds, sched, ntp, monitor, watchdog, sip, cloud;
};

// Starts a worker under its role's name (top -H, ps -L and gdb tell them
// apart on the board; the kernel keeps 15 characters). The name is set by
// the thread itself, before its first step.
template <typename F, typename... Args>
void start(std::thread& t, const char* name, F fn, Args... args) {
    plat_thread_coming();
    t = std::thread([=] {
        pthread_setname_np(pthread_self(), name);
        plat_thread_arrived();
        fn(args...);
    });
}

// Joins one worker; the shutdown sequence is in the log for whoever reads it.
void join(std::thread& t, const char* name) {
    if (!t.joinable()) return;
    t.join();
    log_out("shutdown: %s joined\n", name);
}

// Start-up waits here until the network answers, and still serves the
// buttons meanwhile, so that a factory reset or WPS works offline.
void wait_for_network(int bttn_fd, Feeder* f) {
    while (wifi_check_connection() == __WIFI_ERROR) {
        f->online = 0;
        struct pollfd p = {bttn_fd, POLLIN, 0};
        int rc = plat_poll(&p, 1, 2000);
        if (rc < 0) perror("poll");
        if (rc > 0 && (p.revents & POLLIN))
            bttn_action(bttn_r_event(bttn_fd));
        else
            log_out("Wi-Fi Error...........!!!\n");
    }
}

}  // namespace

int app_run() {
    setlocale(LC_ALL, "en_US.UTF-8");
    app_stop_fd_open();
    signal(SIGINT, sig_handler);
    settings();  // read the deployment settings before any thread needs them
    cloud_init();
    Workers w;
    int bttn_fd = bttn_open();
    start(w.bttn, "bttn", bttn_thread_proc, bttn_fd);

    int ucom_fd = ucom_open();
    ucom_set_led(ucom_fd, 1, 3);
    ucom_set_led(ucom_fd, 1, 4);

    Feeder* f = feeder_init();
    if (!f) {
        log_out("feeder initialization failed\n");
        exit(1);
    }
    get_mac_addr();
    // Sends again what the cloud did not take, the last run's first. Every
    // report carries the address, so not before it is read: the record's
    // reset above clears it, and a report sent earlier went out for nobody.
    start(w.cloud, "cloud", cloud_thread_proc);
    ucom_set_led(ucom_fd, 1, 3);
    ucom_set_led(ucom_fd, 1, 4);

    int uds_fd = uds_open(UDS_SERVER);
    start(w.uds, "uds", uds_thread_proc, uds_fd);

    // The runner starts before the list is loaded: its first passes may see
    // an empty schedule.
    sched_lock_init();
    start(w.sched, "sched", sched_thread_proc);
    sched_load();

    // The monitor weighs what the runner served and brings the bowl back: it
    // runs before the network wait, or a meal served while a power cut's
    // return finds the Wi-Fi down stays out, and every later meal is refused
    // as a feeding being eaten, until the network answers.
    start(w.monitor, "monitor", feeder_thread_proc);

    settle_identity(f);
    print_banner(f);

    wait_for_network(bttn_fd, f);
    f->online = 1;

    int wdt_fd = watchdog_open();
    start(w.watchdog, "watchdog", watchdog_thread_proc, wdt_fd);
    start(w.ntp, "ntp", ntp_thread_proc);

    sip_init();
    sip_account_add();
    start(w.sip, "sip", sip_thread_proc);

    if (!kSilentBuild) {
        plat_system("/root/play /root/audio/tolvikstart2.g711");
        cloud_notify("Start Tolvik V0606.03.audio ", 3);
    }

    supervise(ucom_fd, f);

    // Any of these joins may wait for a feeding, a weighing or the runner's
    // minute after a meal, each longer than the watchdog's time-out: the
    // watchdog is fed until the last of them has ended, and only then
    // disarmed, in both builds.
    join(w.sip, "sip_thread_proc");
    join(w.sched, "sched_thread_proc");
    join(w.ntp, "ntp_thread_proc");
    join(w.monitor, "feeder_thread_proc");
    join(w.bttn, "bttn_thread_proc");
    join(w.uds, "uds_thread_proc");
    join(w.cloud, "cloud_thread_proc");  // after every thread that reports
    cloud_save_kept();
    watchdog_close(wdt_fd);
    join(w.watchdog, "watchdog_thread_proc");
    bttn_close(bttn_fd);
    ucom_close(ucom_fd);
    fds_clear();
    sip_shutdown();
    feeder_destroy(f);
    sched_clear();
    cloud_cleanup();
    log_out("Bye....\n");
    return 0;
}
