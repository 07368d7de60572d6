#!/usr/bin/env bash
# The main job on a sample slide: write it, describe it, cut layer 0 into tiles.
set -euo pipefail
build=${1:-build}
tarn="$build/tarn"
out=out/demo
rm -rf "$out"
mkdir -p "$out"

echo "== writing a sample slide"
"$tarn" sample "$out/sample.tarn" --columns 12 --rows 8 --layers 3

echo
echo "== its description"
"$tarn" info "$out/sample.tarn"

echo
echo "== its associated images"
"$tarn" image "$out/sample.tarn" label --output "$out/label.png"
"$tarn" image "$out/sample.tarn" macrograph --output "$out/macrograph.png"
"$tarn" image "$out/sample.tarn" thumbnail --output "$out/thumbnail.png"

echo
echo "== layer 0 cut into 512 x 512 JPEG tiles"
"$tarn" export "$out/sample.tarn" "$out/tiles" --tile-width 512 --tile-height 512

echo
echo "Output is in $out/: sample.tarn, label.png, macrograph.png, thumbnail.png,"
echo "and tiles/<column>_<row>_512_512.jpeg ($(ls "$out/tiles" | wc -l) files)."
echo "To look at the slide in a browser: $tarn serve $out/sample.tarn"
