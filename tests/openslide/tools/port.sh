#!/bin/sh
# Ports OpenSlide's tools (upstream/) to tarn.h into OUT: the renames of rename.sed, then the
# hand-made changes of tarn.patch.
# usage: port.sh OUT
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=$1
mkdir -p "$out"
for file in "$here"/upstream/*; do
    sed -f "$here/rename.sed" "$file" >"$out/$(basename "$file")"
done
cp "$here/config.h" "$out/"
patch --quiet -d "$out" -p1 <"$here/tarn.patch"
