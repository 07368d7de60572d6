"""Code that runs in the processes the tests start (importable there by name)."""
import os
import signal
import threading
import time

import ctypes

import tarnslide
from tarnslide import _capi


def _fixed(name, result, *arguments):
    function = getattr(_capi.lib, name)
    function.restype = result
    function.argtypes = list(arguments)
    return function


# The fixed interface, which the tests compare tarnslide's pixels with.
_open = _fixed("ZyOpenTarn", ctypes.c_void_p, ctypes.c_char_p)
_close = _fixed("ZyCloseTarn", None, ctypes.c_void_p)
_dispose = _fixed("Dispose", None, ctypes.c_void_p)
_roi_bgr = _fixed("GetRoiSliceBgr", ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                  ctypes.c_int, ctypes.c_int, ctypes.c_int)
_whole_layer = _fixed("ZySpecifyLayerJpeg2Rgb", ctypes.c_int, ctypes.c_void_p,
                      ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_int),
                      ctypes.POINTER(ctypes.c_int), ctypes.c_int)


class FixedSlide:
    """A slide opened through the fixed interface for one test."""

    def __init__(self, path):
        self.pointer = _open(os.fsencode(path))
        assert self.pointer, f"the fixed interface cannot open {path}"

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        _close(self.pointer)

    def region_bgr(self, layer, x, y, width, height):
        pointer = _roi_bgr(self.pointer, layer, x, y, width, height)
        assert pointer, "the fixed interface refused the region"
        try:
            return ctypes.string_at(pointer, width * height * 3)
        finally:
            _dispose(pointer)

inherited = None  # a slide a forked child finds already open
inherited_tiles = None  # and a Deep Zoom view of it


def read_inherited(location, size, connection):
    import numpy as np

    tile = inherited_tiles.get_tile(inherited_tiles.level_count - 2, (0, 0))
    connection.send((inherited.read_region(location, 0, size, as_array=True), np.asarray(tile)))


def read_inherited_or_fail(connection):
    try:
        inherited.read_region((0, 0), 0, (8, 8))
        connection.send("read")
    except Exception as error:  # sent to the test
        connection.send(f"{type(error).__name__}: {error}")


def read_passed(slide, location, size, connection):
    connection.send((slide.path, slide.read_region(location, 0, size, as_array=True)))


def read_patch(arguments):
    slide, location = arguments
    return slide.read_region(location, 0, (32, 32), as_array=True)


try:
    from distributed.diagnostics.plugin import WorkerPlugin
except ImportError:  # the tests that need it skip
    WorkerPlugin = object


class KillOnce(WorkerPlugin):
    """A dask worker plugin: the first worker to run one of the named tasks kills its own
    process as soon as that task has written its first file into `folder` (the marker file
    makes it happen once in the whole cluster)."""

    name = "kill-once"

    def __init__(self, key_prefix, marker, folder):
        self.key_prefix, self.marker, self.folder = key_prefix, marker, folder

    def transition(self, key, start, finish, **kwargs):
        if finish != "executing" or not str(key).startswith(self.key_prefix):
            return
        try:
            os.close(os.open(self.marker, os.O_CREAT | os.O_EXCL))
        except FileExistsError:
            return
        before = self._files()
        threading.Thread(target=self._kill_after_a_write, args=(before,), daemon=True).start()

    def _files(self):
        found = set()
        for root, _, names in os.walk(self.folder):
            found.update(os.path.join(root, name) for name in names if name.endswith(".jpeg"))
        return found

    def _kill_after_a_write(self, before):
        deadline = time.monotonic() + 5
        while not self._files() - before and time.monotonic() < deadline:
            time.sleep(0.001)
        os.kill(os.getpid(), signal.SIGKILL)


class Patches:
    """A map-style dataset of patches of one slide, as a training pipeline holds it."""

    def __init__(self, slide, locations, size):
        self.slide, self.locations, self.size = slide, locations, size

    def __len__(self):
        return len(self.locations)

    def __getitem__(self, index):
        import torch

        return torch.from_numpy(self.slide.read_region(self.locations[index], 0, self.size,
                                                       as_array=True, mode="RGB"))


def library_threads():
    """The library's thread count in a process that ran Dask tasks of a slide, else None."""
    import tarnslide._chunks

    return tarnslide.get_threads() if tarnslide._chunks._kept else None


def decode_whole_layer(path, layer=0):
    """Layer `layer` decoded whole through the fixed interface, on the library's threads."""
    pixels, width, height = ctypes.c_void_p(), ctypes.c_int(), ctypes.c_int()
    with FixedSlide(path) as slide:
        assert _whole_layer(slide.pointer, ctypes.byref(pixels), width, height, layer) == 0
    _dispose(pixels)


def read_after_whole_layer(path):
    """A worker's reads: its open builds a colour table, then a whole layer and a region."""
    decode_whole_layer(path)
    with tarnslide.TarnSlide(path) as slide:
        return slide.read_region((100, 50), 0, (300, 200), as_array=True)


def forked_workers_read(path, other):
    """Workers forked after this process opened, read, decoded a whole layer of and closed
    `path` (the fork start method, which PyTorch's DataLoader uses) open and read `other`, whose
    colour table they must build; a worker that hangs fails."""
    import multiprocessing

    import numpy as np

    with tarnslide.TarnSlide(path) as slide:
        slide.read_region((100, 50), 0, (300, 200))
    decode_whole_layer(path)
    with multiprocessing.get_context("fork").Pool(2) as pool:
        regions = pool.map_async(read_after_whole_layer, [other] * 2).get(timeout=120)
    with tarnslide.TarnSlide(other) as slide:
        expected = slide.read_region((100, 50), 0, (300, 200), as_array=True)
    for region in regions:
        np.testing.assert_array_equal(region, expected)


def dataloader_reads(path):
    """PyTorch's DataLoader with 2 worker processes reads patches of a slide its dataset holds."""
    import numpy as np
    import torch.utils.data

    locations = [(x, y) for x in range(0, 1200, 300) for y in range(0, 700, 350)]
    with tarnslide.TarnSlide(path) as slide:
        loader = torch.utils.data.DataLoader(Patches(slide, locations, (40, 30)), batch_size=3,
                                             num_workers=2)
        batches = torch.cat(list(loader)).numpy()
        np.testing.assert_array_equal(batches, slide.read_regions(locations, 0, (40, 30),
                                                                  mode="RGB"))
