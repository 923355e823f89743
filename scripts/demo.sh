#!/usr/bin/env bash
# Sets up a fresh machine, builds, installs into ./out/install and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
prefix="$root/out/install"

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build build -j "$(nproc)"
cmake --install build >/dev/null
echo "Installed into $prefix"
echo
"$root/build/examples/store_tour"
