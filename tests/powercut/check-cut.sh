#!/usr/bin/env bash
# Checks a store disk after a power cut as the next boot would find it. Runs in a private mount
# namespace (run-cuts.sh starts it with unshare). Prints one line of key=value fields; the
# details go to --log.
#
# usage: check-cut.sh --build DIR --fs FS --mode MODE --disk IMG --image IMAGE --extent BYTES
#                     --answered FILE --log FILE
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/config.sh"

while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2 ;;
    --fs) fs=$2 ;;
    --mode) mode=$2 ;;
    --disk) disk=$2 ;;
    --image) image=$2 ;;
    --extent) extent=$2 ;;
    --answered) answered=$2 ;;
    --log) log=$2 ;;
    *) echo "check-cut.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done
ctl=$build/tools/ctl/tqblk-ctl
exec 3>&1 >"$log" 2>&1

mnt=$(mktemp -d /tmp/tqblk-powercut-mnt-XXXXXX)
loop=$(losetup -f --show "$disk")
finish() {
  umount "$mnt" 2>/dev/null
  losetup -d "$loop"
  rmdir "$mnt"
}
trap finish EXIT

declare -A out=([replay]=ok [fsck]=ok [config]=ok [wrong]=0 [empty]=0 [stray]=0 [tmp]=0
  [lost]=0 [empty_zero]=0 [checker]=ok [complete]=ok)
emit() {
  local hard=0 damage=$((out[wrong] + out[empty] + out[stray]))
  [ "${out[replay]}" = ok ] && [ "${out[fsck]}" = ok ] && [ "${out[config]}" = ok ] &&
    [ "${out[complete]}" = ok ] || hard=1
  [ "${out[checker]}" = ok ] || hard=1
  # Evicting removes answered extents on purpose: what stays must still be right.
  if [ "$mode" != no-sync ]; then
    [ "$damage" -eq 0 ] || hard=1
  fi
  if [ "$mode" = sync ]; then
    [ "${out[lost]}" -eq 0 ] || hard=1
  fi
  local result=PASS
  [ "$damage" -eq 0 ] || result=DAMAGE
  [ "$hard" -eq 0 ] || result=FAIL
  echo "replay=${out[replay]} fsck=${out[fsck]} wrong=${out[wrong]} empty=${out[empty]}" \
    "empty_zero=${out[empty_zero]}" \
    "stray=${out[stray]} tmp=${out[tmp]} lost=${out[lost]} config=${out[config]}" \
    "checker=${out[checker]} complete=${out[complete]} result=$result" >&3
}

# The journal is replayed by a read-write mount, as the next boot would do: a check of an
# unreplayed journal reports damage that is not there.
echo "== replay"
if ! mount -t "$fs" "$loop" "$mnt" || ! umount "$mnt"; then
  out[replay]=fail
  emit
  exit 0
fi

echo "== fsck"
case "$fs" in
  ext4) e2fsck -fn "$loop" || out[fsck]=fail ;;
  xfs) xfs_repair -n "$loop" || out[fsck]=fail ;;
esac

mount -t "$fs" "$loop" "$mnt" || { out[replay]=fail; emit; exit 0; }
store=$mnt/recall
echo "== config"
cat "$store/config" || out[config]=fail
"$ctl" bitmap "$store" || out[config]=fail
extent_count=$(( $(stat -c %s "$image") / extent ))

# Extent paths have one two-digit group of 7 bits per 7 bits of the largest extent number.
name_groups=1
for ((last = extent_count - 1; last > 127; last >>= 7)); do name_groups=$((name_groups + 1)); done

# The extent number that a path below data/ names, or nothing for a name that is no extent's.
extent_of() {
  local name=$1 number=0 group groups
  IFS=/ read -r -a groups <<<"$name"
  [ "${#groups[@]}" -eq "$name_groups" ] || return 1
  for group in "${groups[@]}"; do
    [[ "$group" =~ ^[0-7][0-9a-f]$ ]] || return 1
    number=$((number * 128 + 16#$group))
  done
  [ "$number" -lt "$extent_count" ] || return 1
  echo "$number"
}

# Every file at an extent path must be a regular file of the extent size holding the image's
# bytes.
echo "== extents"
declare -A present=()
while IFS= read -r -d '' path; do
  name=${path#"$store/data/"}
  if [ -d "$path" ] && [ ! -L "$path" ]; then
    # Folders on the way to extents are fine; one at an extent's own path is not.
    slashes=${name//[!\/]/}
    [ "${#slashes}" -ge $((name_groups - 1)) ] || continue
  fi
  if ! number=$(extent_of "$name"); then
    echo "stray: $name"; out[stray]=$((out[stray] + 1)); continue
  fi
  if [ -L "$path" ] || [ ! -f "$path" ]; then
    echo "not a regular file: $name"; out[wrong]=$((out[wrong] + 1)); continue
  fi
  present[$number]=1
  size=$(stat -c %s "$path")
  if [ "$size" -eq 0 ]; then
    # An all-zero extent is kept as a sparse file: empty, it still reads as zeros, but it is
    # not complete; counted apart so the report tells the two kinds of empty extent apart.
    if cmp -s -n "$extent" -i "0:$((number * extent))" /dev/zero "$image"; then
      echo "empty: $name (extent $number, all zeros)"; out[empty_zero]=$((out[empty_zero] + 1))
    else
      echo "empty: $name (extent $number)"
    fi
    out[empty]=$((out[empty] + 1))
  elif [ "$size" -ne "$extent" ] || ! cmp -s -n "$extent" -i "0:$((number * extent))" "$path" "$image"; then
    echo "wrong: $name (extent $number, $size bytes)"; out[wrong]=$((out[wrong] + 1))
  fi
done < <(find "$store/data" -mindepth 1 -print0 2>/dev/null)
out[tmp]=$(find "$store/tmp" -mindepth 1 2>/dev/null | wc -l)

# An extent the service had answered must still be there once it syncs before answering.
echo "== answered extents"
while read -r number; do
  if [ -z "${present[$number]:-}" ]; then
    echo "lost: extent $number"; out[lost]=$((out[lost] + 1))
  fi
done <"$answered"

echo "== checker"
found=$((out[wrong] + out[empty] + out[stray]))
powercut_check_store "$ctl" "$store" "$image" repair
status=$?
if [ "$status" -ge 8 ]; then
  out[checker]=exit-$status
elif [ "$found" -gt 0 ] && [ "$status" -eq 0 ]; then
  out[checker]=missed-damage
elif [ "$mode" != no-sync ] && [ "$found" -eq 0 ] && [ "$status" -gt 1 ]; then
  out[checker]=false-damage
elif powercut_check_store "$ctl" "$store" "$image"; then
  out[checker]=ok
else
  out[checker]=not-clean-after-repair
fi

# A service restarted on the recovered store completes the device, byte for byte.
echo "== completion"
if ! "$build/emulator/run-in-namespace.sh" -- bash "$here/complete.sh" "$ctl" \
  "$build/tools/recalld/tqblk-recalld" "$store" "$image" "$(powercut_mode_flags "$mode")"; then
  out[complete]=fail
fi
emit
