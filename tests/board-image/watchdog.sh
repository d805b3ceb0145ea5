#!/usr/bin/env bash
# The watchdog: the daemon frozen (SIGSTOP) stops feeding /dev/watchdog, and
# softdog resets the board for real; the board comes back by itself, the
# identity, schedule and Wi-Fi files are as they were, and the next meal is
# served.
#   tests/board-image/watchdog.sh DIR
set -euo pipefail
source "$(dirname "$0")/lib.sh"
bench_start "$1"
board_up

# The Wi-Fi file: a WPS press writes it.
# A long press: more than 5 s between the two edges by the board's clock,
# which sees them a little late and counts whole seconds.
simctl '{"op":"button","line":"wps","hold_s":8}' >/dev/null
board_wait 120 "test -s /etc/wpa_supplicant.conf" || bench_fail "WPS wrote no /etc/wpa_supplicant.conf"
at=$(board_sh "date -d '+${BOARD_MEAL_AHEAD_MIN:-12} min' +%H:%M")
phone sched-append watchdog "$at" 20 all 1 | grep -q '"200"' || bench_fail "the meal was not taken"
files="/etc/feeder.conf /etc/feed_sched.conf /etc/wpa_supplicant.conf"
sums=$(board_sh "md5sum $files")
boot=$(board_sh "cat /proc/sys/kernel/random/boot_id")

board_sh "kill -STOP \$(systemctl show -p MainPID --value hopperd.service)"
t0=$SECONDS
# The agent goes with the reset and answers again from the new boot (a
# boot takes minutes on a busy machine).
until_s=$((SECONDS + 600))
while ((SECONDS < until_s)); do
  now=$(board_sh --timeout 5 "cat /proc/sys/kernel/random/boot_id" 2>/dev/null) || true
  [ -n "$now" ] && [ "$now" != "$boot" ] && break
  sleep 2
done
[ -n "$now" ] && [ "$now" != "$boot" ] || bench_fail "no new boot within 600 s of the freeze"
echo "reset and back $((SECONDS - t0)) s after the freeze"
grep -q 'softdog: Initiating system reboot' "$dir/console.log" || bench_fail "the reset was not softdog's"
[ "$(board_sh "md5sum $files")" = "$sums" ] || bench_fail "files changed across the reset: $(board_sh "md5sum $files")"
daemon_wait_started
echo "meal at $at (board's local time), now $(board_sh 'date +%H:%M')"
wait_report '제공되었습니다' 0 900 || bench_fail "the meal at $at was not served after the reset"
echo "watchdog: reset by softdog, files intact, meal served"
