#!/usr/bin/env bash
# Runs a command beside the tqblk emulator, in a private mount namespace in which the
# emulator is mounted at /dev/tqblk (or at --mount DIR). The machine's own /dev is left as
# it is: when /dev/tqblk does not exist, the namespace gets a private /dev that links every
# entry of the real one and adds an empty tqblk directory. When the command ends, the
# emulator is stopped and unmounted and the command's exit status is returned.
#
# usage: run-in-namespace.sh [--emulator PATH] [--mount DIR] [EMULATOR OPTIONS...] -- COMMAND [ARGS...]
#   --emulator PATH   the tqblk-emulator program (default: beside this script)
#   --mount DIR       where to mount it (default /dev/tqblk)
#   EMULATOR OPTIONS  passed on, e.g. --ready-delay-ms=3000 --recall-wait-ms=200
# With no COMMAND, an interactive shell is started. The command gets TQBLK_ADMIN_NODE set to
# the emulator's admin node, which tqblk-ctl and tqblk-recalld use when --mount moves it.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
emulator="$here/tqblk-emulator"
mount_point=/dev/tqblk
inside=0
options=()
while [ $# -gt 0 ]; do
  case "$1" in
    --inside-namespace) inside=1; shift ;;
    --emulator) emulator=$2; shift 2 ;;
    --mount) mount_point=$2; shift 2 ;;
    --) shift; break ;;
    -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) options+=("$1"); shift ;;
  esac
done
[ $# -gt 0 ] || set -- "${SHELL:-/bin/bash}"

if [ "$inside" -eq 0 ]; then
  [ "$(id -u)" -eq 0 ] || { echo "run-in-namespace.sh: needs root (mount namespaces, FUSE)" >&2; exit 1; }
  [ -x "$emulator" ] || { echo "run-in-namespace.sh: no emulator at $emulator (build it first)" >&2; exit 1; }
  exec unshare --mount --propagation private -- "$0" --inside-namespace \
    --emulator "$emulator" --mount "$mount_point" ${options[@]+"${options[@]}"} -- "$@"
fi

# Gives the namespace a /dev of its own when /dev/tqblk is missing, so that the directory
# can be made without touching the real /dev.
shadow_dev() {
  local hold
  hold=$(mktemp -d /tmp/tqblk-dev-XXXXXX)
  mount --rbind /dev "$hold"
  mount -t tmpfs -o mode=0755,nosuid tqblk-dev /dev
  mkdir /dev/.host
  mount --move "$hold" /dev/.host
  rmdir "$hold"
  local entry name
  for entry in /dev/.host/* /dev/.host/.[!.]*; do
    [ -e "$entry" ] || [ -L "$entry" ] || continue
    name=${entry##*/}
    [ "$name" = tqblk ] || ln -s ".host/$name" "/dev/$name"
  done
  mkdir /dev/tqblk
}

if [ "$mount_point" = /dev/tqblk ] && [ ! -d /dev/tqblk ]; then
  shadow_dev
fi
mkdir -p "$mount_point"

# The emulator says "ready" on descriptor 3 once it is mounted.
ready_fifo=$(mktemp -u /tmp/tqblk-ready-XXXXXX)
mkfifo "$ready_fifo"
"$emulator" --ready-fd=3 ${options[@]+"${options[@]}"} "$mount_point" 3>"$ready_fifo" &
emulator_pid=$!
ready=
read -r -t 10 ready <"$ready_fifo" || true
rm -f "$ready_fifo"

stop_emulator() {
  kill -TERM "$emulator_pid" 2>/dev/null || true
  wait "$emulator_pid" 2>/dev/null || true
  if findmnt -n -t fuse.tqblk "$mount_point" >/dev/null 2>&1; then
    umount -l "$mount_point" || true
  fi
}
trap stop_emulator EXIT
trap 'exit 130' INT TERM

if [ "$ready" != ready ]; then
  echo "run-in-namespace.sh: the emulator did not come up at $mount_point" >&2
  exit 1
fi

export TQBLK_ADMIN_NODE="$mount_point/admin"
status=0
"$@" || status=$?
exit "$status"
