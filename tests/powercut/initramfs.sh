#!/usr/bin/env bash
# Builds the power-cut guest's initramfs: static busybox, the kernel modules the road needs
# (virtio disks, ext4, xfs, crc32c, fuse), the tqblk tools with their libraries and loader,
# and the guest scripts.
#   initramfs.sh BUILD_DIR KERNEL_DIR OUTPUT
set -euo pipefail
build=$1 kernel=$2 output=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
release=$(cat "$kernel/version")

root=$(mktemp -d /tmp/tqblk-powercut-initramfs-XXXXXX)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"/{bin,sbin,proc,sys,dev,tmp,store,lib/modules}

cp /bin/busybox "$root/bin/busybox"
for applet in $(/bin/busybox --list); do
  [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"
done

# Modules in load order, each once; crc32c_generic is named because ext4 and xfs reach crc32c
# through the crypto API, which loads nothing by itself here.
: >"$root/modules.list"
for module in virtio_pci virtio_blk crc32c_generic ext4 xfs fuse; do
  modprobe -d "$kernel/root" -S "$release" --show-depends "$module" | while read -r verb path _; do
    [ "$verb" = insmod ] || continue
    name=$(basename "$path")
    grep -qx "$name" "$root/modules.list" && continue
    cp "$path" "$root/lib/modules/$name"
    echo "$name" >>"$root/modules.list"
  done
done

# The tools, their shared libraries and the loader, at the paths the loader expects.
for tool in ctl/tqblk-ctl recalld/tqblk-recalld; do
  cp "$build/tools/$tool" "$root/bin/"
done
cp "$build/emulator/tqblk-emulator" "$root/bin/"
for binary in "$root"/bin/tqblk-*; do
  ldd "$binary" | grep -o '/[^ ]*' | while read -r lib; do
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
done

# Debug sections only slow the boot: the guest loads a smaller archive.
find "$root/bin" "$root$build" -type f \( -name 'tqblk-*' -o -name '*.so*' \) -print0 2>/dev/null |
  xargs -0 -r strip --strip-debug
cp "$here/guest-init.sh" "$root/init"
cp "$here/guest-road.sh" "$root/road.sh"
chmod +x "$root/init" "$root/road.sh"
(cd "$root" && find . | cpio -o -H newc --quiet) >"$output"
