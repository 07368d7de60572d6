"""Tarn slides on Dask: lazy arrays of a level, and a distributed tile export.

    import tarnslide, tarnslide.dask
    from distributed import Client
    client = Client(n_workers=4, threads_per_worker=1)
    slide = tarnslide.TarnSlide("slide.tarn")
    level0 = slide.to_dask(0)                       # (h, w, 4) uint8, chunks of whole tiles
    tissue = (level0[..., 1] < 200).sum().compute()
    tarnslide.dask.export_tiles(["a.tarn", "b.tarn"], "tiles", 512, client=client)
    tarnslide.dask.convert_many(["a.tarn", "b.tarn"], "dicom", client=client)  # a task a slide

Tasks carry the slide's path, not its handle, and open it once per worker process. In a worker
process the library is kept to `worker_threads` threads (1 by default, so that processes do not
oversubscribe the cores; None leaves it alone, as does a TARN_NUM_THREADS set for the workers).
"""
from __future__ import annotations

import os
import re
import threading
from typing import Any, Iterable, Optional, Sequence, Tuple, Union

import numpy as np

import tarnslide
from tarnslide import _chunks, _pixels, lowlevel

__all__ = ["to_dask", "export_tiles", "convert_many"]

DEFAULT_CHUNK = 2048  # pixels: a task per stored tile costs more to schedule than to decode


class _SlideSpec(tuple):
    """What a task needs to open a slide: (path, identity, cache, worker threads, the client's
    pid). A type of its own, so that Dask never takes it for a task or a key."""


_capped = False


def _cap_threads(threads: Optional[int], client_pid: int) -> None:
    """Keeps a worker process's library to `threads` threads, once per process."""
    global _capped
    if (_capped or threads is None or os.getpid() == client_pid
            or "TARN_NUM_THREADS" in os.environ):
        return
    tarnslide.set_threads(threads)
    _capped = True


def _process_slide(spec: _SlideSpec) -> tarnslide.OpenSlide:
    """The slide of `spec`, kept open in this process for the tasks that follow (a slide opened
    from a file object travels itself, on threads only: it does not pickle)."""
    path, identity, cache, threads, client_pid = spec
    if path is None:
        return identity
    _cap_threads(threads, client_pid)
    return _chunks.kept_slide(path, identity, cache)


def _read_chunk(spec: _SlideSpec, level: int, top: int, left: int, height: int, width: int,
                mode: str) -> np.ndarray:
    return _chunks.read_chunk(_process_slide(spec), level, top, left, height, width, mode)


def _splits(total: int, step: int) -> Tuple[int, ...]:
    return tuple(min(step, total - start) for start in range(0, total, step)) or (0,)


def to_dask(slide: tarnslide.OpenSlide, level: int = 0,
            chunks: Union[None, int, Tuple[int, int]] = None, *, mode: str = "RGBA",
            worker_threads: Optional[int] = 1) -> Any:
    """A lazy dask array (height, width, 4) of a level, or (height, width, 3) with mode="RGB".

    Chunks are whole tiles of the stored grid, about `chunks` pixels on a side (2048 by
    default; an int or (height, width), rounded to the tile size). Each task reopens the slide
    by path or URL in the process that runs it (each worker fetching its own ranges of a URL),
    so the array computes on a dask.distributed cluster of worker processes as well as on
    threads; a task that finds another file at the path, or another version of the URL's
    object, raises OpenSlideError. A slide opened from a file object computes on threads only."""
    import dask.array
    from dask.base import tokenize

    width, height = slide.level_dimensions[_chunks.checked_level(slide, level)]
    channels = _pixels.channels(mode)
    chunk_height, chunk_width = _chunks.chunk_shape(
        DEFAULT_CHUNK if chunks is None else chunks, _chunks.tile_size(slide, level))
    identity = slide._handle.identity if slide.path is not None else slide
    spec = _SlideSpec((slide.path, identity, slide._cache, worker_threads, os.getpid()))
    name = "tarn-read-" + tokenize(slide.path, identity, level, chunk_height, chunk_width, mode)
    rows, columns = _splits(height, chunk_height), _splits(width, chunk_width)
    graph = {}
    for i, rows_here in enumerate(rows):
        for j, columns_here in enumerate(columns):
            graph[(name, i, j, 0)] = (_read_chunk, spec, level, i * chunk_height,
                                      j * chunk_width, rows_here, columns_here, mode)
    return dask.array.Array(graph, name, chunks=(rows, columns, (channels,)), dtype=np.uint8)


# ---- Export ----

_INT_MAX = (1 << 31) - 1  # tile origins are ints in the fixed interface
_TEMPORARY = re.compile(r"^\..+\.jpeg\.\d+-\d+\.tmp$")


def _write_atomically(path: str, data: bytes) -> None:
    """Writes the file under a temporary name beside it and renames it: readers see the whole
    file or none, whenever the writer dies."""
    directory, name = os.path.split(path)
    temporary = os.path.join(directory, f".{name}.{os.getpid()}-{threading.get_ident()}.tmp")
    try:
        with open(temporary, "wb") as file:
            file.write(data)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def _export_row(spec: _SlideSpec, directory: str, row: int, columns: int,
                tile: Tuple[int, int], resume: bool) -> int:
    slide = _process_slide(spec)
    os.makedirs(directory, exist_ok=True)
    width, height = tile
    for column in range(columns):
        name = os.path.join(directory, lowlevel.export_tile_name(column, row, width, height))
        if not (resume and os.path.isfile(name)):  # a file has its name only when whole
            jpeg = lowlevel.read_export_tile_jpeg(slide._handle, 0, column, row, width, height)
            _write_atomically(name, jpeg)
    return columns


def _finish(directory: str, written: Sequence[int]) -> int:
    """Removes the temporaries of writers that died, once every row is written."""
    os.makedirs(directory, exist_ok=True)
    for name in os.listdir(directory):
        if _TEMPORARY.match(name):
            try:
                os.unlink(os.path.join(directory, name))
            except FileNotFoundError:
                pass
    return sum(written)


PathLike = Union[str, "os.PathLike[str]"]


def export_tiles(paths: Iterable[PathLike], out_dir: PathLike,
                 tile_size: Union[int, Tuple[int, int]] = 512, client: Any = None, *,
                 resume: bool = False, worker_threads: Optional[int] = 1) -> dict:
    """Cuts layer 0 of each slide (a path or a URL) into JPEG tiles in out_dir/<slide name>/,
    on Dask.

    The files are the ones `tarn export` writes: <column>_<row>_<W>_<H>.jpeg, the same bytes.
    Each is written atomically, so a worker that dies leaves no partial file, and Dask runs its
    tasks again elsewhere. `tile_size` is W (= H) or (W, H). With a dask.distributed `client`
    the work runs on its cluster; without one, on Dask's default scheduler. With resume=True
    tiles already on disk are kept (as `tarn export --resume`). Returns the number of tiles of
    each path. Every task exports the file (or the URL's object version) the client opened: one
    that finds another raises OpenSlideError. Workers fetch the tiles they export themselves."""
    import dask

    tile = (tile_size, tile_size) if isinstance(tile_size, int) else tuple(tile_size)
    if len(tile) != 2 or not all(isinstance(side, int) and 1 <= side <= 65500 for side in tile):
        raise ValueError(f"tile size {tile_size!r} must be 1-65500 pixels")
    absolute = [os.fsdecode(path) if lowlevel.is_url(path) else os.path.abspath(os.fspath(path))
                for path in paths]
    names = [os.path.splitext(os.path.basename(lowlevel.shown(path)))[0] for path in absolute]
    if len(set(names)) != len(names):
        raise ValueError("two slides would share one output folder: their names must differ")
    out_dir = os.path.abspath(os.fspath(out_dir))
    pid = os.getpid()
    jobs = []
    for path, name in zip(absolute, names):
        slide = _chunks.kept_slide(path)
        width, height = slide.dimensions
        columns, rows = -(-width // tile[0]), -(-height // tile[1])
        directory = os.path.join(out_dir, name)
        spec = _SlideSpec((path, slide._handle.identity, None, worker_threads, pid))
        written = [dask.delayed(_export_row, pure=False)(spec, directory, row, columns, tile,
                                                         resume)
                   for row in range(rows)]
        jobs.append(dask.delayed(_finish, pure=False)(directory, written))
    if client is not None:
        counts = client.gather(client.compute(jobs))
    else:
        counts = dask.compute(*jobs)
    return dict(zip(absolute, counts))


# ---- Conversion ----

def _convert_slide(path: str, output: str, options: dict, worker_threads: Optional[int],
                   client_pid: int) -> str:
    _cap_threads(worker_threads, client_pid)
    return tarnslide.convert(path, output, **options)


def convert_many(paths: Iterable[PathLike], out_dir: PathLike, client: Any = None, *,
                 worker_threads: Optional[int] = 1, **options: Any) -> dict:
    """Converts each slide (a path or a URL) into out_dir, one Dask task per slide, as
    :func:`tarnslide.convert` does (the same keyword options; `format` picks the format for
    all, DICOM by default), and returns each path's output: out_dir/<slide name> for DICOM,
    out_dir/<slide name>.ome.tiff, .tiff or .ome.zarr otherwise.

    Each task opens its slide in the worker that runs it (fetching a URL's ranges itself) and
    converts it with `threads` threads (1 by default: the cluster's workers are the parallelism;
    the library's decoding threads are kept to `worker_threads` as for :func:`to_dask`). Every
    output is written under a temporary name and renamed when whole, so a task that dies
    leaves nothing, and an existing output raises unless overwrite=True. With a
    dask.distributed `client` the work runs on its cluster; without one, on Dask's default
    scheduler."""
    import dask

    from tarnslide._convert import extension_of

    options.setdefault("threads", 1)
    if "progress" in options:
        raise TypeError("convert_many takes no progress callable: tasks run on the workers")
    extension = extension_of(options.get("format") or "dicom")
    options.setdefault("format", options.get("format") or "dicom")
    absolute = [os.fsdecode(path) if lowlevel.is_url(path) else os.path.abspath(os.fspath(path))
                for path in paths]
    names = [os.path.splitext(os.path.basename(lowlevel.shown(path)))[0] for path in absolute]
    if len(set(names)) != len(names):
        raise ValueError("two slides would share one output: their names must differ")
    out_dir = os.path.abspath(os.fspath(out_dir))
    os.makedirs(out_dir, exist_ok=True)
    pid = os.getpid()
    jobs = [dask.delayed(_convert_slide, pure=False)(path, os.path.join(out_dir, name + extension),
                                                     options, worker_threads, pid)
            for path, name in zip(absolute, names)]
    if client is not None:
        outputs = client.gather(client.compute(jobs))
    else:
        outputs = dask.compute(*jobs)
    return dict(zip(absolute, outputs))
