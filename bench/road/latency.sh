#!/usr/bin/env bash
# Runs bench_latency against a throwaway nginx on 127.0.0.1, started and stopped (by PID)
# here. Extra arguments go to bench_latency (--quick, --repeat N, --peer, --only-http).
#
#   bench/road/latency.sh [--build DIR] [ARGS...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build="$here/../../build"
if [ "${1:-}" = "--build" ]; then
  build=$2
  shift 2
fi
work=$(mktemp -d /tmp/tqblk-latency.XXXXXX)
chmod 755 "$work"  # nginx's workers read the files under it
trap 'bash "$here/../../tests/remote/nginx.sh" stop "$work/nginx" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
out=$(bash "$here/../../tests/remote/nginx.sh" start "$work/nginx")
field() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<<"$out"; }
"$build/bench/road/bench_latency" --http "$(field http)" --www "$(field www)" "$@"
