#!/usr/bin/env bash
# concurrentRunsTest.sh -- runs sharing one store folder never pass off a wrong image as a success
# usage: concurrentRunsTest.sh BRISEL
# Every run either fails or writes exactly what a run on its own writes; so does
# a run whose store name is cut short from outside while it works.
set -u
brisel=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export BRISEL_DIR=$work/store
mkdir -p "$BRISEL_DIR"
cd "$work" || exit 1

passed=0 failed=0
check() {  # check NAME COMMAND...
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $name"; fi
}
params=(--alpha 0.4 --beta 0.1 --gamma 0.6 --delta 0.2)

# A small RGB image, big enough that concurrent runs overlap.
printf 'P6\n400 300\n255\n' > small.ppm; head -c 360000 /dev/urandom >> small.ppm
"$brisel" apply small.ppm solo.ppm "${params[@]}" || { echo "FAILED: solo run"; exit 1; }

runs=12 rounds=4 succeeded=0 refused=0 wrong=0 unclean=0
for round in $(seq "$rounds"); do
  pids=()
  for i in $(seq "$runs"); do
    rm -f "out$i.ppm"
    "$brisel" apply small.ppm "out$i.ppm" "${params[@]}" 2> "err$i.txt" & pids+=($!)
  done
  for i in $(seq "$runs"); do
    if wait "${pids[$((i - 1))]}"; then
      succeeded=$((succeeded + 1))
      cmp -s solo.ppm "out$i.ppm" || { wrong=$((wrong + 1)); echo "round $round run $i: exit 0, wrong image"; }
    else
      refused=$((refused + 1))
      # A refused run says so in one line and writes nothing.
      if [ -e "out$i.ppm" ] || [ "$(wc -l < "err$i.txt")" != 1 ]; then unclean=$((unclean + 1)); fi
    fi
  done
done
echo "concurrent runs: $succeeded succeeded, $refused refused"
check "no run exits 0 with a wrong image" [ "$wrong" = 0 ]
check "refused runs fail cleanly" [ "$unclean" = 0 ]
check "some runs succeed" [ "$succeeded" -gt 0 ]
check "no store files left" bash -c '[ -z "$(ls "$BRISEL_DIR" | grep -v OMKApref)" ]'

# Cutting the store name short while a run works: the rows are out of reach,
# so the run still writes the right image (or fails, but never exits 0 with a
# wrong one).
printf 'P5\n4000 4000\n255\n' > big.pgm; head -c 16000000 /dev/urandom >> big.pgm
"$brisel" apply big.pgm bigSolo.pgm "${params[@]}" || { echo "FAILED: solo run"; exit 1; }
"$brisel" apply big.pgm bigCut.pgm "${params[@]}" 2> cutErr.txt & run=$!
cuts=0
while kill -0 "$run" 2> /dev/null; do
  store=$BRISEL_DIR/BackingS.xxx
  [ -e "$store" ] && truncate -s 0 "$store" 2> /dev/null && cuts=$((cuts + 1))
  sleep 0.02
done
if wait "$run"; then cutExit=0; else cutExit=1; fi
echo "outside truncation: $cuts cuts, exit $cutExit"
check "a cut store name never gives a wrong image" bash -c "[ $cutExit != 0 ] || cmp -s bigSolo.pgm bigCut.pgm"
check "the cut happened during the run" [ "$cuts" -gt 0 ]

# A run killed outright leaves no rows behind, and the next run is not disturbed.
"$brisel" apply big.pgm killed.pgm "${params[@]}" 2> /dev/null & run=$!
for _ in $(seq 200); do [ -e "$BRISEL_DIR/BackingS.xxx" ] && break; sleep 0.01; done
sleep 0.2; kill -KILL "$run" 2> /dev/null; wait "$run" 2> /dev/null
check "a killed run leaves no rows behind" bash -c \
  '! find "$BRISEL_DIR" -type f -size +0 ! -name OMKApref.xxx | grep -q .'
check "the next run is not disturbed" bash -c \
  "'$brisel' apply small.ppm after.ppm ${params[*]} && cmp -s solo.ppm after.ppm"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
