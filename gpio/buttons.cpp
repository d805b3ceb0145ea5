#include "gpio/buttons.h"

#include <stdio.h>

#include "app/identity.h"
#include "feeder/feeder.h"
#include "gpio/gpio.h"
#include "include/feeder.h"
#include "include/log.h"
#include "include/result_codes.h"
#include "include/task_bounds.h"
#include "include/variant.h"
#include "net/cloud.h"
#include "net/wifi.h"
#include "platform/platform.h"
#include "platform/run_flag.h"
#include "platform/task.h"
#include "sched/sched.h"

namespace {

// One button's edge: the first arms it, the next decides.
int edge(std::atomic<int64_t>& pressed_at, uint32_t port, int long_press_code) {
    int64_t now = int64_t(plat_time());
    if (pressed_at == 0) {
        log_out("\t==> interrupt -> ch :%s | port : 0x%02x\n", "/dev/gpio/f", port);
        pressed_at = now;
        return __BTTN_NONE;
    }
    if (now - pressed_at > BTTN_LONG_PRESS_S) {
        log_out("\t==> interrupt -> ch :%s | port : 0x%02x\n", "/dev/gpio/f", port);
        return long_press_code;
    }
    pressed_at = 0;
    return __BTTN_NONE;
}

int factory_default() {
    Feeder* f = get_feeder();
    log_out(">>>>>>>>>>> factory default...\n");
    feeder_conf_write();
    feeder_conf_read();
    get_mac_addr();
    sched_write_empty();
    feeder_scale_forget();  // a new bowl may come with the reset: weigh it anew
    int r = cloud_request(f->sipid, CLOUD_REGISTER);
    if (r == __HTTP_DONE) log_out("\t%s register successful...\n", f->sipid);
    wifi_write_config();
    plat_system("reboot &");
    app_stop();
    return r;
}

int wps() {
    log_out(">>>>>>>>>>> WPS wifi connection...\n");
    if (!kSilentBuild) plat_system("/root/play /root/audio/wps.g711");
    wifi_write_config();
    wifi_start_wps();
    if (kSilentBuild) return 0;
    for (int i = 0; i < 10; ++i) {
        // A stop ends the wait: the pairing goes on in wpa_supplicant, which
        // outlives the daemon, and the stop would wait the whole 20 s.
        if (!run_wait(2)) break;
        if (wifi_check_connection() == __WIFI_DONE) break;
        plat_system("/root/play /root/audio/_beep.g711");
    }
    return 0;
}

}  // namespace

int bttn_r_event(int fd) {
    GpioState* g = gpio_state();
    log_out("%s entered\n", __func__);
    int rc;
    uint32_t port;  // read under the lock: the other reader's query rewrites bttn_pins
    {
        std::lock_guard<std::mutex> hold(g->gpio_lock);
        rc = plat_dev_ioctl(fd, GPIO_REQ_IRQ_QUERY, reinterpret_cast<uintptr_t>(&g->bttn_pins));
        log_out("ioctl of %d , port : 0x%x\n", fd, g->bttn_pins.value);
        if (rc < 0) perror("ioctl");
        // Whatever is pending is acknowledged before the lock is let go. Both
        // lines at once too, though that press means nothing: a line left
        // pending keeps the descriptor readable, and the button thread would
        // wake at once, forever. And during the network wait the main thread
        // and the button thread both wake on one interrupt: a second query of
        // a still pending line would count one press twice, disarming the
        // button it had just armed.
        port = g->bttn_pins.value;
        if (rc >= 0 && (port & GPIO_BTTN_MASK))
            plat_dev_ioctl(fd, GPIO_REQ_IRQ_ACK, g->bttn_pins.mask);
    }
    if (rc < 0) LOG_RETURN(__BTTN_NONE);
    if (port == GPIO_BTTN_RST) {
        int r = edge(g->rst_pressed_at, port, __BTTN_FAC_RST);
        // The factory-reset button stays armed: the device is restarting.
        if (r == __BTTN_FAC_RST) LOG_RETURN(__BTTN_FAC_RST);
        return r;
    }
    if (port == GPIO_BTTN_WPS) {
        int r = edge(g->wps_pressed_at, port, __BTTN_WIFI_WPS);
        if (r == __BTTN_WIFI_WPS) {
            // The silent build keeps it armed, so the next edge is a long press again.
            if (!kSilentBuild) g->wps_pressed_at = 0;
            LOG_RETURN(__BTTN_WIFI_WPS);
        }
        return r;
    }
    LOG_RETURN(__BTTN_NONE);
}

void bttn_thread_proc(int fd) {
    TaskScope task("bttn", TASK_BTTN_S);
    while (sig_flag) {
        struct pollfd p = {fd, POLLIN, 0};
        int rc = plat_poll(&p, 1, 3000);
        if (rc < 0) {
            perror("-----------------------------------> select");
            continue;
        }
        if (rc > 0) bttn_action(bttn_r_event(fd));
    }
    log_out("%s exit...\n", __func__);
}

int bttn_action(int event) {
    switch (event) {
        case __BTTN_FAC_RST:
            return factory_default();
        case __BTTN_WIFI_WPS:
            return wps();
        default:
            return 0;
    }
}
