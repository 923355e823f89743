#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each for a bounded time.
# A crash, a hang (an input taking more than 10 s), a leak or a sanitizer report fails.
#   FUZZ_SECONDS  time per target (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-30}

cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTQBLK_BUILD_FUZZ=ON -DTQBLK_WERROR=ON \
  -DTQBLK_BUILD_TESTS=OFF -DTQBLK_BUILD_BENCH=OFF -DTQBLK_BUILD_EXAMPLES=OFF \
  -DTQBLK_BUILD_EMULATOR=OFF -DTQBLK_BUILD_TOOLS=OFF >/dev/null
cmake --build build-fuzz --target fuzz_extent_name fuzz_config

for target in extent_name config; do
  corpus=build-fuzz/corpus/$target
  log=build-fuzz/fuzz-$target.log
  mkdir -p "$corpus"
  echo "fuzzing $target for ${seconds}s"
  # The seeds stay as they are; what the run learns goes to the build directory.
  if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "build-fuzz/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="build-fuzz/fuzz-$target-" \
    "$corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
    echo "fuzz_$target failed (full log: $log):"
    grep -m1 -A40 -E 'ERROR: |runtime error|deadly signal|ALARM|out-of-memory' "$log" || tail -n 60 "$log"
    exit 1
  fi
  grep -E '^Done|stat::(number_of_executed_units|new_units_added|peak_rss_mb)' "$log"
done
echo "fuzzers: no crash, hang or sanitizer report"
