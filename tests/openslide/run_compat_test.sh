#!/usr/bin/env bash
# Makes a Tarn slide (with the tarn tool) and the pyramidal TIFF of the same picture (with libvips,
# which needs no OpenSlide for that), then runs the compatibility program on both: once with the
# system's OpenSlide behind the library, once with none.
#
# usage: run_compat_test.sh TARN_TOOL COMPAT_PROGRAM
set -euo pipefail
tool=$1 program=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/tarn-openslide.XXXXXX")
trap 'rm -rf "$work"' EXIT

"$tool" sample "$work/slide.tarn" --columns 6 --rows 4 >/dev/null
"$tool" region "$work/slide.tarn" --layer 0 --x 0 --y 0 --width 1499 --height 1003 \
    --output "$work/picture.png" >/dev/null
vips tiffsave "$work/picture.png" "$work/pyramid.tif" --tile --pyramid --compression jpeg \
    --tile-width 256 --tile-height 256

"$program" "$work/slide.tarn" "$work/pyramid.tif"
TARN_OPENSLIDE_LIBRARY=$work/none.so "$program" --no-real "$work/slide.tarn" "$work/pyramid.tif" \
    2>"$work/stderr.txt"
grep -q "no other OpenSlide library is available" "$work/stderr.txt" ||
    { cat "$work/stderr.txt"; echo "FAIL: no message for a TIFF without a real OpenSlide"; exit 1; }
