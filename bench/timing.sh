# shellcheck shell=bash
# Timing helpers for the bench scripts (sourced, not run).

now() { echo "${EPOCHREALTIME/./}"; }  # microseconds
# Runs a command with its output thrown away and prints its wall time in seconds.
timed() {
  local start end
  start=$(now)
  "$@" > /dev/null
  end=$(now)
  awk -v d=$((end - start)) 'BEGIN { printf "%.4f", d / 1e6 }'
}
# Prints the median of the numbers on its input, separated by spaces or newlines.
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { m = int((NR + 1) / 2); print (NR % 2) ? v[m] : (v[m] + v[m + 1]) / 2 }'; }
