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
cd "$work" || exit 1
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
# PNG holds the alpha plane of two extra planes: the colour as the twin's, the
# alpha as it was: RGB rows narrowed from five planes to four, grey from three to two.
keepsAlphaOnly() {
  local file=$1
  "$brisel" apply "$file" "$file.png" $values > /dev/null 2>&1 &&
    "$fixtures" topnm "$file.png" "$file.png.pnm" "$file.png.extra" &&
    cmp -s "$file.png.pnm" "$file.twin.pnm" &&
    python3 -c "import sys; d = open(sys.argv[1], 'rb').read()
sys.exit(b''.join(d[i:i + 2] for i in range(0, len(d), 4)) != open(sys.argv[2], 'rb').read())" \
      "$file.extra" "$file.png.extra"
}
check "TIFF with alpha and another extra plane to PNG, 8-bit" keepsAlphaOnly t5-8-lzw-strips-l-2.tif
check "TIFF with alpha and another extra plane to PNG, 16-bit" keepsAlphaOnly t2-16-none-strips-b-2.tif

# ---- kinds the host does not take: one line, no output -------------------------------
refused() {  # refused FILE WORDS: exit 1, one line naming FILE and saying WORDS, no output
  "$brisel" apply "$1" refused-out $values > /dev/null 2> err.txt; local rc=$?
  [ $rc = 1 ] && [ "$(wc -l < err.txt)" = 1 ] && grep -q "^brisel: error: $1: .*$2" err.txt && [ ! -e refused-out ]
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
  "$brisel" apply $bad bad-out $values > /dev/null 2> err.txt; rc=$?
  check "$bad: one line naming it, no output" bash -c "[ $rc = 1 ] && [ \"\$(wc -l < err.txt)\" = 1 ] && grep -q '^brisel: error: $bad: ' err.txt && [ ! -e bad-out ]"
done
# Files that unpack to more than memory allows are refused before they are unpacked.
if [ -z "${BRISEL_SANITIZED:-}" ]; then
  "$fixtures" bomb tiff bomb.tif 16000
  "$fixtures" bomb png bomb.png 16000
  for bomb in bomb.tif bomb.png; do
    bash -c "ulimit -v 1000000; '$brisel' apply $bomb bomb-out $values" > /dev/null 2> err.txt; rc=$?
    check "$bomb refused in one line" bash -c "[ $rc = 1 ] && [ \"\$(wc -l < err.txt)\" = 1 ] && grep -q '^brisel: error: $bomb: .*MiB, more memory than' err.txt && [ ! -e bomb-out ]"
  done
fi

# ---- 16-bit samples: every value through the documented mapping; extra planes untouched --
# At beta 1 the filter gives its input back, so each kind shows the mapping itself: v to
# (v * 32768 + 32767) / 65535 and back (h * 65535 + 16384) / 32768. The alpha plane holds
# every value too and must come back as it was.
perl -e 'print "P5\n256 256\n65535\n", pack("n*", 0 .. 65535)' > ramp.pgm
perl -e 'print "P5\n256 256\n65535\n", pack("n*", map { my $h = int(($_ * 32768 + 32767) / 65535);
  int(($h * 65535 + 16384) / 32768) } 0 .. 65535)' > ramp.expected.pgm
"$fixtures" tiff ramp.pgm ramp.tif 16 none strips l 1
"$fixtures" png ramp.pgm ramp.png 16 alpha
check "16-bit PGM: every value mapped as documented" bash -c "
  '$brisel' apply ramp.pgm ramp.out.pgm --beta 1 > /dev/null && cmp -s ramp.out.pgm ramp.expected.pgm"
for kind in tif png; do
  check "16-bit ${kind^^}: every value mapped as documented, alpha bit for bit" bash -c "
    '$brisel' apply ramp.$kind ramp.out.$kind --beta 1 > /dev/null &&
    '$fixtures' topnm ramp.$kind ramp.in.pnm ramp.$kind.extra &&
    '$fixtures' topnm ramp.out.$kind ramp.out.$kind.pnm ramp.out.$kind.extra &&
    cmp -s ramp.out.$kind.pnm ramp.expected.pgm && cmp -s ramp.$kind.extra ramp.out.$kind.extra"
done
check "16-bit alpha from TIFF to PNG and back, bit for bit" bash -c "
  '$brisel' apply ramp.tif ramp.tif.png --beta 1 > /dev/null &&
  '$brisel' apply ramp.tif.png ramp.back.tif --beta 1 > /dev/null &&
  '$fixtures' topnm ramp.back.tif ramp.back.pnm ramp.back.extra && cmp -s ramp.tif.extra ramp.back.extra"

# ---- what each output kind keeps, and one warning line for what it cannot ----------------
# (t1: 8-bit RGB with alpha at 300 x 150 dpi, chromaticities, ICC profile, descriptive tags.)
keeps() {  # keeps FROM TO PATTERN: TO's tags show PATTERN
  "$brisel" apply "$1" "$2" --beta 1 > /dev/null 2> /dev/null && "$fixtures" tags "$2" | grep -q "$3"
}
check "TIFF dpi become PNG pixels a metre" keeps t1-8-none-strips-l-1.tif res.png "^pHYs 11811 5906 1$"
check "PNG pixels a metre become TIFF pixels a centimetre" keeps p-8-plain-sample.png res.tif "^resolution 118.11 59.06 3$"
check "TIFF chromaticities become PNG's cHRM" keeps t1-8-none-strips-l-1.tif res.png "^cHRM 31270 32900 64000 33000 30000 60000 15000 6000$"
check "PNG's cHRM becomes TIFF chromaticities" keeps p-8-plain-sample.png res.tif "^primaries 0.64 0.33 0.3 0.6 0.15 0.06$"
warnsOnce() {  # warnsOnce IN OUT WORDS: exit 0, OUT written, one warning line naming OUT and WORDS
  "$brisel" apply "$1" "$2" --beta 1 > /dev/null 2> warn.txt && [ -s "$2" ] &&
    [ "$(wc -l < warn.txt)" = 1 ] && grep -q "^brisel: warning: $2: .*$3.*; left out$" warn.txt
}
check "RGBA to PPM: alpha left out with a warning" warnsOnce t1-8-none-strips-l-1.tif rgba.ppm "the alpha plane"
check "PNG to TIFF: gamma and significant bits named" warnsOnce p-8-alpha-sample.png gamma.tif "gAMA.*sBIT"
"$fixtures" odd orient orient.tif
check "TIFF orientation to PNG: warned" warnsOnce orient.tif orient.png "Orientation 6"
check "TIFF orientation to TIFF: kept, no warning" bash -c "
  '$brisel' apply orient.tif orient.out.tif --beta 1 2>&1 > /dev/null | cmp -s - /dev/null &&
  '$fixtures' tags orient.out.tif | grep -qx 'orientation 6'"
"$fixtures" odd unspecified unspecified.tif
check "an unspecified extra sample is not PNG alpha" bash -c "
  '$brisel' apply unspecified.tif unspecified.png --beta 1 > /dev/null 2> warn.txt &&
  grep -q 'an extra plane that is not alpha' warn.txt &&
  '$fixtures' topnm unspecified.png unspecified.pnm unspecified.extra && [ ! -s unspecified.extra ]"
"$fixtures" odd hugeres hugeres.tif
check "a resolution beyond PNG's range is left out, not wrapped" bash -c "
  '$brisel' apply hugeres.tif hugeres.png --beta 1 > /dev/null 2> warn.txt &&
  grep -q 'resolution (out of' warn.txt && ! '$fixtures' tags hugeres.png | grep -q pHYs"
check "same kind in and out: no warning" bash -c "
  '$brisel' apply p-16-alpha-sample.png quiet.png --beta 1 2>&1 > /dev/null | cmp -s - /dev/null &&
  '$brisel' apply t2-16-none-strips-b-2.tif quiet.tif --beta 1 2>&1 > /dev/null | cmp -s - /dev/null"

# ---- refusals and errors that say what happened -----------------------------------------
for odd in void:"undefined format" jpeg:"JPEG compression" assoc:"associated (premultiplied) alpha"; do
  "$fixtures" odd ${odd%%:*} ${odd%%:*}.tif
  check "${odd%%:*} TIFF refused in words" refused ${odd%%:*}.tif "${odd#*:}"
done
# (Padded past its image's size, so that the rows are read and their lie found.)
cp offset.tif offset-padded.tif && head -c 5000 /dev/zero >> offset-padded.tif
check "an uncompressed TIFF's error is its own, not libtiff's first complaint" bash -c "
  ! '$brisel' apply offset-padded.tif offset-out 2> err.txt && grep -q 'row 0 unreadable' err.txt &&
  ! grep -q Predictor err.txt"
# A full disk: the system's reason, nothing left behind (needs a small tmpfs, so root).
mkdir full
if mount -t tmpfs -o size=64k tmpfs full 2> /dev/null; then
  for big in p-16-alpha-sample.png t4-16-none-tiles-b-1.tif; do
    kind=${big##*.}
    check "a full disk writing ${kind^^}: the system's reason, nothing left" bash -c "
      ! '$brisel' apply $big full/out.$kind --beta 1 > /dev/null 2> err.txt &&
      [ \"\$(wc -l < err.txt)\" = 1 ] && grep -q '^brisel: error: cannot write full/out.$kind: No space left on device$' err.txt &&
      [ -z \"\$(ls full)\" ]"
  done
  umount full
else
  echo "skipped: the full-disk checks (no tmpfs can be mounted here)"
fi

# ---- small files that claim much: refused within bounded memory and time ----------------
# Each under 300 MB of address space and 20 s; the file's own size decides, not its header.
# (Not under the sanitizers, whose shadow memory needs more address space than the limit.)
if [ -z "${BRISEL_SANITIZED:-}" ]; then
boundedRefusal() {  # boundedRefusal FILE WORDS
  bash -c "ulimit -v 300000; exec timeout 20 '$brisel' apply $1 bounded-out $values" > /dev/null 2> err.txt; local rc=$?
  [ $rc = 1 ] && [ "$(wc -l < err.txt)" = 1 ] && grep -q "^brisel: error: $1: .*$2" err.txt && [ ! -e bounded-out ]
}
for hostile in bigtile:"65536x65536 tiles for a 16x16" hugetile:"1048576x1048576 tiles" \
               tiffheader:"too small for the 32767x32767 image" pngheader:"too small for the 32767x32767 image"; do
  "$fixtures" broken ${hostile%%:*} ${hostile%%:*}.hostile
  check "${hostile%%:*}: refused in bounded memory and time" boundedRefusal ${hostile%%:*}.hostile "${hostile#*:}"
done
# 600 zTXt chunks of 1 MiB each in a 640 KB file: kept compressed, never inflated.
"$fixtures" broken ztxt ztxt.png
check "zTXt chunks kept compressed, in bounded memory and time" bash -c "
  bash -c \"ulimit -v 300000; exec timeout 20 '$brisel' apply ztxt.png ztxt.out.png --beta 1\" > /dev/null &&
  [ \$(stat -c %s ztxt.out.png) -le \$((\$(stat -c %s ztxt.png) + 4096)) ] &&
  [ \"\$(grep -a -o zTXt ztxt.out.png | wc -l)\" = 600 ]"
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
check "a stream OUT without --format is IN's kind: TIFF and PGM/PPM too" bash -c "'$brisel' apply t2-16-none-strips-b-2.tif /dev/stdout $values 2> /dev/null | cat > piped-kind-tif && '$brisel' apply t2-16-none-strips-b-2.tif twin-kind.tif $values > /dev/null 2>&1 && cmp -s piped-kind-tif twin-kind.tif && '$brisel' apply sample.ppm - $values 2> /dev/null | cat > piped-kind-ppm && '$brisel' apply sample.ppm twin-kind.ppm $values > /dev/null && cmp -s piped-kind-ppm twin-kind.ppm"
check "--format png into a stream leaves out what PNG cannot hold, as a file OUT does" bash -c "'$brisel' apply t2-16-none-strips-b-2.tif - --format png $values 2> err.txt > piped-two.png && '$brisel' apply t2-16-none-strips-b-2.tif twin-two.png $values > /dev/null 2>&1 && cmp -s piped-two.png twin-two.png && grep -q '^brisel: warning: -: PNG files cannot hold an extra plane that is not alpha' err.txt"

# ---- JPEG ---------------------------------------------------------------------------------
# jpegMarkers FILE: its APP1, APP2 and COM markers in hex, one a line, in their order.
jpegMarkers() {
  python3 -c '
import sys
d = open(sys.argv[1], "rb").read(); i = 2
while i + 4 <= len(d) and d[i] == 0xff and d[i + 1] != 0xda:
    n = int.from_bytes(d[i + 2:i + 4], "big")
    if d[i + 1] in (0xe1, 0xe2, 0xfe): print(hex(d[i + 1]), d[i + 4:i + 2 + n].hex())
    i += 2 + n' "$1"
}
export -f jpegMarkers
if command -v cjpeg > /dev/null && command -v djpeg > /dev/null; then
  # A 70000-byte profile takes two APP2 markers; EXIF says "turned" (Orientation 6).
  python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 7) % 251 for i in range(70000)))' > big.icc
  cjpeg -quality 90 -icc big.icc sample.ppm > icc.jpg
  cjpeg -quality 90 sample.ppm > plain.jpg
  python3 -c '
tiff = b"MM\0\x2a\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0\x06\0\0\0\0\0\0"
app1 = b"\xff\xe1\0\x22Exif\0\0" + tiff
for source, target in ("icc.jpg", "rgb.jpg"), ("plain.jpg", "exif.jpg"):
    d = open(source, "rb").read()
    open(target, "wb").write(d[:20] + app1 + d[20:])'
  ppmtopgm sample.ppm | cjpeg -quality 80 > grey.jpg
  cjpeg -quality 90 -progressive sample.ppm > progressive.jpg
  # Filtering a JPEG is decoding it, filtering that, encoding it at quality 95.
  for jpg in rgb grey progressive; do
    djpeg $jpg.jpg > $jpg.decoded.pnm
    "$brisel" apply $jpg.decoded.pnm $jpg.twin.pnm $values > /dev/null
    cjpeg -quality 95 $jpg.twin.pnm > $jpg.twin.jpg
    check "JPEG $jpg filtered as its decoded image, encoded at 95" bash -c "
      '$brisel' apply $jpg.jpg $jpg.out.jpg $values > /dev/null 2> err.txt && [ ! -s err.txt ] &&
      cmp -s <(djpeg $jpg.out.jpg) <(djpeg $jpg.twin.jpg)"
  done
  check "JPEG grey stays grey, RGB stays RGB" bash -c "
    djpeg grey.out.jpg | head -c 2 | grep -qx P5 && djpeg rgb.out.jpg | head -c 2 | grep -qx P6"
  check "JPEG: EXIF and both ICC pieces kept byte for byte" bash -c "
    [ \"\$(jpegMarkers rgb.jpg | wc -l)\" = 3 ] && cmp -s <(jpegMarkers rgb.jpg) <(jpegMarkers rgb.out.jpg)"
  icc=$(python3 -c 'import sys; s = 0
for b in open("big.icc", "rb").read(): s = (s * 31 + b) & 0xffffffff
print("icc 70000", s)')
  check "JPEG to TIFF: orientation and ICC profile kept" bash -c "
    '$brisel' apply rgb.jpg rgb.tif --beta 1 > /dev/null 2> warn.txt && '$fixtures' tags rgb.tif > tags.txt &&
    grep -qx 'orientation 6' tags.txt && grep -qx '$icc' tags.txt && grep -q 'EXIF data; left out' warn.txt"
  check "JPEG to PNG: the orientation named as left out" warnsOnce exif.jpg exif.png "EXIF Orientation 6"
  check "TIFF orientation and profile to JPEG: kept as EXIF and ICC, no warning" bash -c "
    '$brisel' apply orient.tif orient.jpg --beta 1 2>&1 > /dev/null | cmp -s - /dev/null &&
    '$brisel' apply orient.jpg orient.back.tif --beta 1 > /dev/null 2>&1 &&
    '$fixtures' tags orient.back.tif | grep -qx 'orientation 6' &&
    '$brisel' apply t1-8-none-strips-l-1.tif t1.jpg --beta 1 > /dev/null 2>&1 &&
    jpegMarkers t1.jpg | grep -q '^0xe2 4943435f50524f46494c4500'"
  check "RGBA to JPEG: alpha left out with a warning" warnsOnce p-8-alpha-sample.png rgba.jpg "the alpha plane"
  check "--quality changes the size; 95 is the default" bash -c "
    '$brisel' apply rgb.jpg q30.jpg --quality 30 $values > /dev/null &&
    '$brisel' apply rgb.jpg q95.jpg --quality=95 $values > /dev/null &&
    [ \$(stat -c %s q30.jpg) -lt \$((\$(stat -c %s q95.jpg) * 2 / 3)) ] && cmp -s q95.jpg rgb.out.jpg"
  check "--quality out of range refused" bash -c "! '$brisel' apply rgb.jpg q.jpg --quality 101 2> err.txt && grep -q 'from 1 to 100' err.txt && [ ! -e q.jpg ]"
  check "--format jpg into a pipe" bash -c "
    '$brisel' apply - - --format=jpg $values < rgb.jpg 2> /dev/null | cat > piped.jpg && cmp -s piped.jpg rgb.out.jpg"
  check "16-bit to JPEG refused before filtering" bash -c "
    ! '$brisel' apply grey16.pgm deep.jpg 2> err.txt > /dev/null && [ \"\$(wc -l < err.txt)\" = 1 ] &&
    grep -q 'deep.jpg: JPEG files hold 8-bit samples' err.txt && [ ! -e deep.jpg ]"
  for odd in cmyk:"CMYK JPEG files are not supported" twelve:"12-bit JPEG files are not supported"; do
    "$fixtures" jpeg ${odd%%:*} ${odd%%:*}.jpg
    check "${odd%%:*} JPEG refused" refused ${odd%%:*}.jpg "${odd#*:}"
  done
  head -c 20000 rgb.jpg > cut.jpg
  check "a JPEG cut short: one line, no output" refused cut.jpg "damaged JPEG file (Premature end"
  if [ -z "${BRISEL_SANITIZED:-}" ]; then
    "$fixtures" jpeg header header.jpg
    check "a JPEG header of 32767x32767 on a tiny file: refused in bounded memory and time" \
      boundedRefusal header.jpg "too small for the 32767x32767 image"
  fi
else
  echo "skipped: the JPEG checks (no cjpeg/djpeg: Debian's libjpeg-turbo-progs)"
fi

# ---- an OUT named as a kind that is not written: refused before IN is even read -------------
for name in x.bmp x.webp x.out photo.JPG.txt; do
  check "OUT $name refused, the kinds listed" bash -c "
    ! '$brisel' apply missing.ppm $name 2> err.txt && [ \"\$(wc -l < err.txt)\" = 1 ] &&
    grep -q '^brisel: error: $name: cannot write \.[a-z]* files; .*\.jpg .jpeg (JPEG)' err.txt && [ ! -e $name ]"
done
check "OUT without an extension: IN's kind" bash -c "'$brisel' apply sample.ppm plain-name $values > /dev/null && cmp -s plain-name single.ppm"
mkdir -p in3 out3 && cp sample.ppm in3/scan.dat && cp sample.ppm in3/
check "batch: an input named as a kind not written fails alone" bash -c "
  ! '$brisel' apply in3/scan.dat in3/sample.ppm -o out3 $values > /dev/null 2> err.txt &&
  [ \"\$(wc -l < err.txt)\" = 1 ] && grep -q 'scan.dat: cannot write .dat files' err.txt &&
  [ \"\$(ls out3)\" = sample.ppm ]"

check "help: exit codes and an example" bash -c "'$brisel' apply --help | grep -q 'Exit codes: 0' && '$brisel' apply --help | grep -q 'brisel apply .*-o '"
check "version" bash -c "'$brisel' --version | grep -qE '^brisel [0-9]+\.[0-9]+\.[0-9]+$'"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
