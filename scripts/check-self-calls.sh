#!/bin/sh
# The library never calls its own exported functions: each door is defined over internal calls,
# so that the doors can change without the inside noticing. Lists every relocation in the
# library's objects that refers to an exported function (what a call or an address taken needs)
# and fails when there is one. Usage: check-self-calls.sh BUILD_DIR
set -eu
export LC_ALL=C
build=${1:?usage: check-self-calls.sh BUILD_DIR}
library=$build/libDecodeTarn.so.1
archive=$build/libtarn_static.a  # the library's objects, and only today's
[ -e "$library" ] && [ -e "$archive" ] || { echo "no library built in $build" >&2; exit 2; }
# Exported functions (not data) of the library, by their linker names; cJSON's are not ours.
exported=$(mktemp)
found=$(mktemp)
trap 'rm -f "$exported" "$found"' EXIT
nm -D --defined-only "$library" | awk '$2 == "T" || $2 == "W" || $2 == "i" {print $3}' |
    grep -v '^cJSON' | sort -u >"$exported"
# Only code counts, and a function naming itself is no call: instrumented builds keep tables of
# every function's address elsewhere, and AddressSanitizer's frames name their function.
objdump -r "$archive" | awk '
    /^In archive/ { next }
    / file format / { object = $1; sub(/:$/, "", object); next }
    /^RELOCATION RECORDS FOR / {
        section = $4; sub(/^\[/, "", section); sub(/\]:$/, "", section)
        code = section ~ /^\.text/; own = section; sub(/^\.text\./, "", own); next }
    code && NF == 3 && $2 ~ /^R_X86_64/ {
        symbol = $3; sub(/[-+]0x[0-9a-f]+$/, "", symbol)
        if (symbol != own) print symbol, object }' |
    sort -u | join - "$exported" | awk '{print $2 ": " $1}' | sort >"$found"
if [ -s "$found" ]; then
    echo "the library calls its own exported functions:"
    c++filt <"$found"
    exit 1
fi
echo "no call of an exported function inside the library"
