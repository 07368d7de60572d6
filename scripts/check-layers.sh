#!/bin/sh
# The library's folders include only what their layer may: the public headers are the two
# interfaces' (DecodeTarn.h and DecodeTarnCxx.h in src/FixedApi, tarn.h in src/TarnApi), the read
# service is above the core, and neither interface is included below them.
# Usage: check-layers.sh SOURCE_DIR
set -eu
src=${1:?usage: check-layers.sh SOURCE_DIR}/src
status=0
check() {  # check FOLDER PATTERN WHY
    found=$(grep -rlE "#include \"($2)" "$src/$1" --include='*.cpp' --include='*.h' || true)
    if [ -n "$found" ]; then
        echo "$3:"
        echo "$found" | sed "s|^$src/|  src/|"
        status=1
    fi
}
for folder in Common CacheFolder Core Service ColorCorrect DecodeJpeg DecodeHevc DecodeBmp Remote; do
    check "$folder" 'DecodeTarn\.h|DecodeTarnCxx\.h|FixedApi/' "src/$folder includes the fixed interface"
    check "$folder" 'tarn\.h|TarnApi/' "src/$folder includes tarn.h's interface"
done
for folder in Common CacheFolder Core ColorCorrect DecodeJpeg DecodeHevc DecodeBmp Remote; do
    check "$folder" 'Service/' "src/$folder includes the read service above it"
done
for folder in Common CacheFolder; do
    check "$folder" 'Core/|ColorCorrect/|Decode[A-Za-z]*/|Remote/' "src/$folder includes a module above it"
done
[ "$status" -eq 0 ] && echo "every folder includes only its own layer and those below"
exit "$status"
