#!/usr/bin/env bash
# The bash completion of tqblk-ctl, run by bash itself with the bash-completion library:
# commands, options per command, store directories and device UUIDs. The admin node here is
# a plain directory with a state file, never a device.
#
# usage: completion_test.sh COMPLETION_FILE TQBLK_CTL
set -uo pipefail
completion=$1
ctl=$2
library=/usr/share/bash-completion/bash_completion
if [ ! -r "$library" ]; then
  echo "no bash-completion library at $library"
  [ "${CI:-}" = true ] && exit 1
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/admin-dir" "$work/stores/r1" "$work/stores/p1"
printf 'config 0\ndevice uuid-one\n  extents 4\ndevice uuid-two\n' >"$work/admin-dir/state"
: >"$work/admin-dir/tqblk0"
: >"$work/admin-dir/tqblk0.data"
mkdir -p "$work/etc"

# shellcheck disable=SC1090
source "$library"
source "$completion"

failures=0
# Completes the command line given as words (the last one is being typed) and compares the
# sorted candidates with the expected ones.
expect() {
  local expected=$1; shift
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE="${COMP_WORDS[*]}"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _tqblk_ctl
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort | tr '\n' ' ' | sed 's/ $//')
  if [ "$got" != "$expected" ]; then
    echo "FAILED: '${COMP_WORDS[*]}' completed to '$got', expected '$expected'"
    failures=$((failures + 1))
  fi
}

export TQBLK_ADMIN_NODE=$work/admin-dir/admin
expect "create-device create-store" tqblk-ctl cr
expect "--admin-node --help --verbose --version" tqblk-ctl --
expect "private recall" tqblk-ctl create-store ""
expect "$work/stores/p1 $work/stores/r1" tqblk-ctl create-store recall "$work/stores/"
expect "--force --help" tqblk-ctl create-store --
expect "trim-store" tqblk-ctl tr
expect "$work/stores/p1 $work/stores/r1" tqblk-ctl trim-store "$work/stores/"
expect "--help --to" tqblk-ctl trim-store "$work/stores/r1" --
expect "--allow-private-prune --cacert --endpoint --help --json --kind --netrc-file --prune-damaged --region --repair --temp-age --threads --verify-against" \
  tqblk-ctl check-store "$work/stores/r1" --
expect "$work/stores/p1 $work/stores/r1" tqblk-ctl create-device uuid-one --recall "$work/stores/"
# Device UUIDs come from the admin node's state file, wherever the node is.
expect "uuid-one uuid-two" tqblk-ctl status ""
expect "--help --json --private --recall --stats" tqblk-ctl status uuid-one --
expect "uuid-one uuid-two" tqblk-ctl -v check uuid
expect "$work/admin-dir/tqblk0 uuid-one uuid-two" tqblk-ctl destroy ""
unset TQBLK_ADMIN_NODE
expect "uuid-two" tqblk-ctl --admin-node "$work/admin-dir/admin" wait uuid-t
# Only the first argument of a device command is a device.
expect "" tqblk-ctl --admin-node "$work/admin-dir/admin" set-mru uuid-one ""

# Every command completed is one the tool knows (once it lists them on --help).
if "$ctl" --help >"$work/help" 2>&1; then
  for command in $(compgen -W "$(COMP_WORDS=(tqblk-ctl ""); COMP_CWORD=1; _tqblk_ctl; echo "${COMPREPLY[*]}")"); do
    grep -qw -- "$command" "$work/help" ||
      { echo "FAILED: tqblk-ctl --help does not list '$command'"; failures=$((failures + 1)); }
  done
fi

[ "$failures" -eq 0 ] && echo "completion: all cases passed"
exit $((failures > 0))
