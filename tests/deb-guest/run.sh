#!/usr/bin/env bash
# The Debian packages in a Debian 12 guest booted with systemd as PID 1, under QEMU's software
# emulation (no KVM): the packages are built twice (the version of the sources, then a newer
# build of them), the guest's root file system comes from debootstrap (rootfs.sh) with
# Debian's kernel, and guest-steps.sh walks the administrator's road inside: apt install, the
# emulator as a unit, the recall service from the example configuration, a full read compared
# with the image, reload, restart, kill -9, a reboot with a device that comes late, an upgrade
# to the newer build while the service runs (the new binary serves afterwards) and a purge.
# Prints each step's result and "deb-guest: N passed, M failed". Takes about half an hour;
# not part of the CI run. As root.
#
# usage: run.sh [WORK_DIR]   (default: a new directory below /var/tmp, removed at the end)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
here=$root/tests/deb-guest
timeout_minutes=${TQBLK_DEB_GUEST_TIMEOUT_MINUTES:-90}
keep=false
if [ $# -gt 0 ]; then
  work=$1 keep=true
  mkdir -p "$work"
else
  work=$(mktemp -d /var/tmp/tqblk-deb-guest-XXXXXX)
fi
cleanup() {
  umount "$work/root/proc" 2>/dev/null || true
  $keep || rm -rf "$work"
}
trap cleanup EXIT
say() { printf '[%s] %s\n' "$(date +%T)" "$*"; }

# ---- the packages: this version, then a newer build of the same sources
say "building the packages"
build=$work/build
version=$(sed -n 's/^project(tqblk VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
for v in "$version" "$version+1"; do
  cmake -S "$root" -B "$build" -G Ninja "${launcher[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX=/usr -DTQBLK_PACKAGE=ON -DTQBLK_DEB_VERSION="$v" -DTQBLK_MAN=ON \
    -DTQBLK_WERROR=ON -DTQBLK_BUILD_TOOLS=ON -DTQBLK_BUILD_EMULATOR=ON -DTQBLK_BUILD_TESTS=OFF \
    -DTQBLK_BUILD_BENCH=OFF -DTQBLK_BUILD_EXAMPLES=OFF >"$work/cmake.log"
  cmake --build "$build" -j "$(nproc)" >"$work/build.log"
  (cd "$build" && cpack -G DEB -B "$work/packages" >"$work/cpack.log" 2>&1)
  n=$([ "$v" = "$version" ] && echo v1 || echo v2)
  mkdir -p "$work/debs/$n"
  mv "$work/packages"/*.deb "$work/debs/$n/"
  echo "$v" >"$work/debs/$n.version"
done

# ---- the guest's root file system, kernel and disk
say "preparing the root file system (debootstrap, cached)"
tarball=$(bash "$here/rootfs.sh")
rm -rf "$work/root"
mkdir "$work/root"
tar -C "$work/root" --numeric-owner -xf "$tarball"
release=$(ls "$work/root/lib/modules" | sort -V | tail -n 1)
initrd=$work/root/boot/initrd.img-$release
[ -f "$initrd" ] || { echo "run.sh: the guest has no initramfs for $release" >&2; exit 1; }
# The uncompressed kernel boots faster under TCG; it is the same package's when versions match.
kernel=$work/root/boot/vmlinuz-$release
kdir=$(bash "$root/tests/powercut/kernel.sh" 2>/dev/null || true)
if [ -n "$kdir" ] && [ "$(cat "$kdir/version" 2>/dev/null)" = "$release" ]; then
  kernel=$kdir/vmlinux
fi
cp "$kernel" "$work/kernel"
cp "$initrd" "$work/initrd"

guest=$work/root
cp -r "$work/debs" "$guest/root/debs"
install -m 0755 "$here/guest-steps.sh" "$guest/root/guest-steps.sh"
# shellcheck source=units.sh
source "$here/units.sh"
write_units "$guest"
echo "/dev/vda / ext4 defaults 0 1" >"$guest/etc/fstab"
mkdir -p "$guest/var/log/journal" # kept across the reboot, and for a look afterwards
echo tqblk-guest >"$guest/etc/hostname"
# A machine ID of its own: a first boot would ask for locale and password on the console.
tr -d - </proc/sys/kernel/random/uuid >"$guest/etc/machine-id"
# No network in the guest: apt installs the local packages with what the root already holds.
rm -f "$guest/etc/apt/sources.list" "$guest/etc/apt/sources.list.d/"*
truncate -s 4G "$work/disk.img"
mkfs.ext4 -q -F -L root -d "$guest" "$work/disk.img"
rm -rf "$guest"

# ---- the guest's run; it powers off when done
say "booting the guest (kernel $release, TCG); the steps follow"
set +e
timeout "${timeout_minutes}m" qemu-system-x86_64 -accel tcg,thread=multi -smp 2 -m 2048 \
  -display none -monitor none -serial "file:$work/serial.log" -serial "file:$work/steps.log" \
  -nic none \
  -kernel "$work/kernel" -initrd "$work/initrd" \
  -append "root=/dev/vda rw console=ttyS0 no_timer_check loglevel=4 systemd.show_status=0" \
  -drive "file=$work/disk.img,if=virtio,format=raw,cache=unsafe"
status=$?
set -e
[ "$status" -eq 0 ] || say "QEMU ended with status $status"

# ---- the results
touch "$work/steps.log"
grep -a 'DEB-GUEST' "$work/steps.log" | sed 's/.*DEB-GUEST /  /' | tr -d '\r' || true
passed=$(grep -ac 'DEB-GUEST step .*: PASS' "$work/steps.log" || true)
failed=$(grep -ac 'DEB-GUEST step .*: FAIL' "$work/steps.log" || true)
expected=12
if ! grep -aq 'DEB-GUEST done' "$work/steps.log" || [ $((passed + failed)) -ne "$expected" ]; then
  failed=$((expected - passed))
  echo "the guest did not finish its $expected steps; the console's end:"
  tail -n 40 "$work/serial.log" | tr -d '\r' | sed 's/^/  | /'
fi
echo "deb-guest: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
