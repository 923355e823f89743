# shellcheck shell=bash
# The guest's own units, written into its root file system by run.sh: the emulator standing
# in for the kernel driver, the device it serves (made DELAY seconds after the emulator
# starts), and the steps. Sourced; ROOT is the guest's root.
write_units() {
  local dir=$1/etc/systemd/system
  cat >"$dir/tqblk-emulator.service" <<'UNIT'
[Unit]
Description=tqblk driver emulator (stands in for the kernel driver in this guest)

[Service]
ExecStartPre=/bin/mkdir -p /dev/tqblk
ExecStart=/usr/bin/tqblk-emulator --allow-init-namespace /dev/tqblk

[Install]
WantedBy=multi-user.target
UNIT
  cat >"$dir/tqblk-guest-device.service" <<'UNIT'
[Unit]
Description=the guest's tqblk device vm1-disk0
Requires=tqblk-emulator.service
After=tqblk-emulator.service

[Service]
Type=oneshot
RemainAfterExit=yes
EnvironmentFile=/var/lib/tqblk-guest/device.env
ExecStart=/bin/sh -c 'sleep $DELAY; mkdir -p /run/tqblk-guest; \
  until [ -e /dev/tqblk/admin ]; do sleep 0.2; done; \
  tqblk-ctl create-device vm1-disk0 --private /var/lib/tqblk/vm1-disk0/private \
    --recall /var/lib/tqblk/vm1-disk0/recall >/run/tqblk-guest/device && \
  tqblk-ctl wait vm1-disk0 30'

[Install]
WantedBy=multi-user.target
UNIT
  cat >"$dir/tqblk-guest-steps.service" <<'UNIT'
[Unit]
Description=the packages' road in this guest

[Service]
Type=simple
ExecStart=/root/guest-steps.sh

[Install]
WantedBy=multi-user.target
UNIT
  mkdir -p "$dir/multi-user.target.wants"
  ln -sf ../tqblk-guest-steps.service "$dir/multi-user.target.wants/tqblk-guest-steps.service"
}
