"""tarn.h for ctypes: the library loaded, its structures, and every function it exports declared
once, under its C name, with its argument and result types.

Functions that libraries older than :data:`NEWER_FUNCTIONS_VERSION` lack are looked up when the
module loads; in their place stands a callable that raises :class:`OpenSlideVersionError`. Every
declaration has ``available``: whether the loaded library has the function. Nothing here checks
an argument: the handle layer (:mod:`tarnslide._handles`) does before it calls.
"""
from __future__ import annotations

import ctypes
import os
from ctypes import POINTER, c_char_p, c_double, c_int, c_int32, c_int64, c_size_t, c_uint8
from ctypes import c_uint64, c_void_p
from typing import Any, Optional

from tarnslide._errors import OpenSlideVersionError

SONAME = "libDecodeTarn.so.1"
# The first library version with tarn_get_version, tarn_detect_vendor, the ICC profile calls,
# tarn_open_with_reader, the associated images' JPEG and the coarse levels' calls.
NEWER_FUNCTIONS_VERSION = "1.2.0"
# Level-coordinate reads, stored tiles and coarse levels came later still.
LEVEL_READS_VERSION = "1.3.0"
# Patches by the batch (tarn_read_regions, the batch reader).
BATCH_READS_VERSION = "1.4.0"


def library_path() -> str:
    """TARN_LIBRARY if set, else a library bundled in the package, else the loader's search."""
    configured = os.environ.get("TARN_LIBRARY")
    if configured:
        return configured
    bundled = os.path.join(os.path.dirname(os.path.abspath(__file__)), SONAME)
    return bundled if os.path.exists(bundled) else SONAME


def _load() -> ctypes.CDLL:
    path = library_path()
    try:
        return ctypes.CDLL(path)
    except OSError as error:
        raise ImportError(
            f"tarnslide cannot load libDecodeTarn from {path!r} ({error}); set TARN_LIBRARY to "
            "the library's path, or install the library") from error


lib = _load()


class _Unavailable:
    """What stands for a function the loaded library lacks."""

    available = False

    def __init__(self, name: str, minimum_version: str):
        self.__name__ = name
        self.minimum_version = minimum_version

    def __call__(self, *arguments: Any) -> Any:
        raise OpenSlideVersionError(self.minimum_version)


def _function(name: str, result: Any, *arguments: Any, since: Optional[str] = None) -> Any:
    """The C function `name` with its types; `since`: optional, first in that version."""
    try:
        function = getattr(lib, name)
    except AttributeError:
        if since is None:
            raise
        return _Unavailable(name, since)
    function.restype = result
    function.argtypes = list(arguments)
    function.available = True
    return function


# ---- Structures ----

READ_CALLBACK = ctypes.CFUNCTYPE(c_int, c_void_p, c_uint64, c_void_p, c_size_t)


class TarnReader(ctypes.Structure):
    """tarn_reader: a slide's bytes delivered by the caller (prefetch and close unused here)."""

    _fields_ = [("context", c_void_p), ("size", c_uint64), ("read", READ_CALLBACK),
                ("prefetch", c_void_p), ("close", c_void_p), ("identity", c_char_p),
                ("identity_size", c_size_t)]


class DeepZoomTile(ctypes.Structure):
    """tarn_deepzoom_tile: where a Deep Zoom tile comes from."""

    _fields_ = [("x", c_int64), ("y", c_int64), ("level", c_int32), ("width", c_int64),
                ("height", c_int64), ("tile_width", c_int64), ("tile_height", c_int64)]


class CacheStats(ctypes.Structure):
    """tarn_cache_stats: counters of a tile cache."""

    _fields_ = [("hits", c_uint64), ("misses", c_uint64), ("bytes", c_uint64),
                ("capacity", c_uint64), ("entries", c_uint64)]


# Users meet the structures as tarnslide.lowlevel's, as before this module was split out of it.
for _structure in (TarnReader, DeepZoomTile, CacheStats):
    _structure.__module__ = "tarnslide.lowlevel"


# ---- Functions, in the header's order. Handles (tarn_slide*, tarn_deepzoom*, tarn_cache*),
# destinations and the buffers the library allocates are addresses (c_void_p); tarn_format and
# flags are ints. ----

_NEWER = NEWER_FUNCTIONS_VERSION
_LATER = LEVEL_READS_VERSION
_BATCHES = BATCH_READS_VERSION
_OUT_INT64 = POINTER(c_int64)
_OUT_BUFFER = POINTER(POINTER(c_uint8))
_OUT_SIZE = POINTER(c_size_t)

tarn_format_bytes = _function("tarn_format_bytes", c_int, c_int)
tarn_version = _function("tarn_version", c_char_p)
tarn_get_version = _function("tarn_get_version", c_char_p, since=_NEWER)
tarn_detect_vendor = _function("tarn_detect_vendor", c_char_p, c_char_p, since=_NEWER)
tarn_open = _function("tarn_open", c_void_p, c_char_p)
tarn_open_with_reader = _function("tarn_open_with_reader", c_void_p, POINTER(TarnReader),
                                  since=_NEWER)
tarn_close = _function("tarn_close", None, c_void_p)
tarn_get_error = _function("tarn_get_error", c_char_p, c_void_p)
tarn_get_level_count = _function("tarn_get_level_count", c_int32, c_void_p)
tarn_get_level0_dimensions = _function("tarn_get_level0_dimensions", None, c_void_p, _OUT_INT64,
                                       _OUT_INT64)
tarn_get_level_dimensions = _function("tarn_get_level_dimensions", None, c_void_p, c_int32,
                                      _OUT_INT64, _OUT_INT64)
tarn_get_level_downsample = _function("tarn_get_level_downsample", c_double, c_void_p, c_int32)
tarn_get_best_level_for_downsample = _function("tarn_get_best_level_for_downsample", c_int32,
                                               c_void_p, c_double)
tarn_get_property_names = _function("tarn_get_property_names", POINTER(c_char_p), c_void_p)
tarn_get_property_value = _function("tarn_get_property_value", c_char_p, c_void_p, c_char_p)
tarn_get_associated_image_names = _function("tarn_get_associated_image_names",
                                            POINTER(c_char_p), c_void_p)
tarn_get_associated_image_dimensions = _function("tarn_get_associated_image_dimensions", None,
                                                 c_void_p, c_char_p, _OUT_INT64, _OUT_INT64)
tarn_read_associated_image = _function("tarn_read_associated_image", c_int, c_void_p, c_char_p,
                                       c_void_p, c_int)
tarn_read_associated_image_jpeg = _function("tarn_read_associated_image_jpeg", c_int, c_void_p,
                                            c_char_p, c_int, _OUT_BUFFER, _OUT_SIZE,
                                            since=_NEWER)
tarn_read_associated_image_stored = _function("tarn_read_associated_image_stored", c_int,
                                              c_void_p, c_char_p, _OUT_BUFFER, _OUT_SIZE,
                                              POINTER(c_int), since=_LATER)
tarn_get_icc_profile_size = _function("tarn_get_icc_profile_size", c_int64, c_void_p,
                                      since=_NEWER)
tarn_read_icc_profile = _function("tarn_read_icc_profile", c_int, c_void_p, c_void_p,
                                  since=_NEWER)
tarn_get_associated_image_icc_profile_size = _function(
    "tarn_get_associated_image_icc_profile_size", c_int64, c_void_p, c_char_p, since=_NEWER)
tarn_read_associated_image_icc_profile = _function(
    "tarn_read_associated_image_icc_profile", c_int, c_void_p, c_char_p, c_void_p, since=_NEWER)
tarn_read_region = _function("tarn_read_region", c_int, c_void_p, c_void_p, c_int64, c_int64,
                             c_int32, c_int64, c_int64, c_int)
tarn_read_level_region = _function("tarn_read_level_region", c_int, c_void_p, c_void_p,
                                   c_int32, c_int64, c_int64, c_int64, c_int64, c_int,
                                   since=_LATER)
tarn_read_regions = _function("tarn_read_regions", c_int, c_void_p, c_int64, POINTER(c_int64),
                              c_int32, c_int64, c_int64, c_int, c_void_p, POINTER(c_int), c_int,
                              since=_BATCHES)
tarn_batch_reader_create = _function("tarn_batch_reader_create", c_void_p, c_void_p, c_int64,
                                     POINTER(c_int64), c_int32, c_int64, c_int64, c_int,
                                     c_int64, c_int32, c_int, since=_BATCHES)
tarn_batch_reader_next = _function("tarn_batch_reader_next", c_int, c_void_p, c_void_p,
                                   _OUT_INT64, since=_BATCHES)
tarn_batch_reader_destroy = _function("tarn_batch_reader_destroy", None, c_void_p,
                                      since=_BATCHES)
tarn_get_tile_codec = _function("tarn_get_tile_codec", c_int, c_void_p, since=_LATER)
tarn_get_level_tile_grid = _function("tarn_get_level_tile_grid", c_int, c_void_p, c_int32,
                                     _OUT_INT64, _OUT_INT64, _OUT_INT64, _OUT_INT64,
                                     since=_LATER)
tarn_read_stored_tile = _function("tarn_read_stored_tile", c_int, c_void_p, c_int32, c_int64,
                                  c_int64, _OUT_BUFFER, _OUT_SIZE, since=_LATER)
tarn_read_tile = _function("tarn_read_tile", c_int, c_void_p, c_int32, c_int64, c_int64,
                           c_void_p, c_int, since=_LATER)
tarn_get_coarse_level_count = _function("tarn_get_coarse_level_count", c_int32, c_void_p,
                                        since=_LATER)
tarn_get_coarse_level_dimensions = _function("tarn_get_coarse_level_dimensions", None, c_void_p,
                                             c_int32, _OUT_INT64, _OUT_INT64, since=_LATER)
tarn_read_coarse_region = _function("tarn_read_coarse_region", c_int, c_void_p, c_void_p,
                                    c_int32, c_int64, c_int64, c_int64, c_int64, c_int,
                                    since=_LATER)
tarn_wait_coarse_levels = _function("tarn_wait_coarse_levels", c_int, c_void_p, c_int32,
                                    since=_LATER)
tarn_get_coarse_build_progress = _function("tarn_get_coarse_build_progress", c_double, c_void_p,
                                           since=_LATER)
tarn_read_export_tile_jpeg = _function("tarn_read_export_tile_jpeg", c_int, c_void_p, c_int32,
                                       c_int64, c_int64, c_int64, c_int64, _OUT_BUFFER,
                                       _OUT_SIZE)
tarn_export_tile_name = _function("tarn_export_tile_name", c_int, c_int64, c_int64, c_int64,
                                  c_int64, c_void_p, c_size_t)
tarn_deepzoom_create = _function("tarn_deepzoom_create", c_void_p, c_void_p, c_int32, c_int32,
                                 c_int)
tarn_deepzoom_destroy = _function("tarn_deepzoom_destroy", None, c_void_p)
tarn_deepzoom_get_level_count = _function("tarn_deepzoom_get_level_count", c_int32, c_void_p)
tarn_deepzoom_get_level_tiles = _function("tarn_deepzoom_get_level_tiles", None, c_void_p,
                                          c_int32, _OUT_INT64, _OUT_INT64)
tarn_deepzoom_get_level_dimensions = _function("tarn_deepzoom_get_level_dimensions", None,
                                               c_void_p, c_int32, _OUT_INT64, _OUT_INT64)
tarn_deepzoom_get_tile_count = _function("tarn_deepzoom_get_tile_count", c_int64, c_void_p)
tarn_deepzoom_get_tile_info = _function("tarn_deepzoom_get_tile_info", c_int, c_void_p, c_int32,
                                        c_int64, c_int64, POINTER(DeepZoomTile))
tarn_deepzoom_read_tile = _function("tarn_deepzoom_read_tile", c_int, c_void_p, c_int32, c_int64,
                                    c_int64, c_void_p, c_int)
tarn_deepzoom_read_tile_jpeg = _function("tarn_deepzoom_read_tile_jpeg", c_int, c_void_p,
                                         c_int32, c_int64, c_int64, c_int, _OUT_BUFFER,
                                         _OUT_SIZE)
tarn_deepzoom_wait_level = _function("tarn_deepzoom_wait_level", c_int, c_void_p, c_int32,
                                     c_int32, since=_NEWER)
tarn_deepzoom_get_build_progress = _function("tarn_deepzoom_get_build_progress", c_double,
                                             c_void_p, since=_NEWER)
tarn_deepzoom_get_dzi = _function("tarn_deepzoom_get_dzi", c_void_p, c_void_p, c_char_p)
tarn_cache_create = _function("tarn_cache_create", c_void_p, c_size_t)
tarn_cache_release = _function("tarn_cache_release", None, c_void_p)
tarn_set_cache = _function("tarn_set_cache", None, c_void_p, c_void_p)
tarn_cache_set_capacity = _function("tarn_cache_set_capacity", None, c_void_p, c_size_t)
tarn_cache_get_stats = _function("tarn_cache_get_stats", c_int, c_void_p, POINTER(CacheStats))
tarn_set_threads = _function("tarn_set_threads", None, c_int)
tarn_get_threads = _function("tarn_get_threads", c_int)
tarn_free = _function("tarn_free", None, c_void_p)
