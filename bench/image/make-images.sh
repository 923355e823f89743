#!/usr/bin/env bash
# Builds two Debian 12 root file system images for the publishing benchmark, once, in a
# cache directory ($TQBLK_IMAGE_CACHE, default /var/tmp/tqblk-images); later runs reuse them.
#   debian-base.img   debootstrap --variant=minbase, copied into a 1 GiB ext4 image
#   debian-tools.img  a copy of debian-base.img with a handful of packages installed into it
#                     through a loop mount, as a derived image of a fleet would be made
# Free blocks are holes (zeros). Prints the two image paths. Needs root (debootstrap, loop mount); the loop mount lives in a
# private mount namespace and is gone when the script ends.
set -euo pipefail

cache=${TQBLK_IMAGE_CACHE:-/var/tmp/tqblk-images}
mirror=${TQBLK_IMAGE_MIRROR:-http://deb.debian.org/debian}
suite=bookworm
size=1G
extra=openssh-server,curl,less,vim-tiny,iproute2,ca-certificates

mkdir -p "$cache/debs"
base=$cache/debian-base.img
tools=$cache/debian-tools.img

if [[ ! -s $base ]]; then
  root=$cache/rootfs-base
  if [[ ! -f $root.complete ]]; then
    rm -rf -- "$root"
    debootstrap --variant=minbase --cache-dir="$cache/debs" "$suite" "$root" "$mirror" >&2
    touch "$root.complete"
  fi
  truncate -s "$size" "$base.tmp"
  mkfs.ext4 -q -F -L debian-base -d "$root" "$base.tmp"
  mv "$base.tmp" "$base"
fi

if [[ ! -s $tools ]]; then
  cp --sparse=always "$base" "$tools.tmp"
  # shellcheck disable=SC2016  # expanded by the inner shell
  unshare --mount --propagation private bash -euo pipefail -c '
    img=$1 extra=$2 mnt=$(mktemp -d)
    mount -o loop "$img" "$mnt"
    trap "umount -R \"$mnt\"; rmdir \"$mnt\"" EXIT
    mount -t proc proc "$mnt/proc"
    printf "#!/bin/sh\nexit 101\n" >"$mnt/usr/sbin/policy-rc.d"
    chmod 755 "$mnt/usr/sbin/policy-rc.d"
    cp /etc/resolv.conf "$mnt/etc/resolv.conf"
    chroot "$mnt" apt-get -q update
    DEBIAN_FRONTEND=noninteractive chroot "$mnt" apt-get -q -y install --no-install-recommends ${extra//,/ }
    chroot "$mnt" apt-get clean
    rm -rf "$mnt/var/lib/apt/lists/"* "$mnt/usr/sbin/policy-rc.d"
    umount "$mnt/proc"
    fstrim "$mnt"  # the blocks apt freed hold stale bytes: make them holes again
  ' make-images "$tools.tmp" "$extra" >&2
  e2fsck -fy "$tools.tmp" >/dev/null 2>&1 || true
  mv "$tools.tmp" "$tools"
fi

printf '%s\n' "$base" "$tools"
