#!/usr/bin/env bash
# tqblk-recalld's metrics file scraped by the real node-exporter: the service starts before
# its device exists and waits for it (--wait-device), serves a full read of the device, and
# the counters node-exporter's textfile collector serves pass `promtool check metrics` and
# match the read. Runs the emulator in a private mount namespace.
#
# usage: metrics_test.sh TQBLK_CTL TQBLK_RECALLD TQBLK_MAKE_IMAGE TQBLK_EMULATOR RUN_IN_NAMESPACE
set -euo pipefail
inside=false
if [ "$1" = --inside ]; then inside=true; shift; fi
ctl=$1 recalld=$2 make_image=$3 emulator=$4 namespace=$5
skip() {
  echo "skipped: $*"
  [ "${CI:-}" = true ] && exit 1
  exit 77
}
exporter=$(command -v prometheus-node-exporter || true)
promtool=$(command -v promtool || true)
[ -n "$exporter" ] && [ -n "$promtool" ] || skip "needs prometheus-node-exporter and prometheus"
[ "$(id -u)" -eq 0 ] || skip "needs root for the emulator's namespace"
$inside || exec "$namespace" --emulator "$emulator" -- bash "$0" --inside "$@"

work=$(mktemp -d)
# Stores and image on a tmpfs of this namespace: nothing reaches the machine's disks.
mount -t tmpfs -o size=64m tqblk-metrics "$work"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  "$ctl" destroy metrics-test >/dev/null 2>&1 || true
  umount "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

"$make_image" "$work/image" 4 >/dev/null
"$ctl" create-store recall "$work/recall" metrics-recall $((4 << 20)) $((256 << 10)) >/dev/null
"$ctl" create-store private "$work/private" metrics-private $((4 << 20)) $((256 << 10)) >/dev/null
mkdir "$work/textfile"
metrics=$work/textfile/recalld.prom

# Started before the device exists: it must wait, not fail.
"$recalld" --uuid metrics-test --recall-store "$work/recall" --image "$work/image" --quiet \
  --no-sync --wait-device 60 --metrics-file "$metrics" 2>"$work/recalld.log" &
recalld_pid=$!
pids+=("$recalld_pid")
until grep -q 'state="waiting"' "$metrics" 2>/dev/null; do
  kill -0 "$recalld_pid" 2>/dev/null || fail "recalld ended while waiting: $(cat "$work/recalld.log")"
  sleep 0.1
done
device=$("$ctl" create-device metrics-test --private "$work/private" --recall "$work/recall")
"$ctl" wait metrics-test 10 >/dev/null
until grep -q 'state="serving"' "$metrics"; do
  kill -0 "$recalld_pid" 2>/dev/null || fail "recalld ended: $(cat "$work/recalld.log")"
  sleep 0.1
done
cmp "$device.data" "$work/image" || fail "the device's bytes differ from the image"
sleep 1.5 # the next write of the metrics file holds every recall

# node-exporter on a free port of 127.0.0.1, with only the textfile collector.
for _ in 1 2 3 4 5; do
  port=$((20000 + RANDOM % 40000))
  "$exporter" --web.listen-address="127.0.0.1:$port" --collector.disable-defaults \
    --collector.textfile --collector.textfile.directory="$work/textfile" \
    >"$work/exporter.log" 2>&1 &
  exporter_pid=$!
  for _ in $(seq 50); do
    curl -sf "http://127.0.0.1:$port/metrics" >"$work/scrape" 2>/dev/null && break 2
    kill -0 "$exporter_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$exporter_pid" 2>/dev/null || true
  wait "$exporter_pid" 2>/dev/null || true
  exporter_pid=
done
[ -n "$exporter_pid" ] || fail "node-exporter did not serve: $(cat "$work/exporter.log")"
pids+=("$exporter_pid")

"$promtool" check metrics <"$work/scrape" || fail "promtool check metrics refused the scrape"
grep -q 'node_textfile_scrape_error 0' "$work/scrape" || fail "the textfile collector failed"
value() { sed -n "s/^$1{device=\"metrics-test\"$2} //p" "$work/scrape"; }
extents=16
checks=(
  "tqblk_recalld_recalls_done_total||$extents"
  "tqblk_recalld_recalls_failed_total||0"
  "tqblk_recalld_recalled_bytes_total||$((4 << 20))"
  "tqblk_recalld_extents_present||$extents"
  "tqblk_recalld_recall_duration_seconds_count||$extents"
  "tqblk_recalld_recall_duration_seconds_bucket|,le=\"+Inf\"|$extents"
  "tqblk_recalld_state|,state=\"serving\"|1"
)
for check in "${checks[@]}"; do
  IFS='|' read -r name labels want <<<"$check"
  got=$(value "$name" "$labels")
  # node-exporter may write large values in exponent form: compare numbers.
  awk -v got="$got" -v want="$want" 'BEGIN { exit !(got != "" && got + 0 == want + 0) }' ||
    fail "$name$labels is '$got', not $want"
done

kill "$recalld_pid"
wait "$recalld_pid" || fail "recalld did not stop cleanly"
echo "metrics: ${#checks[@]} values and promtool passed"
