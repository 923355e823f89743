#!/usr/bin/env bash
# The demo: sets up a fresh machine, builds, installs into ./out/install, then runs the whole
# recall road against the driver emulator in a private mount namespace. Exits 0 only if every
# byte read through the device matched.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
prefix="$root/out/install"
build="$root/out/build"  # apart from the test build, so neither reconfigures the other

bash scripts/setup.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DTQBLK_WERROR=ON -DTQBLK_BUILD_TESTS=OFF -DTQBLK_BUILD_BENCH=OFF -DTQBLK_BUILD_EMULATOR=ON -DTQBLK_BUILD_TOOLS=ON \
  -DTQBLK_BUILD_EXAMPLES=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
cmake --install "$build" >/dev/null
echo "Installed into $prefix"

# The recall service is built again from the installed tree alone, as a user's would be.
cmake -S tools/recalld -B "$build/recalld-installed" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DTQBLK_WERROR=ON >/dev/null
cmake --build "$build/recalld-installed" >/dev/null

echo
echo "=== A tour of the stores"
"$build/examples/store_tour"
echo
echo "=== A tour of the extents"
"$build/examples/extent_tour"
echo
echo "=== The recall road, against the driver emulator"
exec "$build/emulator/run-in-namespace.sh" -- bash scripts/demo-road.sh \
  "$prefix/bin/tqblk-ctl" "$build/recalld-installed/tqblk-recalld" \
  "$build/tools/demo/tqblk-make-image"
