#!/usr/bin/env bash
# Runs bench_latency against a throwaway nginx on 127.0.0.1, started and stopped (by PID)
# here; with --s3 also against a throwaway Ceph S3 gateway (its start takes a while). Extra
# arguments go to bench_latency (--quick, --repeat N, --peer, --only SOURCE).
#
#   bench/road/latency.sh [--build DIR] [--s3] [ARGS...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../tests/remote/servers.sh"
failed() { echo "bench_latency: $*" >&2; exit 1; }
for arg in "$@"; do
  [ "$arg" != --s3 ] || start_ceph failed
done
start_nginx failed
"$build/bench/road/bench_latency" --http "$TQBLK_TEST_HTTP" --www "$TQBLK_TEST_WWW" "$@"
