"""What Dask arrays and zarr stores share: one rule for cutting a level into chunks of whole
stored tiles, one way to read a chunk, and the slides a process keeps open for the tasks that
reach it by path."""
from __future__ import annotations

import collections
import math
import os
import threading
from typing import Optional, Tuple, Union

import numpy as np

import tarnslide
from tarnslide import _slide, lowlevel

ChunkRequest = Union[int, Tuple[int, int]]
_KEPT = 8  # slides a process keeps open between tasks


def tile_size(slide: tarnslide.OpenSlide, level: int) -> Tuple[int, int]:
    """(width, height) of the level's stored tiles."""
    properties = slide.properties
    return (int(properties[f"openslide.level[{level}].tile-width"]),
            int(properties[f"openslide.level[{level}].tile-height"]))


def checked_level(slide: tarnslide.OpenSlide, level: int) -> int:
    """`level` checked against the slide's levels: ValueError for one it has not."""
    if not isinstance(level, (int, np.integer)) or not 0 <= level < slide.level_count:
        raise ValueError(f"level {level!r} is not one of the slide's {slide.level_count}")
    return int(level)


def chunk_shape(request: ChunkRequest, tile: Tuple[int, int]) -> Tuple[int, int]:
    """(height, width) of chunks of whole stored tiles, each side the multiple of the tile's
    nearest to the request (an int for both sides, or (height, width)), at least one tile."""
    height, width = (request, request) if isinstance(request, (int, np.integer)) else request
    height, width = int(height), int(width)
    if height < 1 or width < 1:
        raise ValueError(f"chunks {request!r} must be positive")
    return max(1, round(height / tile[1])) * tile[1], max(1, round(width / tile[0])) * tile[0]


def level0(offset: int, downsample: float) -> int:
    """The first level-0 pixel that falls on pixel `offset` of a level whose downsample is
    given: the library maps level-0 positions to a level by dividing and rounding down."""
    x = int(offset * downsample)
    while math.floor(x / downsample) < offset:
        x += 1
    while x > 0 and math.floor((x - 1) / downsample) >= offset:
        x -= 1
    return x


def read_chunk(slide: tarnslide.OpenSlide, level: int, top: int, left: int, height: int,
               width: int, mode: str) -> np.ndarray:
    """The height x width pixels of `level` from its pixel (left, top)."""
    downsample = slide.level_downsamples[level]
    location = level0(left, downsample), level0(top, downsample)
    return slide.read_region(location, level, (width, height), as_array=True, mode=mode)


_kept: collections.OrderedDict[tuple, tarnslide.OpenSlide] = collections.OrderedDict()
_kept_lock = threading.Lock()
os.register_at_fork(after_in_child=_kept.clear)


def kept_slide(path: str, identity: Optional[lowlevel.Identity] = None,
               cache: Optional[tarnslide.OpenSlideCache] = None) -> tarnslide.OpenSlide:
    """The slide of `path` this process keeps open for the tasks that follow (the last few
    used). With `identity`, the file a slide opened elsewhere: OpenSlideError if another file
    has taken the path."""
    key = path, identity, cache._token if cache is not None else None
    with _kept_lock:
        slide = _kept.pop(key, None)
        if slide is None or slide.closed:
            slide = _slide._reopen(path, cache, identity)
        _kept[key] = slide
        while len(_kept) > _KEPT:
            _kept.popitem(last=False)  # closed when the last task using it lets go
        return slide
