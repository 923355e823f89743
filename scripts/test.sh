#!/usr/bin/env bash
# Builds everything and runs every test: the unit tests, the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, the folder walks under ThreadSanitizer,
# and an outside program built against the installed tree. Works on a fresh Debian 12 machine (installs what it needs first).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)

bash scripts/setup.sh

step() { printf '\n=== %s\n' "$*"; }

# Runs a command and adds the count of passed tests it prints (the sed script picks it from
# its output) to the totals printed at the end; fails if it fails or prints no count.
passed=0
counted() {
  local pick=$1 log status n
  shift
  log=$(mktemp)
  "$@" 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  n=$(sed -n "$pick" "$log")
  rm -f "$log"
  [ "$status" -eq 0 ] && [ -n "$n" ] || return 1
  passed=$((passed + n))
}
ran_ctest() { counted 's/^100% tests passed, 0 tests failed out of \([0-9]*\)$/\1/p' ctest "$@"; }

step "build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTQBLK_WERROR=ON -DTQBLK_MAN=ON \
  -DTQBLK_BUILD_TESTS=ON -DTQBLK_BUILD_EMULATOR=ON -DTQBLK_BUILD_TOOLS=ON -DTQBLK_BUILD_EXAMPLES=ON -DTQBLK_BUILD_BENCH=ON >/dev/null
cmake --build build -j "$jobs"

step "unit tests"
ran_ctest --test-dir build -j "$jobs" --output-on-failure

step "remote sources (a throwaway Ceph S3 gateway and nginx)"
counted 's/^remote tests: \([0-9]*\) passed$/\1/p' bash tests/remote/run.sh --build build

step "install tree and outside programs"
prefix="$root/build/install-check"
rm -rf "$prefix"
cmake --install build --prefix "$prefix" >/dev/null
bash scripts/check-install.sh "$prefix"

# The Debian packages are built from a build of their own (prefix /usr, Debian's hardening
# flags, which TQBLK_PACKAGE turns on) and checked without installing them. Their road in a
# Debian guest (tests/deb-guest/run.sh) takes half an hour and is run by hand.
step "Debian packages"
cmake -S . -B build-pkg -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DTQBLK_PACKAGE=ON -DTQBLK_MAN=ON -DTQBLK_WERROR=ON -DTQBLK_BUILD_TOOLS=ON -DTQBLK_BUILD_EMULATOR=ON \
  -DTQBLK_BUILD_TESTS=OFF -DTQBLK_BUILD_BENCH=OFF -DTQBLK_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build-pkg -j "$jobs"
counted 's/^packages: \([0-9]*\) passed, 0 failed$/\1/p' bash scripts/check-packages.sh build-pkg

step "sanitizer build (address, undefined)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTQBLK_SANITIZE=address,undefined -DTQBLK_WERROR=ON \
  -DTQBLK_BUILD_TESTS=ON -DTQBLK_BUILD_EMULATOR=ON -DTQBLK_BUILD_BENCH=OFF -DTQBLK_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build-asan -j "$jobs"
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
ran_ctest --test-dir build-asan -j "$jobs" --output-on-failure

step "thread sanitizer build (folder walks, the recall service's group commit and background fills on several threads)"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTQBLK_SANITIZE=thread -DTQBLK_WERROR=ON \
  -DTQBLK_BUILD_TESTS=ON -DTQBLK_BUILD_EMULATOR=OFF -DTQBLK_BUILD_TOOLS=ON -DTQBLK_BUILD_BENCH=OFF \
  -DTQBLK_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build-tsan -j "$jobs" --target zyutils_tests store_tests extent_tests recalld_unit_tests
TSAN_OPTIONS=halt_on_error=1 ran_ctest --test-dir build-tsan -j "$jobs" --output-on-failure \
  -R '^(Traverse|ParallelTraverse|ParallelStore|RemoveUnder|DeepTree|ExtentBitmap|StoreLifecycle|SyncGroupTest|ContentRange|EvictionPolicyTest|ReadaheadWindow|BackgroundFill)\.'

step "fuzzers"
bash scripts/fuzz.sh

step "power cuts (QEMU guest recalling into ext4 and xfs stores)"
counted 's/^power cuts: \([0-9]*\) passed, .*/\1/p' bash tests/powercut/ci.sh --build build

step "all tests passed"
echo "tests: $passed passed, 0 failed"
