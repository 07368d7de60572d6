"""openslide-python's interface, checked against Debian's python3-openslide: its names, its
behaviour at the edges, its ImageSlide and Deep Zoom on plain images, and slides of the formats
it reads, which open_slide hands to it."""
import ctypes
import inspect
import shutil
import subprocess
import sys

import numpy as np
import pytest
from PIL import Image, ImageCms, UnidentifiedImageError

import tarnslide
import tarnslide._forward
from tarnslide import lowlevel
from tarnslide.deepzoom import DeepZoomGenerator

real = tarnslide._forward.real_openslide()
needs_real = pytest.mark.skipif(real is None, reason="python3-openslide is missing")


def _lowlevel_functions(module):
    """The functions of a lowlevel module: ctypes calls and its own Python functions."""
    return {name: value for name, value in vars(module).items() if not name.startswith("_") and
            (isinstance(value, ctypes._CFuncPtr) or (inspect.isfunction(value) and
                                                     value.__module__ == module.__name__))}


def _arity(function):
    """How many arguments a call takes; None for openslide-python's stand-ins of calls its
    OpenSlide library lacks, which take any."""
    if isinstance(function, ctypes._CFuncPtr):
        return len(function.argtypes)
    parameters = inspect.signature(function).parameters.values()
    if any(p.kind is p.VAR_POSITIONAL for p in parameters):
        return None
    return len([p for p in parameters if p.default is p.empty])


def _takes(ours, names):
    """Whether a call of ours takes `names` as its first parameters, by place and by keyword,
    and nothing else without a default."""
    parameters = list(inspect.signature(ours).parameters.values())
    return [p.name for p in parameters[:len(names)]] == list(names) and all(
        p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY) and p.default is not p.empty
        or p.kind in (p.VAR_POSITIONAL, p.VAR_KEYWORD) for p in parameters[len(names):])


def _parameters(function):
    return [p.name for p in inspect.signature(function).parameters.values()]


# What openslide-python 1.4 has beyond Debian's 1.2: (owner, name, parameters or None for a
# property).
ADDED_IN_1_4 = [
    ("lowlevel", "get_icc_profile_size", ["slide"]),
    ("lowlevel", "read_icc_profile", ["slide"]),
    ("lowlevel", "get_associated_image_icc_profile_size", ["slide", "name"]),
    ("lowlevel", "read_associated_image_icc_profile", ["slide", "name"]),
    ("AbstractSlide", "color_profile", None), ("OpenSlide", "color_profile", None),
    ("ImageSlide", "color_profile", None),
]


@needs_real
def test_every_name_of_openslide_python_exists_with_its_arguments():
    for name, value in vars(real).items():
        if name.startswith("_") or inspect.ismodule(value) or name in ("Image", "Mapping"):
            continue
        ours = getattr(tarnslide, name)
        if isinstance(value, str):
            assert ours == value, name
        elif isinstance(value, type):
            missing = {a for a in dir(value) if not a.startswith("_")} - set(dir(ours))
            assert not missing, (name, missing)
            if issubclass(value, Exception):
                assert issubclass(ours, tarnslide.OpenSlideError), name
            for method, function in vars(value).items():  # keyword calls work as on theirs
                if inspect.isfunction(function) or isinstance(function, classmethod):
                    assert _takes(getattr(ours, method), _parameters(getattr(value, method))), \
                        (name, method)
        else:
            assert _takes(ours, _parameters(value)), name
    assert tarnslide.__version__ and tarnslide.__library_version__.count(".") == 2
    assert tarnslide.PROPERTY_NAME_BARCODE == "openslide.barcode"
    for owner, name, parameters in ADDED_IN_1_4:
        ours = getattr(getattr(tarnslide, owner), name)
        if parameters is None:
            assert isinstance(inspect.getattr_static(getattr(tarnslide, owner), name), property)
        else:
            assert _takes(ours, parameters) and ours.available, name
    theirs = _lowlevel_functions(real.lowlevel)
    ours = _lowlevel_functions(lowlevel)
    for name, function in theirs.items():
        assert name in ours and _arity(function) in (None, _arity(ours[name])), name
        assert ours[name].available, name  # openslide-python 1.4's attribute
        if _arity(function) is not None and inspect.isfunction(function):
            assert _takes(ours[name], _parameters(function)), name
    generator = real.deepzoom.DeepZoomGenerator
    assert {a for a in dir(generator) if not a.startswith("_")} <= set(dir(DeepZoomGenerator))
    for method in ("__init__", "get_tile", "get_tile_coordinates", "get_tile_dimensions",
                   "get_dzi"):
        assert _takes(getattr(DeepZoomGenerator, method),
                      _parameters(getattr(generator, method))), method
    assert DeepZoomGenerator.BOUNDS_SIZE_PROPS == generator.BOUNDS_SIZE_PROPS
    assert tarnslide.TarnSlide is tarnslide.OpenSlide and tarnslide.TarnError is \
        tarnslide.OpenSlideError and tarnslide.TarnCache is tarnslide.OpenSlideCache


def test_edges_behave_as_in_openslide_python(tmp_path, slide):
    missing = tmp_path / "missing.tarn"
    with pytest.raises(tarnslide.OpenSlideUnsupportedFormatError):
        tarnslide.OpenSlide(filename=missing)
    with pytest.raises(FileNotFoundError):
        tarnslide.open_slide(missing)
    text = tmp_path / "text.tarn"
    text.write_text("not a slide")
    with pytest.raises(tarnslide.OpenSlideUnsupportedFormatError) as refused:
        tarnslide.OpenSlide(text)
    assert str(refused.value)
    with pytest.raises(UnidentifiedImageError):
        tarnslide.open_slide(text)
    assert tarnslide.OpenSlide.detect_format(text) is None
    assert tarnslide.OpenSlide.detect_format(slide.path) == "tarn"
    Image.new("RGB", (30, 20), "red").save(tmp_path / "red.png")
    with tarnslide.open_slide(tmp_path / "red.png") as image:
        assert type(image) is tarnslide.ImageSlide and image.dimensions == (30, 20)
    assert tarnslide.ImageSlide.detect_format(tmp_path / "red.png") == "PNG"
    handle = lowlevel.open(slide.path)
    for read in (lambda size: slide.read_region((0, 0), 0, size),
                 lambda size: lowlevel.read_region(handle, 0, 0, 0, *size),
                 lambda size: tarnslide.ImageSlide(tmp_path / "red.png").read_region((0, 0), 0,
                                                                                    size)):
        with pytest.raises(tarnslide.OpenSlideError):
            read((-1, 4))
        assert read((0, 4)).size == (0, 4)
    # Deliberately stricter than OpenSlide, which gives transparent pixels for these levels.
    for level in (3, -1):
        with pytest.raises(tarnslide.InvalidLevelError):
            slide.read_region((0, 0), level, (4, 4))
        with pytest.raises(tarnslide.InvalidLevelError):
            lowlevel.read_region(handle, 0, 0, level, 4, 4)
    assert slide.read_region((0, 0), 0, (4, 4)).size == (4, 4)  # usable after a failure
    assert slide.color_profile is None  # Tarn pixels are sRGB as shown
    lowlevel.close(handle)
    with pytest.raises(ValueError):
        lowlevel.get_level_count(handle)


def test_damaged_slides_fail_and_quickhash_follows_the_file(tmp_path, slide):
    if not lowlevel.has_newer_functions():
        pytest.skip("the library cannot tell a damaged Tarn slide from another file yet")
    damaged = tmp_path / "damaged.tarn"
    data = open(slide.path, "rb").read()
    damaged.write_bytes(data[:len(data) // 2])
    with pytest.raises(tarnslide.OpenSlideError) as failed:
        tarnslide.open_slide(damaged)
    assert not isinstance(failed.value, tarnslide.OpenSlideUnsupportedFormatError)
    quickhash = slide.properties[tarnslide.PROPERTY_NAME_QUICKHASH1]
    assert len(quickhash) == 64 and int(quickhash, 16) >= 0
    copy = shutil.copyfile(slide.path, tmp_path / "copy.tarn")
    with tarnslide.OpenSlide(copy) as same:
        assert same.properties[tarnslide.PROPERTY_NAME_QUICKHASH1] == quickhash


def test_low_level_calls_take_and_give_what_openslides_do(slide):
    handle = lowlevel.open(slide.path)
    for ours, expected in ((lowlevel.read_region(handle, 100, 50, 1, 40, 30),
                            slide.read_region((100, 50), 1, (40, 30))),
                           (lowlevel.read_associated_image(handle, "label"),
                            slide.associated_images["label"])):
        assert ours.mode == "RGBA" and ours.size == expected.size
        np.testing.assert_array_equal(np.asarray(ours), np.asarray(expected))
    assert lowlevel.get_error(handle) is None
    assert lowlevel.get_version() == tarnslide.__library_version__
    assert lowlevel.detect_vendor(slide.path) == "tarn"
    cache = lowlevel.cache_create(1 << 20)
    lowlevel.set_cache(handle, cache)
    lowlevel.cache_release(cache)
    lowlevel.read_region(handle, 0, 0, 0, 8, 8)  # the slide keeps its cache alive
    with pytest.raises(ValueError):
        lowlevel.set_cache(handle, cache)
    if lowlevel.has_newer_functions():
        assert lowlevel.get_icc_profile_size(handle) == 0
        assert lowlevel.read_icc_profile(handle) == b""
        assert lowlevel.read_associated_image_icc_profile(handle, "label") == b""
    else:
        with pytest.raises(tarnslide.OpenSlideVersionError, match=r"libDecodeTarn >= \d"):
            lowlevel.get_icc_profile_size(handle)
    lowlevel.close(handle)


@needs_real
def test_image_slides_and_their_deep_zoom_equal_openslide_pythons(tmp_path):
    pixels = np.random.default_rng(3).integers(0, 256, (90, 130, 4), np.uint8)
    pixels[..., 3] = np.where(pixels[..., 3] > 60, 255, 0)  # some transparent pixels
    srgb = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    Image.fromarray(pixels).save(tmp_path / "image.png", icc_profile=srgb)
    ours = tarnslide.ImageSlide(tmp_path / "image.png")
    theirs = real.ImageSlide(str(tmp_path / "image.png"))
    for location, size in (((0, 0), (130, 90)), ((-7, 20), (50, 100)), ((125, -3), (20, 5)),
                           ((200, 0), (4, 4))):
        np.testing.assert_array_equal(np.asarray(ours.read_region(location, 0, size)),
                                      np.asarray(theirs.read_region(location, 0, size)))
    assert ours.color_profile.tobytes() == srgb
    np.testing.assert_array_equal(np.asarray(ours.get_thumbnail((40, 40))),
                                  np.asarray(theirs.get_thumbnail((40, 40))))
    for arguments in ((64, 1, False), (30, 2, True)):
        mine, other = DeepZoomGenerator(ours, *arguments), \
            real.deepzoom.DeepZoomGenerator(theirs, *arguments)
        assert mine.level_tiles == other.level_tiles and mine.get_dzi("png") == other.get_dzi("png")
        for level, (columns, rows) in enumerate(mine.level_tiles):
            for address in ((c, r) for c in range(columns) for r in range(rows)):
                assert mine.get_tile_coordinates(level, address) == \
                    other.get_tile_coordinates(level, address)
                np.testing.assert_array_equal(np.asarray(mine.get_tile(level, address)),
                                              np.asarray(other.get_tile(level, address)))
    ours.close()
    with pytest.raises(ValueError):
        ours.read_region((0, 0), 0, (1, 1))


@needs_real
def test_other_formats_open_through_openslide_python(tmp_path):
    vips = shutil.which("vips")
    if vips is None:
        pytest.skip("libvips-tools is missing")
    picture = np.random.default_rng(5).integers(0, 256, (300, 500, 3), np.uint8)
    Image.fromarray(picture).save(tmp_path / "picture.png")
    tiff = str(tmp_path / "picture.tif")
    subprocess.run([vips, "tiffsave", str(tmp_path / "picture.png"), tiff, "--tile",
                    "--tile-width", "64", "--tile-height", "64", "--pyramid", "--compression",
                    "jpeg"], check=True)
    before = {name: module for name, module in sys.modules.items() if "openslide" in name}
    slide = tarnslide.open_slide(tiff)
    theirs = real.OpenSlide(tiff)
    assert isinstance(slide, tarnslide.AbstractSlide) and not isinstance(slide,
                                                                        tarnslide.OpenSlide)
    assert slide.level_dimensions == theirs.level_dimensions
    assert dict(slide.properties) == dict(theirs.properties)
    assert set(slide.associated_images) == set(theirs.associated_images)
    np.testing.assert_array_equal(np.asarray(slide.read_region((100, 60), 0, (70, 50))),
                                  np.asarray(theirs.read_region((100, 60), 0, (70, 50))))
    slide.set_cache(tarnslide.OpenSlideCache(1 << 20))
    with pytest.raises(tarnslide.OpenSlideError):
        slide.read_region((0, 0), 0, (-1, 1))
    mine, other = DeepZoomGenerator(slide, 100), real.deepzoom.DeepZoomGenerator(theirs, 100)
    level = mine.level_count - 2
    np.testing.assert_array_equal(np.asarray(mine.get_tile(level, (1, 0))),
                                  np.asarray(other.get_tile(level, (1, 0))))
    assert {name: module for name, module in sys.modules.items() if "openslide" in name} == before
    slide.close()
    with pytest.raises(ValueError):
        slide.dimensions
