#!/usr/bin/env bash
# cliTest.sh -- the command-line host end to end: runs, replay, failures that leave OUT alone,
# the settings file, refused replay values, safe replacement of OUT, interrupts, batches
# usage: cliTest.sh BRISEL [RUNNER]   (RUNNER is the wine loader for a Windows build)
set -u
brisel=$1
runner=${2:-}
data=$(cd "$(dirname "$0")/../data" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export BRISEL_DIR=$work/store WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
mkdir -p "$BRISEL_DIR"
cd "$work" || exit 1
cp "$data/sample.ppm" "$data/grey16.pgm" .
# The module's settings file: in BRISEL_DIR natively, in drive C: of the wine prefix.
if [ -n "$runner" ]; then
  settings=${WINEPREFIX:-$HOME/.wine}/drive_c/OMKApref.xxx
  [ -e "$settings" ] && cp "$settings" "$work/settings.saved"
  trap 'if [ -e "$work/settings.saved" ]; then cp "$work/settings.saved" "$settings"; else rm -f "$settings"; fi; rm -rf "$work"' EXIT
else
  settings=$BRISEL_DIR/OMKApref.xxx
fi

passed=0 failed=0
check() {  # check NAME COMMAND...
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $name"; return 1; fi
}
run() { $runner "$brisel" "$@"; }

# A grey image from a header and bytes.
printf 'P5\n10 10\n255\n' > narrow.pgm; head -c 100 /dev/urandom >> narrow.pgm
printf 'P5\n20 3\n255\n' > short.pgm; head -c 30 /dev/urandom >> short.pgm  # truncated data

check "8-bit RGB runs" run apply sample.ppm out.ppm --alpha 0.2 --beta 0.1 --gamma 0.5 --delta 0.3
check "output keeps the format" bash -c 'head -c 15 out.ppm | grep -q "^P6" && [ "$(stat -c %s out.ppm)" = "$(stat -c %s sample.ppm)" ]'
check "16-bit grey with beta 1 is unchanged" bash -c "$runner '$brisel' apply grey16.pgm same.pgm --beta 1 && cmp -s grey16.pgm same.pgm"
# Every value of a 16-bit maxval below the host's range survives the trip there and back.
printf 'P5\n20 60\n1000\n' > ramp1000.pgm
for v in $(seq 0 1199); do s=$((v % 1001)); printf "\\x$(printf %02x $((s >> 8)))\\x$(printf %02x $((s & 255)))"; done >> ramp1000.pgm
check "16-bit maxval 1000 with beta 1 is unchanged" bash -c "$runner '$brisel' apply ramp1000.pgm same1000.pgm --beta 1 && cmp -s ramp1000.pgm same1000.pgm"

check "record" run apply sample.ppm first.ppm --alpha 0.6 --beta 0.3 --gamma 0.8 --delta 0.1 --record steps.txt
check "recorded four floats" bash -c '[ "$(grep -c " doub " steps.txt)" = 4 ] && grep -q "^AEqa doub 0.60000002384185791" steps.txt'
# Other last-used values must not leak into the replay.
run apply sample.ppm scratch.ppm --alpha 0 --beta 0 --gamma 0 --delta 0 >/dev/null 2>&1 || true
check "replay" run apply sample.ppm second.ppm --replay steps.txt
check "replay reproduces the output" cmp -s first.ppm second.ppm
# Read once: a replay file that cannot be read twice (standard input) gives the same run.
check "replay from standard input" bash -c "$runner '$brisel' apply sample.ppm piped.ppm --replay - < steps.txt > /dev/null && cmp -s first.ppm piped.ppm"

check "selection and mask run" bash -c "
  printf 'P5\n320 240\n255\n' > mask.pgm && head -c 76800 /dev/zero | tr '\0' '\377' >> mask.pgm &&
  $runner '$brisel' apply sample.ppm sel.ppm --select 10,20,100,200 --mask mask.pgm --alpha 0.5"

# The result goes through the mask: none of it where the mask is 0, all of it at 255.
check "mask of zeros leaves the image" bash -c "
  printf 'P5\n320 240\n255\n' > zeros.pgm && head -c 76800 /dev/zero >> zeros.pgm &&
  $runner '$brisel' apply sample.ppm masked0.ppm --mask zeros.pgm --alpha 0.6 --beta 0.3 --gamma 0.8 --delta 0.1 &&
  cmp -s sample.ppm masked0.ppm"
check "full mask gives the whole result" bash -c "
  $runner '$brisel' apply sample.ppm masked255.ppm --mask mask.pgm --alpha 0.6 --beta 0.3 --gamma 0.8 --delta 0.1 &&
  cmp -s first.ppm masked255.ppm"
check "mask of another size refused" bash -c "
  printf 'P5\n10 10\n255\n' > small.pgm && head -c 100 /dev/zero >> small.pgm &&
  ! $runner '$brisel' apply sample.ppm x.ppm --mask small.pgm 2>/dev/null && [ ! -e x.ppm ]"

echo keep > kept.pgm
check "too narrow fails" bash -c "! $runner '$brisel' apply narrow.pgm kept.pgm 2> err.txt"
check "too narrow says why in one line" bash -c 'grep -q "at least 15" err.txt && [ "$(wc -l < err.txt)" = 1 ]'
check "failed run leaves OUT alone" bash -c '[ "$(cat kept.pgm)" = keep ]'
echo keep > kept.txt
check "failed run leaves the record file alone" bash -c "! $runner '$brisel' apply narrow.pgm kept.pgm --record kept.txt 2>/dev/null; [ \"\$(cat kept.txt)\" = keep ]"
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
# ---- the settings file and the values line -------------------------------------------
# alpha..delta 0.5, 0.25, 0.7, 0 as the settings file holds them (floats at 484..496).
perl -e 'print "\0" x 484, pack("f<4", 0.5, 0.25, 0.7, 0), "\0" x (17408 - 500)' > "$settings"
check "help says where unset values come from" bash -c "$runner '$brisel' --help | grep -q 'settings file' && ! $runner '$brisel' --help | grep -q 'last-used'"
# (Windows ends the line with CR LF.)
check "values from the settings file, printed" bash -c "$runner '$brisel' apply sample.ppm set.ppm > said.txt 2> err.txt && tr -d '\r' < said.txt | grep -qx 'brisel: set.ppm: alpha 0.5 beta 0.25 gamma 0.7 delta 0' && [ ! -s err.txt ]"
check "given values printed with the file's" bash -c "$runner '$brisel' apply sample.ppm set.ppm --alpha 0.3 | tr -d '\r' | grep -qx 'brisel: set.ppm: alpha 0.3 beta 0.25 gamma 0.7 delta 0'"
check "settings values never rewritten" bash -c "perl -e 'print pack(\"f<4\", 0.5, 0.25, 0.7, 0)' | cmp -s - <(tail -c +485 '$settings' | head -c 16)"
# Values out of 0..1 in the file are taken as the nearest end (NaN as 0): said as such.
perl -e 'print "\0" x 484, pack("f<4", 5, 0.25, "nan", 0), "\0" x (17408 - 500)' > "$settings"
check "unusable settings values: said, not blamed on another run" bash -c "$runner '$brisel' apply sample.ppm set.ppm > said.txt 2> err.txt && tr -d '\r' < said.txt | grep -qx 'brisel: set.ppm: alpha 1 beta 0.25 gamma 0 delta 0' && [ \"\$(grep -c '^brisel: ' err.txt)\" = 1 ] && grep -q 'OMKApref.xxx held values the filter cannot use (alpha 5, gamma .*nan' err.txt && ! grep -q 'another run' err.txt"
perl -e 'print "\0" x 484, pack("f<4", 0.5, 0.25, 0.7, 0), "\0" x (17408 - 500)' > "$settings"
if [ -z "$runner" ]; then
  # Another run holding the settings file (its lock taken here): the filter
  # goes on without it, which the host must say; given values still count.
  (
    exec 9<> "$settings"; flock -x 9
    run apply sample.ppm held.ppm --alpha 0.3 > said.txt 2> err.txt; echo $? > held.rc
  )
  check "unread settings file: exit 0, values said" bash -c '[ "$(cat held.rc)" = 0 ] && grep -qx "brisel: held.ppm: alpha 0.3 beta 0 gamma 0 delta 0" said.txt'
  check "unread settings file: one warning naming it" bash -c 'grep -q "^brisel: warning: .*OMKApref.xxx.*beta 0.25" err.txt && [ "$(wc -l < err.txt)" = 1 ]'
  run apply sample.ppm explicit.ppm --alpha 0.3 --beta 0 --gamma 0 --delta 0 > /dev/null
  check "unread settings file: the image is what was said" cmp -s held.ppm explicit.ppm
fi

# ---- replay values the command line would refuse -----------------------------------
n=0
for line in 'AEqa doub 1.5' 'AEqa doub nan' 'AEqg doub inf' 'AEqd doub 1e400' 'AEqb bool 1' 'AEqa long 0'; do
  n=$((n + 1)); echo "$line" > bad$n.txt
  run apply sample.ppm bad.ppm --replay bad$n.txt 2> err.txt; rc=$?
  # The tool's own lines only: a wine loader may add one of its own on stderr.
  check "replay '$line' refused" bash -c "[ $rc = 2 ] && [ \"\$(grep -c '^brisel: ' err.txt)\" = 1 ] && grep -qF 'bad$n.txt:1: $line' err.txt && [ ! -e bad.ppm ]" ||
    { echo "  exit $rc, stderr:"; sed 's/^/  | /' err.txt; }
done

# ---- replacing OUT -------------------------------------------------------------------
run apply sample.ppm ref.ppm --alpha 0.6 --beta 0.3 --gamma 0.8 --delta 0.1 > /dev/null
echo victim > victim.txt
ln -s victim.txt ref2.ppm.brisel-tmp  # the name an earlier version wrote through
check "a link planted beside OUT is not followed" bash -c "$runner '$brisel' apply sample.ppm ref2.ppm --alpha 0.6 --beta 0.3 --gamma 0.8 --delta 0.1 > /dev/null && cmp -s ref.ppm ref2.ppm && [ \"\$(cat victim.txt)\" = victim ]"
rm -f ref2.ppm.brisel-tmp
# The module's threads: any count writes the bytes of one thread.
for threads in 1 2 5; do
  BRISEL_THREADS=$threads run apply sample.ppm threads$threads.ppm --alpha 0.6 --beta 0.3 --gamma 0.8 --delta 0.1 > /dev/null
  BRISEL_THREADS=$threads run apply grey16.pgm threads$threads.pgm --alpha 0 --beta 0.2 --gamma 0.5 --delta 0.5 > /dev/null
done
check "threads: 1, 2 and 5 threads write the same files" bash -c "cmp -s threads1.ppm ref.ppm && cmp -s threads2.ppm ref.ppm && cmp -s threads5.ppm ref.ppm && cmp -s threads1.pgm threads2.pgm && cmp -s threads1.pgm threads5.pgm"
# Two runs onto one OUT: OUT ends up whole, the image of a run that exited 0.
# Each has a store folder of its own natively; under wine they share drive C:,
# where a run may instead fail saying that the other holds the stores.
mkdir -p store2
run apply sample.ppm other.ppm --alpha 0.1 --beta 0 --gamma 0 --delta 0 > /dev/null
run apply sample.ppm both.ppm --alpha 0.6 --beta 0.3 --gamma 0.8 --delta 0.1 > /dev/null 2> err1.txt & first=$!
BRISEL_DIR=$work/store2 run apply sample.ppm both.ppm --alpha 0.1 --beta 0 --gamma 0 --delta 0 > /dev/null 2> err2.txt; second=$?
wait $first; firstRc=$?
check "two runs onto one OUT" bash -c "
  { [ $firstRc = 0 ] || grep -q 'in use by another run' err1.txt; } &&
  { [ $second = 0 ] || grep -q 'in use by another run' err2.txt; } &&
  { { [ $firstRc = 0 ] && cmp -s both.ppm ref.ppm; } || { [ $second = 0 ] && cmp -s both.ppm other.ppm; }; }"
mkdir adir
check "OUT a directory refused" bash -c "! $runner '$brisel' apply sample.ppm adir 2> err.txt && grep -q 'adir is a directory' err.txt"
check "OUT in a missing folder refused" bash -c "! $runner '$brisel' apply sample.ppm nowhere/x.ppm 2> err.txt && grep -q 'folder nowhere does not exist' err.txt"
check "IN a directory refused" bash -c "! $runner '$brisel' apply adir x.ppm 2> err.txt && grep -q 'adir is a directory' err.txt && [ ! -e x.ppm ]"
check "replay file a directory refused" bash -c "! $runner '$brisel' apply sample.ppm x.ppm --replay adir 2> err.txt && grep -q 'adir is a directory' err.txt"
cp ref.ppm locked.ppm; chmod 444 locked.ppm
check "read-only OUT refused and kept" bash -c "! $runner '$brisel' apply sample.ppm locked.ppm --alpha 0.1 --beta 0 --gamma 0 --delta 0 2> err.txt && grep -q 'locked.ppm is read-only' err.txt && cmp -s locked.ppm ref.ppm"
if [ -z "$runner" ]; then
  cp ref.ppm private.ppm; chmod 600 private.ppm
  run apply sample.ppm private.ppm --alpha 0.1 --beta 0 --gamma 0 --delta 0 > /dev/null
  check "replaced OUT keeps its mode" bash -c '[ "$(stat -c %a private.ppm)" = 600 ] && cmp -s private.ppm other.ppm'
  # Modes the temporary file is not made with, under a umask that would change them.
  for mode in 644 664; do
    cp ref.ppm shared$mode.ppm; chmod $mode shared$mode.ppm
    check "replaced OUT keeps mode $mode" bash -c "umask 077; '$brisel' apply sample.ppm shared$mode.ppm --alpha 0.1 --beta 0 --gamma 0 --delta 0 > /dev/null && [ \"\$(stat -c %a shared$mode.ppm)\" = $mode ] && cmp -s shared$mode.ppm other.ppm"
  done
  check "new OUT gets the umask's mode" bash -c "umask 027; '$brisel' apply sample.ppm fresh.ppm > /dev/null && [ \"\$(stat -c %a fresh.ppm)\" = 640 ]"
  cp ref.ppm target.ppm; ln -s target.ppm linked.ppm
  run apply sample.ppm linked.ppm --alpha 0.1 --beta 0 --gamma 0 --delta 0 > /dev/null
  check "OUT a link: the file it names gets the image" bash -c 'test -L linked.ppm && cmp -s target.ppm other.ppm'
  check "OUT /dev/stdout into a pipe, the values on stderr" bash -c "'$brisel' apply sample.ppm /dev/stdout --alpha 0.6 --beta 0.3 --gamma 0.8 --delta 0.1 2> err.txt | cmp -s - ref.ppm && grep -q 'alpha 0.6' err.txt"
  # Streams are written where they stand: appended to a file opened so, never
  # a new file renamed over what they lead to.
  echo archive > archive.pnm
  check "OUT /dev/stdout appended to a file keeps what it held" bash -c "'$brisel' apply sample.ppm /dev/stdout --alpha 0.6 --beta 0.3 --gamma 0.8 --delta 0.1 >> archive.pnm 2> /dev/null && cmp -s archive.pnm <(echo archive; cat ref.ppm)"
  check "OUT /dev/fd/3 and - are the open streams" bash -c "'$brisel' apply sample.ppm /dev/fd/3 --alpha 0.6 --beta 0.3 --gamma 0.8 --delta 0.1 3> fd3.ppm 2> /dev/null && cmp -s fd3.ppm ref.ppm && '$brisel' apply sample.ppm - --alpha 0.6 --beta 0.3 --gamma 0.8 --delta 0.1 2> /dev/null | cmp -s - ref.ppm"
  check "OUT a descriptor not open refused" bash -c "! '$brisel' apply sample.ppm /dev/fd/7 --alpha 0.6 2> err.txt && [ \"\$(wc -l < err.txt)\" = 1 ] && grep -q '/dev/fd/7' err.txt"
  check "IN - read from a pipe and from a file" bash -c "cat sample.ppm | '$brisel' apply - in-piped.ppm --alpha 0.6 --beta 0.3 --gamma 0.8 --delta 0.1 > /dev/null && cmp -s in-piped.ppm ref.ppm && '$brisel' apply - - --alpha 0.6 --beta 0.3 --gamma 0.8 --delta 0.1 < sample.ppm 2> /dev/null | cmp -s - ref.ppm"
  check "IN - that is no image: one line naming it, no output" bash -c "! echo nonsense | '$brisel' apply - none.ppm 2> err.txt && [ \"\$(wc -l < err.txt)\" = 1 ] && grep -q '^brisel: error: standard input: ' err.txt && [ ! -e none.ppm ]"
  # A full disk while the image is written: OUT kept, no temporary file left.
  mkdir small
  if [ "$(id -u)" = 0 ] && mount -t tmpfs -o size=64k tmpfs small 2> /dev/null; then
    echo keep > small/kept.ppm
    "$brisel" apply sample.ppm small/kept.ppm --alpha 0.6 > /dev/null 2> err.txt; rc=$?
    check "full disk: one line, OUT kept, no temporary file" bash -c "[ $rc = 1 ] && [ \"\$(wc -l < err.txt)\" = 1 ] && grep -q 'kept.ppm' err.txt && [ \"\$(cat small/kept.ppm)\" = keep ] && [ \"\$(ls small)\" = kept.ppm ]"
    umount small
  fi
  mkfifo in.fifo
  check "IN a pipe refused without waiting" bash -c "! timeout 10 '$brisel' apply in.fifo x.ppm 2> err.txt && grep -q 'in.fifo is a pipe' err.txt"
  if [ "$(id -u)" = 0 ]; then
    # As a plain user: a file and a folder that user may not write.
    chmod 711 "$work"; mkdir -p user/store && cp ref.ppm sample.ppm user/ && chown nobody user && chmod 555 user/store
    as_user() { setpriv --reuid=65534 --regid=65534 --clear-groups env BRISEL_DIR="$work/user/store" "$brisel" "$@"; }
    check "OUT the user may not write refused" bash -c "$(declare -f as_user); brisel='$brisel' work='$work'; ! as_user apply user/sample.ppm user/ref.ppm --alpha 0.1 2> err.txt && grep -q 'ref.ppm is not writable' err.txt && cmp -s user/ref.ppm ref.ppm"
    check "unwritable BRISEL_DIR named" bash -c "$(declare -f as_user); brisel='$brisel' work='$work'; ! as_user apply user/sample.ppm user/new.ppm 2> err.txt && grep -q 'BRISEL_DIR .*user/store is not writable' err.txt && [ ! -e user/new.ppm ]"
  fi
fi
check "no temporary file left beside OUT" bash -c '[ -z "$(ls | grep brisel-)" ]'

# ---- the module's folder -------------------------------------------------------------
if [ -z "$runner" ]; then
  mkdir -p home1/.cache/brisel home2/.cache real && chmod 775 home1/.cache/brisel && ln -s "$work/real" home2/.cache/brisel
  check "store folder writable by others named" bash -c "! env -u BRISEL_DIR -u XDG_CACHE_HOME HOME='$work/home1' '$brisel' apply sample.ppm x.ppm 2> err.txt && grep -q 'home1/.cache/brisel is writable by others; refusing to use it' err.txt"
  check "store folder a link named" bash -c "! env -u BRISEL_DIR -u XDG_CACHE_HOME HOME='$work/home2' '$brisel' apply sample.ppm x.ppm 2> err.txt && grep -q 'home2/.cache/brisel is a symbolic link; refusing to use it' err.txt"
  check "missing BRISEL_DIR named" bash -c "! BRISEL_DIR='$work/gone' '$brisel' apply sample.ppm x.ppm 2> err.txt && grep -q 'BRISEL_DIR .*gone does not exist' err.txt"
  # A store held by another run: the run either keeps clear of it (and is
  # right) or fails saying so.
  (
    exec 9<> "$BRISEL_DIR/BackingS.xxx"; flock -x 9
    run apply sample.ppm busy.ppm --alpha 0.6 --beta 0.3 --gamma 0.8 --delta 0.1 > /dev/null 2> err.txt; echo $? > busy.rc
  )
  check "store held by another run" bash -c '{ [ "$(cat busy.rc)" = 0 ] && cmp -s busy.ppm ref.ppm; } || grep -q "in use by another run" err.txt'
  rm -f "$BRISEL_DIR/BackingS.xxx"
fi

# ---- interrupts ----------------------------------------------------------------------
# Stopped mid-run: once the module has written a whole store's worth (its
# writes counted by the kernel, the same under wine), whatever its files are called.
if [ -n "$runner" ]; then storeDir=${WINEPREFIX:-$HOME/.wine}/drive_c; else storeDir=$BRISEL_DIR; fi
stores() { find "$storeDir" -maxdepth 1 -regextype posix-extended -regex '.*/(BackingS|OpacityS|MaskImag)\.xxx'; }
{ printf 'P5\n4000 4000\n255\n'; head -c 16000000 /dev/urandom; } > big.pgm
startAndSignal() {  # startAndSignal SIGNAL
  $runner "$brisel" apply big.pgm big-out > /dev/null 2> err.txt & pid=$!
  for _ in $(seq 300); do
    written=$(awk '/^wchar/ { print $2 }' /proc/$pid/io 2> /dev/null)
    [ "${written:-0}" -gt 16000000 ] && break
    sleep 0.01
  done
  kill -"$1" $pid; wait $pid
}
echo keep > big-out
# Windows has no SIGTERM for a console program: wine ends it outright.
for signal in INT $([ -z "$runner" ] && echo TERM); do
  startAndSignal $signal; rc=$?
  expected=$([ $signal = INT ] && echo 130 || echo 143) left="$(stores)$(find . -maxdepth 1 -name '*brisel-*')"
  check "SIG$signal: stopped with $expected, nothing left" bash -c "[ $rc = $expected ] && [ \"\$(cat big-out)\" = keep ] && [ -z '$left' ]"
done
# A killed run's leftovers do not disturb the next one.
startAndSignal KILL 2> /dev/null
run apply sample.ppm after.ppm --alpha 0.6 --beta 0.3 --gamma 0.8 --delta 0.1 > /dev/null
check "a run after a killed one" cmp -s after.ppm ref.ppm
rm -f big-out.brisel-*
stores | xargs -r rm -f

# ---- batches ---------------------------------------------------------------------------
mkdir -p batch
run apply sample.ppm grey16.pgm narrow.pgm short.pgm -o batch --suffix -eq --jobs 2 --alpha 0.6 --beta 0.3 --gamma 0.8 --delta 0.1 > said.txt 2> err.txt; rc=$?
check "batch: exit 1, the good files written as single runs write them" bash -c "[ $rc = 1 ] && cmp -s batch/sample-eq.ppm ref.ppm && [ -e batch/grey16-eq.pgm ] && [ \"\$(ls batch | wc -l)\" = 2 ]"
check "batch: the failures named, one line each, and a summary" bash -c "[ \"\$(wc -l < err.txt)\" = 2 ] && grep -q 'narrow.pgm' err.txt && grep -q 'short.pgm' err.txt && tr -d '\r' < said.txt | tail -1 | grep -qx 'brisel: 2 of 4 files written, 2 failed'"
check "batch: --jobs without -o is a usage error" bash -c "$runner '$brisel' apply sample.ppm x.ppm --jobs 2 2> /dev/null; [ \$? = 2 ] && [ ! -e x.ppm ]"
check "batch: --format with -o is a usage error" bash -c "$runner '$brisel' apply sample.ppm -o fmt --format png 2> /dev/null; [ \$? = 2 ] && [ ! -e fmt ]"
# A batch's replay record into standard output goes there, not into a file named '-'.
mkdir -p recb
run apply sample.ppm -o recb --alpha 0.6 --beta 0.3 --gamma 0.8 --delta 0.1 --record - > said.txt 2> err.txt; rc=$?
check "batch: --record - writes the record to standard output" bash -c "[ $rc = 0 ] && [ \"\$(grep -c ' doub ' said.txt)\" = 4 ] && [ ! -e recb/- ] && [ ! -e ./- ] && cmp -s recb/sample.ppm ref.ppm"
if [ -z "$runner" ]; then
  # Outside Windows a backslash is part of a name: the folder 'bs\' gets the file.
  mkdir -p 'bs\'
  run apply sample.ppm -o 'bs\' --alpha 0.6 --beta 0.3 --gamma 0.8 --delta 0.1 > /dev/null 2>&1
  check "batch: a folder whose name ends in a backslash takes the file (POSIX)" bash -c "cmp -s 'bs\\/sample.ppm' ref.ppm && [ ! -e 'bs\\sample.ppm' ]"
fi
# A missing DIR is made, one level as mkdir makes it; a folder that cannot be is named.
run apply sample.ppm -o made --alpha 0.6 --beta 0.3 --gamma 0.8 --delta 0.1 > /dev/null 2> err.txt; rc=$?
check "batch: a missing folder is made" bash -c "[ $rc = 0 ] && [ ! -s err.txt ] && cmp -s made/sample.ppm ref.ppm"
run apply sample.ppm -o gone/deeper --alpha 0.6 > said.txt 2> err.txt; rc=$?
check "batch: a folder two levels down refused, naming it" bash -c "[ $rc = 1 ] && [ \"\$(grep -c '^brisel: ' err.txt)\" = 1 ] && grep -q 'gone/deeper: gone does not exist' err.txt && [ ! -e gone ] && [ ! -s said.txt ]"
run apply sample.ppm -o kept.txt --alpha 0.6 > /dev/null 2> err.txt; rc=$?
check "batch: a file as the folder refused, naming it" bash -c "[ $rc = 1 ] && grep -q 'output folder kept.txt is not a folder' err.txt && ! grep -q brisel-folder err.txt"
run apply sample.ppm -o unmade --replay adir > /dev/null 2> err.txt; rc=$?
check "batch: a refused batch makes no folder" bash -c "[ $rc = 1 ] && [ ! -e unmade ]"
check "help and version" bash -c "$runner '$brisel' apply --help | grep -q 'Exit codes' && $runner '$brisel' --version | grep -q '^brisel [0-9]'"
check "help: each parameter's option, usage and example" bash -c "$runner '$brisel' apply --help | tr -d '\r' > help.txt && grep -qx '  --beta B   share of the original blended back: 0 none (full effect), 1 image unchanged' help.txt && grep -qx '  brisel apply scan.tif scan-eq.tif --alpha 0.3 --beta 0.2 --gamma 0.5 --delta 0.3' help.txt && $runner '$brisel' --help | tr -d '\r' | grep -q '^options: \[--alpha A\] \[--beta B\] \[--gamma G\] \[--delta D\] \[--plugin PATH\]'"

# The replay file's values replace the settings file's: no warning that it went unread.
run apply sample.ppm replayed.ppm --replay steps.txt > said.txt 2> err.txt
check "replay: its values said, no warning" bash -c "[ \"\$(grep -c '^brisel: ' err.txt)\" = 0 ] && tr -d '\r' < said.txt | grep -qx 'brisel: replayed.ppm: alpha 0.6 beta 0.3 gamma 0.8 delta 0.1' && cmp -s replayed.ppm first.ppm"

# ---- what --help says of the parameters ---------------------------------------------
# alpha picks the window in steps, each step ending at its upper value; alpha does nothing else.
for a in 0 0.001 0.1 0.25 0.2501 0.5 0.5001 0.75 0.7501 1; do
  run apply sample.ppm "alpha$a.ppm" --alpha $a --beta 0.2 --gamma 0.5 --delta 0.3 > /dev/null
done
check "alpha steps fall where --help says" bash -c "! cmp -s alpha0.ppm alpha0.001.ppm && cmp -s alpha0.001.ppm alpha0.25.ppm && cmp -s alpha0.1.ppm alpha0.25.ppm && ! cmp -s alpha0.25.ppm alpha0.2501.ppm && cmp -s alpha0.2501.ppm alpha0.5.ppm && ! cmp -s alpha0.5.ppm alpha0.5001.ppm && cmp -s alpha0.5001.ppm alpha0.75.ppm && ! cmp -s alpha0.75.ppm alpha0.7501.ppm && cmp -s alpha0.7501.ppm alpha1.ppm"
# With no settings file the filter makes one holding 0 for every parameter not given.
mkdir fresh
if [ -n "$runner" ]; then rm -f "$settings"; fi
BRISEL_DIR=$work/fresh run apply sample.ppm unset.ppm > said.txt 2> err.txt
run apply sample.ppm zeros.ppm --alpha 0 --beta 0 --gamma 0 --delta 0 > /dev/null 2>&1
check "a parameter not given is 0 with a fresh settings file" bash -c "tr -d '\r' < said.txt | grep -qx 'brisel: unset.ppm: alpha 0 beta 0 gamma 0 delta 0' && cmp -s unset.ppm zeros.ppm && [ ! -s err.txt ]"
if [ -z "$runner" ]; then
  run apply sample.ppm dialog.ppm --dialog --alpha 0.6 --beta 0.3 --gamma 0.8 --delta 0.1 > /dev/null 2> err.txt
  check "--dialog without a dialog: one line saying so, the run as without it" bash -c "[ \"\$(wc -l < err.txt)\" = 1 ] && grep -q 'this build has no dialog' err.txt && cmp -s dialog.ppm ref.ppm"
fi

# ---- batches that would write over their own files -----------------------------------
# refusedBatch NAME WORDS ARGS...: exit 1, one line naming WORDS, nothing written.
refusedBatch() {
  local name=$1 words=$2; shift 2
  local before after rc
  before=$(ls -lR --time-style=+%s.%N col)
  run "$@" > said.txt 2> err.txt; rc=$?
  after=$(ls -lR --time-style=+%s.%N col)
  check "batch refused: $name" test $rc = 1 -a "$(grep -c '^brisel: ' err.txt)" = 1 -a \
    "$(grep -cF "$words" err.txt)" = 1 -a "$before" = "$after" -a ! -s said.txt ||
    { echo "  exit $rc"; sed 's/^/  | /' err.txt; }
}
mkdir -p col/in col/x col/y col/out
cp grey16.pgm col/in/a.pgm; cp sample.ppm col/in/a-eq.pgm
# The second run of "apply dir/* -o dir --suffix -eq" meets its own outputs.
refusedBatch "an output is another input" "col/in/a.pgm: its output col/in/a-eq.pgm would replace the input col/in/a-eq.pgm" \
  apply col/in/a.pgm col/in/a-eq.pgm -o col/in --suffix -eq --alpha 0.6
cp grey16.pgm col/x/p.pgm; cp sample.ppm col/y/p.pgm
refusedBatch "two outputs of one name" "col/x/p.pgm and col/y/p.pgm would both be written to col/out/p.pgm" \
  apply col/x/p.pgm col/y/p.pgm -o col/out --alpha 0.6
refusedBatch "one input twice" "would both be written" apply col/x/p.pgm col/x/p.pgm -o col/out --alpha 0.6
if [ -z "$runner" ]; then
  ln -s ../x/p.pgm col/out/q.pgm  # a link planted where an output goes, to another input
  cp sample.ppm col/y/q.pgm
  refusedBatch "an output a link to another input" "col/y/q.pgm: its output col/out/q.pgm would replace the input col/x/p.pgm" \
    apply col/x/p.pgm col/y/q.pgm -o col/out --alpha 0.6
  rm col/out/q.pgm
  ln col/in/a.pgm col/out/a.pgm  # the same file under another folder
  refusedBatch "an output the same file as its input" "col/in/a.pgm: its output col/out/a.pgm would replace it" \
    apply col/in/a.pgm -o col/out --alpha 0.6
  rm col/out/a.pgm
else
  # Windows names ignore case: Photo.pgm and photo.pgm are one file there.
  cp grey16.pgm col/x/Photo.pgm; cp sample.ppm col/y/photo.pgm
  refusedBatch "two outputs differing in case only" "col/x/Photo.pgm and col/y/photo.pgm would both be written to col/out/photo.pgm" \
    apply col/x/Photo.pgm col/y/photo.pgm -o col/out --alpha 0.6
fi
# Names that begin with - are files to the batch's runs too, and only the last dot
# starts the extension.
mkdir -- -eq; cp sample.ppm ./-lead.ppm; cp sample.ppm two.dots.ppm
run apply -o -eq --suffix=-eq --alpha 0.6 --beta 0.3 --gamma 0.8 --delta 0.1 -- -lead.ppm two.dots.ppm > said.txt 2> err.txt; rc=$?
check "batch: names beginning with -, two dots" bash -c "[ $rc = 0 ] && [ ! -s err.txt ] && [ \"\$(ls -- -eq | tr '\n' ' ')\" = '-lead-eq.ppm two.dots-eq.ppm ' ] && cmp -s ./-eq/-lead-eq.ppm ref.ppm && cmp -s ./-eq/two.dots-eq.ppm ref.ppm" ||
  sed 's/^/  | /' err.txt

# ---- memory --------------------------------------------------------------------------
# A masked run holds the mask and the module's copy beside the image: under a limit
# the image alone fits, it is refused in one line, never aborted.
if [ -z "$runner" ] && [ -z "${BRISEL_SANITIZED:-}" ]; then
  { printf 'P5\n4000 4000\n255\n'; head -c 16000000 /dev/zero; } > mask4000.pgm
  bash -c "ulimit -v 50000; '$brisel' apply big.pgm unmasked.pgm --alpha 0.6" > /dev/null 2>&1; unmaskedRc=$?
  bash -c "ulimit -v 50000; '$brisel' apply big.pgm masked.pgm --mask mask4000.pgm --alpha 0.6" > /dev/null 2> err.txt; rc=$?
  check "masked run under a memory limit: one line, exit 1, no output" bash -c "[ $unmaskedRc = 0 ] && [ $rc = 1 ] && [ \"\$(wc -l < err.txt)\" = 1 ] && grep -q '^brisel: error: big.pgm: .*with a mask needs' err.txt && [ ! -e masked.pgm ] && [ -z \"\$(ls | grep brisel-)\" ]" ||
    { echo "  exit $rc (unmasked $unmaskedRc)"; sed 's/^/  | /' err.txt; }
fi

check "broken replay file refused" bash -c "echo 'AEqa doub nope' > bad.txt; ! $runner '$brisel' apply sample.ppm x.ppm --replay bad.txt 2>/dev/null"
check "no store files left" bash -c '[ -z "$(ls "$BRISEL_DIR" | grep -v OMKApref)" ]'

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
