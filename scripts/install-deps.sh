#!/usr/bin/env bash
# Installs the Debian packages the project needs, and the viewer's OpenSeadragon from npm, for
# one of these profiles (default: test):
#   build   the library and the tool: compilers, CMake and the libraries they link
#   viewer  build, and OpenSeadragon for tarn serve's browser viewer (nodejs, npm)
#   demo    what `make demo` needs: viewer
#   test    everything `make test` runs: demo, and the test and benchmark frameworks, the
#           sanitizers' and linters' tools, Python's packages, Chromium, wrk, valgrind
# Safe to run again: it only installs what is missing, and says nothing when everything is
# present.
set -euo pipefail

profile=${1:-test}
build_packages=(
    g++ cmake ninja-build make pkg-config
    libjpeg62-turbo-dev libavcodec-dev libavutil-dev libcjson-dev libpng-dev
    libssl-dev                   # libcrypto: SHA-256 for openslide.quickhash-1, S3 signatures
    libcurl4-openssl-dev         # slides read from URLs (HTTP(S), S3)
    libopenslide-dev             # the OpenSlide-compatible library is built against its header
    libmicrohttpd-dev            # tarn serve
    libdcmtk-dev liblcms2-dev    # dicom/: DICOM datasets (DCMTK) with an sRGB profile (lcms2)
    zlib1g-dev libzstd-dev       # OME-Zarr chunks (zlib, zstd)
    libtiff-dev                  # TIFF and OME-TIFF
)
test_packages=(
    clang clang-format clang-tidy libclang-rt-14-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    valgrind
    dpkg-dev file  # make deb: CPack computes dependencies with dpkg-shlibdeps and finds ELF files with file
    python3 python3-openslide   # tests: the Deep Zoom geometry against OpenSlide's generator
    libopenslide0 libvips-tools  # benchmarks: OpenSlide on a pyramidal TIFF that libvips writes
    # The OpenSlide-compatible library: tested with OpenSlide's and libvips' own programs
    openslide-tools
    default-jdk-headless libjna-java  # libopenslide.so.1 loaded through JNA, as QuPath loads it
    libglib2.0-dev patch         # OpenSlide's tools ported to tarn.h, in the tests
    python3-pytest python3-selenium chromium chromium-driver  # tarn serve's HTTP and browser tests
    wrk                          # its load benchmark
    # tarnslide (python/): its suite, its venv install and its benchmark
    python3-pip python3-venv python3-numpy python3-pil python3-dask python3-distributed
    python3-zarr python3-xarray
    python3-numcodecs  # OME-Zarr outputs read back with python3-zarr and Dask (zstd, zlib)
    python3-tifffile   # OME-TIFF outputs' series, levels and pixel size
    # (python3-torch, a large install (113 MB fetched, 507 MB unpacked, close to 2 minutes), is
    # left out: with it, the fork test also runs PyTorch's DataLoader and tarnslide.torch's
    # datasets run under DataLoader workers that fork and spawn; without it, the fork test starts
    # GCC's OpenMP runtime as PyTorch does and the datasets' test is skipped)
    python-openslide-examples python3-flask  # openslide-python's Deep Zoom examples, run on tarnslide
    # slides read over HTTP(S) and S3: their tests serve them with nginx (certificates made with
    # openssl) and s3rver (npm), check S3 signatures against botocore's, and read file objects
    # from fsspec
    nginx openssl python3-botocore python3-fsspec
    # dicom/'s instances, checked by dicom3tools (dciodvfy, dcentvfy), DCMTK's programs and pydicom
    dcmtk dicom3tools python3-pydicom
    # tarn convert's DICOM stored in Orthanc and served by its whole-slide plugin, and turned back
    # into a TIFF by OrthancWSIDicomToTiff (its service is never started: the test runs its own)
    orthanc orthanc-wsi
    orthanc-dicomweb  # tarn serve's DICOMweb retrieved into Orthanc, which it names a remote server
)
case "$profile" in
    build) packages=("${build_packages[@]}") ;;
    viewer | demo) packages=("${build_packages[@]}" nodejs) ;;
    test) packages=("${build_packages[@]}" nodejs "${test_packages[@]}") ;;
    *) echo "usage: $0 [build|viewer|demo|test]" >&2; exit 2 ;;
esac

install_packages() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    echo "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    if ! $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >/tmp/tarn-apt.log 2>&1; then
        $sudo apt-get update -q >>/tmp/tarn-apt.log 2>&1
        $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >>/tmp/tarn-apt.log 2>&1 \
            || { cat /tmp/tarn-apt.log; exit 1; }
    fi
}

# npm packages pinned by a folder's package-lock.json, installed into its node_modules; the stamp
# records which lock file the installed tree came from.
install_npm_tree() {
    local folder="$1" stamp sum
    stamp="$folder/node_modules/.tarn-lock-sha256"
    sum=$(sha256sum "$folder/package-lock.json" | cut -d' ' -f1)
    [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$sum" ] && return 0

    echo "installing the npm packages of ${folder#"$root/"}"
    (cd "$folder" && npm ci --no-audit --no-fund --loglevel=error >/tmp/tarn-npm.log 2>&1) \
        || { cat /tmp/tarn-npm.log; exit 1; }
    echo "$sum" >"$stamp"
}

install_packages "${packages[@]}"
[ "$profile" = build ] && exit 0
# Debian's nodejs comes without npm; some builds of nodejs carry it and conflict with the package.
command -v npm >/dev/null || install_packages npm
root="$(cd "$(dirname "$0")/.." && pwd)"
install_npm_tree "$root/tools/tarn/viewer"        # OpenSeadragon, which `tarn serve` embeds
[ "$profile" = test ] || exit 0
install_npm_tree "$root/tests/remote/s3rver"      # the S3 server of the remote-reading tests
[ "$profile" = test ] && install_npm_tree "$root/tests/serve/clients"  # IIIF and DICOMweb viewers
