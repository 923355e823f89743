#!/usr/bin/env bash
# Builds the Debian packages from a configured package build and checks them without
# changing the machine: nothing is installed. Each package is unpacked into a temporary root
# where its file list, its dependencies and its libraries' SONAMEs are checked, an outside
# program is built with find_package(tqblk) and with pkg-config against that root and run,
# `tqblk-ctl --version` is run from there, the binaries must carry Debian's hardening (PIE,
# bind-now, relro, fortified functions, the stack protector), the tools' maintainer scripts
# must manage the recall service through systemd, and lintian must report neither errors nor
# warnings. Prints "packages: N passed, 0 failed" at the end.
#
# usage: check-packages.sh BUILD_DIR
#   BUILD_DIR  configured with -DCMAKE_INSTALL_PREFIX=/usr -DTQBLK_PACKAGE=ON and built
set -euo pipefail
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed=0
pass() { passed=$((passed + 1)); echo "ok: $*"; }
fail() { echo "FAILED: $*" >&2; exit 1; }

version=$(sed -n 's/^TQBLK_DEB_VERSION:STRING=//p' "$build/CMakeCache.txt")
tools_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] && [ -n "$tools_version" ] || fail "no versions in $build/CMakeCache.txt"
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir=usr/lib/$multiarch

# ---- build
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB -B "$build/packages" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; fail "cpack"; }
runtime=$build/packages/libtqblk1_${version}_$arch.deb
dev=$build/packages/libtqblk-dev_${version}_$arch.deb
tools=$build/packages/tqblk-tools_${version}_$arch.deb
for deb in "$runtime" "$dev" "$tools"; do
  [ -f "$deb" ] || fail "cpack made no $(basename "$deb"): $(ls "$build/packages")"
done
pass "cpack made libtqblk1, libtqblk-dev and tqblk-tools $version"

# ---- file lists: what each package must hold, and nothing in two packages
files() { dpkg-deb -c "$1" | awk '{ print $6 }' | sed 's|^\./||; /\/$/d'; }
expect_files() {
  local deb=$1; shift
  local list f
  list=$(files "$deb")
  for f in "$@"; do
    grep -qx "$f" <<<"$list" || fail "$(basename "$deb") lacks $f; it holds:
$list"
  done
}
expect_none() {
  local deb=$1 pattern=$2 found
  found=$(files "$deb" | grep -E "$pattern" || true)
  [ -z "$found" ] || fail "$(basename "$deb") holds what belongs elsewhere: $found"
}
expect_files "$runtime" "$libdir/libtqblk.so.1" "$libdir/libtqblk.so.$tools_version" \
  "$libdir/libZyUtils.so.1" "$libdir/libZyUtils.so.$tools_version" \
  usr/share/doc/libtqblk1/copyright usr/share/doc/libtqblk1/changelog.gz
expect_none "$runtime" '\.so$|^usr/include/|^usr/bin/|cmake|pkgconfig'
pass "libtqblk1 holds the two shared libraries"

expect_files "$dev" "$libdir/libtqblk.so" "$libdir/libZyUtils.so" \
  usr/include/tqblk/TqBlkBackingStore.h usr/include/tqblk/TqBlkDriver.h \
  usr/include/tqblk/unix/TqBlkDriverUnix.h usr/include/tqblk/unix/tqblk_admin.h \
  usr/include/tqblk/version.h usr/include/zyutils/ZyError.h \
  "$libdir/cmake/tqblk/tqblkConfig.cmake" "$libdir/cmake/tqblk/tqblkConfigVersion.cmake" \
  "$libdir/pkgconfig/tqblk.pc" usr/share/doc/libtqblk-dev/copyright
expect_none "$dev" '\.so\.[0-9]|^usr/bin/'
pass "libtqblk-dev holds the headers, the CMake package and the pkg-config file"

expect_files "$tools" usr/bin/tqblk-ctl usr/bin/tqblk-recalld usr/bin/tqblk-make-image usr/bin/tqblk-image \
  usr/share/man/man1/tqblk-image.1.gz usr/share/bash-completion/completions/tqblk-image \
  usr/bin/tqblk-emulator usr/bin/tqblk-run-in-namespace \
  'usr/lib/systemd/system/tqblk-recalld@.service' \
  usr/share/man/man8/tqblk-ctl.8.gz usr/share/man/man8/tqblk-recalld.8.gz \
  usr/share/man/man8/tqblk-emulator.8.gz usr/share/man/man8/tqblk-run-in-namespace.8.gz \
  usr/share/man/man1/tqblk-make-image.1.gz usr/share/bash-completion/completions/tqblk-ctl \
  usr/share/doc/tqblk-tools/examples/recalld.conf.example usr/share/doc/tqblk-tools/copyright \
  'usr/share/doc/tqblk-tools/examples/tqblk-recalld@.service.d-override.conf'
expect_none "$tools" '\.so|^usr/include/'
pass "tqblk-tools holds the programs, the unit, the man pages and the completion"

dups=$(for deb in "$runtime" "$dev" "$tools"; do files "$deb"; done | sort | uniq -d)
[ -z "$dups" ] || fail "files in more than one package: $dups"
pass "no file is in two packages"

# ---- dependencies, computed from the binaries
depends() { dpkg-deb -f "$1" Depends; }
expect_depends() {
  local deb=$1 pattern=$2 d
  d=$(depends "$deb")
  grep -Eq "$pattern" <<<"$d" || fail "$(basename "$deb") Depends: '$d' lacks /$pattern/"
}
expect_depends "$runtime" '(^|, )libc6 \(>= '
expect_depends "$runtime" '(^|, )libstdc\+\+6 \(>= '
expect_depends "$dev" "(^|, )libtqblk1 \\(= $version\\)"
expect_depends "$dev" '(^|, )libboost-dev'
expect_depends "$tools" "(^|, )libtqblk1 \\(= $version\\)"
expect_depends "$tools" '(^|, )libfuse3-3 \(>= '
expect_depends "$tools" '(^|, )libzstd1 \(>= '
expect_depends "$tools" '(^|, )libssl3 \(>= '
if depends "$runtime" | grep -q libtqblk1; then fail "libtqblk1 depends on itself"; fi
pass "dependencies: $(for deb in "$runtime" "$dev" "$tools"; do
  printf '\n  %s: %s' "$(dpkg-deb -f "$deb" Package)" "$(depends "$deb")"; done)"

control() { dpkg-deb --ctrl-tarfile "$1" | tar -xO "./$2" 2>/dev/null; }
control "$runtime" shlibs >/dev/null || fail "libtqblk1 carries no shlibs file"
control "$runtime" triggers | grep -c '^activate-noawait ldconfig$' >/dev/null ||
  fail "libtqblk1 carries no ldconfig trigger"
pass "libtqblk1 carries its shlibs file and the ldconfig trigger"

# ---- maintainer scripts: the trigger runs ldconfig; systemd is told of the unit's changes
for script in postinst postrm; do
  if control "$runtime" "$script" >/dev/null; then fail "libtqblk1 carries a $script"; fi
done
expect_script() {
  local script=$1 pattern=$2
  control "$tools" "$script" | grep -Ec "$pattern" >/dev/null || fail "tqblk-tools' $script lacks /$pattern/"
}
expect_script postinst '^ *systemctl --system daemon-reload'
expect_script postinst "deb-systemd-invoke try-restart 'tqblk-recalld@\*\.service'"
expect_script prerm "deb-systemd-invoke stop 'tqblk-recalld@\*\.service'"
expect_script postrm '^ *systemctl --system daemon-reload'
for script in postinst prerm postrm; do
  control "$tools" "$script" | sh -n || fail "tqblk-tools' $script is not a shell script"
done
pass "maintainer scripts: no ldconfig call, daemon-reload, restart after upgrade, stop on removal"

# ---- unpacked into a temporary root
tree=$work/root
for deb in "$runtime" "$dev" "$tools"; do dpkg-deb -x "$deb" "$tree"; done
for lib in libtqblk libZyUtils; do
  soname=$(objdump -p "$tree/$libdir/$lib.so" | awk '/SONAME/ { print $2 }')
  [ "$soname" = "$lib.so.1" ] || fail "$lib has SONAME '$soname'"
done
runpath=$(objdump -p "$tree/$libdir/libtqblk.so.1" | awk '/RUNPATH/ { print $2 }')
[ "$runpath" = '$ORIGIN' ] || fail "libtqblk.so.1 has run path '$runpath'"
if grep -n rpath "$tree/$libdir/pkgconfig/tqblk.pc"; then fail "tqblk.pc sets a run path"; fi
pass "SONAMEs libtqblk.so.1 and libZyUtils.so.1, no system run path, none in tqblk.pc"

# Debian's hardening: every binary bound at load time (bind-now) with read-only relocations,
# executables position-independent, fortified functions; the stack protector where arrays are.
for binary in "$tree"/usr/bin/tqblk-* "$tree/$libdir"/lib*.so.1.0.0; do
  file -b "$binary" | grep -q '^ELF' || continue
  name=${binary#"$tree"/}
  dynamic=$(readelf -dW "$binary") symbols=$(readelf --dyn-syms -W "$binary")
  grep -Eq 'BIND_NOW|FLAGS_1.* NOW' <<<"$dynamic" || fail "$name is not bound at load time"
  readelf -lW "$binary" | grep -c GNU_RELRO >/dev/null || fail "$name has no read-only relocations"
  case $name in
    usr/bin/*) grep -Eq 'FLAGS_1.* PIE' <<<"$dynamic" || fail "$name is no PIE" ;;
  esac
  grep -Eq ' __[a-z_]+_chk(@|$)' <<<"$symbols" || fail "$name calls no fortified function"
done
for binary in usr/bin/tqblk-recalld "$libdir/libtqblk.so.1.0.0"; do
  readelf --dyn-syms -W "$tree/$binary" | grep -c __stack_chk_fail >/dev/null ||
    fail "$binary has no stack protector"
done
pass "binaries hardened: PIE, bind-now, relro, fortified functions, stack protector"

export LD_LIBRARY_PATH=$tree/$libdir
cmake -S "$root/tests/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$tree/usr" \
  >/dev/null
cmake --build "$work/consumer" >/dev/null
grep -q "$tree/$libdir/libtqblk.so" "$work/consumer/build.ninja" ||
  fail "the find_package program did not link the unpacked library"
"$work/consumer/consumer"
pass "a find_package(tqblk) program builds against the unpacked packages and runs"

PKG_CONFIG_PATH=$tree/$libdir/pkgconfig
export PKG_CONFIG_PATH
# shellcheck disable=SC2046
c++ -std=c++17 -o "$work/consumer-pc" "$root/tests/consumer/consumer.cpp" \
  $(pkg-config --cflags --libs tqblk)
"$work/consumer-pc"
pass "a pkg-config program builds against the unpacked packages and runs"

shown=$("$tree/usr/bin/tqblk-ctl" --version) || fail "tqblk-ctl --version failed: $shown"
grep -qF "$tools_version" <<<"$shown" || fail "tqblk-ctl --version printed '$shown', not $tools_version"
pass "tqblk-ctl --version from the unpacked root: $shown"
unset LD_LIBRARY_PATH PKG_CONFIG_PATH

for page in "$tree"/usr/share/man/man*/*.gz; do
  zcat "$page" | grep -q '^\.TH ' || fail "$page is not a man page"
done
pass "the man pages are man pages"

# ---- lintian: neither errors nor warnings
lintian --allow-root --tag-display-limit 0 "$runtime" "$dev" "$tools" >"$work/lintian.log" 2>&1 ||
  true
if grep -E '^[EW]: ' "$work/lintian.log"; then
  fail "lintian reports errors or warnings (above)"
fi
pass "lintian reports no errors and no warnings"

echo "packages: $passed passed, 0 failed"
