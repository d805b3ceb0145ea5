#!/usr/bin/env bash
# PID wrap: pid_max lowered on the board and the process numbers sent round
# many times; exactly one updater runs afterwards.
#   tests/board-image/pid-wrap.sh DIR
set -euo pipefail
source "$(dirname "$0")/lib.sh"
bench_start "$1"
board_power_on
board_wait_up >/dev/null
daemon_wait_started
board_wait 30 "pgrep -x fw_update" || bench_fail "the daemon did not start the updater"

max=1000
board_sh "sysctl -q kernel.pid_max=$max"
# The updater anew, with a number among those that now go round (the first
# one's may lie below 300, where no number comes back to).
board_sh "pkill -x fw_update"
board_wait 30 "pgrep -x fw_update" || bench_fail "the daemon did not restart the updater"
wraps=${BOARD_PID_WRAPS:-10}
t0=$SECONDS
board_sh --timeout 1800 "for i in \$(seq $((wraps * (max - 300)))); do /bin/true; done"
echo "$wraps wraps of $((max - 300)) numbers in $((SECONDS - t0)) s"
sleep 3
n=$(board_sh "pgrep -c -x fw_update" || true)
[ "$n" = 1 ] || bench_fail "$n updaters run after $wraps wraps: $(board_sh 'ps -o pid,args -C fw_update')"
echo "pid-wrap: one updater after $wraps wraps"
