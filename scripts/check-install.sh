#!/usr/bin/env bash
# Checks an installed tree: its layout, the exported symbols, that each public header compiles
# on its own, and that outside programs build with find_package(tqblk) and with pkg-config
# and run with no LD_LIBRARY_PATH.
set -euo pipefail
prefix=$1
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for f in include/tqblk/TqBlkBackingStore.h include/tqblk/TqBlkDriver.h \
         include/tqblk/unix/TqBlkDriverUnix.h include/tqblk/unix/tqblk_admin.h include/tqblk/version.h \
         include/zyutils/ZyError.h include/zyutils/ZyPath.h \
         include/zyutils/TraverseFolder.h include/zyutils/ZySleep.h \
         lib/cmake/tqblk/tqblkConfig.cmake lib/cmake/tqblk/tqblkConfigVersion.cmake \
         lib/pkgconfig/tqblk.pc; do
  [ -e "$prefix/$f" ] || { echo "missing from the install tree: $f"; exit 1; }
done
for lib in libtqblk libZyUtils; do
  soname=$(objdump -p "$prefix/lib/$lib.so" | awk '/SONAME/ {print $2}')
  [ "$soname" = "$lib.so.1" ] || { echo "$lib has SONAME '$soname'"; exit 1; }
done
runpath=$(objdump -p "$prefix/lib/libtqblk.so" | awk '/RUNPATH/ {print $2}')
case "$runpath" in
  '$ORIGIN:'*) ;;
  *) echo "libtqblk.so run path is '$runpath'"; exit 1 ;;
esac
# Only the documented API is exported: nothing from the anonymous namespaces or helpers.
if nm -D --defined-only -C "$prefix/lib/libtqblk.so" | grep -E 'anonymous namespace|tqblk::|tqsys::|UniqueFd'; then
  echo "libtqblk.so exports internal symbols"; exit 1
fi

for h in $(cd "$prefix/include" && find . -name '*.h' | sed 's|^\./||'); do
  echo "#include <$h>" | c++ -std=c++17 -fsyntax-only -Wall -Werror -I "$prefix/include" -x c++ -
done
for h in tqblk/unix/tqblk_admin.h tqblk/version.h; do
  echo "#include <$h>" | cc -std=c11 -fsyntax-only -Wall -Werror -I "$prefix/include" -x c -
done

cmake -S "$root/tests/consumer" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
env -u LD_LIBRARY_PATH "$work/cmake/consumer"

# tqblk.pc sets no run path (a packaged library lies where the dynamic linker looks): a
# program built against another prefix names it itself, as here.
if grep -n 'rpath' "$prefix/lib/pkgconfig/tqblk.pc"; then
  echo "tqblk.pc puts a run path in its flags"; exit 1
fi
PKG_CONFIG_PATH="$prefix/lib/pkgconfig" c++ -std=c++17 -o "$work/consumer-pc" \
  "$root/tests/consumer/consumer.cpp" $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs tqblk) \
  -Wl,-rpath,"$prefix/lib"
env -u LD_LIBRARY_PATH "$work/consumer-pc"

# The installed tools find the library through their own run path.
env -u LD_LIBRARY_PATH "$prefix/bin/tqblk-ctl" create-store recall "$work/store" check 4096 512
env -u LD_LIBRARY_PATH "$prefix/bin/tqblk-ctl" remove-store "$work/store"

# What the tools bring beside themselves: man pages, shell completion, the service's unit.
for f in share/man/man8/tqblk-ctl.8.gz share/man/man8/tqblk-recalld.8.gz \
         share/man/man8/tqblk-emulator.8.gz share/man/man1/tqblk-make-image.1.gz \
         share/bash-completion/completions/tqblk-ctl lib/systemd/system/tqblk-recalld@.service \
         bin/tqblk-recalld bin/tqblk-make-image bin/tqblk-emulator bin/tqblk-run-in-namespace \
         bin/tqblk-image share/man/man1/tqblk-image.1.gz share/bash-completion/completions/tqblk-image; do
  [ -e "$prefix/$f" ] || { echo "missing from the install tree: $f"; exit 1; }
done
# The unit names the program where the configured prefix puts it.
grep -Eq "^ExecStart=/.*/bin/tqblk-recalld " "$prefix/lib/systemd/system/tqblk-recalld@.service" ||
  { echo "the unit does not start tqblk-recalld by its full path"; exit 1; }
env -u LD_LIBRARY_PATH "$prefix/bin/tqblk-emulator" --help >/dev/null 2>&1 ||
  [ $? -eq 2 ] || { echo "the installed emulator does not start"; exit 1; }
