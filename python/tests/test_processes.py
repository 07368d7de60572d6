"""Slides across processes: pickling by path, the fork and spawn start methods, PyTorch's
DataLoader, and copies that find another file at the slide's path."""
import contextlib
import importlib.util
import multiprocessing
import os
import pickle
import shutil
import struct
import subprocess
import sys
import threading

import numpy as np
import pytest

import helpers
import tarnslide
from tarnslide.deepzoom import DeepZoomGenerator


def test_slides_pickle_by_path_and_cache(slides):
    cache = tarnslide.TarnCache(8 << 20)
    with tarnslide.TarnSlide(slides["jpeg"]) as first, \
            tarnslide.TarnSlide(slides["hevc"]) as second:
        first.set_cache(cache)
        second.set_cache(cache)
        copies = pickle.loads(pickle.dumps([first, second]))
        assert [copy.path for copy in copies] == [first.path, second.path]
        assert copies[0]._cache is copies[1]._cache is cache  # the same cache in this process
        np.testing.assert_array_equal(copies[0].read_region((5, 5), 1, (30, 20), as_array=True),
                                      first.read_region((5, 5), 1, (30, 20), as_array=True))
        copies[0].close()
        assert not first.closed  # a copy is a slide of its own
    assert pickle.loads(pickle.dumps(cache)) is cache


@contextlib.contextmanager
def _reading_meanwhile(slide):
    """Two threads keep reading the slide for as long as the block runs."""
    stop = threading.Event()

    def keep_reading() -> None:
        while not stop.is_set():
            slide.read_region((0, 0), 0, (512, 512), as_array=True)

    readers = [threading.Thread(target=keep_reading, daemon=True) for _ in range(2)]
    for reader in readers:
        reader.start()
    try:
        yield
    finally:
        stop.set()
        for reader in readers:
            reader.join()


def _run_children(context, target, arguments):
    """What `target(*arguments[i], connection)` sends back from a child process of its own."""
    pipes = [context.Pipe(duplex=False) for _ in arguments]
    children = [context.Process(target=target, args=(*each, sending))
                for each, (_, sending) in zip(arguments, pipes)]
    for child in children:
        child.start()
    results = [receiving.recv() for receiving, _ in pipes]
    for child in children:
        child.join(30)
        assert child.exitcode == 0
    return results


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_start_methods_reopen_the_slide_in_the_child(slides, method):
    context = multiprocessing.get_context(method)
    with tarnslide.TarnSlide(slides["jpeg"]) as slide:
        expected = slide.read_region((400, 300), 0, (64, 48), as_array=True)
        if method == "fork":
            # Forked while threads read: no child may inherit a call caught halfway. A view made
            # before the fork serves tiles in the children too.
            helpers.inherited, helpers.inherited_tiles = slide, DeepZoomGenerator(slide)
            tile = np.asarray(helpers.inherited_tiles.get_tile(
                helpers.inherited_tiles.level_count - 2, (0, 0)))
            with _reading_meanwhile(slide):
                results = _run_children(context, helpers.read_inherited,
                                        [((400, 300), (64, 48))] * 3)
            for pixels, child_tile in results:
                np.testing.assert_array_equal(pixels, expected)
                np.testing.assert_array_equal(child_tile, tile)
        else:
            [(path, pixels)] = _run_children(context, helpers.read_passed,
                                             [(slide, (400, 300), (64, 48))])
            assert path == slide.path
            np.testing.assert_array_equal(pixels, expected)
        with context.Pool(2) as pool:  # slides as task arguments
            patches = pool.map(helpers.read_patch, [(slide, (x, 100)) for x in (0, 300, 600)])
        for x, patch in zip((0, 300, 600), patches):
            np.testing.assert_array_equal(patch, slide.read_region((x, 100), 0, (32, 32),
                                                                   as_array=True))


def test_copies_read_the_file_the_slide_opened_or_fail(slides, tmp_path):
    path = tmp_path / "slide.tarn"
    shutil.copyfile(slides["jpeg"], path)
    with tarnslide.OpenSlide(path) as slide:
        helpers.inherited = slide
        pickled = pickle.dumps(slide)
        level0 = slide.to_dask(0) if importlib.util.find_spec("dask") else None
        shutil.copyfile(slides["odd"], tmp_path / "other.tarn")
        os.replace(tmp_path / "other.tarn", path)  # another slide takes the path
        [outcome] = _run_children(multiprocessing.get_context("fork"),
                                  helpers.read_inherited_or_fail, [()])
        assert outcome.startswith("OpenSlideError"), outcome
        with pytest.raises(tarnslide.OpenSlideError):
            pickle.loads(pickled)
        if level0 is not None:  # a task of the slide's Dask array too
            with pytest.raises(tarnslide.OpenSlideError):
                level0.compute(scheduler="sync")
        os.unlink(path)
        with pytest.raises(tarnslide.OpenSlideError):
            pickle.loads(pickled)


@pytest.fixture
def recoloured(slides, tmp_path):
    """The JPEG sample with colours of its own: processes opening it build a new table."""
    other = str(tmp_path / "other.tarn")
    shutil.copyfile(slides["jpeg"], other)
    with open(other, "r+b") as file:
        file.seek(6964 + 34)  # the gamma of the extra-information record
        file.write(struct.pack("<f", 1.25))
    return other


def test_forked_workers_build_tables_after_the_parent_used_its_threads(slides, recoloured):
    helpers.forked_workers_read(slides["hevc"], recoloured)


# GCC's OpenMP runtime loaded with global binding, as PyTorch loads it, and a parallel region of it
# run, so that its threads exist when the process forks.
OPENMP_FIRST = ("import ctypes, os; "
                "gomp = ctypes.CDLL('libgomp.so.1', mode=os.RTLD_GLOBAL | os.RTLD_NOW); "
                "work = ctypes.CFUNCTYPE(None, ctypes.c_void_p)(lambda data: None); "
                "gomp.GOMP_parallel(work, None, 2, 0); ")
TORCH_FIRST = "import torch; torch.set_num_threads(2); torch.rand(1 << 22).mul_(2); "


def test_a_training_job_forks_loaders_after_openmp_ran_its_threads(slides, recoloured):
    # As in a training job: OpenMP's threads run before the slide library does anything; then
    # forked workers build colour tables, and (with PyTorch) a DataLoader's two workers read
    # patches from a dataset holding a slide. Without PyTorch, its OpenMP start is reproduced.
    torch = importlib.util.find_spec("torch") is not None
    script = ((TORCH_FIRST if torch else OPENMP_FIRST) +
              f"import helpers; helpers.forked_workers_read({slides['hevc']!r}, {recoloured!r}); " +
              (f"helpers.dataloader_reads({slides['jpeg']!r})" if torch else ""))
    run = subprocess.run([sys.executable, "-c", script], timeout=300, capture_output=True,
                         text=True)
    assert run.returncode == 0, run.stderr
