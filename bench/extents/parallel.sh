#!/usr/bin/env bash
# Times the extent bitmap scan and store clearing on all the walk's threads against the same
# on one thread (TQBLK_THREADS=1), find, rm -rf and a bare single-thread getdents64 walk
# (the floor), in two settings:
#   warm: a store in a private tmpfs;
#   cold: the same store in an ext4 file system on a loop device whose image lives in the
#         tmpfs, unmounted and mounted again before every run so that its caches are cold.
#         With TQBLK_BENCH_COLD_DIR=DIR the image lives in DIR instead (a folder on a real
#         disk: one large file, no file tree there) and the loop device reads it with direct
#         I/O, past the page cache, so a cold run waits on the disk as on a real machine.
# Runs alternate; each figure is the median of the runs. Needs root (for the mounts), which
# happen in a mount namespace of our own, never on the root file system.
#
# usage: bench/extents/parallel.sh [build dir] [runs] [files] [extent count]
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
runs=${2:-5}
files=${3:-1000000}
extents=${4:-2097152}
bin=$build/bench/extents/bench_extents
[ -x "$bin" ] || { echo "no $bin: build the benchmarks first" >&2; exit 1; }

if [ -z "${TQBLK_BENCH_IN_NAMESPACE:-}" ]; then
  exec env TQBLK_BENCH_IN_NAMESPACE=1 TQBLK_BENCH_COLD_DIR="${TQBLK_BENCH_COLD_DIR:-}" unshare --mount --propagation private \
    bash "$0" "$build" "$runs" "$files" "$extents"
fi

mnt=$(mktemp -d /tmp/tqblk-pbench-XXXXXX)
mount -t tmpfs -o size=20g,nr_inodes=0 tmpfs "$mnt"
mkdir "$mnt/ext4"
image="$mnt/ext4.img"
loopdev=""
if [ -n "${TQBLK_BENCH_COLD_DIR:-}" ]; then
  image=$(mktemp "$TQBLK_BENCH_COLD_DIR/tqblk-pbench-XXXXXX.img")
fi
cleanup() {
  umount "$mnt/ext4" 2>/dev/null || true
  [ -z "$loopdev" ] || losetup -d "$loopdev" 2>/dev/null || true
  [ "$image" = "$mnt/ext4.img" ] || rm -f "$image"
  umount "$mnt" 2>/dev/null || umount -l "$mnt"
  rmdir "$mnt"
}
trap cleanup EXIT

source "$(dirname "${BASH_SOURCE[0]}")/../timing.sh"
rotation() {  # the i-th rotation of the words given
  local i=$1; shift
  local words=("$@") n=$# k
  for ((k = 0; k < n; k++)); do printf '%s ' "${words[(i + k) % n]}"; done
}

threads=$("$bin" threads)
echo "store: $files extent files of $extents extents; walk threads: $threads; $runs runs each"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"

# --- warm: tmpfs ---
"$bin" populate "$mnt/store" "$files" "$extents"
read -r present peak before <<< "$("$bin" scan "$mnt/store" | sed 's/[a-z_]*=//g')"
[ "$present" -eq "$files" ] || { echo "the scan found $present extents, not $files" >&2; exit 1; }
read -r present1 peak1 _ <<< "$(TQBLK_THREADS=1 "$bin" scan "$mnt/store" | sed 's/[a-z_]*=//g')"
[ "$present1" -eq "$files" ] || { echo "one thread found $present1 extents" >&2; exit 1; }

declare -A t
# Times the scan on all threads and on one, find and the floor on STORE, each run through
# RUNNER (timed, or cold), adding the times to t[SETTING_tool].
time_walks() {  # SETTING RUNNER STORE
  local setting=$1 runner=$2 store=$3 i tool v
  for ((i = 0; i < runs; i++)); do
    for tool in $(rotation "$i" scan scan1 find floor); do
      case $tool in
        scan) v=$("$runner" "$bin" scan "$store") ;;
        scan1) v=$(TQBLK_THREADS=1 "$runner" "$bin" scan "$store") ;;
        find) v=$("$runner" find "$store/data" -type f) ;;
        floor) v=$("$runner" "$bin" floor "$store/data") ;;
      esac
      t[${setting}_$tool]+="$v "
    done
  done
}
time_walks warm timed "$mnt/store"
for ((i = 0; i < runs; i++)); do
  for name in a b c; do "$bin" populate "$mnt/$name" "$files" "$extents"; done
  for tool in $(rotation "$i" clear clear1 rm); do
    case $tool in
      clear) v=$(timed "$bin" clear "$mnt/a") ;;
      clear1) v=$(TQBLK_THREADS=1 timed "$bin" clear "$mnt/b") ;;
      rm) v=$(timed rm -rf "$mnt/c") ;;
    esac
    t[warm_$tool]+="$v "
  done
  rm -rf "$mnt/a" "$mnt/b" "$mnt/c"
done
echo "load after warm: $(cut -d' ' -f1-3 /proc/loadavg)"
declare -A m
report() {
  local key
  for key in "$@"; do
    m[$key]=$(echo "${t[$key]}" | median)
    printf '%-12s %8s s   (runs: %s)\n' "$key" "${m[$key]}" "${t[$key]}"
  done
}
report warm_scan warm_scan1 warm_find warm_floor warm_clear warm_clear1 warm_rm
printf 'scan peak memory: %s KiB with %s threads, %s KiB with 1 (process peak; %s KiB before the scan)\n' \
  "$peak" "$threads" "$peak1" "$before"
awk -v s="${m[warm_scan]}" -v s1="${m[warm_scan1]}" -v f="${m[warm_find]}" -v fl="${m[warm_floor]}" \
  -v c="${m[warm_clear]}" -v c1="${m[warm_clear1]}" -v r="${m[warm_rm]}" \
  'BEGIN { printf "warm: scan/floor %.2f (goal <= 0.60; 1 thread %.2f)  scan/find %.2f  clear/rm %.2f (goal <= 0.70; 1 thread %.2f)\n", s / fl, s1 / fl, s / f, c / r, c1 / r }'


# --- cold: ext4 on a loop device, its image in the tmpfs ---
truncate -s 8g "$image"
if [ -n "${TQBLK_BENCH_COLD_DIR:-}" ]; then
  loopdev=$(losetup -f --show --direct-io=on "$image")
  echo "cold: image $image on $(df --output=source "$TQBLK_BENCH_COLD_DIR" | tail -1), read by $loopdev with direct I/O"
else
  loopdev=$(losetup -f --show "$image")
  echo "cold: image in the tmpfs, read by $loopdev"
fi
mkfs.ext4 -q -F -i 4096 -E lazy_itable_init=0,lazy_journal_init=0 "$loopdev"
mount -o nodev,nosuid "$loopdev" "$mnt/ext4"
"$bin" populate "$mnt/ext4/store" "$files" "$extents"
umount "$mnt/ext4"
cold() {  # mounts afresh, times one tool, unmounts
  mount -o nodev,nosuid "$loopdev" "$mnt/ext4"
  timed "$@"
  umount "$mnt/ext4"
}
time_walks cold cold "$mnt/ext4/store"
echo "load after cold: $(cut -d' ' -f1-3 /proc/loadavg)"

report cold_scan cold_scan1 cold_find cold_floor
awk -v cs="${m[cold_scan]}" -v cs1="${m[cold_scan1]}" -v cf="${m[cold_find]}" -v cfl="${m[cold_floor]}" \
  'BEGIN { printf "cold: scan/find %.2f (goal <= 0.50; 1 thread %.2f)  scan/floor %.2f (1 thread %.2f)\n", cs / cf, cs1 / cf, cs / cfl, cs1 / cfl }'
