#!/usr/bin/env bash
# hardening-check on /usr/sbin/hopperd as the board's package manager
# installed it in the image: PIE, stack protector, fortified functions,
# read-only relocations and immediate binding.
#   tests/board-image/hardening.sh DIR
set -euo pipefail
source "$(dirname "$0")/lib.sh"
mkdir -p "$1"
out=$(realpath "$1")/hopperd
rm -f "$out"
debugfs -R "dump /usr/sbin/hopperd $out" "$image/board.img" 2>/dev/null
[ -s "$out" ] || bench_fail "no /usr/sbin/hopperd in the image"
hardening-check "$out" || bench_fail "hopperd lacks hardening (above)"
