"""Deep Zoom tiles of any slide, as openslide-python's DeepZoomGenerator makes them.

For a Tarn slide the geometry (levels, tiles, the slide area behind each tile) and the rendering
are the library's Deep Zoom, the same the tile server uses, so a viewer gets the same pyramid
from either. Other slides (an :class:`~tarnslide.ImageSlide`, a slide openslide-python reads,
or any object with OpenSlide's slide interface) get OpenSlide's geometry worked out here and
tiles scaled by PIL, as openslide-python makes them.

    from tarnslide.deepzoom import DeepZoomGenerator
    dz = DeepZoomGenerator(slide, tile_size=254, overlap=1, limit_bounds=False)
    dzi = dz.get_dzi("jpeg")
    tile = dz.get_tile(dz.level_count - 1, (0, 0))          # RGB PIL image
"""
from __future__ import annotations

import io
import math
from typing import Any, Tuple
from xml.etree.ElementTree import Element, ElementTree, SubElement

import numpy as np
from PIL import Image

import tarnslide
from tarnslide import _handles, _pixels, lowlevel

__all__ = ["DeepZoomGenerator"]

Size = Tuple[int, int]
TileCoordinates = Tuple[Tuple[int, int], int, Tuple[int, int]]
_SLIDE_ATTRIBUTES = ("level_dimensions", "level_downsamples", "properties", "read_region",
                     "get_best_level_for_downsample")


class DeepZoomGenerator:
    """Deep Zoom levels, tiles and DZI descriptor of a slide.

    tile_size: width and height of a tile (tile_size + 2 * overlap is best a power of two);
    overlap: extra pixels on each inner edge of a tile; limit_bounds: show only the slide's
    non-empty area (the box the BOUNDS_OFFSET_PROPS and BOUNDS_SIZE_PROPS properties give).
    The view lives as long as its slide is open."""

    BOUNDS_OFFSET_PROPS = (tarnslide.PROPERTY_NAME_BOUNDS_X, tarnslide.PROPERTY_NAME_BOUNDS_Y)
    BOUNDS_SIZE_PROPS = (tarnslide.PROPERTY_NAME_BOUNDS_WIDTH,
                         tarnslide.PROPERTY_NAME_BOUNDS_HEIGHT)

    def __init__(self, osr: tarnslide.AbstractSlide, tile_size: int = 254, overlap: int = 1,
                 limit_bounds: bool = False):
        if not isinstance(osr, tarnslide.AbstractSlide) and \
                not all(hasattr(osr, name) for name in _SLIDE_ATTRIBUTES):
            raise TypeError(f"a slide is required, not {type(osr).__name__}")
        if _handles.INT32.convert(tile_size) < 1:
            raise ValueError(f"tile size {tile_size} is below 1")
        if _handles.INT32.convert(overlap) < 0:
            raise ValueError(f"overlap {overlap} is negative")
        self._osr = osr
        self._arguments = (tile_size, overlap, bool(limit_bounds))
        bounds_props = (type(self).BOUNDS_OFFSET_PROPS, type(self).BOUNDS_SIZE_PROPS)
        if isinstance(osr, tarnslide.OpenSlide) and \
                bounds_props == (DeepZoomGenerator.BOUNDS_OFFSET_PROPS,
                                 DeepZoomGenerator.BOUNDS_SIZE_PROPS):
            self._pyramid: Any = _LibraryPyramid(osr, tile_size, overlap, bool(limit_bounds))
        else:
            self._pyramid = _PythonPyramid(osr, tile_size, overlap, bool(limit_bounds),
                                           *bounds_props)
        self._tiles = self._pyramid.tiles
        self._dimensions = self._pyramid.dimensions

    def __repr__(self) -> str:
        tile_size, overlap, limit_bounds = self._arguments
        return (f"{type(self).__name__}({self._osr!r}, tile_size={tile_size!r}, "
                f"overlap={overlap!r}, limit_bounds={limit_bounds!r})")

    @property
    def level_count(self) -> int:
        """The number of Deep Zoom levels."""
        return len(self._tiles)

    @property
    def level_tiles(self) -> Tuple[Size, ...]:
        """(columns, rows) of tiles of each Deep Zoom level."""
        return self._tiles

    @property
    def level_dimensions(self) -> Tuple[Size, ...]:
        """(width, height) in pixels of each Deep Zoom level."""
        return self._dimensions

    @property
    def tile_count(self) -> int:
        """Tiles of all levels together."""
        return sum(columns * rows for columns, rows in self._tiles)

    def _address(self, level: int, address: Tuple[int, int]) -> Tuple[int, int, int]:
        """(level, column, row), checked: ValueError for a tile the pyramid has not."""
        level = _handles.INT32.convert(level)
        if not 0 <= level < len(self._tiles):
            raise ValueError("Invalid level")
        column, row = address
        column, row = _handles.INT64.convert(column), _handles.INT64.convert(row)
        columns, rows = self._tiles[level]
        if not (0 <= column < columns and 0 <= row < rows):
            raise ValueError("Invalid address")
        return level, column, row

    def get_tile(self, level: int, address: Tuple[int, int]) -> Image.Image:
        """An RGB PIL image of the tile at (column, row) of a Deep Zoom level."""
        return self._pyramid.tile(*self._address(level, address))

    def get_tile_jpeg(self, level: int, address: Tuple[int, int], quality: int = 75) -> bytes:
        """The tile as a baseline JPEG; for Tarn slides encoded by the library, as the tile
        server sends it."""
        quality = _handles.Quality.convert(quality)
        return self._pyramid.tile_jpeg(*self._address(level, address), quality)

    def get_tile_coordinates(self, level: int, address: Tuple[int, int]) -> TileCoordinates:
        """The read_region arguments behind a tile: ((x, y), slide level, (width, height))."""
        return self._pyramid.coordinates(*self._address(level, address))[0]

    def get_tile_dimensions(self, level: int, address: Tuple[int, int]) -> Size:
        """(width, height) of a tile."""
        return self._pyramid.coordinates(*self._address(level, address))[1]

    def get_dzi(self, format: str) -> str:  # noqa: A002 - OpenSlide's name
        """The DZI descriptor (XML) naming `format` ("jpeg" or "png") as the tiles' format."""
        if format not in ("jpeg", "png"):
            raise ValueError(f"tile format {format!r} is not 'jpeg' or 'png'")
        return self._pyramid.dzi(format)


class _LibraryPyramid:
    """A Tarn slide's pyramid: the library's Deep Zoom view."""

    def __init__(self, slide: tarnslide.OpenSlide, tile_size: int, overlap: int,
                 limit_bounds: bool):
        self._view = lowlevel.deepzoom_create(slide._handle, tile_size, overlap, limit_bounds)
        count = lowlevel.deepzoom_get_level_count(self._view)
        self.tiles = tuple(lowlevel.deepzoom_get_level_tiles(self._view, k) for k in range(count))
        self.dimensions = tuple(lowlevel.deepzoom_get_level_dimensions(self._view, k)
                                for k in range(count))

    def coordinates(self, level: int, column: int, row: int) -> Tuple[TileCoordinates, Size]:
        info = lowlevel.deepzoom_get_tile_info(self._view, level, column, row)
        return ((info.x, info.y), info.level, (info.width, info.height)), \
            (info.tile_width, info.tile_height)

    def tile(self, level: int, column: int, row: int) -> Image.Image:
        info = lowlevel.deepzoom_get_tile_info(self._view, level, column, row)
        size = (info.tile_width, info.tile_height)
        # Tiles are opaque, so RGBA is PIL's own layout of RGB images: it can keep the array.
        layout = "RGBA" if _pixels.MAPS_IMAGES else "RGB"
        pixels = np.empty((info.tile_height, info.tile_width, _pixels.channels(layout)),
                          dtype=np.uint8)
        lowlevel.deepzoom_read_tile(self._view, level, column, row, pixels, layout, size)
        return _pixels.image(pixels, "RGB")

    def tile_jpeg(self, level: int, column: int, row: int, quality: int) -> bytes:
        return lowlevel.deepzoom_read_tile_jpeg(self._view, level, column, row, quality)

    def dzi(self, tile_format: str) -> str:
        return lowlevel.deepzoom_get_dzi(self._view, tile_format)


class _PythonPyramid:
    """OpenSlide's Deep Zoom geometry for any slide: level k of n halves the slide n - 1 - k
    times (rounding up), and reads from the slide level best for that downsample."""

    def __init__(self, osr: Any, tile_size: int, overlap: int, limit_bounds: bool,
                 offset_props: Tuple[str, str], size_props: Tuple[str, str]):
        self._osr, self._tile_size, self._overlap = osr, tile_size, overlap
        properties = osr.properties
        if limit_bounds:
            self._l0_offset = tuple(int(properties.get(name, 0)) for name in offset_props)
            scale = tuple(int(properties.get(name, whole)) / whole
                          for name, whole in zip(size_props, osr.dimensions))
            self._l_dimensions = tuple(
                tuple(int(math.ceil(side * factor)) for side, factor in zip(size, scale))
                for size in osr.level_dimensions)
        else:
            self._l0_offset = (0, 0)
            self._l_dimensions = tuple(osr.level_dimensions)
        size = self._l_dimensions[0]
        sizes = [size]
        while size[0] > 1 or size[1] > 1:
            size = tuple(max(1, int(math.ceil(side / 2))) for side in size)
            sizes.append(size)
        self.dimensions = tuple(reversed(sizes))
        self.tiles = tuple(tuple(int(math.ceil(side / tile_size)) for side in size)
                           for size in self.dimensions)
        count = len(self.dimensions)
        downsamples = [2 ** (count - level - 1) for level in range(count)]
        self._slide_levels = tuple(osr.get_best_level_for_downsample(d) for d in downsamples)
        self._l0_l = tuple(osr.level_downsamples)
        self._l_z = tuple(downsample / self._l0_l[slide_level]
                          for downsample, slide_level in zip(downsamples, self._slide_levels))
        self._background = "#" + properties.get(tarnslide.PROPERTY_NAME_BACKGROUND_COLOR,
                                                "ffffff")

    def coordinates(self, level: int, column: int, row: int) -> Tuple[TileCoordinates, Size]:
        slide_level = self._slide_levels[level]
        tile_size, overlap, l_z = self._tile_size, self._overlap, self._l_z[level]
        location, read, shown = [], [], []
        for index, (t, last, side, l_side, offset) in enumerate(zip(
                (column, row), self.tiles[level], self.dimensions[level],
                self._l_dimensions[slide_level], self._l0_offset)):
            before = overlap if t != 0 else 0
            after = overlap if t != last - 1 else 0
            z_size = min(tile_size, side - tile_size * t) + before + after
            l_position = l_z * (tile_size * t - before)
            location.append(int(self._l0_l[slide_level] * l_position + offset))
            read.append(int(min(math.ceil(l_z * z_size), l_side - math.ceil(l_position))))
            shown.append(z_size)
        return (tuple(location), slide_level, tuple(read)), tuple(shown)  # type: ignore

    def tile(self, level: int, column: int, row: int) -> Image.Image:
        arguments, size = self.coordinates(level, column, row)
        region = self._osr.read_region(*arguments)
        tile = Image.composite(region, Image.new("RGB", region.size, self._background), region)
        if tile.size != size:
            tile.thumbnail(size, Image.Resampling.LANCZOS)
        return tile

    def tile_jpeg(self, level: int, column: int, row: int, quality: int) -> bytes:
        encoded = io.BytesIO()
        self.tile(level, column, row).save(encoded, "jpeg", quality=quality)
        return encoded.getvalue()

    def dzi(self, tile_format: str) -> str:
        image = Element("Image", TileSize=str(self._tile_size), Overlap=str(self._overlap),
                        Format=tile_format, xmlns="http://schemas.microsoft.com/deepzoom/2008")
        width, height = self._l_dimensions[0]
        SubElement(image, "Size", Width=str(width), Height=str(height))
        text = io.BytesIO()
        ElementTree(element=image).write(text, encoding="UTF-8")
        return text.getvalue().decode("UTF-8")
