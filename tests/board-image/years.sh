#!/usr/bin/env bash
# The years: the board's clock (its real-time clock) set minutes before
# 2038-01-19 03:14:08 UTC, a meal due after that second; then the board
# started again in 2040, another meal. Each is served and reported.
#   tests/board-image/years.sh DIR
set -euo pipefail
source "$(dirname "$0")/lib.sh"
bench_start "$1"

# meal_at RTC MINUTES: boots with the clock at RTC, a meal MINUTES after the
# daemon's start; waits for its report.
meal_at() {
  local rtc=$1 ahead=$2 reports at until_s
  reports=$(cloud_count '제공되었습니다')
  board_power_on "$rtc"
  board_wait_up >/dev/null
  daemon_wait_started
  at=$(board_sh "date -d '+$ahead min' +%H:%M")
  echo "board's clock $(board_sh 'date -u +%FT%TZ'), meal at $at local"
  phone sched-modify years "$at" 20 all 1 | grep -q '"200"' ||
    phone sched-append years "$at" 20 all 1 | grep -q '"200"' || bench_fail "the meal at $at was not taken"
  until_s=$((SECONDS + (ahead + 5) * 60))
  while ((SECONDS < until_s)); do
    (($(cloud_count '제공되었습니다') > reports)) && break
    sleep 5
  done
  (($(cloud_count '제공되었습니다') > reports)) ||
    bench_fail "no meal served at $at with the clock at $rtc: $(board_sh 'date -u; journalctl -b -u hopperd -o cat | tail -15')"
  grep -F '제공되었습니다' "$dir/cloud.jsonl" | tail -1
}

# 03:08 UTC: the daemon starts before the second, the meal is after it.
meal_at 2038-01-19T03:08:00 "${BOARD_MEAL_AHEAD_MIN:-5}"
board_sh 'date -u +%s' | awk '{ exit !($1 > 2147483647) }' || bench_fail "the board's clock is not past 2038"
board_power_cut
meal_at 2040-02-29T08:00:00 "${BOARD_MEAL_AHEAD_MIN:-5}"
echo "years: meals served past 2038 and in 2040"
