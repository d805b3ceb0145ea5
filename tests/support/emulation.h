// A cross build's tests run under qemu-arm, and so do the board programs they
// start (tests/support/process.h). The emulator runs them about four times
// slower, in bursts (each new code path is translated first). So under
// emulation the system tests slow the simulated world by kSlowdown: a board
// program's --speed is divided by it and every real-time wait multiplied by
// it. Each wait then spans the same virtual time as natively: no bound loses
// its meaning, and a program has the same share of a virtual second (the
// watchdog's 15 s, a button's hold) for its work.
#pragma once

#include <unistd.h>

#ifdef HOPPERD_CROSS_EMULATED
inline constexpr double kSlowdown = 4;
#else
inline constexpr double kSlowdown = 1;
#endif

// A test's real-time figure (a time-out, a sleep standing for virtual time).
inline double slowed(double seconds) {
    return seconds * kSlowdown;
}
inline void sleep_slowed(double seconds) {
    usleep(useconds_t(slowed(seconds) * 1e6));
}

// Kept so that tests written when board programs could not start under
// emulation still build; every test runs now.
#define SKIP_UNDER_EMULATION() \
    do {                       \
    } while (0)
