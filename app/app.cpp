#include "app/app.h"

#include <locale.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include "app/identity.h"
#include "gpio/gpio.h"
#include "include/feeder.h"
#include "include/log.h"
#include "include/result_codes.h"
#include "include/variant.h"
#include "mcu/ucom.h"
#include "platform/platform.h"
#include "platform/settings.h"

std::atomic<int> sig_flag{1};

void sig_handler(int) {
    sig_flag = 0;
}

namespace {

const char kRule[] = "=====================================================";

void print_banner(const Feeder* f) {
    log_out("%s\n%s\n\n Quenra TOLVIK Feeder MAC addr ---> %s\n        sipid ---> %s\n\n%s\n%s\n",
            kRule, kRule, f->product_id, f->sipid, kRule, kRule);
}

void settle_identity() {
    if (feeder_conf_read() != __CONF_ERROR) return;
    feeder_conf_write();
    feeder_conf_read();
}

// Keeps the firmware updater running. Only the first line of the listing
// counts: the updater is taken as running when it is the first process whose
// line mentions fw_update.
void supervise_updater() {
    FILE* p = plat_popen("ps aux | grep fw_update | awk {'print $11'}", "r");
    if (!p) return;
    char line[80] = {0};
    if (!fgets(line, sizeof line, p)) line[0] = '\0';
    plat_pclose(p);
    if (!strstr(line, "/root/fw_update")) plat_system("/root/fw_update &");
}

void supervise(int ucom_fd, Feeder* f) {
    int blink = 0;
    while (sig_flag) {
        if (f->online) ucom_set_led(ucom_fd, blink++ & 1, 3);
        plat_sleep(1);
        supervise_updater();
    }
}

}  // namespace

int app_run() {
    setlocale(LC_ALL, "en_US.UTF-8");
    signal(SIGINT, sig_handler);
    settings();  // read the deployment settings before any thread needs them

    int bttn_fd = bttn_open();

    int ucom_fd = ucom_open();
    ucom_set_led(ucom_fd, 1, 3);
    ucom_set_led(ucom_fd, 1, 4);

    Feeder* f = get_feeder();
    feeder_reset(f);

    get_mac_addr();
    ucom_set_led(ucom_fd, 1, 3);
    ucom_set_led(ucom_fd, 1, 4);

    settle_identity();
    print_banner(f);

    f->online = 1;

    if (!kSilentBuild) plat_system("/root/play /root/audio/tolvikstart2.g711");

    supervise(ucom_fd, f);

    bttn_close(bttn_fd);
    ucom_close(ucom_fd);
    feeder_destroy(f);
    log_out("Bye....\n");
    return 0;
}
