#!/usr/bin/env bash
# A fresh clone built as a distribution builds it: a plain `cmake -S . -B b && cmake --build b`,
# with nothing from npm. The library and the tool build, and the server, without its viewer,
# serves Deep Zoom and says how to get the viewer.
#
# usage: fresh_clone.sh SOURCE_DIR WORK_PARENT
#   (WORK_PARENT: where the clone goes; inside the build tree, so that ccache finds its objects)
set -euo pipefail
source=$(cd "$1" && pwd)
work=$(mktemp -d "$2/fresh-clone.XXXXXX")
trap 'kill "${server:-}" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

git clone -q --no-hardlinks "$source" "$work/src"
[ ! -e "$work/src/tools/tarn/viewer/node_modules" ] || fail "the clone holds npm's packages"
cd "$work/src"
{ cmake -S . -B b && cmake --build b --target DecodeTarn tarn; } >"$work/build.log" 2>&1 ||
    { tail -30 "$work/build.log"; fail "the plain build"; }
grep -q "without its browser viewer" "$work/build.log" || fail "the build did not say it left the viewer out"

b/tarn sample "$work/slide.tarn" --columns 3 --rows 2 >/dev/null
timeout 20 b/tarn serve --port 0 "$work/slide.tarn" >"$work/serve.log" 2>&1 &
server=$!
for _ in $(seq 100); do grep -q '^serving' "$work/serve.log" && break; sleep 0.1; done
grep -q "install-deps.sh viewer" "$work/serve.log" || fail "the server did not say how to get the viewer"
url=$(sed -n 's/^serving .* at \(http:[^ ]*\)$/\1/p' "$work/serve.log")
python3 - "$url" <<'PYTHON' || fail "the server's answers"
import sys, urllib.error, urllib.request
url = sys.argv[1]
assert urllib.request.urlopen(url + "deepzoom/slide.dzi", timeout=10).status == 200
try:
    urllib.request.urlopen(url + "view/slide", timeout=10)
    raise SystemExit("the viewer page answered 200")
except urllib.error.HTTPError as error:
    assert b"install-deps.sh viewer" in error.read()
PYTHON
echo "a fresh clone builds without npm"
