#!/usr/bin/env bash
# The man pages document every option and command the tools list in their --help, so the
# two cannot drift apart. A tool whose --help does not exit 0 is not checked.
#
# usage: manpage_test.sh MAN_SOURCE_DIR TQBLK_CTL TQBLK_RECALLD TQBLK_EMULATOR [NAMESPACE_SCRIPT]
#        [TQBLK_IMAGE]
set -uo pipefail
man=$1
ctl=$2
recalld=$3
emulator=$4
namespace_script=${5:-}
image=${6:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

options() { grep -oE -- '--[a-z][a-z0-9-]*' | sort -u; }
failures=0
checked=0
# Reports what the help text in $work/help names that the page does not.
compare() {
  local tool=$1 page=$2 missing
  missing=$(options <"$work/help" | comm -23 - <(options <"$man/$page"))
  if [ -n "$missing" ]; then
    echo "FAILED: $page lacks what $tool --help lists:" $missing
    failures=$((failures + 1))
  fi
  checked=$((checked + 1))
}

if "$recalld" --help >"$work/help" 2>/dev/null; then
  compare tqblk-recalld tqblk-recalld.8.scd
fi
if "$emulator" --help >"$work/help" 2>&1; then
  compare tqblk-emulator tqblk-emulator.8.scd
fi
if [ -n "$namespace_script" ] && bash "$namespace_script" --help >"$work/help" 2>&1; then
  compare tqblk-run-in-namespace tqblk-emulator.8.scd
fi
if "$ctl" --help >"$work/help" 2>/dev/null; then
  commands=$(awk 'tolower($0) ~ /^subcommands:/ { s = 1; next } s && /^  [a-z]/ { print $1 }' \
    "$work/help")
  for command in $commands; do
    grep -qF -- "*$command*" "$man/tqblk-ctl.8.scd" ||
      { echo "FAILED: tqblk-ctl.8.scd does not describe the command $command"; failures=$((failures + 1)); }
    "$ctl" "$command" --help >>"$work/help" 2>/dev/null
  done
  [ -n "$commands" ] || { echo "FAILED: no commands found in tqblk-ctl --help"; failures=$((failures + 1)); }
  compare tqblk-ctl tqblk-ctl.8.scd
fi

if [ -n "$image" ] && "$image" --help >"$work/help" 2>/dev/null; then
  for command in push info verify; do
    "$image" "$command" --help >>"$work/help" 2>/dev/null
  done
  compare tqblk-image tqblk-image.1.scd
fi

[ "$checked" -gt 0 ] || { echo "no tool has a --help that exits 0"; exit 77; }
[ "$failures" -eq 0 ] && echo "man pages: $checked tools checked, nothing missing"
exit $((failures > 0))
