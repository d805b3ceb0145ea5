#include "platform/command_limit.h"

#include <string.h>

#include "include/log.h"

namespace {

struct Limit {
    const char* program;
    int seconds;
};

// Measured on a desk, loaded: date 7 ms, the ps listing 144 ms, ln 7 ms,
// chmod 44 ms, killall 64 ms, sync 82 ms; a board is slower, and 10 s leaves
// a wide margin for all of these, for /root/stop and the Wi-Fi tools, and
// for the programs started in the background ("/root/fw_update &", "reboot
// &", wpa_supplicant, dhclient), whose shell returns at once: the limit is
// the shell's, never the program's.
const int kOtherS = 10;
const Limit kLimits[] = {
    // A voice prompt or melody plays to its end: the simulator's clips are
    // 2 s, and at G.711's 8000 bytes a second a minute of sound would be a
    // 480 kB file in the board's set.
    {"/root/play", 60},
    // Four samples, each waited for up to 2 s (its defaults), after name
    // resolution with no answer (5 s, twice): 18 s.
    {"ntpdate", 20},
    // The updater's download over a slow home link: a few megabytes at 256
    // kbit/s.
    {"wget", 300},
    // The flash writes back what the download left.
    {"sync", 60},
};

}  // namespace

int command_limit_ms(const char* cmd) {
    size_t n = strcspn(cmd, " \t");
    for (const Limit& l : kLimits)
        if (strlen(l.program) == n && strncmp(cmd, l.program, n) == 0) return l.seconds * 1000;
    return kOtherS * 1000;
}

int command_limit_or_own(const char* cmd, int limit_ms) {
    return limit_ms < 0 ? command_limit_ms(cmd) : limit_ms;
}

void command_limit_log(const char* cmd, int limit_ms) {
    log_out("shell : \"%s\" ended at its limit of %.1f s\n", cmd, limit_ms / 1000.0);
}
