#!/usr/bin/env bash
# packageTest.sh -- the release zip holds what it promises, and each module in it runs in a host of
# its own bitness: the 32-bit command-line host under 32-bit wine, the 64-bit one under 64-bit wine
# usage: packageTest.sh ZIP   (run from the repository root after scripts/package, both builds made)
set -euo pipefail
zip=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
root=$(pwd)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
wine32_prefix=${WINEPREFIX:-$HOME/.wine}
wine64_prefix=${BRISEL_WINE64_PREFIX:-${wine32_prefix}64}
wine64_loader=$(command -v wine64 || echo /usr/lib/wine/wine64)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
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

# Each module from the zip, loaded by the test host's loader inside the
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

echo "packageTest: $(basename "$zip"): contents and both modules checked; run by their own hosts: $runs"
