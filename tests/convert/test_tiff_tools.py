"""`tarn convert --format tiff` and `--format ome-tiff` read by the programs that open such files,
from Debian, unchanged: OpenSlide (as generic-tiff), libvips and tifffile (which cannot decode
JPEG tiles without imagecodecs: the pixels are compared through OpenSlide and libvips)."""
import re
import shutil
import subprocess
import xml.etree.ElementTree as ElementTree

import numpy as np
import pytest

from conftest import psnr, reference, tarn

import tarnslide  # noqa: E402

VIPS = shutil.which("vips")
OME = "{http://www.openmicroscopy.org/Schemas/OME/2016-06}"


@pytest.fixture(scope="module")
def converted(slides, tmp_path_factory):
    """The small slide as both formats, the format from the name: {name: (path, levels, first,
    last)} with the level count and sizes the tool announced."""
    folder = tmp_path_factory.mktemp("tiff")
    made = {}
    for name in ("slide.tiff", "slide.ome.tiff"):
        run = tarn("convert", slides["small"], folder / name)
        assert run.returncode == 0, run.stderr
        found = re.search(r"(\d+) levels from (\d+) x (\d+) to (\d+) x (\d+)", run.stdout)
        count, *sizes = map(int, found.groups())
        made[name] = (str(folder / name), count, tuple(sizes[:2]), tuple(sizes[2:]))
    return made


def run(*command):
    return subprocess.run(list(map(str, command)), capture_output=True, text=True, check=True,
                          timeout=60).stdout.strip()


def vips_pixels(image, tmp_path):
    """An image of a file (vips' "file[options]") decoded by libvips, as RGB bytes."""
    width, height = (int(run("vipsheader", "-f", field, image)) for field in ("width", "height"))
    raw = tmp_path / "pixels.raw"
    run(VIPS, "rawsave", image, raw)
    return np.fromfile(raw, np.uint8).reshape(height, width, 3)


def within_jpeg_tolerance(table, title):
    print(f"\nPSNR of the {title} levels against the slide's pixels (dB):")
    for level, (width, height), value in table:
        print(f"  level {level}  {width:>5} x {height:<5}  {value:.1f}")
    # Quality 90, chroma halved both ways: far above what a wrong level or offset gives.
    assert all(value > 30 for _, _, value in table), table


def test_openslide_opens_the_tiff_as_generic_tiff_with_every_level_close_to_the_slide(
        slides, converted):
    openslide = pytest.importorskip("openslide", reason="python3-openslide is missing")
    path, count, first, last = converted["slide.tiff"]
    assert openslide.OpenSlide.detect_format(path) == "generic-tiff"
    table = []
    with openslide.OpenSlide(path) as theirs, tarnslide.OpenSlide(slides["small"]) as ours:
        sizes = theirs.level_dimensions
        assert len(sizes) == count and sizes[0] == first and sizes[-1] == last
        assert sizes[:ours.level_count] == ours.level_dimensions
        # Each level below the stored ones is half the one above, rounded up.
        for above, below in zip(sizes[ours.level_count - 1:], sizes[ours.level_count:]):
            assert below == (-(-above[0] // 2), -(-above[1] // 2))
        for level, size in enumerate(sizes):
            pixels = np.asarray(theirs.read_region((0, 0), level, size).convert("RGB"))
            table.append((level, size, psnr(pixels, reference(ours, level, 0, 0, *size))))
    within_jpeg_tolerance(table, "TIFF")


@pytest.mark.skipif(VIPS is None, reason="libvips-tools is missing")
def test_libvips_reads_both_files_with_their_pixel_size(slides, converted):
    with tarnslide.OpenSlide(slides["small"]) as ours:
        mpp = float(ours.properties["openslide.mpp-x"])
        size = ours.dimensions
    for path, *_ in converted.values():
        fields = dict(re.findall(r"^([\w-]+): (.*)$", run("vipsheader", "-a", path), re.M))
        assert (int(fields["width"]), int(fields["height"])) == size, path
        assert int(fields["bands"]) == 3 and fields["coding"] == "none"
        # The resolution tags, which libvips gives in pixels per millimetre.
        assert float(fields["xres"].split()[0]) == pytest.approx(1000 / mpp, rel=1e-4)


@pytest.mark.skipif(VIPS is None, reason="libvips-tools is missing")
def test_tifffile_reads_the_ome_tiff_series_levels_and_pixel_size_and_libvips_its_pixels(
        slides, converted, tmp_path):
    tifffile = pytest.importorskip("tifffile", reason="python3-tifffile is missing")
    path, count, first, last = converted["slide.ome.tiff"]
    with tarnslide.OpenSlide(slides["small"]) as ours:
        mpp = (float(ours.properties["openslide.mpp-x"]),
               float(ours.properties["openslide.mpp-y"]))
        images = {name: image.size for name, image in ours.associated_images.items()}
    with tifffile.TiffFile(path) as tiff:
        assert tiff.is_ome and not tiff.is_bigtiff
        series = tiff.series
        assert [s.name for s in series] == ["small", "label", "macro"]
        levels = [level.shape for level in series[0].levels]
        assert len(levels) == count and levels[0] == (first[1], first[0], 3)
        assert levels[-1] == (last[1], last[0], 3)
        for s in series[1:]:
            assert s.shape == (images[s.name][1], images[s.name][0], 3) and len(s.levels) == 1
        pixels = ElementTree.fromstring(tiff.ome_metadata).find(f"{OME}Image/{OME}Pixels")
    assert float(pixels.get("PhysicalSizeX")) == pytest.approx(mpp[0])
    assert float(pixels.get("PhysicalSizeY")) == pytest.approx(mpp[1])
    assert pixels.get("PhysicalSizeXUnit") == pixels.get("PhysicalSizeYUnit") == "\u00b5m"
    table = []
    with tarnslide.OpenSlide(slides["small"]) as ours:
        for level, (height, width, _) in enumerate(levels):
            decoded = vips_pixels(f"{path}[subifd={level - 1}]", tmp_path)
            assert decoded.shape == (height, width, 3)
            table.append((level, (width, height),
                          psnr(decoded, reference(ours, level, 0, 0, width, height))))
    within_jpeg_tolerance(table, "OME-TIFF")


def test_tiles_written_white_are_counted_in_the_first_image(slides, tmp_path):
    tifffile = pytest.importorskip("tifffile", reason="python3-tifffile is missing")
    descriptions = {}
    for name in ("white.tiff", "white.ome.tiff"):
        run = tarn("convert", slides["damaged"], tmp_path / name, "--skip-damaged", "--quiet")
        assert run.returncode == 0, run.stderr
        with tifffile.TiffFile(tmp_path / name) as tiff:
            descriptions[name] = tiff.pages[0].description
    assert re.fullmatch(r"1 of \d+ tiles could not be read from the source slide and are white *",
                        descriptions["white.tiff"])
    counts = [m.text for m in ElementTree.fromstring(descriptions["white.ome.tiff"]).iter(f"{OME}M")
              if m.get("K") == "tarn.damaged-tiles"]
    assert counts == ["1"]
