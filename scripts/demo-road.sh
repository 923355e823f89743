#!/usr/bin/env bash
# One device over a recall store and a private store, its extents recalled on demand from a
# sample image by the reference service while the whole device is read. Runs inside the
# emulator's private mount namespace (see scripts/demo.sh).
set -euo pipefail
ctl=$1 recalld=$2 make_image=$3
image_mib=${DEMO_IMAGE_MIB:-256}
extent_size=$((64 * 1024))
uuid=demo-device

work=$(mktemp -d /tmp/tqblk-demo-XXXXXX)
# Stores and image live on a tmpfs of this namespace: nothing reaches the machine's disks.
mount -t tmpfs -o size=$((image_mib * 3 + 64))m tqblk-demo "$work"
service_pid=
cleanup() {
  [ -z "$service_pid" ] || kill -TERM "$service_pid" 2>/dev/null || true
  [ -z "$service_pid" ] || wait "$service_pid" 2>/dev/null || true
  "$ctl" destroy "$uuid" 2>/dev/null || true
  umount "$work" 2>/dev/null || true
  rmdir "$work" 2>/dev/null || true
}
trap cleanup EXIT

echo "Making a ${image_mib} MiB sample image"
"$make_image" "$work/image" "$image_mib"
size=$(stat -c %s "$work/image")

"$ctl" create-store recall "$work/recall" demo-recall "$size" "$extent_size"
"$ctl" create-store private "$work/private" demo-private "$size" "$extent_size"
device=$("$ctl" create-device "$uuid" --private "$work/private" --recall "$work/recall")
"$ctl" wait "$uuid" 10
echo "Created device $device over both stores ($((size / extent_size)) extents of $extent_size bytes)"
data="$device.data"

"$recalld" --uuid "$uuid" --recall-store "$work/recall" --image "$work/image" --workers 2 --quiet \
  2>"$work/service.log" &
service_pid=$!

echo "Reading the whole device while the service recalls its extents"
start=$(date +%s.%N)
dd if="$data" of="$work/read-back" bs=1M status=none
end=$(date +%s.%N)
if ! cmp "$work/image" "$work/read-back"; then
  echo "FAILED: the device's contents differ from the image"
  exit 1
fi
rm -f "$work/read-back"
awk -v s="$start" -v e="$end" -v b="$size" \
  'BEGIN { t = e - s; printf "Read and verified %d MiB in %.2f s: %.1f MiB/s\n", b / 1048576, t, b / 1048576 / t }'

echo "Writing to three extents and reading them back"
head -c $((3 * 4096)) /dev/urandom >"$work/patch"
for extent in 1 100 $((size / extent_size - 1)); do
  dd if="$work/patch" of="$data" bs=4096 seek=$((extent * extent_size / 4096)) conv=notrunc status=none
  if ! cmp <(dd if="$data" bs=4096 skip=$((extent * extent_size / 4096)) count=3 status=none) "$work/patch"; then
    echo "FAILED: extent $extent did not read back as written"
    exit 1
  fi
done
echo "Written extents read back as written"

kill -TERM "$service_pid"
wait "$service_pid" || { echo "FAILED: the service did not stop cleanly"; cat "$work/service.log"; exit 1; }
service_pid=
echo "Service: $(tail -n 1 "$work/service.log")"

echo "Recall store bitmap:"
"$ctl" bitmap "$work/recall"
echo "Private store bitmap:"
"$ctl" bitmap "$work/private"

"$ctl" destroy "$uuid"
"$ctl" remove-store "$work/recall"
"$ctl" remove-store "$work/private"
echo "Destroyed the device and removed both stores"
echo "DEMO PASSED"
