#!/usr/bin/env bash
# Inside the emulator's namespace: a device over a recovered recall store, the recall service
# restarted on it, the whole device read and compared with the image.
#   complete.sh CTL RECALLD STORE IMAGE [SERVICE FLAGS]
set -euo pipefail
ctl=$1 recalld=$2 store=$3 image=$4 flags=${5:-}
uuid=powercut-recovered
device=$("$ctl" create-device "$uuid" --recall "$store")
"$ctl" wait "$uuid" 10
# shellcheck disable=SC2086 # the flags are words
"$recalld" --uuid "$uuid" --recall-store "$store" --image "$image" --quiet $flags &
service=$!
status=0
if ! cmp <(dd if="$device.data" bs=1M status=none) "$image"; then
  echo "complete.sh: the device read after the restart differs from the image"
  status=1
fi
kill -TERM "$service"
wait "$service" || status=1
"$ctl" destroy "$uuid"
exit "$status"
