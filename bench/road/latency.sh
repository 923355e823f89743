#!/usr/bin/env bash
# Runs bench_latency against a throwaway nginx on 127.0.0.1, started and stopped (by PID)
# here. Extra arguments go to bench_latency (--quick, --repeat N, --peer, --only-http).
#
#   bench/road/latency.sh [--build DIR] [ARGS...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../tests/remote/servers.sh"
failed() { echo "bench_latency: $*" >&2; exit 1; }
start_nginx failed
"$build/bench/road/bench_latency" --http "$TQBLK_TEST_HTTP" --www "$TQBLK_TEST_WWW" "$@"
