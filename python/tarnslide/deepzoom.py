"""Deep Zoom tiles of Tarn slides, as OpenSlide's DeepZoomGenerator makes them.

The geometry (levels, tiles, the slide area behind each tile) and the rendering are the
library's Deep Zoom, the same the tile server uses, so a viewer gets the same pyramid from
either:

    from tarnslide.deepzoom import DeepZoomGenerator
    dz = DeepZoomGenerator(slide, tile_size=254, overlap=1, limit_bounds=False)
    dzi = dz.get_dzi("jpeg")
    tile = dz.get_tile(dz.level_count - 1, (0, 0))          # RGB PIL image
"""
from __future__ import annotations

from typing import Tuple

import numpy as np
from PIL import Image

from tarnslide import TarnSlide, lowlevel

__all__ = ["DeepZoomGenerator"]


class DeepZoomGenerator:
    """Deep Zoom levels, tiles and DZI descriptor of a :class:`~tarnslide.TarnSlide`.

    tile_size: width and height of a tile (tile_size + 2 * overlap is best a power of two);
    overlap: extra pixels on each inner edge of a tile; limit_bounds: show only the slide's
    non-empty area (the openslide.bounds-* box). The view lives as long as its slide is open."""

    def __init__(self, osr: TarnSlide, tile_size: int = 254, overlap: int = 1,
                 limit_bounds: bool = False):
        if not isinstance(osr, TarnSlide):
            raise TypeError(f"a TarnSlide is required, not {type(osr).__name__}")
        if lowlevel._INT32.convert(tile_size) < 1:
            raise ValueError(f"tile size {tile_size} is below 1")
        if lowlevel._INT32.convert(overlap) < 0:
            raise ValueError(f"overlap {overlap} is negative")
        self._osr = osr
        self._arguments = (tile_size, overlap, bool(limit_bounds))
        self._view = lowlevel.deepzoom_create(osr._handle, tile_size, overlap, limit_bounds)
        count = lowlevel.deepzoom_get_level_count(self._view)
        self._tiles = tuple(lowlevel.deepzoom_get_level_tiles(self._view, k) for k in range(count))
        self._dimensions = tuple(lowlevel.deepzoom_get_level_dimensions(self._view, k)
                                 for k in range(count))
        self._tile_count = lowlevel.deepzoom_get_tile_count(self._view)

    def __repr__(self) -> str:
        tile_size, overlap, limit_bounds = self._arguments
        return (f"{type(self).__name__}({self._osr!r}, tile_size={tile_size!r}, "
                f"overlap={overlap!r}, limit_bounds={limit_bounds!r})")

    @property
    def level_count(self) -> int:
        """The number of Deep Zoom levels."""
        return len(self._tiles)

    @property
    def level_tiles(self) -> Tuple[Tuple[int, int], ...]:
        """(columns, rows) of tiles of each Deep Zoom level."""
        return self._tiles

    @property
    def level_dimensions(self) -> Tuple[Tuple[int, int], ...]:
        """(width, height) in pixels of each Deep Zoom level."""
        return self._dimensions

    @property
    def tile_count(self) -> int:
        """Tiles of all levels together."""
        return self._tile_count

    def _info(self, level: int, address: Tuple[int, int]) -> lowlevel.DeepZoomTile:
        level = lowlevel._INT32.convert(level)
        if not 0 <= level < len(self._tiles):
            raise ValueError("Invalid level")
        column, row = address
        column, row = lowlevel._INT64.convert(column), lowlevel._INT64.convert(row)
        columns, rows = self._tiles[level]
        if not (0 <= column < columns and 0 <= row < rows):
            raise ValueError("Invalid address")
        return lowlevel.deepzoom_get_tile_info(self._view, level, column, row)

    def get_tile(self, level: int, address: Tuple[int, int]) -> Image.Image:
        """An RGB PIL image of the tile at (column, row) of a Deep Zoom level."""
        info = self._info(level, address)
        pixels = np.empty((info.tile_height, info.tile_width, 3), dtype=np.uint8)
        lowlevel.deepzoom_read_tile(self._view, level, address[0], address[1], pixels, "RGB")
        return Image.frombytes("RGB", (info.tile_width, info.tile_height), pixels)

    def get_tile_jpeg(self, level: int, address: Tuple[int, int], quality: int = 75) -> bytes:
        """The tile encoded by the library as a baseline JPEG, as the tile server sends it."""
        self._info(level, address)
        return lowlevel.deepzoom_read_tile_jpeg(self._view, level, address[0], address[1],
                                                quality)

    def get_tile_coordinates(self, level: int, address: Tuple[int, int]) -> tuple:
        """The read_region arguments behind a tile: ((x, y), slide level, (width, height))."""
        info = self._info(level, address)
        return (info.x, info.y), info.level, (info.width, info.height)

    def get_tile_dimensions(self, level: int, address: Tuple[int, int]) -> Tuple[int, int]:
        """(width, height) of a tile."""
        info = self._info(level, address)
        return info.tile_width, info.tile_height

    def get_dzi(self, format: str) -> str:  # noqa: A002 - OpenSlide's name
        """The DZI descriptor (XML) naming `format` ("jpeg" or "png") as the tiles' format."""
        if format not in ("jpeg", "png"):
            raise ValueError(f"tile format {format!r} is not 'jpeg' or 'png'")
        return lowlevel.deepzoom_get_dzi(self._view, format)
