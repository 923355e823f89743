#!/usr/bin/env bash
# Prepares the guest kernel once per kernel version and prints the folder that holds it:
#   DIR/vmlinux            the uncompressed ELF kernel (QEMU boots it through its PVH entry)
#   DIR/root/lib/modules/  its modules, with modules.dep
#   DIR/version            the kernel release (e.g. 6.1.0-57-amd64)
# The kernel comes from Debian's linux-image-amd64 package, downloaded (never installed) and
# unpacked below TQBLK_POWERCUT_CACHE (default /var/cache/tqblk-powercut), so a fresh clone
# downloads it once per machine.
set -euo pipefail
cache=${TQBLK_POWERCUT_CACHE:-/var/cache/tqblk-powercut}

# The versioned package that linux-image-amd64 depends on, e.g. linux-image-6.1.0-57-amd64.
versioned_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1
}

package=$(versioned_package)
if [ -z "$package" ]; then
  apt-get update -qq >/dev/null 2>&1 || true
  package=$(versioned_package)
fi
if [ -z "$package" ]; then
  # Offline and no package lists: fall back to the newest kernel already prepared.
  ready=$(find "$cache" -mindepth 2 -maxdepth 2 -name vmlinux -path '*/linux-image-*' 2>/dev/null |
    sort -V | tail -n 1)
  if [ -z "$ready" ]; then
    echo "kernel.sh: no linux-image-amd64 package known to apt" >&2
    exit 1
  fi
  ready=$(dirname "$ready")
  echo "${ready%/}"
  exit 0
fi
package_version=$(apt-cache policy "$package" | sed -n 's/^ *Candidate: //p')
dir="$cache/$package-$package_version"
if [ -f "$dir/vmlinux" ]; then
  echo "$dir"
  exit 0
fi

mkdir -p "$cache"
work=$(mktemp -d "$cache/.prepare-XXXXXX")
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get download "$package" >/dev/null 2>&1) ||
  { echo "kernel.sh: apt-get download $package failed" >&2; exit 1; }
dpkg-deb -x "$work"/"$package"_*.deb "$work/root"
rm -f "$work"/*.deb
release=$(ls "$work/root/lib/modules")
depmod -b "$work/root" "$release"

# The bzImage carries the kernel as an xz stream; unpacking it lets QEMU skip the
# decompressor, which halves the boot time under TCG.
bzimage="$work/root/boot/vmlinuz-$release"
offset=$(LC_ALL=C grep -abo $'\xfd7zXZ' "$bzimage" 2>/dev/null | head -n 1 | cut -d: -f1 || true)
[ -n "$offset" ] || { echo "kernel.sh: no xz stream in $bzimage" >&2; exit 1; }
# xz stops after the stream, so tail may die of SIGPIPE: only xz's status counts.
(set +o pipefail; tail -c +$((offset + 1)) "$bzimage" | xz -dc --single-stream >"$work/vmlinux")
[ "$(head -c 4 "$work/vmlinux" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] ||
  { echo "kernel.sh: the unpacked kernel is not an ELF file" >&2; exit 1; }
echo "$release" >"$work/version"
rm -rf "$dir"
mv "$work" "$dir"
trap - EXIT
echo "$dir"
