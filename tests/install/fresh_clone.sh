#!/usr/bin/env bash
# A fresh clone configured as a distribution builds it: a plain `cmake -S . -B b`, with nothing
# from npm, plans the library and the tool, the tool without its browser viewer.
#
# usage: fresh_clone.sh SOURCE_DIR WORK_PARENT
set -euo pipefail
source=$(cd "$1" && pwd)
work=$(mktemp -d "$2/fresh-clone.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

git clone -q --no-hardlinks "$source" "$work/src"
[ ! -e "$work/src/tools/tarn/viewer/node_modules" ] || fail "the clone holds npm's packages"
cd "$work/src"
# Configured as a distribution would (the compile is the main build's, checked by the suite).
cmake -S . -B b >"$work/configure.log" 2>&1 || { tail -30 "$work/configure.log"; fail "the plain configure"; }
grep -q "without its browser viewer" "$work/configure.log" ||
    fail "the configure did not say it left the viewer out"
grep -rqs -- "-DVIEWER_BUILT=FALSE" b/CMakeFiles b/build.ninja ||
    fail "the tool is not built without its viewer"
echo "a fresh clone configures without npm, the tool without its viewer"
