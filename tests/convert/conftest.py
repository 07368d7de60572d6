"""Fixtures of the conversion suites: the built tool, sample slides it writes, and a runner.

TARN_TOOL, TARN_LIBRARY and TARN_DAMAGED_SLIDE name the built tool, library and damaged-slide
writer (ctest passes them); by hand they default to ../../build/.
"""
import ctypes
import os
import subprocess
import sys

import numpy as np
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.join(HERE, os.pardir, os.pardir, "build")
TOOL = os.environ.setdefault("TARN_TOOL", os.path.join(BUILD, "tarn"))
os.environ.setdefault("TARN_LIBRARY", os.path.join(BUILD, "libDecodeTarn.so.1"))
DAMAGED = os.environ.get("TARN_DAMAGED_SLIDE", os.path.join(BUILD, "tests", "damaged_slide"))
sys.path.insert(0, os.path.join(HERE, os.pardir, os.pardir, "python"))

from tarnslide import _capi  # noqa: E402


def tarn(*arguments, check=False, **options):
    """Runs the tool, its output as text."""
    return subprocess.run([TOOL, *map(str, arguments)], capture_output=True, text=True,
                          check=check, timeout=120, **options)


@pytest.fixture(scope="session")
def slides(tmp_path_factory):
    """"small" (5 x 4 tiles of 256, 2 stored levels), "large" (12 x 10, for signals), "damaged"
    (layer-0 tile 3 does not decode)."""
    folder = tmp_path_factory.mktemp("slides")
    made = {"small": folder / "small.tarn", "large": folder / "large.tarn",
            "damaged": folder / "damaged.tarn"}
    tarn("sample", made["small"], "--columns", 5, "--rows", 4, "--layers", 2, check=True)
    tarn("sample", made["large"], "--columns", 12, "--rows", 10, "--layers", 2, check=True)
    subprocess.run([DAMAGED, str(made["damaged"]), "3"], check=True)
    return {name: str(path) for name, path in made.items()}


def reference(slide, level, x, y, width, height):
    """tarn_read_region's pixels of a stored level (level-0 coordinates), or a coarse level's."""
    out = np.empty((height, width, 3), np.uint8)
    address = out.ctypes.data_as(ctypes.c_void_p)
    stored = slide.level_count
    with slide._handle as pointer:
        if level < stored:
            factor = round(slide.level_downsamples[level])
            status = _capi.tarn_read_region(pointer, address, x * factor, y * factor, level,
                                            width, height, 2)
        else:
            status = _capi.tarn_read_coarse_region(pointer, address, level - stored + 1, x, y,
                                                   width, height, 2)
    assert status == 0
    return out


def psnr(a, b):
    """Peak signal-to-noise ratio of two pictures of bytes, in dB."""
    error = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return float("inf") if error == 0 else 10 * np.log10(255.0 ** 2 / error)
