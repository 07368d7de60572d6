"""libDecodeTarn's modern interface (tarn.h), almost call for call.

Most users want :class:`tarnslide.OpenSlide`. The functions named as in openslide-python's
``openslide.lowlevel`` take and return what those take and return (``open``, ``close``,
``get_level_count``, ..., ``read_region`` and ``read_associated_image`` giving PIL images,
``get_error``, ``get_version``, ``detect_vendor``, the cache and ICC profile calls) and have its
``available`` attribute; the rest (``read_region_into``, ``deepzoom_*``, ``cache_get_stats``, ...)
are this library's own.

Each function is a C function of :mod:`tarnslide._capi` behind the converters of
:mod:`tarnslide._handles`, which refuse wrong types and values the C type cannot hold
(``TypeError``, ``OverflowError``, ``ValueError``) before C sees them; every failure the library
reports comes back as :class:`OpenSlideError` carrying its message. Functions that libraries
older than :data:`NEWER_FUNCTIONS_VERSION` lack raise :class:`OpenSlideVersionError`.

Handles are safe to share between threads and processes:

- every call on a slide is counted while it runs; ``close`` marks the slide closed, so later
  calls raise ``ValueError``, and then waits for the running calls before it releases the slide;
- a slide dropped without ``close`` is released when it is collected;
- ``os.fork`` waits until no call is inside the library, and in the child every slide reopens
  its file on its next call (the parent's handle is left alone: its pages stay shared). The file
  must still be the one the slide first opened (same inode, size and modification time): a slide
  that finds another file there, or none, raises :class:`OpenSlideError` on every call.
"""
from __future__ import annotations

import ctypes
from ctypes import POINTER, byref, c_int64, c_size_t, c_uint8
from typing import Any, Callable, List, Optional, Tuple, TypeVar

from PIL import Image

from tarnslide import _capi, _handles
# This module's names, as before the layers had modules of their own (noqa: re-exported).
from tarnslide._capi import NEWER_FUNCTIONS_VERSION, SONAME, CacheStats, DeepZoomTile  # noqa: F401
from tarnslide._capi import TarnReader  # noqa: F401
from tarnslide._errors import InvalidLevelError, OpenSlideError  # noqa: F401
from tarnslide._errors import OpenSlideUnsupportedFormatError, OpenSlideVersionError  # noqa: F401
from tarnslide._errors import TarnError  # noqa: F401
from tarnslide._handles import FORMAT_BYTES, FORMATS, CacheHandle, DeepZoomHandle  # noqa: F401
from tarnslide._handles import Identity, SlideHandle, is_url, shown  # noqa: F401
from tarnslide._handles import INT as _INT, INT32 as _INT32, INT64 as _INT64, SIZE as _SIZE
from tarnslide._handles import SLIDE as _SLIDE, VIEW as _VIEW, CacheArgument as _CacheArgument
from tarnslide._handles import Double as _Double, Format as _Format, Pass as _Pass, Text as _Text
from tarnslide._handles import Quality as _Quality
from tarnslide._handles import bind as _bind, names as _names, pointer as _pointer
from tarnslide._handles import size_or_error as _size_or_error, status as _status

_F = TypeVar("_F", bound=Callable[..., Any])
_lib = _capi.lib  # the loaded library, under openslide-python's name

_version = _bind(_capi.tarn_version)
_get_version = _bind(_capi.tarn_get_version)
_format_bytes = _bind(_capi.tarn_format_bytes, _Format)
_get_level_count = _bind(_capi.tarn_get_level_count, _SLIDE)
_get_level0_dimensions = _bind(_capi.tarn_get_level0_dimensions, _SLIDE, _Pass, _Pass)
_get_level_dimensions = _bind(_capi.tarn_get_level_dimensions, _SLIDE, _INT32, _Pass, _Pass)
_get_level_downsample = _bind(_capi.tarn_get_level_downsample, _SLIDE, _INT32)
_get_best_level = _bind(_capi.tarn_get_best_level_for_downsample, _SLIDE, _Double)
_get_property_names = _bind(_capi.tarn_get_property_names, _SLIDE, check=_names)
_get_property_value = _bind(_capi.tarn_get_property_value, _SLIDE, _Text)
_get_associated_names = _bind(_capi.tarn_get_associated_image_names, _SLIDE, check=_names)
_get_associated_dimensions = _bind(_capi.tarn_get_associated_image_dimensions, _SLIDE, _Text,
                                   _Pass, _Pass)
_read_associated = _bind(_capi.tarn_read_associated_image, _SLIDE, _Text, _Pass, _Format,
                         check=_status)
_read_region = _bind(_capi.tarn_read_region, _SLIDE, _Pass, _INT64, _INT64, _INT32, _INT64,
                     _INT64, _Format, check=_status)
_get_icc_size = _bind(_capi.tarn_get_icc_profile_size, _SLIDE, check=_size_or_error)
_read_icc = _bind(_capi.tarn_read_icc_profile, _SLIDE, _Pass, check=_status)
_get_associated_icc_size = _bind(_capi.tarn_get_associated_image_icc_profile_size, _SLIDE,
                                 _Text, check=_size_or_error)
_read_associated_icc = _bind(_capi.tarn_read_associated_image_icc_profile, _SLIDE, _Text,
                             _Pass, check=_status)
_read_export_tile_jpeg = _bind(_capi.tarn_read_export_tile_jpeg, _SLIDE, _INT32, _INT64,
                               _INT64, _INT64, _INT64, _Pass, _Pass, check=_status)
_export_tile_name = _bind(_capi.tarn_export_tile_name, _INT64, _INT64, _INT64, _INT64, _Pass,
                          _SIZE)
_dz_level_count = _bind(_capi.tarn_deepzoom_get_level_count, _VIEW)
_dz_level_tiles = _bind(_capi.tarn_deepzoom_get_level_tiles, _VIEW, _INT32, _Pass, _Pass)
_dz_level_dimensions = _bind(_capi.tarn_deepzoom_get_level_dimensions, _VIEW, _INT32, _Pass,
                             _Pass)
_dz_tile_count = _bind(_capi.tarn_deepzoom_get_tile_count, _VIEW)
_dz_tile_info = _bind(_capi.tarn_deepzoom_get_tile_info, _VIEW, _INT32, _INT64, _INT64, _Pass,
                      check=_status)
_dz_read_tile = _bind(_capi.tarn_deepzoom_read_tile, _VIEW, _INT32, _INT64, _INT64, _Pass,
                      _Format, check=_status)
_dz_read_tile_jpeg = _bind(_capi.tarn_deepzoom_read_tile_jpeg, _VIEW, _INT32, _INT64, _INT64,
                           _INT, _Pass, _Pass, check=_status)
_dz_get_dzi = _bind(_capi.tarn_deepzoom_get_dzi, _VIEW, _Text, check=_pointer)
_cache_set_capacity = _bind(_capi.tarn_cache_set_capacity, _CacheArgument, _SIZE)
_cache_get_stats = _bind(_capi.tarn_cache_get_stats, _CacheArgument, _Pass, check=_status)
_set_threads = _bind(_capi.tarn_set_threads, _INT)
_get_threads = _bind(_capi.tarn_get_threads)


def _needs(*functions: Any) -> Callable[[_F], _F]:
    """Marks a function `available` (openslide-python's attribute) when the library has every C
    function it calls."""
    def mark(wrapper: _F) -> _F:
        wrapper.available = all(function.available for function in functions)  # type: ignore
        return wrapper
    return mark


def has_newer_functions() -> bool:
    """Whether the library has the calls of NEWER_FUNCTIONS_VERSION (tarn_get_version,
    tarn_detect_vendor, the ICC profile calls, tarn_open_with_reader)."""
    return all(function.available for function in (
        _capi.tarn_get_version, _capi.tarn_detect_vendor, _capi.tarn_get_icc_profile_size,
        _capi.tarn_read_icc_profile, _capi.tarn_get_associated_image_icc_profile_size,
        _capi.tarn_read_associated_image_icc_profile, _capi.tarn_open_with_reader))


# ---- openslide-python's low-level interface, name for name ----


def open(filename: Any) -> SlideHandle:  # noqa: A001 - OpenSlide's name
    """Opens a slide from a path or a URL (http://, https://, s3://BUCKET/KEY).
    OpenSlideUnsupportedFormatError when the file is missing or not a Tarn slide, OpenSlideError
    when it is one the library cannot read; both carry its reason."""
    return SlideHandle(_handles.Path.convert(filename))


def open_file(file: Any) -> SlideHandle:
    """Opens the slide an open binary file object holds (see the threading notes of
    tarnslide.OpenSlide), through tarn_open_with_reader."""
    return SlideHandle(None, file=file)


def close(slide: SlideHandle) -> None:
    """Waits for the calls running on the slide, then releases it; later calls raise."""
    _SLIDE.convert(slide).close()


def get_level_count(slide: SlideHandle) -> int:
    return _get_level_count(slide)


def get_level_dimensions(slide: SlideHandle, level: int) -> Tuple[int, int]:
    """(width, height) of a level, (-1, -1) when it does not exist."""
    width, height = c_int64(), c_int64()
    _get_level_dimensions(slide, level, byref(width), byref(height))
    return width.value, height.value


def get_level_downsample(slide: SlideHandle, level: int) -> float:
    return _get_level_downsample(slide, level)


def get_best_level_for_downsample(slide: SlideHandle, downsample: float) -> int:
    return _get_best_level(slide, downsample)


def get_property_names(slide: SlideHandle) -> List[str]:
    return _get_property_names(slide)


def get_property_value(slide: SlideHandle, name: str) -> Optional[str]:
    value = _get_property_value(slide, name)
    return value.decode("utf-8", "replace") if value is not None else None


def get_associated_image_names(slide: SlideHandle) -> List[str]:
    return _get_associated_names(slide)


def get_associated_image_dimensions(slide: SlideHandle, name: str) -> Tuple[int, int]:
    """(width, height) of an associated image, (-1, -1) when the slide has none of that name."""
    width, height = c_int64(), c_int64()
    _get_associated_dimensions(slide, name, byref(width), byref(height))
    return width.value, height.value


def _empty_rgba(width: int, height: int) -> Tuple[Any, Image.Image]:
    """A new RGBA image of the size and its writable memory."""
    pixels = bytearray(width * height * 4)
    return pixels, Image.frombuffer("RGBA", (width, height), pixels, "raw", "RGBA", 0, 1)


def read_region(slide: SlideHandle, x: int, y: int, level: int, w: int, h: int) -> Image.Image:
    """The w x h pixels of `level` at level-0 (x, y) as an RGBA image (not premultiplied:
    pixels outside the picture are transparent black)."""
    w, h = _INT64.convert(w), _INT64.convert(h)
    check_size(w, h)
    level = _INT32.convert(level)
    if w == 0 or h == 0:
        return Image.new("RGBA", (w, h))
    if not 0 <= level < get_level_count(slide):
        raise invalid_level(level)
    pixels, image = _empty_rgba(w, h)
    read_region_into(slide, pixels, x, y, level, w, h, "RGBA")
    return image


def read_associated_image(slide: SlideHandle, name: str) -> Image.Image:
    """The associated image `name` as an RGBA image."""
    width, height = get_associated_image_dimensions(slide, name)
    if width < 0:
        raise OpenSlideError(f"the slide has no associated image {name!r}")
    pixels, image = _empty_rgba(width, height)
    read_associated_image_into(slide, name, pixels, "RGBA")
    return image


def get_error(slide: SlideHandle) -> Optional[str]:
    """Why the last call on the slide from this thread failed; None when it succeeded."""
    with _SLIDE.convert(slide) as entered:
        return _handles.error_text(entered)


def get_version() -> str:
    """The library's version, "MAJOR.MINOR.PATCH"."""
    function = _get_version if _get_version.available else _version
    return function().decode("ascii", "replace")


def detect_vendor(filename: Any) -> Optional[str]:
    """"tarn" when the file is a Tarn slide (damaged or not, with libraries that tell), else
    None."""
    path = _handles.Path.convert(filename)
    if _capi.tarn_detect_vendor.available:
        vendor = _capi.tarn_detect_vendor(path)
        return vendor.decode("ascii", "replace") if vendor is not None else None
    try:  # an older library: the files it opens
        SlideHandle(path).close()
    except OpenSlideError:
        return None
    return "tarn"


def cache_create(capacity: int) -> CacheHandle:
    return CacheHandle(capacity)


def set_cache(slide: SlideHandle, cache: Optional[CacheHandle]) -> None:
    """Makes the slide read through `cache` (None: the process's default cache)."""
    cache_pointer = _CacheArgument.convert(cache)
    with _SLIDE.convert(slide) as entered:
        _capi.tarn_set_cache(entered, cache_pointer)
        slide.cache = cache  # reapplied when a forked child reopens the slide


def cache_release(cache: CacheHandle) -> None:
    """Drops this reference to the cache now; slides reading through it keep it alive."""
    if not isinstance(cache, CacheHandle):
        raise TypeError(f"a CacheHandle is required, not {type(cache).__name__}")
    cache.release()


@_needs(_capi.tarn_get_icc_profile_size)
def get_icc_profile_size(slide: SlideHandle) -> int:
    """Bytes of the slide's ICC profile; 0 when it has none (Tarn slides: their pixels are
    sRGB as shown)."""
    return _get_icc_size(slide)


@_needs(_capi.tarn_get_icc_profile_size, _capi.tarn_read_icc_profile)
def read_icc_profile(slide: SlideHandle) -> bytes:
    """The slide's ICC profile (b"" when it has none)."""
    size = get_icc_profile_size(slide)
    if size == 0:
        return b""
    buffer = ctypes.create_string_buffer(size)
    _read_icc(slide, ctypes.addressof(buffer))
    return buffer.raw


@_needs(_capi.tarn_get_associated_image_icc_profile_size)
def get_associated_image_icc_profile_size(slide: SlideHandle, name: str) -> int:
    return _get_associated_icc_size(slide, name)


@_needs(_capi.tarn_get_associated_image_icc_profile_size,
        _capi.tarn_read_associated_image_icc_profile)
def read_associated_image_icc_profile(slide: SlideHandle, name: str) -> bytes:
    size = get_associated_image_icc_profile_size(slide, name)
    if size == 0:
        return b""
    buffer = ctypes.create_string_buffer(size)
    _read_associated_icc(slide, name, ctypes.addressof(buffer))
    return buffer.raw


# ---- The rest of tarn.h ----


def version() -> str:
    """The library's version, "MAJOR.MINOR.PATCH" (tarn_version)."""
    return _version().decode("ascii", "replace")


def format_bytes(layout: str) -> int:
    """Bytes per pixel of a layout ("RGBA", "BGRA", "RGB", "BGR")."""
    return _format_bytes(layout)


def get_level0_dimensions(slide: SlideHandle) -> Tuple[int, int]:
    width, height = c_int64(), c_int64()
    _get_level0_dimensions(slide, byref(width), byref(height))
    return width.value, height.value


def check_size(width: int, height: int) -> None:
    """OpenSlideError for a negative width or height, as openslide-python raises."""
    if width < 0 or height < 0:
        raise OpenSlideError(f"negative width ({width}) or negative height ({height}) not allowed")


def invalid_level(level: int) -> InvalidLevelError:
    return InvalidLevelError(f"the slide has no level {level}")


def _writable(buffer: Any, nbytes: int) -> Any:
    """A ctypes object at the start of `buffer`, which must hold `nbytes` writable bytes in a
    row (numpy arrays, bytearrays, ...). It keeps the buffer exported while it lives."""
    view = memoryview(buffer)
    if view.readonly or not view.c_contiguous:
        raise ValueError("the destination must be a writable, contiguous buffer")
    if view.nbytes < nbytes:
        raise ValueError(f"the destination holds {view.nbytes} bytes, {nbytes} are needed")
    if view.nbytes == 0:
        return None
    return ctypes.c_char.from_buffer(view.cast("B"))


def _address(target: Any) -> Optional[int]:
    return ctypes.addressof(target) if target is not None else None


def read_associated_image_into(slide: SlideHandle, name: str, dest: Any,
                               layout: str = "RGBA") -> None:
    """Writes the associated image into `dest` (width * height pixels of `layout`)."""
    width, height = get_associated_image_dimensions(slide, name)
    if width < 0:
        raise OpenSlideError(f"the slide has no associated image {name!r}")
    target = _writable(dest, width * height * FORMAT_BYTES.get(layout, 0))
    _read_associated(slide, name, _address(target), layout)


def read_region_unchecked(slide: SlideHandle, address: int, x: int, y: int, level: int,
                          width: int, height: int, layout: int) -> None:
    """tarn_read_region on arguments the caller has checked (the slide a SlideHandle, numbers
    within their C types, `layout` a FORMATS value) into `address`, which must hold the region:
    the short path of the Python layer's own reads."""
    with slide as entered:
        if _capi.tarn_read_region(entered, address, x, y, level, width, height, layout) != 0:
            raise _handles.fail("tarn_read_region", entered)


def read_region_into(slide: SlideHandle, dest: Any, x: int, y: int, level: int, width: int,
                     height: int, layout: str = "RGBA") -> None:
    """Writes the width x height pixels of `level` at level-0 position (x, y) into `dest`."""
    width, height = _INT64.convert(width), _INT64.convert(height)
    check_size(width, height)
    target = _writable(dest, width * height * FORMAT_BYTES.get(layout, 0))
    _read_region(slide, _address(target), x, y, level, width, height, layout)


def deepzoom_create(slide: SlideHandle, tile_size: int, overlap: int,
                    limit_bounds: bool) -> DeepZoomHandle:
    return DeepZoomHandle(_SLIDE.convert(slide), tile_size, overlap, limit_bounds)


def deepzoom_get_level_count(view: DeepZoomHandle) -> int:
    return _dz_level_count(view)


def deepzoom_get_level_tiles(view: DeepZoomHandle, level: int) -> Tuple[int, int]:
    columns, rows = c_int64(), c_int64()
    _dz_level_tiles(view, level, byref(columns), byref(rows))
    return columns.value, rows.value


def deepzoom_get_level_dimensions(view: DeepZoomHandle, level: int) -> Tuple[int, int]:
    width, height = c_int64(), c_int64()
    _dz_level_dimensions(view, level, byref(width), byref(height))
    return width.value, height.value


def deepzoom_get_tile_count(view: DeepZoomHandle) -> int:
    return _dz_tile_count(view)


def deepzoom_get_tile_info(view: DeepZoomHandle, level: int, column: int,
                           row: int) -> DeepZoomTile:
    tile = DeepZoomTile()
    _dz_tile_info(view, level, column, row, byref(tile))
    return tile


def deepzoom_read_tile(view: DeepZoomHandle, level: int, column: int, row: int, dest: Any,
                       layout: str = "RGB", tile_size: Optional[Tuple[int, int]] = None) -> None:
    """Writes the tile's pixels into `dest`, which must hold them. `tile_size`, when given, is
    the size deepzoom_get_tile_info gave for the tile (else it is asked for here)."""
    if tile_size is None:
        tile = deepzoom_get_tile_info(view, level, column, row)
        tile_size = tile.tile_width, tile.tile_height
    target = _writable(dest, tile_size[0] * tile_size[1] * FORMAT_BYTES.get(layout, 0))
    _dz_read_tile(view, level, column, row, _address(target), layout)


def _take_buffer(buffer: Any, size: int) -> bytes:
    try:
        return ctypes.string_at(buffer, size)
    finally:
        _capi.tarn_free(buffer)


def deepzoom_read_tile_jpeg(view: DeepZoomHandle, level: int, column: int, row: int,
                            quality: int = 75) -> bytes:
    quality = _Quality.convert(quality)
    jpeg, size = POINTER(c_uint8)(), c_size_t()
    _dz_read_tile_jpeg(view, level, column, row, quality, byref(jpeg), byref(size))
    return _take_buffer(jpeg, size.value)


def read_export_tile_jpeg(slide: SlideHandle, level: int, column: int, row: int, width: int,
                          height: int) -> bytes:
    """Tile (column, row) of `level` cut into width x height tiles, as `tarn export` writes it."""
    jpeg, size = POINTER(c_uint8)(), c_size_t()
    _read_export_tile_jpeg(slide, level, column, row, width, height, byref(jpeg), byref(size))
    return _take_buffer(jpeg, size.value)


def export_tile_name(column: int, row: int, width: int, height: int) -> str:
    """The file name `tarn export` gives tile (column, row) of width x height tiles."""
    name = ctypes.create_string_buffer(96)
    length = _export_tile_name(column, row, width, height, ctypes.addressof(name), len(name))
    if length < 0 or length >= len(name):
        raise ValueError("no export tile name for these numbers")
    return name.value.decode("ascii")


def deepzoom_get_dzi(view: DeepZoomHandle, tile_format: str) -> str:
    text = _dz_get_dzi(view, tile_format)
    try:
        return ctypes.string_at(text).decode("utf-8")
    finally:
        _capi.tarn_free(text)


def cache_set_capacity(cache: Optional[CacheHandle], capacity: int) -> None:
    _cache_set_capacity(cache, capacity)


def cache_get_stats(cache: Optional[CacheHandle]) -> dict:
    """Counters of `cache` (None: the default cache): hits, misses, bytes, capacity, entries."""
    stats = CacheStats()
    _cache_get_stats(cache, byref(stats))
    return {name: getattr(stats, name) for name, _ in CacheStats._fields_}


def set_threads(count: int) -> None:
    """Caps the threads the library uses (colour tables, whole layers) in this process.

    1 keeps it to the calling thread, as loader processes and Dask workers want; 0 or less
    removes the cap. Without a call, the TARN_NUM_THREADS environment variable gives the cap."""
    _set_threads(count)


def get_threads() -> int:
    """The number of threads the library's parallel work uses now."""
    return _get_threads()


# openslide-python's calls tell whether the library has what they need; the others always do.
for _call in (open, close, get_level_count, get_level_dimensions, get_level_downsample,
              get_best_level_for_downsample, read_region, get_error, get_property_names,
              get_property_value, get_associated_image_names, get_associated_image_dimensions,
              read_associated_image, get_version, detect_vendor, cache_create, set_cache,
              cache_release):
    _call.available = True  # type: ignore[attr-defined]
