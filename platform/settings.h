// Deployment settings: service hosts and server addresses.
//
// Built-in defaults come from the build (CMake cache variables); the file
// /etc/hopperd.conf on the device may override them, one "key = value" per
// line, '#' starting a comment. Nothing else about the device is configurable.
#pragma once

#include <stddef.h>

enum { SETTING_TEXT_MAX = 128, SIP_STUN_COUNT = 4, NTP_SERVER_COUNT = 3, SIP_ALLOW_MAX = 8 };

struct Settings {
    char sip_domain[SETTING_TEXT_MAX];
    char sip_stun[SIP_STUN_COUNT][SETTING_TEXT_MAX];
    char sip_outbound_proxy[SETTING_TEXT_MAX];  // empty: no outbound proxy
    char sip_listen[SETTING_TEXT_MAX];          // address of the SIP port; empty: every address
    // More addresses of the SIP service (numeric) that may send requests,
    // beside its proxy and domain; none unless set.
    char sip_allow[SIP_ALLOW_MAX][SETTING_TEXT_MAX];
    int sip_allow_count;
    char cloud_host[SETTING_TEXT_MAX];
    char firmware_host[SETTING_TEXT_MAX];
    char ntp_servers[NTP_SERVER_COUNT][SETTING_TEXT_MAX];
    char probe_host[SETTING_TEXT_MAX];
};

void settings_defaults(Settings* s);
// Applies one line of the settings file. Returns 0 when the line was applied or
// is blank/comment, -1 (after a log line naming lineno) when it was ignored.
int settings_apply_line(Settings* s, const char* line, int lineno);
// Defaults, then the file at `path` when it exists. Returns the number of
// ignored lines.
int settings_load(Settings* s, const char* path);

// The process-wide settings: loaded from /etc/hopperd.conf on first use.
const Settings& settings();
// Reads the file again; only before the threads that use the settings start
// (tests that move the simulated root).
void settings_reload();
