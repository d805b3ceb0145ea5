#!/usr/bin/env bash
# Upgrade in place: the next release installed with apt over the running
# daemon while the updater and a WPS-started wpa_supplicant run. Afterwards
# both still run (the same processes) and the daemon is back.
#   tests/board-image/upgrade.sh DIR
set -euo pipefail
source "$(dirname "$0")/lib.sh"
bench_start "$1"
board_up

board_wait 30 "pgrep -x fw_update" || bench_fail "the daemon did not start the updater"
# A long press: more than 5 s between the two edges by the board's clock,
# which sees them a little late and counts whole seconds.
simctl '{"op":"button","line":"wps","hold_s":8}' >/dev/null
board_wait 120 "pgrep -x wpa_supplicant" || bench_fail "the WPS press started no wpa_supplicant"
children() { board_sh "pgrep -x fw_update; pgrep -x wpa_supplicant" | sort || true; }
before=$(children)
old_pid=$(daemon_pid || true)

# The next release: this package with a higher version, as a release raises it.
deb=$(ls "$repo"/packages-armhf/hopperd_*_armhf.deb)
work=$(mktemp -d)
dpkg-deb -R "$deb" "$work/pkg"
version=$(sed -n 's/^Version: //p' "$work/pkg/DEBIAN/control")
sed -i "s/^Version: .*/Version: $version+next1/" "$work/pkg/DEBIAN/control"
dpkg-deb --root-owner-group -Zxz --build "$work/pkg" "$dir/share/hopperd_${version}+next1_armhf.deb" >/dev/null
rm -rf "$work"

t0=$SECONDS
board_sh --timeout 600 "cd /mnt/share && apt-get install -y ./hopperd_${version}+next1_armhf.deb" >"$dir/apt.log" 2>&1 ||
  bench_fail "apt failed: $(tail -5 "$dir/apt.log")"
echo "apt install took $((SECONDS - t0)) s"
board_sh "dpkg-query -W -f='\${Version}' hopperd" | grep -qx "$version+next1" || bench_fail "the upgrade did not install"
board_wait 120 "systemctl is-active hopperd.service" || bench_fail "the daemon is not back"
new_pid=$(daemon_pid || true)
[ -n "$new_pid" ] && [ "$new_pid" != "$old_pid" ] || bench_fail "the daemon was not restarted ($old_pid -> $new_pid)"
after=$(children)
[ "$after" = "$before" ] ||
  bench_fail "the upgrade's restart took the daemon's children: before $(echo $before), after $(echo $after)"
daemon_wait_started
echo "upgrade: updater and wpa_supplicant kept, daemon back"
