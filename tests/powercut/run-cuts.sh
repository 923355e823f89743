#!/usr/bin/env bash
# Cuts the power of a QEMU guest N times while it recalls extents into a store, and checks
# each time what the next boot would find (see README.md).
#
# usage: run-cuts.sh --build DIR --fs ext4|xfs --mode sync|no-sync|evict [--cuts N]
#                    [--window MIN-MAX] [--pause-ms MS] [--results FILE] [--keep]
#   --build DIR      build tree with the tools and the emulator (default: build)
#   --cuts N         cut cycles (default 3)
#   --window MIN-MAX seconds after the road starts within which the cut falls (default 2-15)
#   --pause-ms MS    each guest reader's pause between reads (default 0, or 100 when the
#                    window ends after 20 s, so the recalls still go on at its end)
#   --results FILE   append one line per cycle (key=value fields) to FILE
#   --keep           keep the work folder (disk images, console logs) for inspection
# Exit status: 0 when every cycle passed (in no-sync mode damage is counted, not failed),
# 1 when one failed, 3 when the guest cannot be run here (no QEMU or no kernel).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/config.sh"

build=build fs=ext4 mode=sync cuts=3 window=2-15 pause_ms='' results='' keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --fs) fs=$2; shift 2 ;;
    --mode) mode=$2; shift 2 ;;
    --cuts) cuts=$2; shift 2 ;;
    --window) window=$2; shift 2 ;;
    --pause-ms) pause_ms=$2; shift 2 ;;
    --results) results=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run-cuts.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
case "$fs" in ext4|xfs) ;; *) echo "run-cuts.sh: --fs ext4 or xfs" >&2; exit 2 ;; esac
case "$mode" in sync|no-sync|evict) ;; *) echo "run-cuts.sh: --mode sync, no-sync or evict" >&2; exit 2 ;; esac
build=$(cd "$build" && pwd)
ctl=$build/tools/ctl/tqblk-ctl
recalld=$build/tools/recalld/tqblk-recalld
make_image=$build/tools/demo/tqblk-make-image
for tool in "$ctl" "$recalld" "$make_image" "$build/emulator/tqblk-emulator"; do
  [ -x "$tool" ] || { echo "run-cuts.sh: $tool is missing (build first)" >&2; exit 2; }
done

# The workload's sizes: a 96 MiB image in 64 KiB extents (every eighth MiB all zeros), read
# by four processes while the service recalls with two workers.
image_mib=${POWERCUT_IMAGE_MIB:-96}
extent_size=$((64 * 1024))
readers=${POWERCUT_READERS:-4}
workers=${POWERCUT_WORKERS:-2}
vcpus=${POWERCUT_VCPUS:-2}
boot_timeout=90

command -v qemu-system-x86_64 >/dev/null || { echo "run-cuts.sh: qemu-system-x86_64 is not installed" >&2; exit 3; }
kernel=$("$here/kernel.sh") || { echo "run-cuts.sh: no guest kernel could be had" >&2; exit 3; }

work=$(mktemp -d /dev/shm/tqblk-powercut-XXXXXX)
qemu_pid=
# shellcheck disable=SC2317 # called by the trap
cleanup() {
  [ -z "$qemu_pid" ] || kill -KILL "$qemu_pid" 2>/dev/null || true
  if [ "$keep" -eq 1 ]; then echo "run-cuts.sh: kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$here/initramfs.sh" "$build" "$kernel" "$work/initrd"
"$make_image" "$work/image" "$image_mib"
flags=$(powercut_mode_flags "$mode")
window_min=${window%-*} window_max=${window#*-}
if [ -z "$pause_ms" ]; then
  pause_ms=0
  [ "$window_max" -le 20 ] || pause_ms=100
fi

make_store_disk() {
  rm -f "$1"
  truncate -s 512M "$1"
  case "$fs" in
    ext4) mkfs.ext4 -q -F "$1" ;;
    xfs) mkfs.xfs -q -f "$1" ;;
  esac
}

start_guest() {
  local cycle=$1
  qemu-system-x86_64 -nodefaults -no-reboot -display none -monitor none \
    -accel tcg,thread=multi -smp "$vcpus" -m 512 -cpu max \
    -kernel "$kernel/vmlinux" -initrd "$work/initrd" \
    -append "console=ttyS0 quiet panic=-1 no_timer_check tqpc_fs=$fs tqpc_flags=$(echo "$flags" | tr ' ' ,) tqpc_extent=$extent_size tqpc_readers=$readers tqpc_workers=$workers tqpc_pause=$pause_ms" \
    -drive "file=$work/store.img,format=raw,if=virtio,cache=writeback,aio=threads" \
    -drive "file=$work/image,format=raw,if=virtio,readonly=on" \
    -serial "file:$cycle/console.log" >"$cycle/qemu.log" 2>&1 &
  qemu_pid=$!
}

# Waits for the guest's marker; prints the seconds it took.
await_road() {
  local log=$1 start=$2
  while ! grep -q TQBLK-POWERCUT-RUNNING "$log" 2>/dev/null; do
    if grep -q TQBLK-POWERCUT-FAILED "$log" 2>/dev/null || ! kill -0 "$qemu_pid" 2>/dev/null ||
      [ $(($(date +%s) - start)) -ge "$boot_timeout" ]; then
      return 1
    fi
    sleep 0.05
  done
}

failed=0
for ((n = 1; n <= cuts; n++)); do
  cycle=$work/cycle-$n
  mkdir -p "$cycle"
  make_store_disk "$work/store.img"
  delay_ms=$(shuf -i "$((window_min * 1000))-$((window_max * 1000))" -n 1)
  # A boot that fails says nothing about the store: it is tried again, twice at most.
  for attempt in 1 2 3; do
    t0=$(date +%s.%N)
    rm -f "$cycle/console.log"
    start_guest "$cycle"
    await_road "$cycle/console.log" "${t0%.*}" && break
    echo "cut $n: boot $attempt did not reach the road:" >&2
    tail -n 5 "$cycle/console.log" >&2 || true
    kill -KILL "$qemu_pid" 2>/dev/null || true
    wait "$qemu_pid" 2>/dev/null || true
    qemu_pid=
    if [ "$attempt" -lt 3 ]; then make_store_disk "$work/store.img"; fi
  done
  if [ -z "$qemu_pid" ]; then
    echo "fs=$fs mode=$mode cut=$n result=FAIL reason=no-road" | tee -a "${results:-/dev/null}"
    failed=1
    continue
  fi
  t1=$(date +%s.%N)
  sleep "$(awk -v d="$delay_ms" 'BEGIN { printf "%.3f", d / 1000 }')"
  kill -KILL "$qemu_pid"
  wait "$qemu_pid" 2>/dev/null || true
  qemu_pid=
  t2=$(date +%s.%N)
  # Extents the service had answered before the cut, as the guest logged them.
  { grep -ao 'recalled extent [0-9]*' "$cycle/console.log" || true; } | awk '{ print $3 }' |
    sort -un >"$cycle/answered"
  line=$(unshare --mount --propagation private -- "$here/check-cut.sh" --build "$build" \
    --fs "$fs" --mode "$mode" --disk "$work/store.img" --image "$work/image" \
    --extent "$extent_size" --answered "$cycle/answered" \
    --log "$cycle/check.log") || true
  t3=$(date +%s.%N)
  timing=$(awk -v a="$t0" -v b="$t1" -v c="$t2" -v d="$t3" \
    'BEGIN { printf "boot_s=%.1f cut_after_s=%.1f check_s=%.1f cycle_s=%.1f", b - a, c - b, d - c, d - a }')
  [ -n "$line" ] || line="result=FAIL reason=checker-crashed"
  echo "fs=$fs mode=$mode cut=$n flags=${flags:-none} answered=$(wc -l <"$cycle/answered") $line $timing" |
    tee -a "${results:-/dev/null}"
  case "$line" in
    *result=FAIL*) failed=1; sed 's/^/  | /' "$cycle/check.log" >&2 ;;
  esac
done
exit "$failed"
