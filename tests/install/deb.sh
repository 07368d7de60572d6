#!/usr/bin/env bash
# The Debian package installed, used, removed and purged in a private root (dpkg --root, its
# maintainer scripts run outside a chroot against that root): nothing it installed stays behind,
# byte-compiled Python files included.
#
# usage: deb.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/tarn-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/out/*.deb)
# The libraries the library links for remote slides, among the dependencies dpkg-shlibdeps found.
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libcurl4 libssl3; do
    grep -q "\b$needed\b" <<<"$depends" || fail "the package does not depend on $needed: $depends"
done
root=$work/root
python_package=$root/usr/lib/python3/dist-packages/tarnslide

dpkg_in_root() {
    dpkg --root="$root" --force-script-chrootless --force-depends --force-not-root \
        --log=/dev/null "$@" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg $*"; }
}

for removal in --remove --purge; do
    rm -rf "$root"
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
    touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
    dpkg_in_root --install "$deb"
    [ -f "$python_package/__init__.py" ] || fail "tarnslide is not installed"
    compat=$(echo "$root"/usr/lib/*/tarn-openslide)
    if ! [ -f "$compat/libopenslide.so.0" ] || ! [ -f "$compat/libopenslide.so.1" ] ||
        [ "$(readlink "$compat/libopenslide.so")" != libopenslide.so.1 ]; then
        fail "the OpenSlide-compatible libraries are not installed: $(ls -l "$compat")"
    fi
    # What importing the package leaves beside its modules.
    python3 -m compileall -q "$python_package" >/dev/null
    [ -d "$python_package/__pycache__" ] || fail "nothing was byte-compiled"
    dpkg_in_root "$removal" libdecodetarn
    left=$(cd "$root" && find . -path ./var -prune -o \( -type f -o -type l \) -print)
    [ -z "$left" ] || fail "files left after $removal: $left"
    [ ! -e "$python_package" ] || fail "tarnslide's folder left after $removal"
done
echo "installed, removed and purged without a trace"
