"""Tarn slides as read-only zarr v2 stores, for zarr, dask.array.from_zarr, xarray and napari.

    import zarr, dask.array, xarray
    level0 = zarr.open_array(slide.zarr_store(0), mode="r")           # (h, w, 4) uint8
    lazy = dask.array.from_zarr(slide.zarr_store(0))
    pyramid = zarr.open_group(slide.zarr_store(), mode="r")          # arrays "0", "1", ...
    dataset = xarray.open_zarr(slide.zarr_store())                   # variables "0", "1", ...

A store is a Mapping that makes its keys on demand: the metadata (.zarray, .zattrs, and for all
levels .zgroup, .zmetadata and OME-NGFF "multiscales" attributes) and uncompressed chunks of whole
stored tiles, read through the library when asked. Chunks reaching past the picture hold the
pixels outside it: transparent (RGBA) or white (RGB).
"""
from __future__ import annotations

import json
import re
from collections.abc import Mapping
from typing import Any, Iterator, List, Optional, Tuple

import tarnslide
from tarnslide import _chunks, _pixels

__all__ = ["TarnZarrStore"]


def _json(value: Any) -> bytes:
    return json.dumps(value, indent=1).encode("ascii")


# A chunk's key within its array: row and column as zarr writes them (ASCII digits, no leading
# zero), then the one chunk of channels.
_CHUNK_KEY = re.compile(r"(0|[1-9][0-9]*)\.(0|[1-9][0-9]*)\.0")


class _Level:
    """One level as a zarr array: its shape, chunks and where it sits in the store."""

    def __init__(self, slide: tarnslide.OpenSlide, level: int, prefix: str, dims: List[str],
                 chunk_size: Optional[int], channels: int):
        self.level = level
        self.prefix = prefix
        self.width, self.height = slide.level_dimensions[level]
        tile = _chunks.tile_size(slide, level)
        self.chunk = _chunks.chunk_shape(chunk_size or (tile[1], tile[0]), tile)  # (h, w)
        self.rows = -(-self.height // self.chunk[0])
        self.columns = -(-self.width // self.chunk[1])
        self.zarray = {"zarr_format": 2, "shape": [self.height, self.width, channels],
                       "chunks": [self.chunk[0], self.chunk[1], channels], "dtype": "|u1",
                       "compressor": None, "fill_value": 0, "order": "C", "filters": None,
                       "dimension_separator": "."}
        self.zattrs = {"_ARRAY_DIMENSIONS": dims}

    def chunk_keys(self) -> Iterator[str]:
        for row in range(self.rows):
            for column in range(self.columns):
                yield f"{self.prefix}{row}.{column}.0"

    def parse(self, name: str) -> Optional[Tuple[int, int]]:
        """(row, column) of a chunk key without the prefix, None when there is no such chunk."""
        match = _CHUNK_KEY.fullmatch(name)
        if match is None:
            return None
        row, column = int(match[1]), int(match[2])
        return (row, column) if row < self.rows and column < self.columns else None


class TarnZarrStore(Mapping):
    """A read-only zarr v2 store of one level of a slide, or of all levels (level=None) as a
    group of arrays "0", "1", ... with multiscales metadata.

    chunk_size: chunks of whole stored tiles about this many pixels on a side (default: one
    tile). mode: "RGBA" (4 channels) or "RGB" (3)."""

    def __init__(self, slide: tarnslide.OpenSlide, level: Optional[int] = None, *,
                 chunk_size: Optional[int] = None, mode: str = "RGBA"):
        self._slide = slide
        self._mode = mode
        channels = _pixels.channels(mode)
        self._metadata: dict = {}
        if level is not None:
            level = _chunks.checked_level(slide, level)
            self._levels = [_Level(slide, level, "", ["y", "x", "c"], chunk_size, channels)]
        else:
            self._levels = [_Level(slide, k, f"{k}/", [f"y{k}", f"x{k}", "c"], chunk_size,
                                   channels) for k in range(slide.level_count)]
            self._metadata[".zgroup"] = {"zarr_format": 2}
            self._metadata[".zattrs"] = {"multiscales": [{
                "version": "0.4",
                "name": slide.path,
                "axes": [{"name": "y", "type": "space"}, {"name": "x", "type": "space"},
                         {"name": "c", "type": "channel"}],
                "datasets": [{"path": str(k), "coordinateTransformations": [
                    {"type": "scale", "scale": [d, d, 1.0]}]}
                    for k, d in enumerate(slide.level_downsamples)],
            }]}
        for entry in self._levels:
            self._metadata[entry.prefix + ".zarray"] = entry.zarray
            self._metadata[entry.prefix + ".zattrs"] = entry.zattrs
        if level is None:
            self._metadata[".zmetadata"] = {"zarr_consolidated_format": 1,
                                            "metadata": dict(self._metadata)}
        self._by_prefix = {entry.prefix: entry for entry in self._levels}

    def __repr__(self) -> str:
        return f"<{type(self).__name__} of {self._slide!r}>"

    def _find(self, key: str) -> Optional[Tuple[_Level, int, int]]:
        prefix, _, name = key.rpartition("/")
        entry = self._by_prefix.get(prefix + "/" if prefix else "")
        place = entry.parse(name) if entry is not None else None
        if entry is None or place is None:
            return None
        return entry, place[0], place[1]

    def __getitem__(self, key: str) -> bytes:
        if key in self._metadata:
            return _json(self._metadata[key])
        found = self._find(key) if isinstance(key, str) else None
        if found is None:
            raise KeyError(key)
        entry, row, column = found
        height, width = entry.chunk
        return _chunks.read_chunk(self._slide, entry.level, row * height, column * width, height,
                                  width, self._mode).tobytes()

    def __contains__(self, key: object) -> bool:
        return isinstance(key, str) and (key in self._metadata or self._find(key) is not None)

    def __iter__(self) -> Iterator[str]:
        yield from self._metadata
        for entry in self._levels:
            yield from entry.chunk_keys()

    def __len__(self) -> int:
        return len(self._metadata) + sum(entry.rows * entry.columns for entry in self._levels)

    # zarr accepts any mapping that has these; a read-only store refuses them.
    def __setitem__(self, key: str, value: Any) -> None:
        raise PermissionError("a Tarn slide's zarr store is read-only")

    def __delitem__(self, key: str) -> None:
        raise PermissionError("a Tarn slide's zarr store is read-only")
