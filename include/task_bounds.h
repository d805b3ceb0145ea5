// How long each thread the watchdog watches may go between check-ins
// (platform/task.h), in seconds.
//
// A task checks in at both ends of every wait on the platform clock, so a
// motor step, a bowl's travel or the runner's minute after a meal is no
// stretch at all, and waiting for the schedule or the mechanism behind
// another task's feeding is none either. A stretch is the work between two
// waits, and each piece of it has a bound of its own:
//   an MCU exchange           4 s  (0.6 s read window, up to three reads, one exchange ahead)
//   a load-cell read          6 s  (30 frames, and one read ahead on the GPIO lock)
//   a cloud report          151 s  (30 s connect, 60 s to write, 61 s reading the answer)
//   a cloud registration     60 s
//   a shell command          its limit (platform/command_limit.cpp: the player 60 s,
//                            ntpdate 20 s, wget 300 s, sync 60 s, the others 10 s)
//   the feeder lock         161 s  (held across a served report: date, then a report)
//   the clock lock           75 s  (three ntpdate, date, the MCU's time, a second)
// Each bound is the longest stretch below with room to spare; the daemon
// logs each task's longest stretch when it ends ("watchdog : sched ended,
// longest stretch ...").
#pragma once

enum {
    // LED (4), the updater listing (10) and its start (10): 24 s.
    TASK_MAIN_S = 60,
    // A served meal's tail: a read (6), the sensor (4), the feeder lock
    // (161), date (10) and two reports (302): 483 s.
    TASK_SCHED_S = 900,
    // The same serve for a manual feeding; a stop of one being eaten: the
    // feeder lock twice and a report, 473 s.
    TASK_UDS_S = 900,
    // After a weighing: a read (6), the feeder lock (161), the eaten report
    // (151), the feeder lock (161), the clock lock (75) and its own
    // synchronisation (74): 628 s.
    TASK_MONITOR_S = 900,
    // WPS: the beep (60), name resolution (30: five seconds, twice, three
    // servers) and the Wi-Fi prompt (60): 150 s; a factory default: the
    // registration (60) and the reboot (10), with the file writes.
    TASK_BTTN_S = 300,
    // An update request's commands: killall (10), wget (300), chmod (10),
    // the updater's start (10), sync (60): 390 s. The waits for a feeding's
    // or the updater's answer are waits.
    TASK_SIP_S = 600,
    // A synchronisation behind the monitor's (75), then its own (74).
    TASK_NTP_S = 300,
    // One kept report sent again (151); the waits between tries are waits.
    TASK_CLOUD_S = 300,
};
