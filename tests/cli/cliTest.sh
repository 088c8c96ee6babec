#!/usr/bin/env bash
# cliTest.sh -- the command-line host end to end: runs, replay, failures that leave OUT alone
# usage: cliTest.sh BRISEL [RUNNER]   (RUNNER is the wine loader for a Windows build)
set -u
brisel=$1
runner=${2:-}
data=$(cd "$(dirname "$0")/../data" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export BRISEL_DIR=$work/store WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
mkdir -p "$BRISEL_DIR"
cd "$work"
cp "$data/sample.ppm" "$data/grey16.pgm" .

passed=0 failed=0
check() {  # check NAME COMMAND...
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $name"; fi
}
run() { $runner "$brisel" "$@"; }

# A grey image from a header and bytes.
printf 'P5\n10 10\n255\n' > narrow.pgm; head -c 100 /dev/urandom >> narrow.pgm
printf 'P5\n20 3\n255\n' > short.pgm; head -c 30 /dev/urandom >> short.pgm  # truncated data

check "8-bit RGB runs" run apply sample.ppm out.ppm --alpha 0.2 --beta 0.1 --gamma 0.5 --delta 0.3
check "output keeps the format" bash -c 'head -c 15 out.ppm | grep -q "^P6" && [ "$(stat -c %s out.ppm)" = "$(stat -c %s sample.ppm)" ]'
check "16-bit grey with beta 1 is unchanged" bash -c "$runner '$brisel' apply grey16.pgm same.pgm --beta 1 && cmp -s grey16.pgm same.pgm"

check "record" run apply sample.ppm first.ppm --alpha 0.6 --beta 0.3 --gamma 0.8 --delta 0.1 --record steps.txt
check "recorded four floats" bash -c '[ "$(grep -c " doub " steps.txt)" = 4 ] && grep -q "^AEqa doub 0.60000002384185791" steps.txt'
# Other last-used values must not leak into the replay.
run apply sample.ppm scratch.ppm --alpha 0 --beta 0 --gamma 0 --delta 0 >/dev/null 2>&1 || true
check "replay" run apply sample.ppm second.ppm --replay steps.txt
check "replay reproduces the output" cmp -s first.ppm second.ppm

check "selection and mask run" bash -c "
  printf 'P5\n320 240\n255\n' > mask.pgm && head -c 76800 /dev/zero | tr '\0' '\377' >> mask.pgm &&
  $runner '$brisel' apply sample.ppm sel.ppm --select 10,20,100,200 --mask mask.pgm --alpha 0.5"

echo keep > kept.pgm
check "too narrow fails" bash -c "! $runner '$brisel' apply narrow.pgm kept.pgm 2> err.txt"
check "too narrow says why in one line" bash -c 'grep -q "at least 15" err.txt && [ "$(wc -l < err.txt)" = 1 ]'
check "failed run leaves OUT alone" bash -c '[ "$(cat kept.pgm)" = keep ]'
check "no output on failure" bash -c "! $runner '$brisel' apply narrow.pgm none.pgm 2>/dev/null; [ ! -e none.pgm ]"
check "value out of range refused" bash -c "! $runner '$brisel' apply sample.ppm x.ppm --gamma 1.5 2>/dev/null; [ ! -e x.ppm ]"
check "missing input refused" bash -c "! $runner '$brisel' apply missing.ppm x.ppm 2>/dev/null"
check "truncated input refused" bash -c "! $runner '$brisel' apply short.pgm x.pgm 2>/dev/null"
check "selection outside refused" bash -c "! $runner '$brisel' apply sample.ppm x.ppm --select 0,0,500,10 2>/dev/null"
# A header whose byte count wraps a 32-bit size (32767 x 21847 x 6 = 2^32 + 196598),
# followed by exactly the wrapped number of bytes: refused with a message, never a
# crash, and without gigabytes of memory for a file this small.
printf 'P6\n32767 21847\n65535\n' > huge.ppm; head -c 196598 /dev/zero >> huge.ppm
# A memory limit shows that nothing is claimed up front; sanitizers reserve
# more address space than any such limit allows, so they run without it.
if [ -z "$runner" ] && [ -z "${BRISEL_SANITIZED:-}" ]; then limit='ulimit -v 1000000;'; else limit=''; fi
check "huge header refused" bash -c "$limit ! $runner '$brisel' apply huge.ppm x.ppm 2> err.txt; grep -q 'brisel: error: ' err.txt && [ ! -e x.ppm ]"
# An OUT that is not a plain file (a pipe, a device) is written into, never
# replaced: renaming over /dev/null as root would swap the device for a file.
if [ -z "$runner" ]; then
  mkfifo out.fifo
  cat out.fifo > piped.ppm & reader=$!
  run apply sample.ppm out.fifo --alpha 0.6 --beta 0.3 --gamma 0.8 --delta 0.1 2>/dev/null
  check "pipe OUT stays a pipe" test -p out.fifo
  sleep 0.2; kill $reader 2>/dev/null; wait $reader 2>/dev/null
  check "pipe OUT receives the image" cmp -s first.ppm piped.ppm
fi
check "broken replay file refused" bash -c "echo 'AEqa doub nope' > bad.txt; ! $runner '$brisel' apply sample.ppm x.ppm --replay bad.txt 2>/dev/null"
check "no store files left" bash -c '[ -z "$(ls "$BRISEL_DIR" | grep -v OMKApref)" ]'

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
