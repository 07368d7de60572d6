#!/usr/bin/env bash
# Installs every Debian package the project needs. Safe to run again: it only
# installs what is missing, and says nothing when everything is present.
set -euo pipefail

packages=(
    g++ clang clang-format clang-tidy libclang-rt-14-dev libomp-dev
    cmake ninja-build make pkg-config
    libjpeg62-turbo-dev libavcodec-dev libavutil-dev libcjson-dev libpng-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    valgrind
    dpkg-dev file  # make deb: CPack computes dependencies with dpkg-shlibdeps and finds ELF files with file
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
if ! $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >/tmp/tarn-apt.log 2>&1; then
    $sudo apt-get update -q >>/tmp/tarn-apt.log 2>&1
    $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >>/tmp/tarn-apt.log 2>&1 \
        || { cat /tmp/tarn-apt.log; exit 1; }
fi
