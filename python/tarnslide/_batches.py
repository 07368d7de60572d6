"""Patches by the batch: the library's tarn_read_regions and batch reader behind
:meth:`tarnslide.OpenSlide.read_regions`, and :func:`patch_grid`."""
from __future__ import annotations

import ctypes
import itertools
import math
import sys
import weakref
from typing import Any, Iterable, Iterator, Optional, Sequence, Tuple, Union

import numpy as np

from tarnslide import _capi, _handles
from tarnslide._errors import OpenSlideError

# Locations taken at a time from an iterable that is neither a sequence nor an array, so that a
# generator of millions is read as it goes.
_CHUNK_BATCHES = 64
# Patches per batch the library reads at a time for an iterator of single patches.
_SINGLE_BATCH = 32

_INT64 = np.iinfo(np.int64)
_reader_keys = itertools.count()


def locations_array(locations: Any) -> np.ndarray:
    """`locations` as a C-contiguous (n, 2) int64 array, or TypeError / OverflowError / ValueError
    as the one-region read would raise for a bad location."""
    if isinstance(locations, np.ndarray) and locations.dtype.kind in "iu":
        array = locations
    else:
        items = list(locations)
        try:
            array = np.asarray(items)
        except (ValueError, TypeError):
            array = np.empty(0, dtype=object)
        if array.dtype.kind not in "iu" or (array.ndim != 2 and len(items) > 0):
            array = np.array([[_handles.INT64.convert(x), _handles.INT64.convert(y)]
                              for x, y in items], dtype=np.int64).reshape(-1, 2)
    if array.size == 0:
        return np.zeros((0, 2), dtype=np.int64)
    if array.ndim != 2 or array.shape[1] != 2:
        raise ValueError(f"locations must be (x, y) pairs, not an array of shape {array.shape}")
    if array.dtype.kind == "u" and array.size and array.max() > _INT64.max:
        raise OverflowError("a location does not fit in 64 bits")
    return np.ascontiguousarray(array, dtype=np.int64)


def _pointer(array: np.ndarray, kind: Any) -> Any:
    return array.ctypes.data_as(ctypes.POINTER(kind))


def read_into(handle: _handles.SlideHandle, positions: np.ndarray, level: int, width: int,
              height: int, layout: int, out: np.ndarray, threads: int) -> None:
    """tarn_read_regions of checked arguments into `out`; OpenSlideError naming the first patch
    that failed (the others are read). A library older than the batch calls reads the patches
    one by one."""
    count = len(positions)
    if not _capi.tarn_read_regions.available:
        patch = out[0].nbytes if count else 0
        with handle as entered:
            for index, (x, y) in enumerate(positions.tolist()):
                if _capi.tarn_read_region(entered, out.ctypes.data + index * patch, x, y, level,
                                          width, height, layout) != 0:
                    raise _handles.fail("tarn_read_region", entered)
        return
    status = np.zeros(count, dtype=np.intc)
    with handle as entered:
        code = _capi.tarn_read_regions(entered, count, _pointer(positions, ctypes.c_int64),
                                       level, width, height, layout, out.ctypes.data,
                                       _pointer(status, ctypes.c_int), threads)
        if code != 0:
            raise _handles.fail("tarn_read_regions", entered)


def _release_reader(owned: dict, key: int) -> None:
    reader = owned.setdefault("readers", {}).pop(key, None)
    if reader is not None and reader[0] and "slide" in owned:
        _capi.tarn_batch_reader_destroy(reader[0])


class _Reader:
    """A tarn_batch_reader over one run of positions, destroyed before its slide is closed."""

    def __init__(self, handle: _handles.SlideHandle, positions: np.ndarray, level: int,
                 width: int, height: int, layout: int, batch: int, prefetch: int, threads: int):
        self.handle = handle
        self.positions = positions  # the library copies them; kept for clarity of ownership
        self.key = next(_reader_keys)
        with handle as entered:
            pointer = _capi.tarn_batch_reader_create(
                entered, len(positions), _pointer(positions, ctypes.c_int64), level, width,
                height, layout, batch, prefetch, threads)
            if not pointer:
                raise _handles.fail("tarn_batch_reader_create", entered)
            handle._owned.setdefault("readers", {})[self.key] = [pointer, handle.generation]
        self._finalizer = weakref.finalize(self, _release_reader, handle._owned, self.key)
        self._finalizer.atexit = False

    def next_into(self, dest: np.ndarray) -> int:
        """The next batch into `dest`; how many patches it holds (0 at the end)."""
        filled = ctypes.c_int64(0)
        with self.handle as entered:
            reader = self.handle._owned.get("readers", {}).get(self.key)
            if reader is None or reader[1] != self.handle.generation:
                raise OpenSlideError("a batch iterator does not follow its slide into another "
                                     "process: start the iteration in the process that reads")
            if _capi.tarn_batch_reader_next(reader[0], dest.ctypes.data,
                                            ctypes.byref(filled)) != 0:
                raise _handles.fail("tarn_batch_reader_next", entered)
        return filled.value

    def close(self) -> None:
        self._finalizer()


class _Buffers:
    """Batch arrays handed out again once nobody holds them any more (no array, view or tensor
    made from them is alive): fresh memory costs page faults that can take as long as the
    copy into it."""

    def __init__(self, shape: Tuple[int, ...], keep: int):
        self.shape, self.keep, self.arrays = shape, keep, []

    def take(self) -> np.ndarray:
        for array in self.arrays:
            if sys.getrefcount(array) == 3:  # the list, the loop's name, the call's argument
                return array
        array = np.empty(self.shape, dtype=np.uint8)
        if len(self.arrays) < self.keep:
            self.arrays.append(array)
        return array


def _chunks(locations: Any, size: int) -> Iterator[np.ndarray]:
    """Runs of at most `size` locations, taken from `locations` as they are needed."""
    if isinstance(locations, (np.ndarray, Sequence)):
        positions = locations_array(locations)
        if len(positions):
            yield positions
        return
    source = iter(locations)
    while True:
        run = list(itertools.islice(source, size))
        if not run:
            return
        yield locations_array(run)


def iterate(handle: _handles.SlideHandle, locations: Any, level: int, width: int, height: int,
            channels: int, layout: int, *, batch_size: Optional[int], prefetch: int,
            threads: int, shuffle: bool, seed: Optional[int],
            drop_last: bool) -> Iterator[np.ndarray]:
    """Batches (batch, h, w, channels), or with batch_size None single (h, w, channels)
    patches, decoded `prefetch` batches ahead by the library's workers."""
    single = batch_size is None
    batch = _SINGLE_BATCH if single else batch_size
    if shuffle:
        positions = locations_array(locations)
        runs: Iterable[np.ndarray] = [positions[np.random.default_rng(seed).permutation(
            len(positions))]]
    else:
        runs = _chunks(locations, batch * _CHUNK_BATCHES)
    shape = (height, width, channels)
    for positions in runs:
        count = len(positions)
        if drop_last and not single:
            count -= count % batch
            positions = positions[:count]
        if count == 0:
            continue
        if width == 0 or height == 0 or not _capi.tarn_batch_reader_create.available:
            for first in range(0, count, batch):
                pixels = np.zeros((min(batch, count - first),) + shape, dtype=np.uint8)
                if width and height:  # a library without the batch reader
                    read_into(handle, positions[first:first + batch], level, width, height,
                              layout, pixels, threads)
                yield from (pixels if single else (pixels,))
            continue
        reader = _Reader(handle, np.ascontiguousarray(positions), level, width, height, layout,
                         batch, prefetch, threads)
        buffers = _Buffers((batch,) + shape, 4)
        try:
            while True:
                pixels = buffers.take()
                filled = reader.next_into(pixels)
                if filled == 0:
                    break
                pixels = pixels[:filled]
                if single:
                    yield from pixels
                else:
                    yield pixels
        finally:
            reader.close()


def patch_grid(slide: Any, size: Union[int, Sequence[int]], level: int = 0,
               stride: Union[None, int, Sequence[int]] = None,
               tissue: Union[None, float, np.ndarray] = None) -> np.ndarray:
    """The level-0 locations of the `size` patches of `level` on a grid, as read_regions takes
    them: an (n, 2) int64 array, row by row, of every patch that lies wholly inside the level's
    picture, their corners `stride` pixels of the level apart (default: the size, patches side by
    side).

    `tissue` keeps only patches on tissue: a number in (0, 1] keeps those of which at least that
    share lies on tissue in a mask made from the slide's thumbnail (pixels neither near white nor
    grey); a 2-D boolean array is a mask of the caller's, spanning the whole picture at any
    scale, and keeps the patches that cover any of its tissue."""
    width, height = (size, size) if isinstance(size, int) else (int(size[0]), int(size[1]))
    step = (width, height) if stride is None else (
        (stride, stride) if isinstance(stride, int) else (int(stride[0]), int(stride[1])))
    if width <= 0 or height <= 0 or step[0] <= 0 or step[1] <= 0:
        raise ValueError("patch sizes and strides must be positive")
    level_width, level_height = slide.level_dimensions[level]
    downsample = slide.level_downsamples[level]
    xs = np.arange(0, level_width - width + 1, step[0], dtype=np.int64)
    ys = np.arange(0, level_height - height + 1, step[1], dtype=np.int64)
    grid = np.stack(np.meshgrid(xs, ys), axis=-1).reshape(-1, 2)
    if tissue is not None and len(grid):
        grid = grid[_on_tissue(slide, grid, width, height, level_width, level_height, tissue)]
    # Level-0 corners that map back to these pixels of the level (rounded down by the read).
    return np.array([[math.ceil(x * downsample), math.ceil(y * downsample)] for x, y in grid],
                    dtype=np.int64).reshape(-1, 2)


def tissue_mask(slide: Any, longest: int = 1024) -> np.ndarray:
    """A boolean mask of tissue over the slide's thumbnail (at most `longest` pixels a side):
    pixels darker than near-white and more coloured than grey."""
    thumbnail = np.asarray(slide.get_thumbnail((longest, longest)).convert("RGB"), dtype=np.int16)
    spread = thumbnail.max(axis=2) - thumbnail.min(axis=2)
    return (thumbnail.min(axis=2) < 220) & (spread > 15)


def _on_tissue(slide: Any, grid: np.ndarray, width: int, height: int, level_width: int,
               level_height: int, tissue: Union[float, np.ndarray]) -> np.ndarray:
    if isinstance(tissue, np.ndarray):
        mask, share = tissue.astype(bool), 1e-9
    else:
        share = float(tissue)
        if not 0 < share <= 1:
            raise ValueError(f"a tissue share must lie in (0, 1], not {tissue!r}")
        mask = tissue_mask(slide)
    if mask.ndim != 2 or mask.size == 0:
        raise ValueError("a tissue mask must be a non-empty 2-D array")
    rows, columns = mask.shape
    # Sums over rectangles of the mask, each patch's footprint at least one mask pixel.
    summed = np.zeros((rows + 1, columns + 1), dtype=np.int64)
    summed[1:, 1:] = mask.cumsum(axis=0).cumsum(axis=1)
    sx, sy = columns / level_width, rows / level_height
    left = np.minimum((grid[:, 0] * sx).astype(np.int64), columns - 1)
    top = np.minimum((grid[:, 1] * sy).astype(np.int64), rows - 1)
    right = np.clip(np.ceil((grid[:, 0] + width) * sx).astype(np.int64), left + 1, columns)
    bottom = np.clip(np.ceil((grid[:, 1] + height) * sy).astype(np.int64), top + 1, rows)
    inside = (summed[bottom, right] - summed[top, right] - summed[bottom, left] +
              summed[top, left])
    return inside >= share * (right - left) * (bottom - top)
