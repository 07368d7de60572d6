"""Shared fixtures: sample slides written by the `tarn` tool, pixels from the fixed interface,
and one dask.distributed cluster for the whole session.

TARN_LIBRARY and TARN_TOOL name the built library and tool (ctest passes both); by hand they
default to ../../build/. Colour tables go to TARN_CACHE_DIR, by hand a temporary folder.
"""
import atexit
import os
import shutil
import subprocess
import sys
import tempfile

import numpy as np
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
BUILD = os.path.join(SOURCE, os.pardir, "build")
os.environ.setdefault("TARN_LIBRARY", os.path.join(BUILD, "libDecodeTarn.so.1"))
os.environ.setdefault("TARN_TOOL", os.path.join(BUILD, "tarn"))
if "TARN_CACHE_DIR" not in os.environ:  # colour tables kept out of the user's folder
    os.environ["TARN_CACHE_DIR"] = tempfile.mkdtemp(prefix="tarnslide-tables-")
    atexit.register(shutil.rmtree, os.environ["TARN_CACHE_DIR"], True)
sys.path.insert(0, SOURCE)
# Worker processes started by the tests find the sources and the helpers too.
os.environ["PYTHONPATH"] = os.pathsep.join(
    [SOURCE, HERE] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])

import tarnslide  # noqa: E402
import helpers  # noqa: E402

TOOL = os.environ["TARN_TOOL"]


def make_sample(path, *options):
    subprocess.run([TOOL, "sample", str(path), *options], check=True, stdout=subprocess.DEVNULL)
    return str(path)


@pytest.fixture(scope="session")
def slides(tmp_path_factory):
    """Sample slides by name: "jpeg" (5 x 3 tiles of 256, 3 levels), "hevc" (3 x 2, 2 levels),
    "odd" (tiles of 100, 4 levels), "margin" (5 x 4, the first column and row empty)."""
    folder = tmp_path_factory.mktemp("slides")
    return {
        "jpeg": make_sample(folder / "jpeg.tarn", "--columns", "5", "--rows", "3"),
        "hevc": make_sample(folder / "hevc.tarn", "--columns", "3", "--rows", "2", "--layers",
                            "2", "--hevc"),
        "odd": make_sample(folder / "odd.tarn", "--columns", "3", "--rows", "3", "--layers",
                           "4", "--tile-size", "100"),
        "margin": make_sample(folder / "margin.tarn", "--columns", "5", "--rows", "4",
                              "--empty-margin", "1"),
    }


@pytest.fixture
def slide(slides):
    with tarnslide.TarnSlide(slides["jpeg"]) as opened:
        yield opened


def fixed_rgb(path, layer, x, y, width, height):
    """The region as the fixed interface gives it (level pixels), turned into RGB."""
    with helpers.FixedSlide(path) as fixed:
        bgr = np.frombuffer(fixed.region_bgr(layer, x, y, width, height), np.uint8)
    return bgr.reshape(height, width, 3)[..., ::-1]


@pytest.fixture(scope="session")
def client():
    """A dask.distributed cluster of two single-threaded worker processes, on loopback."""
    distributed = pytest.importorskip("distributed", reason="python3-distributed is missing")
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       host="127.0.0.1", dashboard_address="127.0.0.1:0",
                                       silence_logs=40)
    with cluster, distributed.Client(cluster, timeout=60) as connected:
        yield connected
