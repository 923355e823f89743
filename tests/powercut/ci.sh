#!/usr/bin/env bash
# The power-cut step of scripts/test.sh: a few cuts per file system with the service in its
# syncing mode, which must all come out clean, and one no-sync cut on ext4 whose damage is only
# reported. Prints "power cuts: N passed, M failed, K reported" last.
# Skips (exit 0) where QEMU or the guest kernel cannot be had, unless CI=true.
#
# usage: ci.sh [--build DIR] [--cuts N]
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=build cuts=${POWERCUT_CI_CUTS:-3}
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --cuts) cuts=$2; shift 2 ;;
    *) echo "ci.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done

skip() {
  if [ "${CI:-}" = true ]; then
    echo "power cuts: cannot run under CI: $*"
    exit 1
  fi
  echo "power cuts: skipped: $*"
  echo "power cuts: 0 passed, 0 failed, 0 reported"
  exit 0
}
[ "$(id -u)" -eq 0 ] || skip "needs root (loop devices, mount namespaces)"
command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 is not installed"
[ -x /bin/busybox ] || skip "busybox-static is not installed"

results=$(mktemp)
trap 'rm -f "$results"' EXIT
start=$(date +%s)
run() {
  "$here/run-cuts.sh" --build "$build" --results "$results" "$@"
  local status=$?
  [ "$status" -ne 3 ] || skip "the guest cannot be run here (see above)"
}
run --fs ext4 --mode sync --cuts "$cuts" --window 2-12
run --fs xfs --mode sync --cuts "$cuts" --window 2-12
run --fs ext4 --mode no-sync --cuts 1 --window 6-12
# A few cuts among evictions: a store limited to a small part of the device.
run --fs ext4 --mode evict --cuts 2 --window 4-12

passed=$(grep -Ec 'mode=(sync|evict) .*result=PASS' "$results")
failed=$(grep -E 'mode=(sync|evict) ' "$results" | grep -vc 'result=PASS')
reported=$(grep 'mode=no-sync ' "$results" | grep -vc 'result=FAIL')
failed=$((failed + $(grep 'mode=no-sync ' "$results" | grep -c 'result=FAIL')))
echo "power cuts: no-sync damage (reported, not failed):"
grep 'mode=no-sync ' "$results" | sed 's/^/  /'
echo "power cuts: took $(($(date +%s) - start)) s"
echo "power cuts: $passed passed, $failed failed, $reported reported"
[ "$failed" -eq 0 ] && [ "$passed" -eq $((2 * cuts + 2)) ]
