// hopperd-board-world: the simulated world around an emulated board, on the
// real clock and without the daemon: the MCU model on one pty (the board's
// /dev/ttyAMA3), the load-cell converter and buttons on another (the UART of
// the board's GPIO server), and the control socket of hopperd-sim.
//   hopperd-board-world --root DIR --control SOCKET
// DIR/dev/ttyAMA3 and DIR/dev/ttyAMA2 link to the two ptys; the world runs until
// SIGINT or SIGTERM.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "sim/control.h"
#include "sim/gpio_bridge.h"
#include "sim/world.h"

int main(int argc, char** argv) {
    sim::WorldConfig cfg;
    std::string control;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--root") == 0)
            cfg.root = argv[i + 1];
        else if (strcmp(argv[i], "--control") == 0)
            control = argv[i + 1];
    }
    if (cfg.root.empty() || control.empty() || argc != 5) {
        fprintf(stderr, "usage: hopperd-board-world --root DIR --control SOCKET\n");
        return 2;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // every thread after this one too

    sim::World& w = sim::World::get();
    w.start(cfg);
    if (w.tty_path().empty()) return 1;
    std::string gpio = sim::gpio_bridge_start(w);
    std::string link = w.path("/dev/ttyAMA2");
    unlink(link.c_str());
    if (gpio.empty() || symlink(gpio.c_str(), link.c_str()) < 0) return 1;
    if (sim::control_start(w, control) < 0) return 1;
    printf("mcu %s\ngpio %s\n", w.tty_path().c_str(), gpio.c_str());
    fflush(stdout);

    int sig;
    sigwait(&stop, &sig);
    sim::control_stop();
    sim::gpio_bridge_stop(w);
    w.stop();
    return 0;
}
