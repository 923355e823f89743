#!/usr/bin/env bash
# Runs the remote-source tests: starts one throwaway Ceph cluster with its S3 gateway and one
# nginx, runs remote_tests against them, stops them by PID. Prints "remote tests: N passed".
# Where the servers cannot start the tests are skipped, or fail when CI=true.
#
#   tests/remote/run.sh [--build DIR] [gtest options...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/servers.sh"
binary="$build/tests/remote/remote_tests"
[ -x "$binary" ] || { echo "remote tests: $binary is not built" >&2; exit 1; }

unavailable() {
  if [ "${CI:-}" = "true" ]; then
    echo "remote tests: FAILED: $*" >&2
    exit 1
  fi
  echo "remote tests: skipped: $*"
  echo "remote tests: 0 passed"
  exit 0
}

for tool in ceph-mon ceph-osd radosgw radosgw-admin nginx openssl curl; do
  command -v "$tool" >/dev/null || unavailable "$tool is not installed (scripts/setup.sh installs it)"
done
start_servers unavailable

log="$work/remote_tests.log"
status=0
"$binary" "$@" 2>&1 | tee "$log" || status=$?
passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' "$log")
failed=0
{ [ "$status" -eq 0 ] && [ -n "$passed" ]; } || failed=1
if [ "${CI:-}" = "true" ] && grep -q '^\[  SKIPPED \]' "$log"; then
  failed=1
fi
if [ "$failed" -ne 0 ]; then
  echo "remote tests: FAILED" >&2
  exit 1
fi
echo "remote tests: $passed passed"
