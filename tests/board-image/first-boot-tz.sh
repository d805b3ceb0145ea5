#!/usr/bin/env bash
# First boot: the image's zone is UTC until the daemon links Asia/Seoul;
# a meal set right after the start is served at its minute in the board's
# local time, not nine hours off.
#   tests/board-image/first-boot-tz.sh DIR
set -euo pipefail
source "$(dirname "$0")/lib.sh"
bench_start "$1"
debugfs -R "stat /etc/localtime" "$dir/board.img" 2>/dev/null | grep -q 'Etc/UTC' ||
  bench_fail "the image's zone is not UTC: $(debugfs -R 'stat /etc/localtime' "$dir/board.img" 2>/dev/null | tail -2)"
board_up
[ "$(board_sh readlink /etc/localtime)" = /usr/share/zoneinfo/Asia/Seoul ] || bench_fail "the daemon did not link the zone"
ahead=${BOARD_MEAL_AHEAD_MIN:-4}
due=$(( ($(date +%s) / 60 + ahead) * 60 ))
at=$(TZ=Asia/Seoul date -d "@$due" +%H:%M)
phone sched-append tz "$at" 20 all 1 | grep -q '"200"' || bench_fail "the meal was not taken"
wait_report '제공되었습니다' 0 $(((ahead + 5) * 60)) || true
# The bowl's last trip out is the serve (the start-up moves it too).
out=$(simctl '{"op":"log","kind":"bowl"}' | jq -r '.events[] | select(.text == "out") | .t' | tail -1)
[ -n "$out" ] || bench_fail "the meal at $at Seoul time was not served"
# The bowl goes out at the meal's minute (the serve stage), in Seoul's time.
served=$(TZ=Asia/Seoul date -d "@$out" +%H:%M)
[ "$served" = "$at" ] || bench_fail "the meal at $at (Seoul) was served at $served (Seoul)"
echo "first-boot-tz: meal at $at Seoul time served at $served"
