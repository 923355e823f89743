#!/bin/bash
# Runs in the Debian guest as a service at every boot (tqblk-guest-steps.service) and walks
# an administrator's road with the packages: install, the service from the example
# configuration, a full read, reload, restart, kill -9, a reboot with a device that comes
# late, an upgrade while the service runs, a purge. One line per step on the second serial
# port (the console's getty would hang up a writer on the first), kept in results.log too:
#   DEB-GUEST step NAME: PASS|FAIL (detail)
# then "DEB-GUEST done" and a power-off.
set -u
exec >>/dev/ttyS1 2>&1
state=/var/lib/tqblk-guest
unit=tqblk-recalld@vm1.service
uuid=vm1-disk0
stores=/var/lib/tqblk/$uuid
image=/var/lib/images/base.img
mkdir -p "$state"
exec > >(tee -a "$state/results.log") 2>&1
phase=$(cat "$state/phase" 2>/dev/null || echo 1)
v1=$(cat /root/debs/v1.version) v2=$(cat /root/debs/v2.version)

step() { # NAME STATUS DETAIL
  local status=FAIL
  [ "$2" -eq 0 ] && status=PASS
  echo "DEB-GUEST step $1: $status ($3)"
  if [ "$status" = FAIL ]; then
    journalctl -b -u "$unit" -u tqblk-emulator -u tqblk-guest-device -n 15 --no-pager |
      sed 's/^/DEB-GUEST log: /'
  fi
}
prop() { systemctl show -p "$1" --value "$unit"; }
wait_active() { # SECONDS [OLD_PID]: active with a main PID other than OLD_PID
  local i
  for ((i = 0; i < $1 * 5; i++)); do
    if [ "$(prop ActiveState)" = active ] && [ "$(prop MainPID)" != "${2:-x}" ]; then return 0; fi
    sleep 0.2
  done
  return 1
}
data() { echo "$(cat /run/tqblk-guest/device).data"; }
full_read() { cmp "$(data)" "$image"; }
installed() { dpkg-query -W -f='${Version}' tqblk-tools 2>/dev/null; }
deleted_maps() { grep -c '(deleted)' "/proc/$1/maps" 2>/dev/null || true; }

systemctl is-system-running --wait >/dev/null

if [ "$phase" = 1 ]; then
  apt-get install -y --no-install-recommends /root/debs/v1/*.deb >"$state/install.log" 2>&1
  r=$?
  [ "$r" -eq 0 ] && [ "$(installed)" = "$v1" ]
  step install $? "apt-get install of libtqblk1 libtqblk-dev tqblk-tools $(installed)"

  # The device, its stores and the service, from the example configuration.
  mkdir -p /var/lib/images "$stores" /etc/tqblk
  tqblk-make-image "$image" 64 >/dev/null
  size=$(stat -c %s "$image")
  tqblk-ctl create-store recall "$stores/recall" vm1-recall "$size" 262144 >/dev/null
  tqblk-ctl create-store private "$stores/private" vm1-private "$size" 262144 >/dev/null
  sed -e "s|^TQBLK_UUID=.*|TQBLK_UUID=$uuid|" -e "s|^TQBLK_RECALL_STORE=.*|TQBLK_RECALL_STORE=$stores/recall|" \
    -e "s|^TQBLK_SOURCE=.*|TQBLK_SOURCE=--image $image|" \
    /usr/share/doc/tqblk-tools/examples/recalld.conf.example >/etc/tqblk/recalld-vm1.conf
  echo DELAY=0 >"$state/device.env"
  systemctl enable --now tqblk-emulator.service tqblk-guest-device.service 2>/dev/null
  systemctl enable --now "$unit" 2>/dev/null
  wait_active 60 && [ "$(prop NRestarts)" = 0 ]
  r=$?
  score=$(systemd-analyze security "$unit" 2>/dev/null | sed -n 's/.*Overall exposure level[^:]*: //p')
  step start "$r" "active, pid $(prop MainPID), NRestarts=$(prop NRestarts), security: $score"

  full_read
  step full-read $? "$(stat -c %s "$(data)") bytes compared with the image"

  pid=$(prop MainPID)
  systemctl reload "$unit"
  sleep 1
  [ "$(prop ActiveState)" = active ] && [ "$(prop MainPID)" = "$pid" ] &&
    journalctl -b -u "$unit" --no-pager | grep -q 'SIGHUP received'
  step reload $? "still pid $(prop MainPID)"

  systemctl restart "$unit"
  wait_active 60 "$pid"
  r=$?
  step restart "$r" "pid $pid -> $(prop MainPID)"

  pid=$(prop MainPID)
  started=$(date +%s.%N)
  kill -9 "$pid"
  wait_active 30 "$pid" && [ "$(prop NRestarts)" = 1 ]
  r=$?
  took=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
  step kill-9 "$r" "pid $pid -> $(prop MainPID) in ${took} s, NRestarts=$(prop NRestarts)"

  # The next boot finds an empty recall store and a device that comes 20 s late.
  systemctl stop "$unit"
  tqblk-ctl destroy "$uuid" >/dev/null
  tqblk-ctl clear-store "$stores/recall" >/dev/null
  echo DELAY=20 >"$state/device.env"
  echo 2 >"$state/phase"
  sync
  systemctl reboot
  exit 0
fi

if [ "$phase" = 2 ]; then
  echo 3 >"$state/phase"
  sync
  waited=$(journalctl -b -u "$unit" --no-pager | grep -c 'waiting for' || true)
  limit=$(journalctl -b --no-pager | grep -c 'Start request repeated too quickly' || true)
  wait_active 10 && [ "$(prop NRestarts)" = 0 ] && [ "$waited" -gt 0 ] && [ "$limit" = 0 ]
  step reboot $? "active after the late device, NRestarts=$(prop NRestarts), $waited waiting lines, $limit start-limit hits"

  cmp -n $((32 << 20)) "$(data)" "$image"
  step half-read $? "first 32 MiB recalled by version $(installed)"

  pid=$(prop MainPID)
  apt-get install -y --no-install-recommends /root/debs/v2/*.deb >"$state/upgrade.log" 2>&1
  r=$?
  wait_active 60 "$pid"
  active=$?
  new=$(prop MainPID)
  exe=$(readlink "/proc/$new/exe")
  [ "$r" -eq 0 ] && [ "$active" -eq 0 ] && [ "$(installed)" = "$v2" ] &&
    [ "$exe" = /usr/bin/tqblk-recalld ] && [ "$(deleted_maps "$new")" = 0 ]
  step upgrade $? "$v1 -> $(installed) while running: pid $pid -> $new, exe $exe, $(deleted_maps "$new") deleted mappings"

  full_read
  r=$?
  stats_pid=$(sed -n 's/^ *"pid": \([0-9]*\).*/\1/p' /run/tqblk-recalld/vm1.json)
  done_count=$(sed -n 's/^ *"done": \([0-9]*\).*/\1/p' /run/tqblk-recalld/vm1.json)
  [ "$r" -eq 0 ] && [ "$stats_pid" = "$new" ] && [ "${done_count:-0}" -gt 0 ]
  step new-binary-serves $? "full read matches; pid $stats_pid answered $done_count recalls"

  grep -q '^tqblk_recalld_recalls_done_total{device="vm1-disk0"}' /run/tqblk-recalld/vm1.prom
  step metrics $? "/run/tqblk-recalld/vm1.prom written"

  apt-get purge -y tqblk-tools libtqblk-dev libtqblk1 >"$state/purge.log" 2>&1
  r=$?
  sleep 1
  left=$(ls /usr/bin/tqblk-* /usr/lib/systemd/system/tqblk-* /usr/share/doc/tqblk-tools 2>/dev/null | wc -l)
  running=$(pgrep -c -x tqblk-recalld || true)
  [ "$r" -eq 0 ] && [ "$running" = 0 ] && [ "$(prop LoadState)" = not-found ] && [ "$left" = 0 ] &&
    [ -f /etc/tqblk/recalld-vm1.conf ] && [ -f "$stores/recall/config" ]
  step purge $? "$running services running, $left package files left, unit $(prop LoadState), admin's config and stores kept"

  echo "DEB-GUEST done"
  sync
  systemctl poweroff
fi
