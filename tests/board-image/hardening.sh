#!/usr/bin/env bash
# hardening-check on /usr/sbin/hopperd as the board's package manager
# installed it in the image: PIE, stack protector, fortified functions,
# read-only relocations and immediate binding. Control-flow protection
# (Intel CET) is not for 32-bit ARM (Debian's
# dpkg-buildflags leave it out on armhf), and this machine's objdump
# cannot read ARM code to look for it: it is left out. (Stack clash
# protection shows as "unknown" for the same reason and fails nothing.)
#   tests/board-image/hardening.sh DIR
set -euo pipefail
source "$(dirname "$0")/lib.sh"
mkdir -p "$1"
out=$(realpath "$1")/hopperd
rm -f "$out"
debugfs -R "dump /usr/sbin/hopperd $out" "$image/board.img" 2>/dev/null
[ -s "$out" ] || bench_fail "no /usr/sbin/hopperd in the image"
hardening-check --nocfprotection "$out" || bench_fail "hopperd lacks hardening (above)"
