#!/usr/bin/env bash
# Prints the median, the 90th percentile and the longest function length, in lines from the
# line of the name to the closing brace, for each source folder given (default: tqblk
# zyutils emulator), and for all of them together. Uses Universal Ctags (scripts/setup.sh).
#   bash scripts/function-lengths.sh [folder...]
set -euo pipefail
cd "$(dirname "$0")/.."
folders=("$@")
[ ${#folders[@]} -gt 0 ] || folders=(tqblk zyutils emulator)

# One length per function (definitions only, prototypes have no end line), largest last.
lengths() {
  ctags -R -x --languages=C,C++ --kinds-C++=f --kinds-C=f --fields=+ne \
    --_xformat='%N %F %n %{end}' "$@" 2>/dev/null |
    awk '$4 != "" && $4 >= $3 { print $4 - $3 + 1, $2 ":" $3, $1 }' | sort -n
}

report() {
  local label=$1
  shift
  lengths "$@" | awk -v label="$label" '
    { n[NR] = $1; where[NR] = $2 " " $3 }
    END {
      if (NR == 0) { printf "%-10s no functions\n", label; exit }
      median = (NR % 2) ? n[(NR + 1) / 2] : (n[NR / 2] + n[NR / 2 + 1]) / 2
      p90 = n[int(0.9 * NR + 0.999999)]
      printf "%-10s functions %4d  median %5.1f  p90 %4d  longest %4d  (%s)\n",
             label, NR, median, p90, n[NR], where[NR]
    }'
}

for folder in "${folders[@]}"; do
  report "$folder" "$folder"
done
report "together" "${folders[@]}"
