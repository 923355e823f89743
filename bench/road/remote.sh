#!/usr/bin/env bash
# Runs bench_remote against a throwaway Ceph S3 gateway and nginx on 127.0.0.1, started
# and stopped (by PID) here.
#
#   bench/road/remote.sh [--build DIR] [--quick]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
remote="$here/../../tests/remote"
build="$here/../../build"
if [ "${1:-}" = "--build" ]; then
  build=$2
  shift 2
fi
work=$(mktemp -d /tmp/tqblk-bench-servers.XXXXXX)
chmod 755 "$work"
cleanup() {
  bash "$remote/ceph-cluster.sh" stop "$work/ceph" >/dev/null 2>&1 || true
  bash "$remote/nginx.sh" stop "$work/nginx" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM  # so that cleanup runs on these too
ceph_out=$(bash "$remote/ceph-cluster.sh" start "$work/ceph")
nginx_out=$(bash "$remote/nginx.sh" start "$work/nginx")
field() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<<"$2"; }
export TQBLK_TEST_S3_ENDPOINT=$(field endpoint "$ceph_out")
export TQBLK_TEST_S3_ACCESS=tqblktestaccess TQBLK_TEST_S3_SECRET=tqblktestsecret0123456789
export TQBLK_TEST_HTTP=$(field http "$nginx_out") TQBLK_TEST_WWW=$(field www "$nginx_out")
"$build/bench/road/bench_remote" "$@"
