#!/usr/bin/env bash
# Power cuts: the emulator killed in the middle of a run of schedule changes,
# BOARD_CUTS times (default 3). Every boot finds each of the daemon's files
# whole (real ext4, real fsync) and the schedule equal to the last change the
# phone got an answer to (or to the one in flight at the cut).
#   tests/board-image/power-cuts.sh DIR
set -euo pipefail
source "$(dirname "$0")/lib.sh"
bench_start "$1"
cuts=${BOARD_CUTS:-3}

board_up
identity=$(board_sh "cat /etc/feeder.conf")
phone sched-append cut 07:00 10 all 1 | grep -q '"200"' || bench_fail "the first entry was not taken"
answered=10

# The schedule file as the board has it, checked whole: a JSON list whose one
# entry "cut" holds the amount it prints.
amount_on_board() {
  board_sh "cat /etc/feed_sched.conf" >"$dir/sched.json"
  jq -e 'type == "array" and length == 1' "$dir/sched.json" >/dev/null ||
    bench_fail "cut $1: the schedule file is not whole: $(head -c 300 "$dir/sched.json")"
  jq -r '.[0].feedAmount' "$dir/sched.json"
}

for ((cut = 1; cut <= cuts; cut++)); do
  # Changes one after the other, each written down when sent and when
  # answered; the power goes at a random moment among them.
  : >"$dir/changes"
  (
    amount=$answered
    while :; do
      amount=$((amount + 1))
      echo "sent $amount" >>"$dir/changes"
      phone --timeout 10 sched-modify cut 07:00 "$amount" all 1 | grep -q '"200"' &&
        echo "answered $amount" >>"$dir/changes"
    done
  ) &
  changes=$!
  sleep $((5 + RANDOM % 20))
  board_power_cut
  kill "$changes" 2>/dev/null || true
  wait "$changes" 2>/dev/null || true
  last=$(sed -n 's/^answered //p' "$dir/changes" | tail -1)
  last=${last:-$answered}
  sent=$(sed -n 's/^sent //p' "$dir/changes" | tail -1)
  board_power_on
  board_wait_up >/dev/null
  [ "$(board_sh "cat /etc/feeder.conf")" = "$identity" ] || bench_fail "cut $cut: the identity changed"
  got=$(amount_on_board "$cut")
  # The last answered change, or the one the cut left without its answer.
  [ "$got" = "$last" ] || [ "$got" = "$sent" ] ||
    bench_fail "cut $cut: the schedule holds $got, the last answered change was $last (sent up to $sent)"
  daemon_wait_started
  reply=$(phone sched-enum || true)
  listed=$(echo "$reply" | jq -r '.feedingSchedules[0].feedAmount' 2>/dev/null || true)
  [ "$listed" = "$got" ] || bench_fail "cut $cut: the daemon lists '$listed', the file holds $got; its reply: $reply"
  echo "cut $cut: $(grep -c '^answered' "$dir/changes") changes answered, file whole at $got (last answered $last)"
  answered=$got
done
echo "power-cuts: $cuts cuts, every file whole"
