#!/usr/bin/env bash
# Makes a Tarn slide (with the tarn tool) and the pyramidal TIFF of the same picture (with libvips,
# which needs no OpenSlide for that), then runs one client of libopenslide.so.1 on both:
#   c     checks the folder's files (libopenslide.so naming libopenslide.so.1, its soname, exactly
#         the 23 names of openslide4.h exported), then runs the C program built against that
#         header, and again on the stand-in for the system's OpenSlide
#   java  runs OpenSlideJna.java from its source on JNA, as QuPath loads OpenSlide
#
# usage: run.sh TARN_TOOL FOLDER c PROGRAM FAKE_OPENSLIDE
#        run.sh TARN_TOOL FOLDER java JAVA JNA_JAR
set -euo pipefail
tool=$1 folder=$2 client=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/tarn-openslide4.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$tool" sample "$work/slide.tarn" --columns 6 --rows 4 >/dev/null
"$tool" region "$work/slide.tarn" --layer 0 --x 0 --y 0 --width 1499 --height 1003 \
    --output "$work/picture.png" >/dev/null
vips tiffsave "$work/picture.png" "$work/pyramid.tif" --tile --pyramid --compression jpeg \
    --tile-width 256 --tile-height 256

case "$client" in
    c)
        [ "$(readlink "$folder/libopenslide.so")" = libopenslide.so.1 ] ||
            fail "libopenslide.so does not name libopenslide.so.1"
        readelf -d "$folder/libopenslide.so.1" | grep -qF 'Library soname: [libopenslide.so.1]' ||
            fail "soname"
        grep -oE '\bopenslide_[a-z0-9_]+\(' "$here/openslide4.h" | tr -d '(' | sort >"$work/declared"
        nm -D --defined-only "$folder/libopenslide.so.1" | awk '{print $NF}' | sort >"$work/exported"
        [ "$(wc -l <"$work/declared")" -eq 23 ] || fail "openslide4.h declares $(wc -l <"$work/declared") calls"
        diff -u "$work/declared" "$work/exported" ||
            fail "libopenslide.so.1 exports other names than OpenSlide 4.0's"
        "$4" "$work/slide.tarn" "$work/pyramid.tif"
        TARN_OPENSLIDE_LIBRARY=$5 "$4" --fake "$work/pyramid.tif"
        ;;
    java)
        # A short run: the quick compiler alone and the simplest collector start fastest.
        (cd "$work" && "$4" -XX:TieredStopAtLevel=1 -XX:+UseSerialGC -Djava.awt.headless=true \
            -cp "$5" "$here/OpenSlideJna.java" "$folder" slide.tarn pyramid.tif picture.png)
        ;;
    *) fail "unknown client $client" ;;
esac
