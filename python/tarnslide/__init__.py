"""tarnslide: Tarn whole-slide images from Python, a drop-in for openslide-python.

    import tarnslide
    with tarnslide.TarnSlide("slide.tarn") as slide:
        print(slide.dimensions, slide.level_downsamples, slide.properties["openslide.mpp-x"])
        image = slide.read_region((1000, 2000), 0, (512, 512))           # RGBA PIL image
        patch = slide.read_region((1000, 2000), 0, (512, 512), as_array=True, mode="RGB")
        patches = slide.read_regions([(0, 0), (512, 0)], 0, (256, 256), workers=4)

``import tarnslide as openslide`` runs code written for OpenSlide: the same names and behaviour
(``open_slide``, ``level_count``, ``dimensions``, ``level_dimensions``, ``level_downsamples``,
``properties`` with the ``openslide.*`` names, ``associated_images``, ``read_region`` with the
location in level-0 pixels, ``get_thumbnail``, ``get_best_level_for_downsample``, ``set_cache``),
plus numpy output, parallel reads (the GIL is released during every read), Deep Zoom
(:mod:`tarnslide.deepzoom`), Dask arrays and a distributed tile export (:mod:`tarnslide.dask`)
and zarr stores (:mod:`tarnslide.zarrstore`).

The library (libDecodeTarn.so.1) is found in this order:

1. the path in the ``TARN_LIBRARY`` environment variable, if set;
2. ``libDecodeTarn.so.1`` inside the package's folder: ``pip install`` bundles the library it
   finds next to the sources (or at ``TARN_LIBRARY`` when the package is built), and
   ``cmake --install`` and the Debian package link the installed library there;
3. ``libDecodeTarn.so.1`` on the dynamic loader's path (the system-wide install).

Slides are safe across threads and processes: ``close()`` waits for reads running on other
threads, and every call after it raises ``ValueError``; a slide dropped without ``close()`` is
released when collected; slides pickle by path (and cache), and after ``fork`` the child reopens
the file on its first read.
"""
from __future__ import annotations

import concurrent.futures
import math
import os
import threading
import weakref
from collections.abc import Mapping
from typing import Any, Iterable, Iterator, Optional, Sequence, Tuple, Union

import numpy as np
from PIL import Image

from tarnslide import lowlevel
from tarnslide._version import __version__
from tarnslide.lowlevel import TarnError

__all__ = [
    "TarnSlide", "TarnCache", "TarnError", "open_slide", "set_threads", "get_threads",
    "__version__", "__library_version__",
    "PROPERTY_NAME_COMMENT", "PROPERTY_NAME_VENDOR", "PROPERTY_NAME_QUICKHASH1",
    "PROPERTY_NAME_BACKGROUND_COLOR", "PROPERTY_NAME_OBJECTIVE_POWER", "PROPERTY_NAME_MPP_X",
    "PROPERTY_NAME_MPP_Y", "PROPERTY_NAME_BOUNDS_X", "PROPERTY_NAME_BOUNDS_Y",
    "PROPERTY_NAME_BOUNDS_WIDTH", "PROPERTY_NAME_BOUNDS_HEIGHT",
]

__library_version__ = lowlevel.version()

PROPERTY_NAME_COMMENT = "openslide.comment"
PROPERTY_NAME_VENDOR = "openslide.vendor"
PROPERTY_NAME_QUICKHASH1 = "openslide.quickhash-1"
PROPERTY_NAME_BACKGROUND_COLOR = "openslide.background-color"
PROPERTY_NAME_OBJECTIVE_POWER = "openslide.objective-power"
PROPERTY_NAME_MPP_X = "openslide.mpp-x"
PROPERTY_NAME_MPP_Y = "openslide.mpp-y"
PROPERTY_NAME_BOUNDS_X = "openslide.bounds-x"
PROPERTY_NAME_BOUNDS_Y = "openslide.bounds-y"
PROPERTY_NAME_BOUNDS_WIDTH = "openslide.bounds-width"
PROPERTY_NAME_BOUNDS_HEIGHT = "openslide.bounds-height"

Size = Tuple[int, int]
PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

_PIL_MODES = ("RGBA", "RGB")


def set_threads(count: int) -> None:
    """Caps the threads the library uses (colour tables, whole layers) in this process.

    1 keeps it to the calling thread, as loader processes and Dask workers want; 0 or less
    removes the cap. Without a call, the TARN_NUM_THREADS environment variable gives the cap."""
    lowlevel.set_threads(count)


def get_threads() -> int:
    """The number of threads the library's parallel work uses now."""
    return lowlevel.get_threads()


class TarnCache:
    """A tile cache of a given capacity in bytes, to share between chosen slides.

    Every slide reads through the process's default cache (64 MiB, or TARN_CACHE_SIZE) unless
    :meth:`TarnSlide.set_cache` gives it this one. A cache pickles by capacity; slides that
    shared one cache share one cache again in the process that unpickles them."""

    _by_token: "weakref.WeakValueDictionary[str, TarnCache]" = weakref.WeakValueDictionary()
    _lock = threading.Lock()

    def __init__(self, capacity: int, *, _token: Optional[str] = None):
        self._handle = lowlevel.cache_create(capacity)
        self._capacity = int(capacity)
        self._token = _token or os.urandom(12).hex()
        with TarnCache._lock:
            TarnCache._by_token[self._token] = self

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self._capacity!r})"

    @property
    def capacity(self) -> int:
        """The bound on the bytes the cache holds; setting it drops tiles beyond it."""
        return self._capacity

    @capacity.setter
    def capacity(self, capacity: int) -> None:
        lowlevel.cache_set_capacity(self._handle, capacity)
        self._capacity = int(capacity)

    def stats(self) -> dict:
        """hits, misses, bytes, capacity and entries of this cache."""
        return lowlevel.cache_get_stats(self._handle)

    def __reduce__(self) -> tuple:
        return _cache_for_token, (self._token, self._capacity)


def _cache_for_token(token: str, capacity: int) -> TarnCache:
    with TarnCache._lock:
        cache = TarnCache._by_token.get(token)
    return cache if cache is not None else TarnCache(capacity, _token=token)


class _Levels:
    """What a slide's levels and properties are: read once at open, they never change."""

    def __init__(self, handle: lowlevel.SlideHandle):
        count = lowlevel.get_level_count(handle)
        self.dimensions = tuple(lowlevel.get_level_dimensions(handle, k) for k in range(count))
        self.downsamples = tuple(lowlevel.get_level_downsample(handle, k) for k in range(count))
        self.properties = {name: lowlevel.get_property_value(handle, name)
                           for name in lowlevel.get_property_names(handle)}
        self.associated = tuple(lowlevel.get_associated_image_names(handle))


def _position(location: Sequence[int]) -> Tuple[int, int]:
    x, y = location
    return lowlevel._INT64.convert(x), lowlevel._INT64.convert(y)


def _size(size: Sequence[int]) -> Tuple[int, int]:
    width, height = size
    width, height = lowlevel._INT64.convert(width), lowlevel._INT64.convert(height)
    if width < 0 or height < 0:
        raise ValueError(f"negative region size {width} x {height}")
    return width, height


def _empty(shape: Tuple[int, ...]) -> np.ndarray:
    """An uninitialised uint8 array; MemoryError when it cannot be had."""
    try:
        return np.empty(shape, dtype=np.uint8)
    except ValueError as error:  # numpy's "array is too big" for sizes beyond the address space
        raise MemoryError(f"cannot allocate {' x '.join(map(str, shape))} bytes") from error


def _output(out: Optional[np.ndarray], shape: Tuple[int, ...]) -> np.ndarray:
    """`out` when it is a C-contiguous uint8 array of `shape`, else a new array."""
    if out is None:
        return _empty(shape)
    if not (isinstance(out, np.ndarray) and out.dtype == np.uint8 and out.shape == shape
            and out.flags.c_contiguous and out.flags.writeable):
        raise ValueError(f"out must be a writable, C-contiguous uint8 array of shape {shape}")
    return out


def _level0(offset: int, downsample: float) -> int:
    """The first level-0 pixel that falls on pixel `offset` of a level whose downsample is
    given: the library maps level-0 positions to a level by dividing and rounding down."""
    x = int(offset * downsample)
    while math.floor(x / downsample) < offset:
        x += 1
    while x > 0 and math.floor((x - 1) / downsample) >= offset:
        x -= 1
    return x


def _channels(mode: str) -> int:
    try:
        return lowlevel.FORMAT_BYTES[mode]
    except (KeyError, TypeError):
        raise ValueError(f"mode {mode!r} is not one of {', '.join(lowlevel.FORMATS)}") from None


class TarnSlide:
    """An open Tarn slide, with OpenSlide's interface.

    Levels are the slide's layers; locations are level-0 pixels, sizes are pixels of the level
    read. Pixels outside the picture are transparent (RGBA) or white (RGB). Usable as a context
    manager; closed when collected. Failures the library reports raise :class:`TarnError`."""

    def __init__(self, filename: PathLike):
        self._filename = filename
        try:
            path = os.fsdecode(os.fspath(filename))
        except TypeError:
            raise TypeError(f"a path is required, not {type(filename).__name__}") from None
        self._path = os.path.abspath(path)
        self._handle = lowlevel.open(self._path)
        self._cache: Optional[TarnCache] = None
        self._levels = _Levels(self._handle)

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self._filename!r})"

    def __enter__(self) -> "TarnSlide":
        return self

    def __exit__(self, *exc_info: Any) -> bool:
        self.close()
        return False

    def __reduce__(self) -> tuple:
        self._check_open()
        return _reopen, (self._path, self._cache)

    @classmethod
    def detect_format(cls, filename: PathLike) -> Optional[str]:
        """"tarn" when the file opens as a Tarn slide, else None."""
        try:
            lowlevel.open(filename).close()
        except (TarnError, ValueError, TypeError):
            return None
        return "tarn"

    @property
    def path(self) -> str:
        """The slide's absolute path, by which it pickles and reopens."""
        return self._path

    def close(self) -> None:
        """Closes the slide once reads running on other threads have returned; every later
        call raises ValueError. Closing twice is harmless."""
        self._handle.close()

    @property
    def closed(self) -> bool:
        return self._handle.closed

    def _check_open(self) -> None:
        if self._handle.closed:
            raise ValueError("the slide is closed")

    @property
    def level_count(self) -> int:
        """The number of levels."""
        self._check_open()
        return len(self._levels.dimensions)

    @property
    def dimensions(self) -> Size:
        """(width, height) of level 0."""
        self._check_open()
        return self._levels.dimensions[0]

    @property
    def level_dimensions(self) -> Tuple[Size, ...]:
        """(width, height) of each level."""
        self._check_open()
        return self._levels.dimensions

    @property
    def level_downsamples(self) -> Tuple[float, ...]:
        """How many level-0 pixels one pixel of each level spans."""
        self._check_open()
        return self._levels.downsamples

    @property
    def properties(self) -> Mapping:
        """Read-only mapping of property names to strings: "tarn.*" fields and OpenSlide's
        standard "openslide.*" names."""
        self._check_open()
        return _ReadOnly(self._levels.properties)

    @property
    def associated_images(self) -> Mapping:
        """Lazy mapping of "label", "macro", "thumbnail" (those the slide has) to RGBA images."""
        self._check_open()
        return _AssociatedImages(self)

    def get_best_level_for_downsample(self, downsample: float) -> int:
        """The level with the largest downsample not above `downsample` (0 if none is)."""
        return lowlevel.get_best_level_for_downsample(self._handle, downsample)

    def read_region(self, location: Sequence[int], level: int, size: Sequence[int], *,
                    as_array: bool = False, mode: str = "RGBA",
                    out: Optional[np.ndarray] = None) -> Union[Image.Image, np.ndarray]:
        """The `size` pixels of `level` whose top-left corner is at level-0 `location`.

        An RGBA PIL image by default, as OpenSlide returns; mode="RGB" for RGB. With
        as_array=True an (h, w, 4) or (h, w, 3) uint8 array (mode may also be "BGRA" or "BGR"),
        or the pixels written into `out`, an array of that shape, which is returned. The library
        writes the pixels straight into the result's memory."""
        self._check_open()
        x, y = _position(location)
        width, height = _size(size)
        if not as_array and out is None and mode not in _PIL_MODES:
            raise ValueError(f"mode {mode!r} is not one of {', '.join(_PIL_MODES)}")
        pixels = _output(out, (height, width, _channels(mode)))
        lowlevel.read_region(self._handle, pixels, x, y, level, width, height, mode)
        return pixels if as_array or out is not None else _image(pixels, mode)

    def read_regions(self, locations: Iterable[Sequence[int]], level: int, size: Sequence[int],
                     *, workers: Optional[int] = None, mode: str = "RGBA",
                     iterator: bool = False,
                     out: Optional[np.ndarray] = None) -> Union[np.ndarray, Iterator[np.ndarray]]:
        """Many regions of one size and level, read on `workers` threads at once.

        One (n, h, w, channels) uint8 array (`out` if given, to reuse its memory), or with
        iterator=True an iterator of (h, w, channels) arrays in the order of `locations`, read
        ahead by the workers."""
        self._check_open()
        positions = [_position(location) for location in locations]
        width, height = _size(size)
        channels = _channels(mode)
        workers = max(1, min(workers or os.cpu_count() or 1, max(1, len(positions))))
        if iterator:
            return self._iterate_regions(positions, level, width, height, mode, workers)
        out = _output(out, (len(positions), height, width, channels))
        pending = iter(range(len(positions)))  # shared: each worker takes the next index
        failed: list = []

        def work() -> None:
            for index in pending:
                if failed:
                    return
                x, y = positions[index]
                try:
                    lowlevel.read_region(self._handle, out[index], x, y, level, width, height,
                                         mode)
                except BaseException as error:  # stop the others, re-raise below
                    failed.append(error)
                    return

        if workers == 1:
            work()
        else:
            threads = [threading.Thread(target=work, daemon=True) for _ in range(workers)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
        if failed:
            raise failed[0]
        return out

    def _iterate_regions(self, positions: list, level: int, width: int, height: int, mode: str,
                         workers: int) -> Iterator[np.ndarray]:
        def read(position: Tuple[int, int]) -> np.ndarray:
            return self.read_region(position, level, (width, height), as_array=True, mode=mode)

        with concurrent.futures.ThreadPoolExecutor(workers) as pool:
            ahead: list = []
            for position in positions:
                ahead.append(pool.submit(read, position))
                if len(ahead) > 2 * workers:
                    yield ahead.pop(0).result()
            for future in ahead:
                yield future.result()

    def get_thumbnail(self, size: Size) -> Image.Image:
        """An RGB image of the whole slide fitting within `size`, on white."""
        downsample = max(dim / thumb for dim, thumb in zip(self.dimensions, size))
        level = self.get_best_level_for_downsample(downsample)
        thumbnail = self.read_region((0, 0), level, self.level_dimensions[level], mode="RGB")
        thumbnail.thumbnail(size, Image.Resampling.LANCZOS)
        return thumbnail

    def set_cache(self, cache: Optional[TarnCache]) -> None:
        """Reads through `cache` from now on (None: the process's default cache again)."""
        if cache is not None and not isinstance(cache, TarnCache):
            raise TypeError("Not a cache object")
        lowlevel.set_cache(self._handle, cache._handle if cache is not None else None)
        self._cache = cache

    def to_dask(self, level: int = 0, chunks: Any = None, *, mode: str = "RGBA",
                worker_threads: Optional[int] = 1) -> Any:
        """A dask array of a level: see :func:`tarnslide.dask.to_dask`."""
        from tarnslide import dask as tarn_dask
        return tarn_dask.to_dask(self, level, chunks, mode=mode, worker_threads=worker_threads)

    def zarr_store(self, level: Optional[int] = None, *, chunk_size: Optional[int] = None,
                   mode: str = "RGBA") -> Mapping:
        """A read-only zarr v2 store of one level, or of every level as a multiscale group
        (level=None): see :class:`tarnslide.zarrstore.TarnZarrStore`."""
        from tarnslide.zarrstore import TarnZarrStore
        return TarnZarrStore(self, level, chunk_size=chunk_size, mode=mode)


def _reopen(path: str, cache: Optional[TarnCache]) -> TarnSlide:
    slide = TarnSlide(path)
    if cache is not None:
        slide.set_cache(cache)
    return slide


def _image(pixels: np.ndarray, mode: str) -> Image.Image:
    height, width = pixels.shape[:2]
    if width == 0 or height == 0:
        return Image.new(mode, (width, height))
    if mode == "RGBA":  # PIL maps the array's memory instead of copying it
        return Image.frombuffer("RGBA", (width, height), pixels, "raw", "RGBA", 0, 1)
    return Image.frombytes(mode, (width, height), pixels)


class _ReadOnly(Mapping):
    def __init__(self, items: dict):
        self._items = items

    def __getitem__(self, key: str) -> str:
        return self._items[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._items)

    def __len__(self) -> int:
        return len(self._items)

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self._items!r}>"


class _AssociatedImages(Mapping):
    def __init__(self, slide: TarnSlide):
        self._slide = slide

    def __getitem__(self, name: str) -> Image.Image:
        if name not in self._slide._levels.associated:
            raise KeyError(name)
        handle = self._slide._handle
        width, height = lowlevel.get_associated_image_dimensions(handle, name)
        pixels = _empty((height, width, 4))
        lowlevel.read_associated_image(handle, name, pixels, "RGBA")
        return _image(pixels, "RGBA")

    def __iter__(self) -> Iterator[str]:
        return iter(self._slide._levels.associated)

    def __len__(self) -> int:
        return len(self._slide._levels.associated)

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {list(self)!r}>"


def open_slide(filename: PathLike) -> TarnSlide:
    """Opens a Tarn slide (OpenSlide's name for opening)."""
    return TarnSlide(filename)
