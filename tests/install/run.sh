#!/usr/bin/env bash
# Stages an install of the build tree into a temporary prefix, moves the prefix (installed files
# must find each other by relative paths), makes a slide with the installed tool, then builds a
# small C program against the installed library through pkg-config and through
# find_package(DecodeTarn), runs both, and checks they read the slide through the staged library.
#
# usage: run.sh BUILD_DIR SOURCE_DIR LIBDIR CONFIG C_COMPILER CMAKE PKG_CONFIG
#   (CONFIG: the build type in lower case, which names one file of the CMake package)
set -euo pipefail
build=$(cd "$1" && pwd) source=$(cd "$2" && pwd) libdir=$3 config=$4 cc=$5 cmake=$6 pkgconfig=$7
here=$source/tests/install

work=$(mktemp -d "${TMPDIR:-/tmp}/tarn-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cmake" --install "$build" --prefix "$work/staged" >"$work/install.log" || {
    cat "$work/install.log"; fail "cmake --install"; }
mv "$work/staged" "$work/prefix"
prefix=$work/prefix

# Exactly the library, headers, tool, pkg-config file and CMake package: nothing from the build
# tree that only tests need. The Python package has its own tests.
(cd "$prefix" && find . \( -type f -o -type l \) ! -path './lib/python3/*' | sed 's|^\./||') \
    | sort >"$work/installed.txt"
sed -e "s|@LIBDIR@|$libdir|" -e "s|@CONFIG@|$config|" "$here/installed_files.txt" | sort |
    diff -u - "$work/installed.txt" || fail "installed files differ from installed_files.txt"
[ "$(readlink "$prefix/$libdir/libDecodeTarn.so")" = libDecodeTarn.so.1 ] || fail "development link"
[ "$(readlink "$prefix/$libdir/libDecodeTarn.so.1")" = libDecodeTarn.so.1.4.0 ] || fail "soname link"
[ "$(readlink "$prefix/$libdir/tarn-openslide/libopenslide.so")" = libopenslide.so.1 ] ||
    fail "libopenslide.so does not name libopenslide.so.1"
python_package=$prefix/lib/python3/dist-packages/tarnslide
if [ -d "$python_package" ] && ! [ -f "$python_package/libDecodeTarn.so.1" ]; then
    fail "the Python package's link to the library is broken"
fi
if grep -rIl -e "$build" -e "$source" -e "$work/staged" "$prefix"; then
    fail "installed files above name the build tree, the sources or the staging prefix"
fi

# The installed tool finds the installed library by itself.
env -u LD_LIBRARY_PATH "$prefix/bin/tarn" sample "$work/slide.tarn" --columns 3 --rows 2 >/dev/null
loaded=$(env -u LD_LIBRARY_PATH ldd "$prefix/bin/tarn")
grep -qF "$prefix/bin/../$libdir/libDecodeTarn.so.1" <<<"$loaded" ||
    fail "the installed tool does not load the installed library"
for compat in libopenslide.so.0 libopenslide.so.1; do
    loaded=$(env -u LD_LIBRARY_PATH ldd "$prefix/$libdir/tarn-openslide/$compat")
    grep -qF "$prefix/$libdir/tarn-openslide/../libDecodeTarn.so.1" <<<"$loaded" ||
        fail "the installed $compat does not load the installed library"
done

export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
# shellcheck disable=SC2046  # pkg-config's flags are meant to be split
"$cc" -std=c11 -Wall -Wextra -Werror "$here/consumer/consumer.c" -o "$work/by-pkg-config" \
    $("$pkgconfig" --cflags --libs decodetarn) || fail "build through pkg-config"

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if ! { "$cmake" -S "$here/consumer" -B "$work/cmake" "${generator[@]}" -DCMAKE_C_COMPILER="$cc" \
          -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release &&
        "$cmake" --build "$work/cmake"; } >"$work/cmake.log" 2>&1; then
    cat "$work/cmake.log"
    fail "build through find_package(DecodeTarn)"
fi

for program in "$work/by-pkg-config" "$work/cmake/consumer"; do
    LD_LIBRARY_PATH=$prefix/$libdir "$program" "$work/slide.tarn" >"$program.out" ||
        { cat "$program.out"; fail "$program"; }
done
cat "$work/by-pkg-config.out"
grep -qxF "library $prefix/$libdir/libDecodeTarn.so.1" "$work/by-pkg-config.out" ||
    fail "the consumer did not load the staged library"
# (a sample of 3 x 2 tiles of 256 pixels leaves a margin beyond its picture)
grep -qx 'slide 731 x 491, 3 layers' "$work/by-pkg-config.out" || fail "slide size"
diff -u "$work/by-pkg-config.out" "$work/cmake/consumer.out" ||
    fail "the two builds of the consumer disagree"
