#!/usr/bin/env bash
# Installs the Debian packages that building, testing, the demo and the benchmarks need
# (prometheus brings promtool; debootstrap builds the Debian guest of tests/deb-guest; nbdkit
# and libnbd are the peer bench/road/latency.sh measures against).
# Idempotent: does nothing when everything is present already.
set -euo pipefail

packages=(
  scdoc dpkg-dev file fakeroot lintian bash-completion
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config clang-format
  libboost-dev libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev
  libfuse3-dev fuse3 util-linux e2fsprogs libcli11-dev libsystemd-dev
  qemu-system-x86 busybox-static xfsprogs kmod cpio universal-ctags
  libcurl4-openssl-dev curl openssl libssl-dev libzstd-dev zstd nginx ceph-mon ceph-osd radosgw
  ceph-common prometheus-node-exporter prometheus debootstrap nbdkit libnbd-bin libnbd-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
