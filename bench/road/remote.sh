#!/usr/bin/env bash
# Runs bench_remote against a throwaway Ceph S3 gateway and nginx on 127.0.0.1, started
# and stopped (by PID) here.
#
#   bench/road/remote.sh [--build DIR] [--quick]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../tests/remote/servers.sh"
failed() { echo "bench_remote: $*" >&2; exit 1; }
start_servers failed
"$build/bench/road/bench_remote" "$@"
