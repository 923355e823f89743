#!/usr/bin/env bash
# Times the extent bitmap scan and store clearing side by side with the usual tools, on a
# store of many extent files in a private tmpfs (never on the root file system):
#   getExtentBitmap  vs  find <store>/data -type f > /dev/null
#                    vs  a bare getdents64 walk that only counts files (the floor)
#                    vs  tqblk-ctl check-store, the store checker (its default threads, and 1)
#                    vs  the same bare walk with one fstatat per file (the stat floor: a
#                        check of each file's size can go no faster on one thread)
#   clear()          vs  rm -rf, each on a fresh, identical copy of the tree
# Runs alternate, and each figure is the median of the runs. Needs root (for the mount).
#
# usage: bench/extents/compare.sh [build dir] [runs] [files] [extent count]
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
runs=${2:-5}
files=${3:-1000000}
extents=${4:-2097152}
bin=$build/bench/extents/bench_extents
ctl=$build/tools/ctl/tqblk-ctl
[ -x "$bin" ] || { echo "no $bin: build the benchmarks first" >&2; exit 1; }
[ -x "$ctl" ] || { echo "no $ctl: build the tools first" >&2; exit 1; }

# Mount inside a mount namespace of our own, so nothing shows outside or outlives us.
if [ -z "${TQBLK_BENCH_IN_NAMESPACE:-}" ]; then
  exec env TQBLK_BENCH_IN_NAMESPACE=1 unshare --mount --propagation private \
    bash "$0" "$build" "$runs" "$files" "$extents"
fi

mnt=$(mktemp -d /tmp/tqblk-bench-XXXXXX)
mount -t tmpfs -o size=16g,nr_inodes=0 tmpfs "$mnt"
cleanup() { umount "$mnt" 2>/dev/null || umount -l "$mnt"; rmdir "$mnt"; }
trap cleanup EXIT

source "$(dirname "${BASH_SOURCE[0]}")/../timing.sh"

echo "store: $files extent files of $extents extents, tmpfs at $mnt, $runs runs each"
"$bin" populate "$mnt/store" "$files" "$extents"
read -r present peak before <<< "$("$bin" scan "$mnt/store" | sed 's/[a-z_]*=//g')"
[ "$present" -eq "$files" ] || { echo "the scan found $present extents, not $files" >&2; exit 1; }
# The checker wants every extent file of the extent size (sparse here): a clean store.
find "$mnt/store/data" -type f -print0 | xargs -0 truncate -s 4096
summary=$("$ctl" check-store "$mnt/store") || { echo "the store is not clean: $summary" >&2; exit 1; }
echo "check-store: $summary"

scan=() find_=() floor=() statfloor=() check=() check1=()
for ((i = 0; i < runs; i++)); do
  # Rotate the order so no tool always runs right after another.
  for tool in $(printf 'scan find floor statfloor check check1\nfind floor statfloor check check1 scan\nfloor statfloor check check1 scan find\nstatfloor check check1 scan find floor\ncheck check1 scan find floor statfloor\ncheck1 scan find floor statfloor check\n' | sed -n "$((i % 6 + 1))p"); do
    case $tool in
      scan) scan+=("$(timed "$bin" scan "$mnt/store")") ;;
      find) find_+=("$(timed find "$mnt/store/data" -type f)") ;;
      floor) floor+=("$(timed "$bin" floor "$mnt/store/data")") ;;
      statfloor) statfloor+=("$(timed "$bin" statfloor "$mnt/store/data")") ;;
      check) check+=("$(timed "$ctl" check-store "$mnt/store")") ;;
      check1) check1+=("$(timed "$ctl" check-store "$mnt/store" --threads 1)") ;;
    esac
  done
done

clear_=() rm_=()
for ((i = 0; i < runs; i++)); do
  "$bin" populate "$mnt/a" "$files" "$extents"
  "$bin" populate "$mnt/b" "$files" "$extents"
  if ((i % 2 == 0)); then
    clear_+=("$(timed "$bin" clear "$mnt/a")"); rm_+=("$(timed rm -rf "$mnt/b")")
  else
    rm_+=("$(timed rm -rf "$mnt/b")"); clear_+=("$(timed "$bin" clear "$mnt/a")")
  fi
  rm -rf "$mnt/a" "$mnt/b"
done

m_scan=$(echo "${scan[*]}" | median); m_find=$(echo "${find_[*]}" | median)
m_floor=$(echo "${floor[*]}" | median); m_clear=$(echo "${clear_[*]}" | median)
m_rm=$(echo "${rm_[*]}" | median)
m_check=$(echo "${check[*]}" | median); m_check1=$(echo "${check1[*]}" | median)
m_statfloor=$(echo "${statfloor[*]}" | median)
printf '%-22s %s s   (runs: %s)\n' "getExtentBitmap" "$m_scan" "${scan[*]}"
printf '%-22s %s s   (runs: %s)\n' "find -type f" "$m_find" "${find_[*]}"
printf '%-22s %s s   (runs: %s)\n' "getdents64 floor" "$m_floor" "${floor[*]}"
printf '%-22s %s s   (runs: %s)\n' "fstatat floor" "$m_statfloor" "${statfloor[*]}"
printf '%-22s %s s   (runs: %s)\n' "check-store" "$m_check" "${check[*]}"
printf '%-22s %s s   (runs: %s)\n' "check-store 1 thread" "$m_check1" "${check1[*]}"
printf '%-22s %s s   (runs: %s)\n' "clear()" "$m_clear" "${clear_[*]}"
printf '%-22s %s s   (runs: %s)\n' "rm -rf" "$m_rm" "${rm_[*]}"
printf '%-22s %s KiB (process peak; %s KiB before the scan)\n' "scan peak memory" "$peak" "$before"
awk -v s="$m_scan" -v f="$m_find" -v fl="$m_floor" -v c="$m_clear" -v r="$m_rm" -v p="$peak" \
  -v k="$m_check" -v k1="$m_check1" -v sf="$m_statfloor" \
  'BEGIN { printf "summary: scan/find %.2f (goal <= 0.80)  scan/floor %.2f (goal <= 1.30)  clear/rm %.2f (goal <= 1.10)  scan peak %.1f MiB (goal < 64)  check/scan %.2f (goal <= 2.00; 1 thread: %.2f)  fstatat floor/floor %.2f  check 1 thread/fstatat floor %.2f\n", s / f, s / fl, c / r, p / 1024, k / s, k1 / s, sf / fl, k1 / sf }'
