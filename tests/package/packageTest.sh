#!/usr/bin/env bash
# packageTest.sh -- the release zip holds what it promises, stripped and the same bytes when built in
# another folder, and each module in it runs in a host of its own bitness: the 32-bit command-line
# host under 32-bit wine, the 64-bit one under 64-bit wine; the Debian package installs the tool,
# which finds its module and filters as the build does
# usage: packageTest.sh ZIP [DEB]   (run from the repository root after scripts/package, both builds made)
set -euo pipefail
zip=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
deb=""
[ $# -lt 2 ] || deb=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
root=$(pwd)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
wine32_prefix=${WINEPREFIX:-$HOME/.wine}
wine64_prefix=${BRISEL_WINE64_PREFIX:-${wine32_prefix}64}
wine64_loader=$(command -v wine64 || echo /usr/lib/wine/wine64)

work=$(mktemp -d)
trap 'umount "$work/chroot/proc" 2> /dev/null || true; rm -rf "$work"' EXIT
cd "$work"
unzip -q "$zip" -d unpacked

listed=$(cd unpacked && find . -type f | sort | tr '\n' ' ')
want="./INSTALL.txt ./LICENSE.txt ./x64/brisel.8bf ./x86/brisel.8bf "
[ "$listed" = "$want" ] || { echo "packageTest: the zip holds: $listed"; exit 1; }
version=$(basename "$zip" | sed -n 's/^brisel-\(.*\)-windows\.zip$/\1/p')
grep -q "brisel $version " unpacked/INSTALL.txt || { echo "packageTest: INSTALL.txt names no version $version"; exit 1; }
grep -q "OM\*Process" unpacked/INSTALL.txt || { echo "packageTest: INSTALL.txt does not say where the filter appears"; exit 1; }
grep -q "MIT License" unpacked/LICENSE.txt || { echo "packageTest: no licence text"; exit 1; }

"$root/scripts/check-module" unpacked/x86/brisel.8bf=i386 unpacked/x64/brisel.8bf=amd64
# Stripped: no symbols, no debug records, and no path of the build machine.
for module in unpacked/x86/brisel.8bf unpacked/x64/brisel.8bf; do
  ! x86_64-w64-mingw32-objdump -h "$module" | grep -q '\.debug' || { echo "packageTest: $module has debug records"; exit 1; }
  ! grep -qaF "$root" "$module" || { echo "packageTest: $module names the build folder $root"; exit 1; }
done

# The same sources built in another folder give the same zip, byte for byte.
# Only the modules are built there (no tests, no benchmarks), to keep this short.
mkdir copy
git -C "$root" ls-files -z | tar -C "$root" --null -T - -cf - | tar -C copy -xf -
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct)}
(cd copy && SOURCE_DATE_EPOCH=$epoch BRISEL_PACKAGE_CONFIGURE="-DBRISEL_TESTS=OFF -DBRISEL_BENCH=OFF" \
  scripts/package windows > package.log 2>&1) || { tail -20 copy/package.log; exit 1; }
cmp "$zip" copy/dist/"$(basename "$zip")" || { echo "packageTest: a build in another folder gives another zip"; exit 1; }
rm -rf copy

# Each module from the zip, loaded by the plug-in host's loader inside the
# command-line host of its bitness, must filter as the native build does.
cp "$root/tests/data/sample.ppm" .
args=(--alpha 0.35 --beta 0.2 --gamma 0.65 --delta 0.1)
BRISEL_DIR=$work/store
export BRISEL_DIR
mkdir -p "$BRISEL_DIR"
"$root/build/native/brisel" apply sample.ppm native.ppm "${args[@]}"
runs=x64
if [[ " ${BRISEL_TEST_SKIP:-} " == *" win32 "* ]]; then
  echo "packageTest: the x86 module is not run (win32 in BRISEL_TEST_SKIP)"
elif ! "$root/scripts/can-run-win32"; then
  echo "packageTest: the x86 module is not run (this kernel cannot run 32-bit programs)"
else
  WINEPREFIX=$wine32_prefix wine "$root/build/win32/brisel.exe" apply sample.ppm x86.ppm \
    --plugin unpacked/x86/brisel.8bf "${args[@]}"
  cmp native.ppm x86.ppm
  runs="x86 x64"
fi
WINEPREFIX=$wine64_prefix "$wine64_loader" "$root/build/win64/brisel.exe" apply sample.ppm x64.ppm \
  --plugin unpacked/x64/brisel.8bf "${args[@]}"
cmp native.ppm x64.ppm

# The wrong bitness is refused by the loader with a message, not run.
if WINEPREFIX=$wine64_prefix "$wine64_loader" "$root/build/win64/brisel.exe" apply sample.ppm wrong.ppm \
  --plugin unpacked/x86/brisel.8bf "${args[@]}" 2>wrong.txt; then
  echo "packageTest: the 64-bit host ran the 32-bit module"; exit 1
fi
[ ! -e wrong.ppm ] || { echo "packageTest: a refused module still wrote an image"; exit 1; }
grep -q "brisel: error" wrong.txt || { echo "packageTest: no message for the wrong module:"; cat wrong.txt; exit 1; }

echo "packageTest: $(basename "$zip"): contents, both modules and a second build checked; run by their own hosts: $runs"

# The Debian package: the tool, its module and its documents under /usr, with
# dependencies this Debian release has. Unpacked into a folder and run there on
# the system's libraries, from another folder; and, as root with debootstrap and
# the network, installed with apt into a clean Debian 12 (minbase, kept in
# build/ as a tar after the first time) and run there.
if [ -n "$deb" ]; then
  listed=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $NF}' | sort | tr '\n' ' ')
  want="./usr/bin/brisel ./usr/lib/brisel/libbrisel.so ./usr/share/doc/brisel/LICENSE ./usr/share/doc/brisel/README.md "
  [ "$listed" = "$want" ] || { echo "packageTest: the package holds: $listed"; exit 1; }
  depends=$(dpkg-deb --field "$deb" Depends)
  for library in libc6 libstdc++6 libtiff6 libpng16-16; do
    [[ "$depends" == *"$library"* ]] || { echo "packageTest: Depends lacks $library: $depends"; exit 1; }
  done
  architecture=$(dpkg-deb --field "$deb" Architecture)
  for package in $(printf '%s\n' "$depends" | tr ',' '\n' | sed 's/(.*//; s/|.*//' | tr -d ' '); do
    dpkg -s "$package:$architecture" > /dev/null 2>&1 ||
      { echo "packageTest: $package (a dependency) is not installed here"; exit 1; }
  done
  dpkg -x "$deb" system
  mkdir elsewhere && cd elsewhere
  "$work/system/usr/bin/brisel" apply ../sample.ppm deb.ppm "${args[@]}" > /dev/null
  cmp ../native.ppm deb.ppm || { echo "packageTest: the packaged tool filters otherwise"; exit 1; }
  cd "$work"
  how="unpacked and run on this system's libraries"
  clean=${BRISEL_DEBIAN12_TAR:-$root/build/debian12-minbase.tar}
  if [ "$(id -u)" != 0 ] || ! command -v debootstrap > /dev/null; then
    how="$how (no clean install: needs root and debootstrap)"
  elif [[ " ${BRISEL_TEST_SKIP:-} " == *" chroot "* ]]; then
    how="$how (no clean install: chroot in BRISEL_TEST_SKIP)"
  else
    if [ ! -s "$clean" ]; then
      mkdir -p "$(dirname "$clean")"
      if debootstrap --variant=minbase bookworm fresh http://deb.debian.org/debian > debootstrap.log 2>&1; then
        tar -C fresh -cf "$clean" .
      fi
      rm -rf fresh
    fi
    if [ -s "$clean" ]; then
      mkdir chroot && tar -C chroot -xf "$clean"
      cp /etc/resolv.conf chroot/etc/resolv.conf
      cp "$deb" sample.ppm chroot/tmp/
      mount -t proc proc chroot/proc  # the tool finds its module through /proc/self/exe
      inside() { chroot chroot env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }
      if inside apt-get update -q > apt.log 2>&1; then
        inside apt-get install -y -q --no-install-recommends "/tmp/$(basename "$deb")" >> apt.log 2>&1 ||
          { tail -20 apt.log; echo "packageTest: the package does not install on a clean Debian 12"; exit 1; }
        inside sh -c "cd /tmp && brisel apply sample.ppm clean.ppm ${args[*]}" > /dev/null
        cmp native.ppm chroot/tmp/clean.ppm || { echo "packageTest: the installed package filters otherwise"; exit 1; }
        how="$how; installed with apt into a clean Debian 12 and run there"
      else
        how="$how (no clean install: apt could not reach Debian's mirror)"
      fi
      umount chroot/proc
    else
      how="$how (no clean install: debootstrap failed, see its log)"
    fi
  fi
  echo "packageTest: $(basename "$deb"): contents and dependencies checked; $how"
fi
