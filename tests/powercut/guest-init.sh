#!/bin/busybox sh
# shellcheck shell=dash disable=SC2013
# /init of the power-cut guest: mounts the store disk (/dev/vda), makes a recall store on it,
# starts the driver emulator, a device over the store and the recall service reading from the
# image disk (/dev/vdb), then reads the device in random order from several processes until
# the host cuts the power. Settings come from the kernel command line:
#   tqpc_fs=ext4|xfs  tqpc_flags=FLAG,FLAG  tqpc_extent=BYTES  tqpc_readers=N  tqpc_workers=N
#   tqpc_pause=MS (each reader's pause between reads, to spread the recalls over a longer run)
export PATH=/bin:/sbin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev

setting() {
  for word in $(cat /proc/cmdline); do
    case "$word" in "$1"=*) echo "${word#*=}" ;; esac
  done
}
fs=$(setting tqpc_fs)
flags=$(setting tqpc_flags | tr , ' ')
extent=$(setting tqpc_extent)
readers=$(setting tqpc_readers)
workers=$(setting tqpc_workers)
pause=$(setting tqpc_pause)

fail() {
  echo "TQBLK-POWERCUT-FAILED: $*" >/dev/console
  poweroff -f
}

while read -r module; do
  insmod "/lib/modules/$module" 2>/dev/null
done </modules.list

mkdir -p /store
mount -t "$fs" /dev/vda /store || fail "mount $fs"
size=$(blockdev --getsize64 /dev/vdb)
tqblk-ctl create-store recall /store/recall powercut-recall "$size" "$extent" || fail "create-store"
# The store's creation is not under test: make it durable before the road starts.
sync

# The emulator refuses the namespace of process 1, and this shell is process 1.
# shellcheck disable=SC2086 # the flags are words
unshare -m /bin/sh /road.sh "$extent" "$size" "$readers" "$workers" "${pause:-0}" $flags
fail "the road ended"
