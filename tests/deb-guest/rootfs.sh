#!/usr/bin/env bash
# Prepares a Debian 12 root file system for the guest once and prints the tarball that holds
# it: debootstrap (minbase) from the mirror the machine's apt uses, with systemd as init,
# Debian's kernel (linux-image-amd64, with its initramfs) and what the packages under test
# depend on, so that apt installs them with no network in the guest. Cached below
# TQBLK_DEB_GUEST_CACHE (default /var/cache/tqblk-deb-guest), one tarball per package set.
set -euo pipefail
cache=${TQBLK_DEB_GUEST_CACHE:-/var/cache/tqblk-deb-guest}
suite=bookworm
include=systemd-sysv,udev,kmod,linux-image-amd64,initramfs-tools,procps,e2fsprogs,fuse3,libfuse3-3,libcurl4,libsystemd0,libboost-dev,libstdc++6,diffutils
key=$(printf '%s %s' "$suite" "$include" | sha256sum | cut -c1-12)
tarball=$cache/rootfs-$suite-$key.tar
if [ -f "$tarball" ]; then
  echo "$tarball"
  exit 0
fi

# The mirror apt uses: the first Debian URI of its sources.
mirror=$(apt-get indextargets --format '$(SITE)' 'Identifier: Packages' 2>/dev/null |
  grep -i debian | grep -v security | head -n 1 || true)
[ -n "$mirror" ] || mirror=$(sed -n 's/^URIs: *\(.*debian\)$/\1/p' /etc/apt/sources.list.d/*.sources \
  2>/dev/null | head -n 1)
[ -n "$mirror" ] || { echo "rootfs.sh: no Debian mirror found in apt's sources" >&2; exit 1; }

mkdir -p "$cache"
work=$(mktemp -d "$cache/.rootfs-XXXXXX")
trap 'umount -R "$work/root" 2>/dev/null || true; rm -rf "$work"' EXIT
debootstrap --variant=minbase --include="$include" "$suite" "$work/root" "$mirror" \
  >"$work/debootstrap.log" 2>&1 || { tail -n 30 "$work/debootstrap.log" >&2; exit 1; }
rm -rf "$work/root/var/cache/apt/archives/"*.deb "$work/root/var/lib/apt/lists/"*_Packages
tar -C "$work/root" --numeric-owner -cf "$work/rootfs.tar" .
mv "$work/rootfs.tar" "$tarball"
echo "$tarball"
