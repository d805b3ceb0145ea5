#!/usr/bin/env bash
# Boot: systemd starts hopperd.service from the installed package, the
# banner, the SIP account registered through the SIP service, a phone
# command answered, and a scheduled meal served over the real UART with its
# cloud report.
#   tests/board-image/boot.sh DIR
set -euo pipefail
source "$(dirname "$0")/lib.sh"
bench_start "$1"

board_power_on
echo "agent up after $(board_wait_up) s"
t0=$SECONDS
daemon_wait_started
echo "daemon started after $((SECONDS - t0)) s more"

board_sh "systemctl is-active hopperd.service" | grep -qx active || bench_fail "hopperd.service is not active"
log=$(board_sh "journalctl -b -u hopperd -o cat")
grep -q "Quenra TOLVIK Feeder MAC addr ---> $BOARD_MAC" <<<"$log" ||
  bench_fail "no banner with the board's MAC: $(head -20 <<<"$log")"
grep -q 'Wifi -> connection established!' <<<"$log" || bench_fail "no network"
grep -q 'ucom open fd' <<<"$log" && grep -q 'loadcell open fd' <<<"$log" ||
  bench_fail "the UART or the GPIO ports did not open"
grep -q 'ZELfI1' <<<"$log" || bench_fail "no calibration over the GPIO ports"
grep -q 'pjsip  registered sip:' <<<"$log" || bench_fail "not registered with the SIP service"
sipid=$(board_sipid)
[ ${#sipid} -eq 32 ] || bench_fail "no identity on the board: '$sipid'"

# The phone's command goes through the SIP service to the board's account.
reply=$(phone sched-enum) || bench_fail "no answer to sched-enum: $reply"
grep -q 'feeding-schedule-enum-res' <<<"$reply" || bench_fail "wrong answer: $reply"

# A meal three minutes ahead, in the board's local time.
at=$(board_sh "date -d '+3 min' +%H:%M")
phone sched-append boot "$at" 20 all 1 | grep -q '"200"' || bench_fail "the meal was not taken"
echo "meal at $at (board's local time)"
wait_report '제공되었습니다' 0 330 || bench_fail "no served report; world: $(simctl '{"op":"state"}')"
simctl '{"op":"log","kind":"motor"}' | grep -q '"feed ' || bench_fail "the motor never ran over the UART"
simctl '{"op":"log","kind":"bowl"}' | grep -q 'arrived out' || bench_fail "the bowl never went out"
grep -F '제공되었습니다' "$dir/cloud.jsonl" | head -1
echo "boot: served and reported"
