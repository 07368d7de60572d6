"""OpenSlide's own programs from Debian, unchanged, reading a Tarn slide and a pyramidal TIFF
through the installed libopenslide.so.0 (LD_LIBRARY_PATH=<libdir>/tarn-openslide): libvips'
vipsheader, crop, dzsave and tiffsave, openslide-tools, python3-openslide, and OpenSlide's tools
ported to tarn.h. Tarn pixels and geometry are compared with tarn.h's (through ctypes); the
TIFF's results with the same program on the system's own OpenSlide.

ctest passes TARN_BUILD, TARN_CMAKE, TARN_PORTED_SHOW_PROPERTIES and TARN_PORTED_WRITE_PNG.
"""
import ctypes
import json
import os
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
WIDTH, HEIGHT = 1499, 1003  # `tarn sample --columns 6 --rows 4`
TARN_FORMAT_RGBA = 0


@pytest.fixture(scope="session")
def setup(tmp_path_factory):
    work = tmp_path_factory.mktemp("openslide")
    prefix = work / "prefix"
    subprocess.run([os.environ["TARN_CMAKE"], "--install", os.environ["TARN_BUILD"], "--prefix",
                    str(prefix)], check=True, stdout=subprocess.DEVNULL)
    libdir = next(prefix.glob("**/tarn-openslide")).parent
    slide, picture, tiff = work / "slide.tarn", work / "picture.png", work / "pyramid.tif"
    tool = str(prefix / "bin" / "tarn")
    subprocess.run([tool, "sample", slide, "--columns", "6", "--rows", "4"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run([tool, "region", slide, "--layer", "0", "--x", "0", "--y", "0", "--width",
                    str(WIDTH), "--height", str(HEIGHT), "--output", picture], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["vips", "tiffsave", picture, tiff, "--tile", "--pyramid", "--compression",
                    "jpeg", "--tile-width", "256", "--tile-height", "256"], check=True)
    tarn = ctypes.CDLL(str(libdir / "libDecodeTarn.so.1"))
    tarn.tarn_open.restype = ctypes.c_void_p
    tarn.tarn_open.argtypes = [ctypes.c_char_p]
    handle = tarn.tarn_open(str(slide).encode())
    assert handle
    return {"work": work, "compat": libdir / "tarn-openslide", "slide": str(slide),
            "tiff": str(tiff), "tool": tool, "tarn": tarn, "handle": ctypes.c_void_p(handle)}


def run(setup, *command, ours=True, **options):
    """Runs a program through our library (ours) or the system's OpenSlide alone."""
    env = dict(os.environ)
    env.pop("LD_LIBRARY_PATH", None)
    if ours:
        env["LD_LIBRARY_PATH"] = str(setup["compat"])
    return subprocess.run([str(c) for c in command], env=env, check=True, capture_output=True,
                          text=True, cwd=setup["work"], **options).stdout


def tarn_region(setup, x, y, level, w, h):
    """tarn_read_region in RGBA: what OpenSlide's programs must show, un-premultiplied."""
    lib, out = setup["tarn"], np.empty((h, w, 4), np.uint8)
    lib.tarn_read_region.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64,
                                     ctypes.c_int64, ctypes.c_int32, ctypes.c_int64,
                                     ctypes.c_int64, ctypes.c_int]
    assert lib.tarn_read_region(setup["handle"], out.ctypes.data, x, y, level, w, h,
                                TARN_FORMAT_RGBA) == 0
    return out


def pixels(path):
    return np.asarray(Image.open(path).convert("RGBA"))


def test_exports_are_openslides_and_its_four_additions(setup):
    def exported(path):
        listing = subprocess.run(["nm", "-D", "--defined-only", str(path)], check=True,
                                 capture_output=True, text=True).stdout
        return {line.split()[-1] for line in listing.splitlines()}
    real = exported("/usr/lib/x86_64-linux-gnu/libopenslide.so.0")
    additions = {"openslide_get_icc_profile_size", "openslide_read_icc_profile",
                 "openslide_get_associated_image_icc_profile_size",
                 "openslide_read_associated_image_icc_profile", "openslide_cache_create",
                 "openslide_set_cache", "openslide_cache_release"}
    assert exported(setup["compat"] / "libopenslide.so.0") == real | additions


def test_vipsheader(setup):
    ours = run(setup, "vipsheader", "slide.tarn", "pyramid.tif").splitlines()
    assert ours[0] == f"slide.tarn: {WIDTH}x{HEIGHT} uchar, 4 bands, srgb, openslideload"
    assert ours[1] == run(setup, "vipsheader", "pyramid.tif", ours=False).strip()
    assert run(setup, "vipsheader", "-f", "openslide.vendor", "slide.tarn").strip() == "tarn"


def test_vips_crop_equals_tarn_read_region(setup):
    run(setup, "vips", "crop", "slide.tarn", "crop0.png", 300, 200, 257, 193)
    assert np.array_equal(pixels(setup["work"] / "crop0.png"), tarn_region(setup, 300, 200, 0, 257, 193))
    run(setup, "vips", "crop", "slide.tarn[level=1]", "crop1.png", 500, 300, 249, 201)
    assert np.array_equal(pixels(setup["work"] / "crop1.png"),
                          tarn_region(setup, 1000, 600, 1, 249, 201))
    # The TIFF through OpenSlide: the same pixels as on the system's OpenSlide.
    for ours, name in ((True, "ours.png"), (False, "real.png")):
        run(setup, "vips", "openslideload", "pyramid.tif", "tiff.v", ours=ours)
        run(setup, "vips", "crop", "tiff.v", name, 100, 100, 300, 200, ours=ours)
    assert np.array_equal(pixels(setup["work"] / "ours.png"), pixels(setup["work"] / "real.png"))


def deep_zoom(folder, name):
    """A Deep Zoom pyramid's descriptor attributes and tiles per level."""
    dzi = (folder / f"{name}.dzi").read_text()
    attributes = dict(re.findall(r'(TileSize|Overlap|Width|Height)="(\d+)"', dzi))
    files = folder / f"{name}_files"
    return attributes, {level: sorted(os.listdir(files / level))
                        for level in os.listdir(files) if level.isdigit()}


def test_vips_dzsave_geometry_equals_tarn_deepzoom(setup):
    work = setup["work"]
    run(setup, "vips", "dzsave", "slide.tarn", "tarn_dz")
    run(setup, "vips", "dzsave", "pyramid.tif", "tiff_dz")
    run(setup, setup["tool"], "export", "--deepzoom", "ours", "slide.tarn", "--quiet")
    assert deep_zoom(work, "tarn_dz") == deep_zoom(work / "ours", "slide")
    assert deep_zoom(work, "tarn_dz")[0] == {"TileSize": "254", "Overlap": "1",
                                             "Width": str(WIDTH), "Height": str(HEIGHT)}
    assert deep_zoom(work, "tiff_dz")[1].keys() == deep_zoom(work, "tarn_dz")[1].keys()


def test_vips_tiffsave_makes_a_tiff_the_real_openslide_opens(setup):
    run(setup, "vips", "tiffsave", "slide.tarn", "saved.tif", "--tile", "--pyramid",
        "--compression", "jpeg", "--tile-width", "256", "--tile-height", "256")
    real = run(setup, "openslide-show-properties", "saved.tif", ours=False)
    assert "openslide.vendor: 'generic-tiff'" in real
    assert f"openslide.level[0].width: '{WIDTH}'" in real
    assert f"openslide.level[0].height: '{HEIGHT}'" in real


def properties_block(text, name):
    return re.search(rf"==> {re.escape(name)} <==\n(.*?)(?:\n\n|\Z)", text, re.S).group(1)


def test_openslide_show_properties(setup):
    ours = run(setup, "openslide-show-properties", "slide.tarn", "pyramid.tif")
    listed = run(setup, setup["tool"], "info", "--properties", "slide.tarn").splitlines()
    assert properties_block(ours, "slide.tarn").splitlines() == [
        "{}: '{}'".format(*line.split(" = ", 1)) for line in listed]
    assert properties_block(ours, "pyramid.tif").strip() == run(
        setup, "openslide-show-properties", "pyramid.tif", ours=False).strip()


def test_openslide_write_png(setup):
    # Across the bottom-right corner: outside the picture is transparent, and black once
    # un-premultiplied.
    run(setup, "openslide-write-png", "slide.tarn", 1400, 950, 0, 200, 100, "tarn.png")
    assert np.array_equal(pixels(setup["work"] / "tarn.png"), tarn_region(setup, 1400, 950, 0, 200, 100))
    run(setup, "openslide-write-png", "slide.tarn", 64, 32, 2, 120, 90, "tarn2.png")
    assert np.array_equal(pixels(setup["work"] / "tarn2.png"), tarn_region(setup, 64, 32, 2, 120, 90))
    run(setup, "openslide-write-png", "pyramid.tif", 100, 50, 1, 200, 100, "ours.png")
    run(setup, "openslide-write-png", "pyramid.tif", 100, 50, 1, 200, 100, "real.png", ours=False)
    assert (setup["work"] / "ours.png").read_bytes() == (setup["work"] / "real.png").read_bytes()


PYTHON_OPENSLIDE = textwrap.dedent("""
    import json, sys
    import numpy as np
    import openslide
    from openslide.deepzoom import DeepZoomGenerator
    out = {}
    for path in sys.argv[1:]:
        with openslide.OpenSlide(path) as slide:
            try:  # the system's OpenSlide 3.4 has no caches
                slide.set_cache(openslide.OpenSlideCache(8 << 20))
            except openslide.OpenSlideVersionError:
                pass
            zoom = DeepZoomGenerator(slide, tile_size=254, overlap=1)
            region = np.asarray(slide.read_region((300, 200), 1, (120, 80)))
            np.save(path + ".npy", region)
            out[path] = {
                "vendor": openslide.OpenSlide.detect_format(path),
                "dimensions": slide.level_dimensions, "downsamples": slide.level_downsamples,
                "associated": sorted(slide.associated_images),
                "zoom": [zoom.level_count, zoom.level_tiles[-1], zoom.get_tile(zoom.level_count - 1, (1, 1)).size],
            }
    json.dump(out, sys.stdout)
""")


def test_python_openslide(setup):
    ours = json.loads(run(setup, sys.executable, "-c", PYTHON_OPENSLIDE, setup["slide"], setup["tiff"]))
    tarn = ours[setup["slide"]]
    assert tarn["vendor"] == "tarn"
    assert tarn["dimensions"][0] == [WIDTH, HEIGHT] and tarn["downsamples"] == [1.0, 2.0, 4.0]
    assert tarn["associated"] == ["label", "macro", "thumbnail"]
    assert tarn["zoom"][0] == 12 and tarn["zoom"][2] == [256, 256]
    assert np.array_equal(np.load(setup["slide"] + ".npy"), tarn_region(setup, 300, 200, 1, 120, 80))
    # The TIFF as the system's OpenSlide reads it.
    ours_tiff = np.load(setup["tiff"] + ".npy")
    real = json.loads(run(setup, sys.executable, "-c", PYTHON_OPENSLIDE, setup["tiff"], ours=False))
    assert ours[setup["tiff"]] == real[setup["tiff"]]
    assert np.array_equal(ours_tiff, np.load(setup["tiff"] + ".npy"))


def test_openslides_tools_ported_to_tarn_h(setup):
    """The ports print what the originals print through libopenslide.so.0, and differ from
    OpenSlide's sources by renames and a handful of lines."""
    show, write = os.environ["TARN_PORTED_SHOW_PROPERTIES"], os.environ["TARN_PORTED_WRITE_PNG"]
    assert run(setup, show, "slide.tarn", ours=False) == run(
        setup, "openslide-show-properties", "slide.tarn")
    run(setup, write, "slide.tarn", 1400, 950, 0, 200, 100, "ported.png", ours=False)
    run(setup, "openslide-write-png", "slide.tarn", 1400, 950, 0, 200, 100, "original.png")
    assert (setup["work"] / "ported.png").read_bytes() == (setup["work"] / "original.png").read_bytes()
    patch = open(os.path.join(HERE, "tools", "tarn.patch")).read()
    changed = [line for line in patch.splitlines()
               if line[:1] in "+-" and not line.startswith(("+++", "---"))]
    assert len(changed) <= 2 * 5


def test_made_the_systems_choice_through_ld_so_conf_d(setup):
    """README's way to make it the system's libopenslide.so.0 (a file in /etc/ld.so.conf.d naming
    its folder, then ldconfig), tried in a private mount namespace that nobody else sees: the
    loader's cache of this namespace alone is rebuilt, and programs then need no LD_LIBRARY_PATH."""
    if os.geteuid() != 0 or subprocess.run(["unshare", "-m", "true"]).returncode != 0:
        pytest.skip("needs root and mount namespaces")
    work = setup["work"]
    script = f"""
        set -e
        mkdir -p {work}/conf.d
        cp -P /etc/ld.so.conf.d/* {work}/conf.d/
        echo {setup["compat"]} > {work}/conf.d/00-tarn-openslide.conf
        mount --bind {work}/conf.d /etc/ld.so.conf.d
        touch {work}/ld.so.cache
        ldconfig -X -C {work}/ld.so.cache
        mount --bind {work}/ld.so.cache /etc/ld.so.cache
        ldd "$(command -v openslide-show-properties)" | grep -F libopenslide.so.0
        vipsheader slide.tarn
        openslide-show-properties pyramid.tif | grep -F "openslide.vendor: 'generic-tiff'"
    """
    out = run(setup, "unshare", "-m", "bash", "-c", script, ours=False)
    assert f"{setup['compat']}/libopenslide.so.0" in out
    assert f"slide.tarn: {WIDTH}x{HEIGHT} uchar, 4 bands, srgb, openslideload" in out
