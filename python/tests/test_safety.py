"""No input crashes the interpreter: closed slides, values beyond the C range, huge regions,
NUL bytes, wrong types, slides dropped without close."""
import ctypes
import gc
import os
import pickle
import re
import subprocess
import sys
import threading

import numpy as np
import pytest

import tarnslide
from conftest import SOURCE
from tarnslide import _capi
from tarnslide.deepzoom import DeepZoomGenerator

HEADER = os.path.join(SOURCE, os.pardir, "include", "tarn.h")
# How each C type of tarn.h is declared: handles, destinations and the buffers the library
# allocates are addresses.
_P = ctypes.POINTER
C_TYPES = {
    "void": None, "int": ctypes.c_int, "tarn_format": ctypes.c_int, "tarn_codec": ctypes.c_int,
    "tarn_codec*": _P(ctypes.c_int), "int32_t": ctypes.c_int32,
    "int64_t": ctypes.c_int64, "size_t": ctypes.c_size_t, "double": ctypes.c_double,
    "const char*": ctypes.c_char_p, "const char* const*": _P(ctypes.c_char_p),
    "tarn_slide*": ctypes.c_void_p, "tarn_deepzoom*": ctypes.c_void_p,
    "tarn_cache*": ctypes.c_void_p, "tarn_batch_reader*": ctypes.c_void_p,
    "const int64_t*": _P(ctypes.c_int64), "int*": _P(ctypes.c_int), "void*": ctypes.c_void_p, "char*": ctypes.c_void_p,
    "int64_t*": _P(ctypes.c_int64), "size_t*": _P(ctypes.c_size_t),
    "uint8_t**": _P(_P(ctypes.c_uint8)), "const tarn_reader*": _P(_capi.TarnReader),
    "tarn_deepzoom_tile*": _P(_capi.DeepZoomTile), "tarn_cache_stats*": _P(_capi.CacheStats),
}


def _spelling(declaration):
    """A C type as written, without the parameter's name and with one spacing."""
    text = re.sub(r"\s*\*", "*", " ".join(declaration.split()))
    return re.sub(r"(?<=[\w*])\s*\b[a-z_]\w*$", "", text) if text != "void" else text


@pytest.mark.skipif(not os.path.isfile(HEADER), reason="the sources' tarn.h is not here")
def test_every_function_of_tarn_h_is_declared_with_its_types():
    # A declaration that differs from the header passes or reads the wrong bytes silently.
    with open(HEADER) as header:
        text = re.sub(r"/\*.*?\*/", "", header.read(), flags=re.S)
    functions = re.findall(r"TARN_API\s+([^;(]*?)\s*\b(tarn_\w+)\s*\(([^)]*)\)\s*;", text)
    assert len(functions) > 40
    for result, name, parameters in functions:
        declared = getattr(_capi, name)
        if not declared.available:
            continue
        expected = [C_TYPES[_spelling(p)] for p in parameters.split(",") if _spelling(p) != "void"]
        assert (declared.restype, declared.argtypes) == (C_TYPES[_spelling(result)], expected), name
    assert {name for name in vars(_capi) if name.startswith("tarn_")} == \
        {name for _, name, _ in functions}


def test_close_while_threads_read_waits_for_them_then_refuses(slides):
    slide = tarnslide.TarnSlide(slides["jpeg"])
    started = threading.Barrier(5)
    outcomes = []

    def read() -> None:
        started.wait()
        reads = 0
        try:
            while True:
                pixels = slide.read_region((reads * 37 % 900, 100), 0, (256, 256), as_array=True)
                assert pixels[..., 3].min() == 255  # never a half-written or freed buffer
                reads += 1
        except ValueError:
            outcomes.append(reads)
        except BaseException as error:  # reported below
            outcomes.append(error)

    threads = [threading.Thread(target=read) for _ in range(4)]
    for thread in threads:
        thread.start()
    started.wait()
    while slide._handle._users == 0:
        pass
    slide.close()
    for thread in threads:
        thread.join(30)
    assert len(outcomes) == 4 and all(isinstance(reads, int) for reads in outcomes), outcomes


def test_every_call_after_close_raises(slides):
    slide = tarnslide.TarnSlide(slides["jpeg"])
    tiles = DeepZoomGenerator(slide)
    slide.close()
    slide.close()  # twice is harmless
    assert slide.closed
    calls = [
        lambda: slide.read_region((0, 0), 0, (8, 8)),
        lambda: slide.read_region((0, 0), 0, (8, 8), as_array=True),
        lambda: slide.read_regions([(0, 0)], 0, (8, 8)),
        lambda: slide.level_count, lambda: slide.dimensions, lambda: slide.level_dimensions,
        lambda: slide.level_downsamples, lambda: slide.properties,
        lambda: slide.associated_images, lambda: slide.get_best_level_for_downsample(2),
        lambda: slide.get_thumbnail((10, 10)), lambda: slide.set_cache(None),
        lambda: pickle.dumps(slide), lambda: slide.zarr_store(0),
        lambda: tiles.get_tile(0, (0, 0)), lambda: tiles.get_tile_coordinates(0, (0, 0)),
        lambda: tiles.get_dzi("jpeg"), lambda: DeepZoomGenerator(slide),
    ]
    for call in calls:
        with pytest.raises(ValueError):
            call()


def test_values_beyond_the_c_range_raise_before_c(slide):
    big = 1 << 63
    with pytest.raises(OverflowError):
        slide.read_region((big, 0), 0, (8, 8))
    with pytest.raises(OverflowError):
        slide.read_region((0, -big - 1), 0, (8, 8))
    with pytest.raises(OverflowError):
        slide.read_region((0, 0), 1 << 31, (8, 8))
    with pytest.raises(OverflowError):
        slide.read_region((0, 0), 0, (big, 1))
    with pytest.raises(tarnslide.OpenSlideError):
        slide.read_region((0, 0), 0, (-1, 8))
    with pytest.raises(MemoryError):  # within int64, beyond any address space
        slide.read_region((0, 0), 0, (1 << 40, 1 << 40), as_array=True)
    with pytest.raises(TypeError):
        slide.read_region((0.5, 0), 0, (8, 8))
    with pytest.raises(TypeError):
        slide.get_best_level_for_downsample("2")
    tiles = DeepZoomGenerator(slide)
    with pytest.raises(OverflowError):
        tiles.get_tile(1 << 40, (0, 0))
    with pytest.raises(ValueError):
        tiles.get_tile(tiles.level_count, (0, 0))
    with pytest.raises(ValueError):
        tiles.get_tile(0, (1, 0))
    with pytest.raises(ValueError):
        DeepZoomGenerator(slide, tile_size=0)
    with pytest.raises(OverflowError):
        DeepZoomGenerator(slide, overlap=1 << 31)
    with pytest.raises(OverflowError):
        tarnslide.TarnCache(-1)
    with pytest.raises(OverflowError):
        tarnslide.set_threads(1 << 31)
    # numpy's integers are integers
    pixels = slide.read_region((np.int64(10), np.int32(20)), np.uint8(0), (np.int16(4), 4),
                               as_array=True)
    assert pixels.shape == (4, 4, 4)


def test_paths_with_nul_or_of_the_wrong_type_raise(slides):
    for path in ("slide\0.tarn", b"slide\0.tarn", slides["jpeg"] + "\0"):
        with pytest.raises(ValueError):
            tarnslide.TarnSlide(path)
    with pytest.raises(TypeError):
        tarnslide.TarnSlide(3)
    with tarnslide.TarnSlide(os.fsencode(slides["jpeg"])) as slide:
        assert "openslide.vendor\0" not in slide.properties
        with pytest.raises(KeyError):
            slide.associated_images["label\0"]
        with pytest.raises(ValueError):
            tarnslide.lowlevel.get_property_value(slide._handle, "openslide.vendor\0")


def test_regions_of_2_gib_and_more_work(slide):
    # The picture sits in the last rows and columns, beyond 2 GiB into the buffer.
    width, height = 65536, 8193
    right, bottom = slide.dimensions
    pixels = slide.read_region((right - width, bottom - height), 0, (width, height),
                               as_array=True)
    assert pixels.nbytes > 1 << 31
    np.testing.assert_array_equal(pixels[-bottom:, -right:],
                                  slide.read_region((0, 0), 0, (right, bottom), as_array=True))
    assert not pixels[-bottom - 1].any() and not pixels[-bottom:, -right - 1].any()


def test_regions_beyond_memory_raise_memory_error(slides):
    script = f"""
import resource, tarnslide
slide = tarnslide.TarnSlide({slides["jpeg"]!r})
resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
for as_array in (True, False):
    try:
        slide.read_region((0, 0), 0, (40000, 40000), as_array=as_array)
    except MemoryError:
        print("MemoryError")
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=60)
    assert result.stdout.split() == ["MemoryError"] * 2, result.stderr


def test_slides_dropped_without_close_are_released(slides, monkeypatch):
    released = []
    for name in ("tarn_close", "tarn_deepzoom_destroy"):
        function = getattr(tarnslide._capi, name)
        monkeypatch.setattr(tarnslide._capi, name,
                            lambda pointer, f=function, n=name: (released.append((n, pointer)),
                                                                  f(pointer)))
    slide = tarnslide.TarnSlide(slides["hevc"])
    kept = DeepZoomGenerator(slide)
    DeepZoomGenerator(slide).get_tile(0, (0, 0))  # a view made and dropped on the way
    gc.collect()
    view = kept._pyramid._view
    pointers = slide._handle._owned["slide"], view.slide._owned["views"][view._key][0]
    assert [name for name, _ in released] == ["tarn_deepzoom_destroy"]
    del slide, kept, view
    gc.collect()
    assert released[1:] == [("tarn_deepzoom_destroy", pointers[1]), ("tarn_close", pointers[0])]
