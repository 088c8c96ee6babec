#!/usr/bin/env bash
# installTest.sh -- cmake --install puts the tool and its module under a prefix; the installed tool
# finds its module from any folder, called by its path or through a link, and filters as the build does
# usage: installTest.sh BUILD_DIR
set -euo pipefail
build=$1
data=$(cd "$(dirname "$0")/../data" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export BRISEL_DIR=$work/store
mkdir -p "$BRISEL_DIR" "$work/elsewhere" "$work/links"
fail() { echo "installTest: $*"; exit 1; }

cmake --install "$build" --prefix "$work/prefix" > /dev/null
listed=$(cd "$work/prefix" && find . -type f -o -type l | sort | tr '\n' ' ')
want="./bin/brisel ./lib/brisel/libbrisel.so ./share/doc/brisel/LICENSE ./share/doc/brisel/README.md "
[ "$listed" = "$want" ] || fail "installed: $listed"

args=(--alpha 0.35 --beta 0.2 --gamma 0.65 --delta 0.1)
cp "$data/sample.ppm" "$work/elsewhere/"
"$build/brisel" apply "$data/sample.ppm" "$work/built.ppm" "${args[@]}" > /dev/null
cd "$work/elsewhere"
"$work/prefix/bin/brisel" apply sample.ppm installed.ppm "${args[@]}" > /dev/null
cmp "$work/built.ppm" installed.ppm || fail "the installed tool filters otherwise"
# Called through a link on PATH, as a package manager or a user links it.
ln -s "$work/prefix/bin/brisel" "$work/links/brisel"
PATH=$work/links:$PATH brisel apply sample.ppm linked.ppm "${args[@]}" > /dev/null
cmp "$work/built.ppm" linked.ppm || fail "the linked tool filters otherwise"
# Without its module: one line naming where it was looked for, no output.
rm "$work/prefix/lib/brisel/libbrisel.so"
if "$work/prefix/bin/brisel" apply sample.ppm none.ppm "${args[@]}" 2> err.txt; then
  fail "ran without its module"
fi
[ "$(wc -l < err.txt)" = 1 ] && grep -q "lib/brisel/libbrisel.so" err.txt || fail "$(cat err.txt)"
[ ! -e none.ppm ] || fail "an image written without a module"
echo "installTest: installed under a prefix, run from another folder and through a link"
