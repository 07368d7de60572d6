"""The bytes `tarn export` writes for a tile, made by the library itself
(tarn_read_export_tile_jpeg), so that the tool and this package cannot drift apart."""
from __future__ import annotations

import collections
import os
import threading

from tarnslide import lowlevel

_KEPT = 4  # slides a process keeps open between tasks
_slides: "collections.OrderedDict[str, object]" = collections.OrderedDict()
_slides_lock = threading.Lock()
os.register_at_fork(after_in_child=_slides.clear)


def export_slide(path: str):
    """The process's open slide of `path`, kept for the export tasks that follow."""
    from tarnslide import TarnSlide

    with _slides_lock:
        slide = _slides.pop(path, None)
        if slide is None:
            slide = TarnSlide(path)
        _slides[path] = slide
        while len(_slides) > _KEPT:
            _slides.popitem(last=False)
        return slide


def tile_jpeg(slide, column: int, row: int, width: int, height: int) -> bytes:
    """Layer 0's tile (column, row) of width x height, as `tarn export` encodes it."""
    return lowlevel.read_export_tile_jpeg(slide._handle, 0, column, row, width, height)
