"""The bytes `tarn export` writes for a tile, made through the fixed interface as the tool does.

tarn.h shows the grid's bound area as transparent or white, while the fixed interface shows what
is stored there; exported tiles must be the tool's bytes, so they come from GetRoiSliceJpeg.
"""
from __future__ import annotations

import collections
import ctypes
import os
import threading
import weakref
from ctypes import POINTER, c_char_p, c_int, c_uint, c_void_p
from typing import Tuple

import numpy as np

from tarnslide.lowlevel import _INT, TarnError, _lib

JPEG_QUALITY = 75
_JCS_EXT_BGR = 8  # libjpeg-turbo's J_COLOR_SPACE for blue-green-red bytes


def _raw(name: str, result, *argtypes):
    function = getattr(_lib, name)
    function.restype = result
    function.argtypes = list(argtypes)
    return function


_open = _raw("ZyOpenTarn", c_void_p, c_char_p)
_close = _raw("ZyCloseTarn", None, c_void_p)
_layer_info = _raw("GetLayerInfo", c_void_p, c_void_p, c_int)
_roi_jpeg = _raw("GetRoiSliceJpeg", c_void_p, c_void_p, c_int, c_int, c_int, c_int, c_int,
                 POINTER(c_int))
_roi_bgr = _raw("GetRoiSliceBgr", c_void_p, c_void_p, c_int, c_int, c_int, c_int, c_int)
_encode = _raw("ZyEncodeJpeg", c_int, c_void_p, POINTER(c_void_p), c_int, c_uint, c_uint, c_int)
_dispose = _raw("Dispose", None, c_void_p)


def _take(pointer: int, size: int) -> bytes:
    try:
        return ctypes.string_at(pointer, size)
    finally:
        _dispose(pointer)


class FixedSlide:
    """A slide opened through the fixed interface, closed when collected. Reads may run on
    several threads; it is never closed under one, since a reader holds a reference."""

    def __init__(self, path: str):
        self.pointer = _open(os.fsencode(path))
        if not self.pointer:
            raise TarnError(f"cannot open {path!r} as a Tarn slide")
        weakref.finalize(self, _close, self.pointer).atexit = False
        self.grid, self.picture = self._layer0()

    def _layer0(self) -> Tuple[Tuple[int, int], Tuple[int, int]]:
        text = _layer_info(self.pointer, 0)
        if not text:
            raise TarnError("layer 0 cannot be described")
        fields = dict(item.split("=", 1) for item in
                      _take(text, len(ctypes.string_at(text))).decode("ascii").split("|"))
        grid = int(fields["LayerWidth"]), int(fields["LayerHeight"])
        bound = int(fields["BoundWidth"]), int(fields["BoundHeight"])
        if bound[0] > grid[0] or bound[1] > grid[1]:
            raise TarnError("layer 0 has a bound area larger than its grid")
        return grid, (grid[0] - bound[0], grid[1] - bound[1])

    def tile_jpeg(self, column: int, row: int, width: int, height: int) -> bytes:
        """Layer 0's tile (column, row) of width x height, as `tarn export` encodes it. Its
        origin must lie within an int, as in the tool."""
        x, y = _INT.convert(column * width), _INT.convert(row * height)
        grid_width, grid_height = self.grid
        if width <= grid_width and height <= grid_height:
            size = c_int()
            jpeg = _roi_jpeg(self.pointer, 0, x, y, _INT.convert(width), _INT.convert(height),
                             ctypes.byref(size))
            if not jpeg:
                raise TarnError(f"cannot read tile {column},{row}")
            return _take(jpeg, size.value)
        # A tile larger than the grid: the part inside it, on white.
        inside = min(width, grid_width - x), min(height, grid_height - y)
        bgr = _roi_bgr(self.pointer, 0, x, y, inside[0], inside[1])
        if not bgr:
            raise TarnError(f"cannot read tile {column},{row}")
        tile = np.full((height, width, 3), 255, dtype=np.uint8)
        tile[:inside[1], :inside[0]] = np.frombuffer(
            _take(bgr, inside[0] * inside[1] * 3), dtype=np.uint8).reshape(inside[1], inside[0], 3)
        jpeg = c_void_p()
        size = _encode(tile.ctypes.data, ctypes.byref(jpeg), JPEG_QUALITY, width, height,
                       _JCS_EXT_BGR)
        if size <= 0 or not jpeg:
            _dispose(jpeg)
            raise TarnError(f"cannot encode tile {column},{row}")
        return _take(jpeg.value, size)


_KEPT = 4  # slides a process keeps open between tasks
_slides: "collections.OrderedDict[str, FixedSlide]" = collections.OrderedDict()
_slides_lock = threading.Lock()
os.register_at_fork(after_in_child=_slides.clear)


def fixed_slide(path: str) -> FixedSlide:
    """The process's open fixed-interface slide of `path`, kept for the tasks that follow."""
    with _slides_lock:
        slide = _slides.pop(path, None)
        if slide is None:
            slide = FixedSlide(path)
        _slides[path] = slide
        while len(_slides) > _KEPT:
            _slides.popitem(last=False)
        return slide
