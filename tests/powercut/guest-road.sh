#!/bin/busybox sh
# busybox ash has $RANDOM.
# shellcheck shell=dash disable=SC3028
# The recall road of the power-cut guest, in a private mount namespace (see guest-init.sh).
extent=$1 size=$2 readers=$3 workers=$4 pause_ms=$5
shift 5
uuid=powercut
console=/dev/console

mkdir -p /dev/tqblk
tqblk-emulator /dev/tqblk &
i=0
while [ ! -e /dev/tqblk/admin ]; do
  i=$((i + 1))
  [ "$i" -lt 200 ] || { echo "TQBLK-POWERCUT-FAILED: no emulator" >$console; exit 1; }
  sleep 0.05
done
device=$(tqblk-ctl create-device "$uuid" --recall /store/recall) || exit 1
tqblk-ctl wait "$uuid" 10 || exit 1
data="$device.data"

# Each recalled extent is logged after its answer ("recalled extent N"): the host reads the
# serial console to learn which extents had been reported done before the cut.
tqblk-recalld --uuid "$uuid" --recall-store /store/recall --image /dev/vdb --workers "$workers" \
  "$@" 2>&1 | cat >$console &

extents=$((size / extent))
reader() {
  while :; do
    dd if="$data" of=/dev/null bs="$extent" skip=$((RANDOM % extents)) count=1 2>/dev/null
    [ "$pause_ms" -eq 0 ] || usleep $((pause_ms * 1000))
  done
}
n=0
while [ "$n" -lt "$readers" ]; do
  reader &
  n=$((n + 1))
done
echo "TQBLK-POWERCUT-RUNNING extents=$extents flags=$*" >$console
wait
