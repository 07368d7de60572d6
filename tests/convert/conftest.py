"""Fixtures of the conversion suites: the built tool, sample slides it writes, and a runner.

TARN_TOOL, TARN_LIBRARY and TARN_DAMAGED_SLIDE name the built tool, library and damaged-slide
writer (ctest passes them); by hand they default to ../../build/.
"""
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.join(HERE, os.pardir, os.pardir, "build")
TOOL = os.environ.setdefault("TARN_TOOL", os.path.join(BUILD, "tarn"))
os.environ.setdefault("TARN_LIBRARY", os.path.join(BUILD, "libDecodeTarn.so.1"))
DAMAGED = os.environ.get("TARN_DAMAGED_SLIDE", os.path.join(BUILD, "tests", "damaged_slide"))
sys.path.insert(0, os.path.join(HERE, os.pardir, os.pardir, "python"))


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
