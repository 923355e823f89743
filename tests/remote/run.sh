#!/usr/bin/env bash
# Runs the remote-source tests: starts one throwaway Ceph cluster with its S3 gateway and one
# nginx, runs remote_tests against them, stops them by PID. Prints "remote tests: N passed".
# Where the servers cannot start the tests are skipped, or fail when CI=true.
#
#   tests/remote/run.sh [--build DIR] [gtest options...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build="$here/../../build"
if [ "${1:-}" = "--build" ]; then
  build=$2
  shift 2
fi
binary="$build/tests/remote/remote_tests"
[ -x "$binary" ] || { echo "remote tests: $binary is not built" >&2; exit 1; }

work=$(mktemp -d /tmp/tqblk-remote.XXXXXX)
chmod 755 "$work"  # nginx's workers (user nobody) read the files under it
cleanup() {
  bash "$here/ceph-cluster.sh" stop "$work/ceph" >/dev/null 2>&1 || true
  bash "$here/nginx.sh" stop "$work/nginx" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM  # so that cleanup runs on these too

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
ceph_out=$(bash "$here/ceph-cluster.sh" start "$work/ceph") || unavailable "the Ceph cluster did not start"
nginx_out=$(bash "$here/nginx.sh" start "$work/nginx") || unavailable "nginx did not start"
field() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<<"$2"; }

export TQBLK_TEST_S3_ENDPOINT=$(field endpoint "$ceph_out")
export TQBLK_TEST_S3_ACCESS=tqblktestaccess
export TQBLK_TEST_S3_SECRET=tqblktestsecret0123456789
export TQBLK_TEST_CEPH_SCRIPT="$here/ceph-cluster.sh" TQBLK_TEST_CEPH_DIR="$work/ceph"
export TQBLK_TEST_HTTP=$(field http "$nginx_out") TQBLK_TEST_HTTPS=$(field https "$nginx_out")
export TQBLK_TEST_CACERT=$(field cacert "$nginx_out") TQBLK_TEST_WWW=$(field www "$nginx_out")
export TQBLK_TEST_NGINX_SCRIPT="$here/nginx.sh" TQBLK_TEST_NGINX_DIR="$work/nginx"
unset AWS_ACCESS_KEY_ID AWS_SECRET_ACCESS_KEY AWS_SESSION_TOKEN AWS_PROFILE AWS_ENDPOINT_URL

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
