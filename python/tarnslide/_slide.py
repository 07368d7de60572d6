"""The slides: :class:`AbstractSlide` (OpenSlide's interface), :class:`OpenSlide` (a Tarn
slide, through :mod:`tarnslide.lowlevel`), :class:`ImageSlide`, :class:`OpenSlideCache`,
:func:`open_slide` and the standard property names. See the package's documentation."""
from __future__ import annotations

import io
import os
import threading
import weakref
from collections.abc import Mapping
from typing import (TYPE_CHECKING, Any, BinaryIO, Iterable, Iterator, Literal, Optional,
                    Sequence, Tuple, TypeVar, Union, overload)

import numpy as np
from PIL import Image

from tarnslide import _batches, _handles, _pixels, lowlevel
from tarnslide._errors import OpenSlideUnsupportedFormatError

if TYPE_CHECKING:
    from PIL import ImageCms

PROPERTY_NAME_COMMENT = "openslide.comment"
PROPERTY_NAME_VENDOR = "openslide.vendor"
# A SHA-256 (hex) that the library computes from the file and that stays the same for a file
# wherever it lies: see tarn.h.
PROPERTY_NAME_QUICKHASH1 = "openslide.quickhash-1"
PROPERTY_NAME_BACKGROUND_COLOR = "openslide.background-color"
PROPERTY_NAME_OBJECTIVE_POWER = "openslide.objective-power"
PROPERTY_NAME_MPP_X = "openslide.mpp-x"
PROPERTY_NAME_MPP_Y = "openslide.mpp-y"
PROPERTY_NAME_BOUNDS_X = "openslide.bounds-x"
PROPERTY_NAME_BOUNDS_Y = "openslide.bounds-y"
PROPERTY_NAME_BOUNDS_WIDTH = "openslide.bounds-width"
PROPERTY_NAME_BOUNDS_HEIGHT = "openslide.bounds-height"
# openslide-python 1.4's name; Tarn slides report no barcode.
PROPERTY_NAME_BARCODE = "openslide.barcode"

Size = Tuple[int, int]
PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
_Slide = TypeVar("_Slide", bound="AbstractSlide")

_PIL_MODES = ("RGBA", "RGB")


def _profile_of(icc: bytes) -> Optional[ImageCms.ImageCmsProfile]:
    if not icc:
        return None
    from PIL import ImageCms
    return ImageCms.getOpenProfile(io.BytesIO(icc))


class AbstractSlide:
    """What every slide has: OpenSlide's interface. Slides are context managers."""

    def __enter__(self: _Slide) -> _Slide:
        return self

    def __exit__(self, exc_type: Any, exc_val: Any, exc_tb: Any) -> Literal[False]:
        self.close()
        return False

    @classmethod
    def detect_format(cls, filename: PathLike) -> Optional[str]:
        """A name for the format of the file if this class reads it, else None."""
        raise NotImplementedError

    def close(self) -> None:
        """Closes the slide."""
        raise NotImplementedError

    @property
    def level_count(self) -> int:
        """The number of levels."""
        raise NotImplementedError

    @property
    def level_dimensions(self) -> Tuple[Size, ...]:
        """(width, height) of each level."""
        raise NotImplementedError

    @property
    def dimensions(self) -> Size:
        """(width, height) of level 0."""
        return self.level_dimensions[0]

    @property
    def level_downsamples(self) -> Tuple[float, ...]:
        """How many level-0 pixels one pixel of each level spans."""
        raise NotImplementedError

    @property
    def properties(self) -> Mapping[str, str]:
        """The slide's metadata: property name -> text."""
        raise NotImplementedError

    @property
    def associated_images(self) -> Mapping[str, Image.Image]:
        """Images that come with the slide: name -> PIL image."""
        raise NotImplementedError

    @property
    def color_profile(self) -> Optional[ImageCms.ImageCmsProfile]:
        """The ICC profile of the slide's pixels, or None when it has none: for a subclass, the
        profile's bytes it keeps in ``_profile``, as openslide-python's subclasses do."""
        return _profile_of(getattr(self, "_profile", None) or b"")

    def get_best_level_for_downsample(self, downsample: float) -> int:
        """The level best for showing the slide at `downsample`."""
        raise NotImplementedError

    def read_region(self, location: Tuple[int, int], level: int,
                    size: Tuple[int, int]) -> Image.Image:
        """An RGBA image of `size` pixels of `level` whose top-left corner is at level-0
        `location`."""
        raise NotImplementedError

    def set_cache(self, cache: OpenSlideCache) -> None:
        """Keeps the slide's decoded tiles in `cache`."""
        raise NotImplementedError

    def get_thumbnail(self, size: Tuple[int, int]) -> Image.Image:
        """An RGB image of the whole slide that fits within `size`, on the slide's background
        colour."""
        downsample = max(dim / thumb for dim, thumb in zip(self.dimensions, size))
        level = self.get_best_level_for_downsample(downsample)
        region = self.read_region((0, 0), level, self.level_dimensions[level])
        background = "#" + self.properties.get(PROPERTY_NAME_BACKGROUND_COLOR, "ffffff")
        thumbnail = Image.new("RGB", region.size, background)
        thumbnail.paste(region, None, region)
        thumbnail.thumbnail(size, Image.Resampling.LANCZOS)
        return thumbnail


# Thumbnails are read from a stored level of at most this many bytes of pixels, else from the
# Deep Zoom pyramid in tiles of this size.
_THUMBNAIL_SOURCE_BYTES = 64 << 20
_THUMBNAIL_TILE = 512


class OpenSlideCache:
    """A tile cache of a given capacity in bytes, to share between chosen slides.

    Every Tarn slide reads through the process's default cache (64 MiB, or TARN_CACHE_SIZE)
    unless :meth:`OpenSlide.set_cache` gives it this one; slides of other formats opened through
    openslide-python get a cache of theirs of the same capacity. A cache pickles by capacity;
    slides that shared one cache share one cache again in the process that unpickles them."""

    _by_token: weakref.WeakValueDictionary[str, OpenSlideCache] = weakref.WeakValueDictionary()
    _lock = threading.Lock()

    def __init__(self, capacity: int, *, _token: Optional[str] = None):
        self._handle = lowlevel.cache_create(capacity)
        self._capacity = int(capacity)
        self._token = _token or os.urandom(12).hex()
        self._forwarded: Any = None  # openslide-python's cache, made when a slide needs it
        with OpenSlideCache._lock:
            OpenSlideCache._by_token[self._token] = self

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
        """hits, misses, bytes, capacity and entries of this cache (Tarn slides' tiles)."""
        return lowlevel.cache_get_stats(self._handle)

    def __reduce__(self) -> tuple:
        return _cache_for_token, (self._token, self._capacity)


def _cache_for_token(token: str, capacity: int) -> OpenSlideCache:
    with OpenSlideCache._lock:
        cache = OpenSlideCache._by_token.get(token)
    return cache if cache is not None else OpenSlideCache(capacity, _token=token)


class _Levels:
    """What a slide's levels and properties are: read once at open, they never change."""

    def __init__(self, handle: lowlevel.SlideHandle):
        count = lowlevel.get_level_count(handle)
        self.dimensions = tuple(lowlevel.get_level_dimensions(handle, k) for k in range(count))
        self.downsamples = tuple(lowlevel.get_level_downsample(handle, k) for k in range(count))
        self.properties = {name: lowlevel.get_property_value(handle, name)
                           for name in lowlevel.get_property_names(handle)}
        self.associated = tuple(lowlevel.get_associated_image_names(handle))
        # Tarn pixels are sRGB as shown: libraries that can say so report no profile.
        self.icc = lowlevel.read_icc_profile(handle) if lowlevel.has_newer_functions() else b""


def _position(location: Sequence[int]) -> Tuple[int, int]:
    x, y = location
    return _handles.INT64.convert(x), _handles.INT64.convert(y)


def _size(size: Sequence[int]) -> Tuple[int, int]:
    width, height = size
    width, height = _handles.INT64.convert(width), _handles.INT64.convert(height)
    lowlevel.check_size(width, height)
    return width, height


class OpenSlide(AbstractSlide):
    """An open Tarn slide (``TarnSlide`` is another name for this class).

    Levels are the slide's layers; locations are level-0 pixels, sizes are pixels of the level
    read. Pixels outside the picture are transparent (RGBA) or white (RGB). Usable as a context
    manager; closed when collected. A file that is missing or no Tarn slide raises
    :class:`OpenSlideUnsupportedFormatError`; every failure the library reports raises an
    :class:`OpenSlideError` with its reason."""

    def __init__(self, filename: Union[PathLike, BinaryIO]):
        self._filename = filename
        self._path: Optional[str] = None
        if isinstance(filename, (str, bytes)) and lowlevel.is_url(filename):
            self._path = os.fsdecode(filename)
            self._handle = lowlevel.open(self._path)
        elif isinstance(filename, (str, bytes, os.PathLike)):
            self._path = os.path.abspath(os.fsdecode(os.fspath(filename)))
            self._handle = lowlevel.open(self._path)
        else:
            self._handle = lowlevel.open_file(filename)
        self._cache: Optional[OpenSlideCache] = None
        self._levels = _Levels(self._handle)

    def __repr__(self) -> str:
        shown = self._filename if self._path is None else lowlevel.shown(self._filename)
        return f"{type(self).__name__}({shown!r})"

    def __reduce__(self) -> tuple:
        self._check_open()
        if self._path is None:
            raise TypeError("a slide opened from a file object does not pickle: open it by path "
                            "or URL to send it to other processes")
        return _reopen, (self._path, self._cache, self._handle.identity)

    @classmethod
    def detect_format(cls, filename: PathLike) -> Optional[str]:
        """"tarn" when the file is a Tarn slide, else None."""
        try:
            return lowlevel.detect_vendor(filename)
        except (ValueError, TypeError):
            return None

    @property
    def path(self) -> Optional[str]:
        """The slide's absolute path or its URL, by which it pickles and reopens; None for a
        slide opened from a file object."""
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
        self._check_open()
        return len(self._levels.dimensions)

    @property
    def dimensions(self) -> Size:
        self._check_open()
        return self._levels.dimensions[0]

    @property
    def level_dimensions(self) -> Tuple[Size, ...]:
        self._check_open()
        return self._levels.dimensions

    @property
    def level_downsamples(self) -> Tuple[float, ...]:
        """How many level-0 pixels one pixel of each level spans: the layer ratio's powers."""
        self._check_open()
        return self._levels.downsamples

    @property
    def properties(self) -> Mapping[str, str]:
        """Read-only mapping of property names to strings: "tarn.*" fields and OpenSlide's
        standard "openslide.*" names."""
        self._check_open()
        return _ReadOnly(self._levels.properties)

    @property
    def associated_images(self) -> Mapping[str, Image.Image]:
        """Lazy mapping of "label", "macro", "thumbnail" (those the slide has) to RGBA images."""
        self._check_open()
        return _AssociatedImages(self)

    @property
    def color_profile(self) -> Optional[ImageCms.ImageCmsProfile]:
        """None for Tarn slides, whose pixels are sRGB as shown (the library reports no
        profile); a slide with a profile gives it as a PIL ImageCms profile."""
        self._check_open()
        return _profile_of(self._levels.icc)

    def get_best_level_for_downsample(self, downsample: float) -> int:
        """The level with the largest downsample not above `downsample` (0 if none is)."""
        return lowlevel.get_best_level_for_downsample(self._handle, downsample)

    @overload
    def read_region(self, location: Sequence[int], level: int, size: Sequence[int], *,
                    as_array: Literal[False] = ..., mode: str = ...,
                    out: None = ...) -> Image.Image: ...

    @overload
    def read_region(self, location: Sequence[int], level: int, size: Sequence[int], *,
                    as_array: Literal[True], mode: str = ...,
                    out: Optional[np.ndarray] = ...) -> np.ndarray: ...

    @overload
    def read_region(self, location: Sequence[int], level: int, size: Sequence[int], *,
                    as_array: bool = ..., mode: str = ..., out: np.ndarray) -> np.ndarray: ...

    def read_region(self, location: Sequence[int], level: int, size: Sequence[int], *,
                    as_array: bool = False, mode: str = "RGBA",
                    out: Optional[np.ndarray] = None) -> Union[Image.Image, np.ndarray]:
        """The `size` pixels of `level` whose top-left corner is at level-0 `location`.

        An RGBA PIL image by default, as OpenSlide returns; mode="RGB" for RGB. With
        as_array=True an (h, w, 4) or (h, w, 3) uint8 array (mode may also be "BGRA" or "BGR"),
        or the pixels written into `out`, an array of that shape, which is returned. The library
        writes the pixels straight into the result's memory. A negative size raises
        OpenSlideError, a level the slide has not InvalidLevelError."""
        self._check_open()
        x, y = _position(location)
        width, height = _size(size)
        self._check_level(level)
        if not as_array and out is None and mode not in _PIL_MODES:
            raise ValueError(f"mode {mode!r} is not one of {', '.join(_PIL_MODES)}")
        pixels = _pixels.output(out, (height, width, _pixels.channels(mode)))
        if width and height:
            lowlevel.read_region_unchecked(self._handle, pixels.__array_interface__["data"][0],
                                           x, y, level, width, height, lowlevel.FORMATS[mode])
        if as_array or out is not None:
            return pixels
        image = _pixels.image(pixels, mode)
        if self._levels.icc:
            image.info["icc_profile"] = self._levels.icc
        return image

    def _check_level(self, level: int) -> None:
        if not 0 <= _handles.INT32.convert(level) < len(self._levels.dimensions):
            raise lowlevel.invalid_level(level)

    @overload
    def read_regions(self, locations: Iterable[Sequence[int]], level: int, size: Sequence[int],
                     *, workers: Optional[int] = ..., mode: str = ...,
                     iterator: Literal[False] = ..., out: Optional[np.ndarray] = ...,
                     batch_size: None = ..., prefetch_factor: int = ..., shuffle: bool = ...,
                     seed: Optional[int] = ..., drop_last: bool = ...,
                     num_workers: Optional[int] = ...) -> np.ndarray: ...

    @overload
    def read_regions(self, locations: Iterable[Sequence[int]], level: int, size: Sequence[int],
                     *, workers: Optional[int] = ..., mode: str = ..., iterator: bool = ...,
                     out: None = ..., batch_size: Optional[int] = ...,
                     prefetch_factor: int = ..., shuffle: bool = ..., seed: Optional[int] = ...,
                     drop_last: bool = ...,
                     num_workers: Optional[int] = ...) -> Iterator[np.ndarray]: ...

    def read_regions(self, locations: Iterable[Sequence[int]], level: int, size: Sequence[int],
                     *, workers: Optional[int] = None, mode: str = "RGBA",
                     iterator: bool = False, out: Optional[np.ndarray] = None,
                     batch_size: Optional[int] = None, prefetch_factor: int = 2,
                     shuffle: bool = False, seed: Optional[int] = None, drop_last: bool = False,
                     num_workers: Optional[int] = None
                     ) -> Union[np.ndarray, Iterator[np.ndarray]]:
        """Many regions of one size and level, read together by the library on `workers`
        threads (default: as many as its thread cap allows; `num_workers` is another name for
        it). Each stored tile the regions touch is decoded once, however many regions share it;
        the interpreter's lock is released while the library works.

        `locations` (level-0 corners) may be a list, an (n, 2) integer array or any iterable.
        Returns one (n, h, w, channels) uint8 array (`out` if given, to reuse its memory); with
        iterator=True an iterator of (h, w, channels) arrays in the order of `locations`; with a
        `batch_size` an iterator of (batch, h, w, channels) arrays, the last one smaller unless
        `drop_last`. Iterators decode `prefetch_factor` batches ahead of the one handed out (0:
        each when asked for) and take an iterable's locations as they go; `shuffle` reads the
        locations in a random order (`seed` makes it repeatable). A region that cannot be read
        raises OpenSlideError (the iterators at its batch)."""
        self._check_open()
        width, height = _size(size)
        self._check_level(level)
        channels = _pixels.channels(mode)
        layout = lowlevel.FORMATS[mode]
        if num_workers is not None and workers is not None and num_workers != workers:
            raise TypeError("workers and num_workers name the same setting: give one")
        threads = _handles.INT32.convert(workers if workers is not None else num_workers or 0)
        if batch_size is not None and (not isinstance(batch_size, int) or batch_size < 1):
            raise ValueError(f"batch_size must be a positive integer, not {batch_size!r}")
        if not isinstance(prefetch_factor, int) or prefetch_factor < 0:
            raise ValueError(f"prefetch_factor must be 0 or more, not {prefetch_factor!r}")
        if iterator or batch_size is not None:
            if out is not None:
                raise ValueError("out is for the single array, not for iterators")
            return _batches.iterate(self._handle, locations, level, width, height, channels,
                                    layout, batch_size=batch_size, prefetch=prefetch_factor,
                                    threads=threads, shuffle=shuffle, seed=seed,
                                    drop_last=drop_last)
        if shuffle or drop_last:
            raise ValueError("shuffle and drop_last are for iterators (iterator or batch_size)")
        positions = _batches.locations_array(locations)
        batch = _pixels.output(out, (len(positions), height, width, channels))
        if width and height and len(positions):
            _batches.read_into(self._handle, positions, level, width, height, layout, batch,
                               threads)
        return batch

    def get_thumbnail(self, size: Tuple[int, int]) -> Image.Image:
        """An RGB image of the whole slide fitting within `size`, on white.

        Read from the stored level nearest above the size; when that level is larger than
        64 MiB of pixels (a slide that stores no small levels), from the coarse levels of the
        library's Deep Zoom pyramid instead, so memory stays bounded whatever the slide."""
        downsample = max(dim / thumb for dim, thumb in zip(self.dimensions, size))
        level = self.get_best_level_for_downsample(downsample)
        width, height = self.level_dimensions[level]
        if width * height * 4 <= _THUMBNAIL_SOURCE_BYTES:
            thumbnail = self.read_region((0, 0), level, (width, height), mode="RGB")
        else:
            thumbnail = self._pyramid_thumbnail(size)
        thumbnail.thumbnail(size, Image.Resampling.LANCZOS)
        return thumbnail

    def _pyramid_thumbnail(self, size: Tuple[int, int]) -> Image.Image:
        """The smallest Deep Zoom level that still covers `size`, assembled from its tiles."""
        from tarnslide.deepzoom import DeepZoomGenerator
        zoom = DeepZoomGenerator(self, tile_size=_THUMBNAIL_TILE, overlap=0)
        level = next(k for k, (w, h) in enumerate(zoom.level_dimensions)
                     if w >= min(size[0], self.dimensions[0])
                     and h >= min(size[1], self.dimensions[1]))
        image = Image.new("RGB", zoom.level_dimensions[level], "white")
        columns, rows = zoom.level_tiles[level]
        for row in range(rows):
            for column in range(columns):
                image.paste(zoom.get_tile(level, (column, row)),
                            (column * _THUMBNAIL_TILE, row * _THUMBNAIL_TILE))
        return image

    def set_cache(self, cache: Optional[OpenSlideCache]) -> None:
        """Reads through `cache` from now on (None: the process's default cache again)."""
        if cache is not None and not isinstance(cache, OpenSlideCache):
            raise TypeError("Not a cache object")
        lowlevel.set_cache(self._handle, cache._handle if cache is not None else None)
        self._cache = cache

    def to_dask(self, level: int = 0, chunks: Any = None, *, mode: str = "RGBA",
                worker_threads: Optional[int] = 1) -> Any:
        """A dask array of a level: see :func:`tarnslide.dask.to_dask`."""
        from tarnslide import dask as tarn_dask
        return tarn_dask.to_dask(self, level, chunks, mode=mode, worker_threads=worker_threads)

    def zarr_store(self, level: Optional[int] = None, *, chunk_size: Optional[int] = None,
                   mode: str = "RGBA") -> Mapping[str, bytes]:
        """A read-only zarr v2 store of one level, or of every level as a multiscale group
        (level=None): see :class:`tarnslide.zarrstore.TarnZarrStore`."""
        from tarnslide.zarrstore import TarnZarrStore
        return TarnZarrStore(self, level, chunk_size=chunk_size, mode=mode)


TarnSlide = OpenSlide
TarnCache = OpenSlideCache


def _reopen(path: str, cache: Optional[OpenSlideCache],
            identity: Optional[lowlevel.Identity] = None) -> OpenSlide:
    """An unpickled slide: the file (or the URL's object version) its original opened, or
    OpenSlideError."""
    slide = OpenSlide.__new__(OpenSlide)
    slide._filename = slide._path = path
    slide._handle = lowlevel.SlideHandle(os.fsencode(path), identity)
    slide._cache = None
    slide._levels = _Levels(slide._handle)
    if cache is not None:
        slide.set_cache(cache)
    return slide


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
    def __init__(self, slide: OpenSlide):
        self._slide = slide

    def __getitem__(self, name: str) -> Image.Image:
        if name not in self._slide._levels.associated:
            raise KeyError(name)
        handle = self._slide._handle
        image = lowlevel.read_associated_image(handle, name)
        if lowlevel.has_newer_functions():
            icc = lowlevel.read_associated_image_icc_profile(handle, name)
            if icc:
                image.info["icc_profile"] = icc
        return image

    def __iter__(self) -> Iterator[str]:
        return iter(self._slide._levels.associated)

    def __len__(self) -> int:
        return len(self._slide._levels.associated)

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {list(self)!r}>"


class ImageSlide(AbstractSlide):
    """A PIL image (or an image file PIL reads) as a slide of one level, as openslide-python's
    ImageSlide: no properties, no associated images, transparent outside the image."""

    def __init__(self, file: Union[PathLike, Image.Image]):
        self._file_arg = file
        self._image: Optional[Image.Image]
        if isinstance(file, Image.Image):
            self._owned = False
            self._image = file
        else:
            self._owned = True
            self._image = Image.open(file)

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self._file_arg!r})"

    @classmethod
    def detect_format(cls, filename: PathLike) -> Optional[str]:
        """PIL's name of the file's format ("PNG", "JPEG", ...), or None."""
        try:
            with Image.open(filename) as image:
                return image.format
        except OSError:
            return None

    def close(self) -> None:
        if self._owned and self._image is not None:
            self._image.close()
        self._owned = False
        self._image = None

    @property
    def _opened(self) -> Image.Image:
        if self._image is None:
            raise ValueError("the slide is closed")
        return self._image

    @property
    def level_count(self) -> int:
        self._opened  # noqa: B018 - refuses a closed slide
        return 1

    @property
    def level_dimensions(self) -> Tuple[Size, ...]:
        return (self._opened.size,)

    @property
    def level_downsamples(self) -> Tuple[float, ...]:
        self._opened  # noqa: B018
        return (1.0,)

    @property
    def properties(self) -> Mapping[str, str]:
        self._opened  # noqa: B018
        return {}

    @property
    def associated_images(self) -> Mapping[str, Image.Image]:
        self._opened  # noqa: B018
        return {}

    @property
    def color_profile(self) -> Optional[ImageCms.ImageCmsProfile]:
        return _profile_of(self._opened.info.get("icc_profile") or b"")

    def get_best_level_for_downsample(self, _downsample: float) -> int:
        """0: an image has one level (the parameter's name is openslide-python's)."""
        self._opened  # noqa: B018
        return 0

    def read_region(self, location: Tuple[int, int], level: int,
                    size: Tuple[int, int]) -> Image.Image:
        image = self._opened
        if level != 0:
            raise lowlevel.invalid_level(level)
        width, height = size
        lowlevel.check_size(width, height)
        x, y = location
        tile = Image.new("RGBA", (width, height), (0, 0, 0, 0))
        # The part of the image inside the region, pasted where it falls.
        left, top = max(x, 0), max(y, 0)
        right, bottom = min(x + width, image.width), min(y + height, image.height)
        if left < right and top < bottom:
            tile.paste(image.crop((left, top, right, bottom)), (left - x, top - y))
        return tile

    def set_cache(self, cache: OpenSlideCache) -> None:
        """An image keeps no tiles: nothing to do."""


def open_slide(filename: PathLike) -> AbstractSlide:
    """Opens a whole-slide image, or another image as an ImageSlide.

    Tarn slides open as :class:`OpenSlide`; files of other slide formats through openslide-python
    when it is installed (as an :class:`AbstractSlide` that raises tarnslide's errors); other
    images PIL reads as :class:`ImageSlide`. A missing file raises FileNotFoundError, a file
    nothing reads PIL's UnidentifiedImageError. A URL opens as :class:`OpenSlide`, or raises its
    OpenSlideError."""
    if isinstance(filename, (str, bytes)) and lowlevel.is_url(filename):
        return OpenSlide(filename)
    try:
        return OpenSlide(filename)
    except OpenSlideUnsupportedFormatError:
        pass
    from tarnslide import _forward
    slide = _forward.open_slide(filename)
    return slide if slide is not None else ImageSlide(filename)


# These were the package's own before it had modules: reprs, pickles (a slide pickles as a call of
# _reopen, a cache as one of _cache_for_token) and help() still name them tarnslide's, so that
# pickles pass between this version and others.
for _public in (AbstractSlide, OpenSlideCache, OpenSlide, ImageSlide, _ReadOnly, _AssociatedImages,
                _reopen, _cache_for_token, open_slide):
    _public.__module__ = "tarnslide"
