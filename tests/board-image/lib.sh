# shellcheck shell=bash
# The bench around the emulated board, for scripts/board and the board
# scenarios (sourced). One bench per folder:
#   - a network namespace with a tap device, 10.23.0.1 on this side, the SIP
#     service (kamailio) and the cloud service there, and nothing else: the
#     board is 10.23.0.2 and reaches only them;
#   - the simulated world on this machine (hopperd-board-world): the MCU model
#     on the board's /dev/ttyAMA3, the load cell and buttons behind its GPIO
#     server on /dev/ttyAMA2, driven by the control socket as hopperd-sim is;
#   - the board itself, qemu-system-arm -M vexpress-a9, on a copy of the image:
#     console on ttyAMA0 (DIR/console.log), the command agent on ttyAMA1
#     (DIR/agent.sock, reached with board_sh), DIR/share as /mnt/share.
# Everything runs as root (namespaces, tap devices).

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${HOPPERD_BUILD:-$repo/build}
image=${HOPPERD_BOARD_IMAGE:-$repo/build-board}
BOARD_MAC=00:1a:2b:3c:4d:5e
SERVICES=10.23.0.1

bench_fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# bench_start DIR: the namespace, the services, the world and a fresh copy of
# the image in DIR.
bench_start() {
  dir=$(realpath -m "$1")
  rm -rf "$dir"
  mkdir -p "$dir/share"
  : >"$dir/cloud.jsonl"
  ns=hopperd-board-$$
  qemu_pid=
  trap bench_stop EXIT
  ip netns add "$ns"
  ip -n "$ns" link set lo up
  ip -n "$ns" tuntap add dev tap0 mode tap
  ip -n "$ns" addr add "$SERVICES/24" dev tap0
  ip -n "$ns" link set tap0 up
  ip netns exec "$ns" "$repo/scripts/sip-service" start "$dir/sip" "$SERVICES" >/dev/null
  ip netns exec "$ns" "$build/hopperd-cloud" --addr "$SERVICES" --record "$dir/cloud.jsonl" \
    >"$dir/cloud.log" 2>&1 &
  cloud_pid=$!
  "$build/hopperd-board-world" --root "$dir/world" --control "$dir/control.sock" >"$dir/world.log" 2>&1 &
  world_pid=$!
  local i
  for ((i = 0; i < 100; i++)); do
    [ -e "$dir/world/dev/ttyAMA2" ] && [ -S "$dir/control.sock" ] && break
    sleep 0.1
  done
  [ -e "$dir/world/dev/ttyAMA2" ] || bench_fail "the world did not start: $(cat "$dir/world.log")"
  cp --sparse=always "$image/board.img" "$dir/board.img"
}

bench_stop() {
  set +e  # every step, whatever the one before did
  [ -n "${qemu_pid:-}" ] && board_power_cut
  [ -n "${world_pid:-}" ] && kill "$world_pid" 2>/dev/null
  [ -n "${cloud_pid:-}" ] && kill "$cloud_pid" 2>/dev/null
  [ -n "${dir:-}" ] && ip netns exec "$ns" "$repo/scripts/sip-service" stop "$dir/sip" >/dev/null 2>&1
  [ -n "${ns:-}" ] && ip netns delete "$ns" 2>/dev/null
  wait 2>/dev/null
  [ -z "${BOARD_KEEP:-}" ] && [ -n "${dir:-}" ] && rm -f "$dir/board.img"
  return 0
}

# board_power_on [RTC]: the board boots; RTC is the real-time clock's start
# (UTC, "2038-01-19T03:10:00"), the present when absent. What the board
# writes to its disk is in this machine's page cache at once, so killing
# the emulator loses exactly what the board had not written yet, as a power
# cut does; flushes stop there (cache=unsafe) and cost nothing.
board_power_on() {
  local rtc=${1:-utc}
  starts=$(cloud_count 'Start Tolvik')
  echo "=== power on $(date -u +%FT%T) rtc $rtc" >>"$dir/console.log"
  ip netns exec "$ns" setsid qemu-system-arm -M vexpress-a9 -m 512 -smp 1 -display none -monitor none \
    -kernel "$image/vmlinuz" -initrd "$image/initrd.img" -dtb "$image/board.dtb" \
    -append "console=ttyAMA0 root=/dev/vda rw" -rtc "base=$rtc" \
    -drive "if=none,id=root,file=$dir/board.img,format=raw,cache=unsafe" -device virtio-blk-device,drive=root \
    -netdev tap,id=net,ifname=tap0,script=no,downscript=no \
    -device "virtio-net-device,netdev=net,mac=$BOARD_MAC" \
    -chardev "file,id=con,path=$dir/console.log,append=on" -serial chardev:con \
    -chardev "socket,id=agent,path=$dir/agent.sock,server=on,wait=off" -serial chardev:agent \
    -chardev "serial,id=gpio,path=$dir/world/dev/ttyAMA2" -serial chardev:gpio \
    -chardev "serial,id=mcu,path=$dir/world/dev/ttyAMA3" -serial chardev:mcu \
    -fsdev "local,id=share,path=$dir/share,security_model=none" \
    -device virtio-9p-device,fsdev=share,mount_tag=share \
    -audiodev none,id=snd >>"$dir/qemu.log" 2>&1 </dev/null &
  qemu_pid=$!
}

# The power goes: the emulator is killed, whatever the board was doing.
board_power_cut() {
  {
    kill -KILL "$qemu_pid"
    wait "$qemu_pid" || true
  } 2>/dev/null
  qemu_pid=
  echo "=== power cut $(date -u +%FT%T)" >>"$dir/console.log"
}

# board_sh [--timeout S] COMMAND: runs COMMAND on the board.
board_sh() {
  local t=60
  if [ "$1" = --timeout ]; then
    t=$2
    shift 2
  fi
  "$build/hopperd-board-sh" "$dir/agent.sock" --timeout "$t" "$*"
}

# board_wait SECONDS COMMAND: until COMMAND succeeds on the board.
board_wait() {
  local until=$((SECONDS + $1))
  shift
  while ((SECONDS < until)); do
    board_sh --timeout 20 "$@" >/dev/null 2>&1 && return 0
    sleep 2
  done
  return 1
}

# Seconds until the agent answers after power-on.
board_wait_up() {
  local t0=$SECONDS
  board_wait "${1:-300}" true || bench_fail "the board did not come up; console: $(tail -5 "$dir/console.log")"
  echo $((SECONDS - t0))
}

# The daemon's process id on the board, empty when it does not run.
daemon_pid() {
  board_sh "systemctl show -p MainPID --value hopperd.service" | tr -dc 0-9 | sed 's/^0$//'
}

# Until the daemon (started since the power-on, or since the last call) has
# sent its start message, the last step of its start-up, and its SIP account
# is registered. The network may come up after the daemon's connectivity
# check (the bench's probe host is an address, which resolves without it);
# the account is then registered at the next attempt, 30 s later.
daemon_wait_started() {
  local until_s=$((SECONDS + ${1:-400}))
  while ((SECONDS < until_s)); do
    (($(cloud_count 'Start Tolvik') > starts)) && break
    sleep 3
  done
  (($(cloud_count 'Start Tolvik') > starts)) ||
    bench_fail "the daemon did not start: $(board_sh 'journalctl -b -u hopperd -o cat | tail -20')"
  starts=$(cloud_count 'Start Tolvik')
  board_wait 120 'journalctl -b -o cat _PID=$(systemctl show -p MainPID --value hopperd) | grep -q "pjsip  registered"' ||
    bench_fail "the daemon's account was not registered: $(board_sh 'journalctl -b -u hopperd -o cat | grep pjsip | tail -5')"
}

simctl() { "$build/simctl" "$dir/control.sock" "$1"; }

# The board's SIP account (its uuid without dashes).
board_sipid() {
  board_sh "sed -n 's/^uuid://p' /etc/feeder.conf" | tr -d -- '-\r\n'
}

# phone ARGS...: the owner's phone in the services' namespace.
phone() {
  ip netns exec "$ns" "$build/hopperd-phone" --proxy "sip:$SERVICES:5080" --listen "$SERVICES:5070" \
    --to "$(board_sipid)" --product-id "$BOARD_MAC" "$@"
}

# cloud_count TEXT: the cloud service's records holding TEXT.
cloud_count() {
  grep -c -F -- "$1" "$dir/cloud.jsonl" 2>/dev/null || true
}

# board_up [RTC]: power on (the clock at RTC, see board_power_on) and wait
# for the agent and the started, registered daemon.
board_up() {
  board_power_on "${1:-utc}"
  board_wait_up >/dev/null
  daemon_wait_started
}

# wait_report TEXT COUNT SECONDS: until the cloud service holds more than
# COUNT records with TEXT; false when it does not within SECONDS.
wait_report() {
  local until_s=$((SECONDS + $3))
  while ((SECONDS < until_s)); do
    (($(cloud_count "$1") > $2)) && return 0
    sleep 5
  done
  (($(cloud_count "$1") > $2))
}
