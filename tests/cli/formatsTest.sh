#!/usr/bin/env bash
# formatsTest.sh -- TIFF and PNG through the command-line host: every kind filtered as its PGM/PPM
# twin is, extra planes and tags kept, batches of good and broken files, files that lie
# usage: formatsTest.sh BRISEL IMAGEFIXTURES
set -u
brisel=$1
fixtures=$2
data=$(cd "$(dirname "$0")/../data" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export BRISEL_DIR=$work/store TMPDIR=$work/tmp
mkdir -p "$BRISEL_DIR" "$TMPDIR"
cd "$work"
cp "$data/sample.ppm" "$data/grey16.pgm" .

passed=0 failed=0
check() {  # check NAME COMMAND...
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $name"; fi
}
values="--alpha 0.3 --beta 0.2 --gamma 0.5 --delta 0.3"

# ---- every kind equals its PGM/PPM twin, sample for sample ----------------------------
# filteredLikeTwin FILE: FILE filtered, read back, equals FILE's samples as PNM filtered;
# its extra planes come back untouched.
filteredLikeTwin() {
  local file=$1 ext=${1##*.}
  "$fixtures" topnm "$file" "$file.pnm" "$file.extra" &&
    "$brisel" apply "$file" "$file.out.$ext" $values > /dev/null &&
    "$brisel" apply "$file.pnm" "$file.twin.pnm" $values > /dev/null &&
    "$fixtures" topnm "$file.out.$ext" "$file.out.pnm" "$file.out.extra" &&
    cmp -s "$file.out.pnm" "$file.twin.pnm" && cmp -s "$file.extra" "$file.out.extra"
}
# --beta 1 at 8 bits gives the input back exactly.
unchangedAtBetaOne() {
  local file=$1 ext=${1##*.}
  "$brisel" apply "$file" "$file.same.$ext" --beta 1 > /dev/null &&
    "$fixtures" topnm "$file.same.$ext" "$file.same.pnm" "$file.same.extra" &&
    cmp -s "$file.pnm" "$file.same.pnm" && cmp -s "$file.extra" "$file.same.extra"
}
n=0
for compression in none lzw deflate packbits; do
  for layout in strips tiles; do
    for order in l b; do
      n=$((n + 1))
      bits=$([ $((n % 2)) = 0 ] && echo 16 || echo 8)
      source=$([ $((n % 4)) -lt 2 ] && echo sample.ppm || echo grey16.pgm)
      extras=$((n % 3))
      name=t$n-$bits-$compression-$layout-$order-$extras.tif
      "$fixtures" tiff "$source" "$name" $bits $compression $layout $order $extras
      check "TIFF $name like its twin" filteredLikeTwin "$name"
      # (Grey only: RGB comes back up to the rounding of its recombination.)
      [ $bits = 8 ] && [ $source = grey16.pgm ] && check "TIFF $name unchanged at beta 1" unchangedAtBetaOne "$name"
      # What libtiff can copy is kept, strips or tiles alike.
      check "TIFF $name keeps its tags" bash -c "cmp -s <('$fixtures' tags '$name') <('$fixtures' tags '$name.out.tif')"
    done
  done
done
for bits in 8 16; do
  for mode in plain alpha; do
    for source in sample.ppm grey16.pgm; do
      name=p-$bits-$mode-${source%.*}.png
      "$fixtures" png "$source" "$name" $bits $mode
      check "PNG $name like its twin" filteredLikeTwin "$name"
      [ $bits = 8 ] && [ $source = grey16.pgm ] && check "PNG $name unchanged at beta 1" unchangedAtBetaOne "$name"
      check "PNG $name keeps its chunks" bash -c "cmp -s <('$fixtures' tags '$name') <('$fixtures' tags '$name.out.png')"
    done
  done
done
"$fixtures" png sample.ppm palette.png 8 palette palette-rgb.ppm
check "palette PNG filtered as its RGB image" bash -c "
  '$brisel' apply palette.png palette.out.png $values > /dev/null &&
  '$brisel' apply palette-rgb.ppm palette.twin.ppm $values > /dev/null &&
  '$fixtures' topnm palette.out.png palette.out.pnm && cmp -s palette.out.pnm palette.twin.ppm"
# The kind of OUT follows its extension; the samples do not change with it.
check "TIFF in, PNG and PPM out" bash -c "
  '$brisel' apply t1-8-none-strips-l-1.tif t1.png $values > /dev/null &&
  '$brisel' apply t1-8-none-strips-l-1.tif t1.ppm $values > /dev/null &&
  '$fixtures' topnm t1.png t1.png.pnm && cmp -s t1.png.pnm t1.ppm && cmp -s t1.ppm t1-8-none-strips-l-1.tif.twin.pnm"

# ---- kinds the host does not take: one line, no output -------------------------------
refused() {  # refused FILE WORDS: exit 1, one line naming FILE and saying WORDS, no output
  "$brisel" apply "$1" refused.out $values > /dev/null 2> err.txt; local rc=$?
  [ $rc = 1 ] && [ "$(wc -l < err.txt)" = 1 ] && grep -q "^brisel: error: $1: .*$2" err.txt && [ ! -e refused.out ]
}
if command -v tiffcp > /dev/null; then
  tiffcp t1-8-none-strips-l-1.tif t2-16-none-strips-b-2.tif pages.tif
  check "multi-page TIFF refused" refused pages.tif "pages; only single-page"
  tiffcp -p separate t1-8-none-strips-l-1.tif separate.tif
  check "separate planes refused" refused separate.tif "separate colour planes"
fi
for odd in float:floating-point onebit:1-bit cmyk:CMYK signed:signed; do
  "$fixtures" odd ${odd%%:*} ${odd%%:*}.tif
  check "${odd%%:*} TIFF refused" refused ${odd%%:*}.tif "${odd#*:}"
done
if command -v ppm2tiff > /dev/null; then
  "$fixtures" topnm t1-8-none-strips-l-1.tif rgb8.ppm
  ppm2tiff -c lzw rgb8.ppm rgb8.tif
  check "a TIFF from Debian's tools is read" bash -c "'$brisel' apply rgb8.tif rgb8.out.tif $values > /dev/null && '$fixtures' topnm rgb8.out.tif rgb8.out.ppm && cmp -s rgb8.out.ppm t1-8-none-strips-l-1.tif.twin.pnm"
fi

# ---- damaged and lying files: one line each, no crash, no output ---------------------
head -c 3000 t2-16-none-strips-b-2.tif > cut.tif
head -c 2000 p-16-plain-sample.png > cut.png
cp p-8-plain-sample.png corrupt.png; printf 'garbage!' | dd of=corrupt.png bs=1 seek=200 conv=notrunc 2> /dev/null
"$fixtures" broken stripoffset offset.tif
"$fixtures" broken ifd ifd.tif
printf 'II*\0' > header.tif
"$fixtures" broken widepng wide.png
for bad in cut.tif cut.png corrupt.png offset.tif ifd.tif header.tif wide.png; do
  "$brisel" apply $bad bad.out $values > /dev/null 2> err.txt; rc=$?
  check "$bad: one line naming it, no output" bash -c "[ $rc = 1 ] && [ \"\$(wc -l < err.txt)\" = 1 ] && grep -q '^brisel: error: $bad: ' err.txt && [ ! -e bad.out ]"
done
# Files that unpack to more than memory allows are refused before they are unpacked.
if [ -z "${BRISEL_SANITIZED:-}" ]; then
  "$fixtures" bomb tiff bomb.tif 16000
  "$fixtures" bomb png bomb.png 16000
  for bomb in bomb.tif bomb.png; do
    bash -c "ulimit -v 1000000; '$brisel' apply $bomb bomb.out $values" > /dev/null 2> err.txt; rc=$?
    check "$bomb refused in one line" bash -c "[ $rc = 1 ] && [ \"\$(wc -l < err.txt)\" = 1 ] && grep -q '^brisel: error: $bomb: .*MiB, more memory than' err.txt && [ ! -e bomb.out ]"
  done
fi

# ---- batches ----------------------------------------------------------------------------
mkdir in1 in2 out1 out2 adir
cp t1-8-none-strips-l-1.tif p-16-alpha-sample.png sample.ppm in1/
cp cut.tif corrupt.png in1/
mkfifo in1/pipe.tif
good="in1/t1-8-none-strips-l-1.tif in1/p-16-alpha-sample.png in1/sample.ppm"
bad="in1/cut.tif in1/corrupt.png in1/pipe.tif adir"
timeout 120 "$brisel" apply $good $bad -o out1 --suffix -eq --jobs 1 $values > said1.txt 2> err1.txt; rc1=$?
timeout 120 "$brisel" apply $good $bad -o out2 --suffix -eq --jobs 2 $values > said2.txt 2> err2.txt; rc2=$?
check "batch: non-zero exit" bash -c "[ $rc1 = 1 ] && [ $rc2 = 1 ]"
check "batch: good files written" bash -c "[ \"\$(ls out1)\" = \"$(printf '%s\n' p-16-alpha-sample-eq.png sample-eq.ppm t1-8-none-strips-l-1-eq.tif)\" ]"
check "batch: each broken file named once" bash -c "for f in cut.tif corrupt.png pipe.tif adir; do [ \"\$(grep -c \"\$f\" err1.txt)\" = 1 ] || exit 1; done; [ \"\$(wc -l < err1.txt)\" = 4 ]"
check "batch: the values once, a summary" bash -c "[ \"\$(grep -c 'alpha 0.3 beta 0.2 gamma 0.5 delta 0.3' said1.txt)\" = 1 ] && tail -1 said1.txt | grep -qx 'brisel: 3 of 7 files written, 4 failed'"
check "batch: --jobs 2 gives the same bytes as --jobs 1" bash -c "for f in \$(ls out1); do cmp -s out1/\$f out2/\$f || exit 1; done; [ \"\$(ls out1)\" = \"\$(ls out2)\" ]"
check "batch: each file as a single run writes it" bash -c "'$brisel' apply in1/sample.ppm single.ppm $values > /dev/null && cmp -s single.ppm out1/sample-eq.ppm"
check "batch: no temporary or store files left" bash -c "[ -z \"\$(ls out1 out2 | grep brisel-)\" ] && [ -z \"\$(ls '$BRISEL_DIR' | grep -v OMKApref)\" ]"
check "batch: an output folder whose parent does not exist" bash -c "! '$brisel' apply sample.ppm -o nowhere/deeper 2> err.txt && [ \"\$(wc -l < err.txt)\" = 1 ] && grep -q 'folder nowhere/deeper: nowhere does not exist' err.txt && [ ! -e nowhere ]"
check "batch: an input never replaced by its output" bash -c "cp sample.ppm in2/ && ! '$brisel' apply in2/sample.ppm -o in2 $values 2> err.txt > /dev/null && grep -q 'would replace it' err.txt && cmp -s in2/sample.ppm sample.ppm"
# Parameters from the settings file, resolved once for the batch (floats at 484..496).
perl -e 'print "\0" x 484, pack("f<4", 0.5, 0.25, 0.7, 0), "\0" x (17408 - 500)' > "$BRISEL_DIR/OMKApref.xxx"
"$brisel" apply sample.ppm from-settings.ppm > /dev/null
check "batch: values from the settings file" bash -c "'$brisel' apply in1/sample.ppm -o out2 --suffix -set --jobs 2 | grep -qx 'brisel: alpha 0.5 beta 0.25 gamma 0.7 delta 0' && cmp -s out2/sample-set.ppm from-settings.ppm"
check "batch: the runs' private folders removed, even when the reader leaves early" bash -c "[ -z \"\$(ls '$TMPDIR')\" ]"
# A libpng warning (an ancillary chunk whose CRC is wrong is left out) reaches the
# user from a batch as from a single run, naming its file.
python3 -c "
d = open('p-8-plain-sample.png', 'rb').read()
open('in2/warn.png', 'wb').write(d[:33] + b'\0\0\0\x05tEXtab\0cd\0\0\0\0' + d[33:])"
"$brisel" apply in2/warn.png single-warn.png $values > /dev/null 2> single.txt
"$brisel" apply in2/warn.png in1/sample.ppm -o out2 --suffix -w --jobs 2 $values > /dev/null 2> err.txt; rc=$?
check "batch: a library's warning shown, naming its file" bash -c "[ $rc = 0 ] && grep -q '^brisel: warning: in2/warn.png: tEXt: CRC error' single.txt && cmp -s single.txt err.txt && cmp -s out2/warn-w.png single-warn.png"

# A stream OUT takes the kind --format names, TIFF included, though a pipe cannot seek.
for format in tif png; do
  "$brisel" apply sample.ppm twin.$format $values > /dev/null
  check "--format $format into a pipe" bash -c "'$brisel' apply - - --format=$format $values < sample.ppm 2> /dev/null | cat > piped.$format && cmp -s piped.$format twin.$format"
done
check "a stream OUT without --format is IN's kind" bash -c "'$brisel' apply p-8-plain-sample.png /dev/stdout $values 2> /dev/null | cat > piped-kind && '$brisel' apply p-8-plain-sample.png twin-kind.png $values > /dev/null && cmp -s piped-kind twin-kind.png"
check "--format that a file cannot hold refused in one line" bash -c "! '$brisel' apply t2-16-none-strips-b-2.tif - --format png $values 2> err.txt > /dev/null && [ \"\$(wc -l < err.txt)\" = 1 ] && grep -q '^brisel: error: -: PNG holds one extra' err.txt"

check "help: exit codes and an example" bash -c "'$brisel' apply --help | grep -q 'Exit codes: 0' && '$brisel' apply --help | grep -q 'brisel apply .*-o '"
check "version" bash -c "'$brisel' --version | grep -qE '^brisel [0-9]+\.[0-9]+\.[0-9]+$'"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
