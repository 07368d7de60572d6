"""tarnslide.convert: a slide into DICOM, OME-TIFF, pyramidal TIFF or OME-Zarr, by the code of
`tarn convert` (libtarnexport's conversion formats) through ctypes."""
from __future__ import annotations

import ctypes
import json
import os
import tempfile
from typing import Any, Callable, Dict, NamedTuple, Optional, Union

from tarnslide import _exportapi
from tarnslide._errors import OpenSlideError

PathLike = Union[str, "os.PathLike[str]"]

# (format, the suffixes of OUT that pick it, the suffix of its output inside a folder)
FORMATS = (("ome-tiff", (".ome.tiff", ".ome.tif"), ".ome.tiff"),
           ("tiff", (".tiff", ".tif"), ".tiff"),
           ("ome-zarr", (".ome.zarr",), ".ome.zarr"),
           ("dicom", (), ""))


class ConvertProgress(NamedTuple):
    """Where a conversion stands, as handed to the `progress` callable."""

    event: str  # "started", "tiles" or "finished"
    slide: str
    output: str
    summary: str
    tiles_total: int
    tiles_done: int
    tiles_damaged: int
    seconds: float


_EVENTS = ("started", "tiles", "finished")


def format_for(out: PathLike) -> str:
    """The format an output's name asks for: .ome.tiff/.ome.tif, .tiff/.tif, .ome.zarr, else
    DICOM (a folder)."""
    name = os.fspath(out).rstrip("/").lower()
    for format_name, suffixes, _ in FORMATS:
        if any(name.endswith(suffix) for suffix in suffixes):
            return format_name
    return "dicom"


def extension_of(format_name: str) -> str:
    """The suffix of a slide's output in a folder of outputs ("" for DICOM's folder)."""
    for name, _, extension in FORMATS:
        if name == format_name:
            return extension
    raise ValueError(f"no conversion format is named {format_name!r} "
                     "(there are dicom, ome-tiff, tiff and ome-zarr)")


def _options(quality: int, tile: int, metadata: Optional[str], mpp: Optional[float],
             no_label: bool, new_uids: bool, overwrite: bool,
             skip_damaged: bool) -> Dict[str, str]:
    options = {"quality": str(int(quality)), "tile": str(int(tile))}
    if metadata is not None:
        options["metadata"] = metadata
    if mpp is not None:
        options["mpp"] = repr(float(mpp))
    for name, on in (("no-label", no_label), ("new-uids", new_uids), ("overwrite", overwrite),
                     ("skip-damaged", skip_damaged)):
        if on:
            options[name] = "1"
    return options


def convert(slide_or_path: Any, out: PathLike, *, format: Optional[str] = None,
            quality: int = 90, tile: int = 256, threads: Optional[int] = None,
            metadata: Union[None, PathLike, Dict[str, Any]] = None, mpp: Optional[float] = None,
            no_label: bool = False, new_uids: bool = False, overwrite: bool = False,
            skip_damaged: bool = False,
            progress: Optional[Callable[[ConvertProgress], Any]] = None) -> str:
    """Converts a slide (a path, a URL, or an open :class:`tarnslide.OpenSlide`) to `out`, as
    ``tarn convert SLIDE OUT`` does, and returns the output's path.

    `format` is "dicom", "ome-tiff", "tiff" or "ome-zarr"; by default it comes from `out`'s name
    (.ome.tiff, .tiff, .ome.zarr; anything else is a DICOM folder). Every level the slide stores
    is written, and those below down to one tile, in JPEG tiles of `quality` and `tile` pixels,
    with the label, macrograph (both left out with `no_label`) and thumbnail. `metadata` is a
    JSON file or a dict of DICOM keywords (PatientID, StudyDate, ...); `mpp` overrides the
    slide's micrometres per pixel (a slide without one needs it); `new_uids` gives fresh UIDs
    rather than ones derived from the slide. `threads` read and encode tiles (None: one per
    processor). The output is written under a temporary name and renamed when whole: an existing
    one raises unless `overwrite`, and a failure leaves nothing. A tile that cannot be read
    fails the conversion unless `skip_damaged` (then it is white, and counted in the output's
    metadata and in the progress). `progress` is called with a :class:`ConvertProgress` at the
    start, about every 100 ms and at the end; a true return cancels the conversion.

    Raises OpenSlideError with the library's message on failure or cancel; a KeyboardInterrupt
    during the conversion stops it cleanly and is raised again."""
    library = _exportapi.lib()
    format_name = format or format_for(out)
    extension_of(format_name)  # a name of the four
    if format_name not in _exportapi.format_names():
        raise OpenSlideError(f"the {format_name} format is not available in this build")
    temporary = None
    if isinstance(metadata, dict):
        handle, temporary = tempfile.mkstemp(prefix="tarn-metadata-", suffix=".json")
        with os.fdopen(handle, "w", encoding="utf-8") as file:
            json.dump(metadata, file)
        metadata = temporary
    job = library.tarn_export_job_create(format_name.encode())
    if not job:
        raise OpenSlideError(_exportapi.error_text(None))
    try:
        for name, value in _options(quality, tile, None if metadata is None
                                    else os.fspath(metadata), mpp, no_label, new_uids,
                                    overwrite, skip_damaged).items():
            if library.tarn_export_job_set_option(job, name.encode(), value.encode()) != 0:
                raise ValueError(_exportapi.error_text(job))
        output = os.fspath(out)
        library.tarn_export_job_set_output(job, os.fsencode(output))
        library.tarn_export_job_set_threads(job, 0 if threads is None else int(threads))
        return _run(library, job, slide_or_path, output, progress)
    finally:
        library.tarn_export_job_destroy(job)
        if temporary is not None:
            os.unlink(temporary)


def _run(library: Any, job: int, slide_or_path: Any, output: str,
         progress: Optional[Callable[[ConvertProgress], Any]]) -> str:
    raised = []
    cancel = ctypes.c_int(0)

    def report(_context: Any, record: Any) -> int:
        # Runs on this thread: a KeyboardInterrupt lands here and cancels the run.
        try:
            p = record.contents
            if progress is not None and progress(ConvertProgress(
                    _EVENTS[p.event] if 0 <= p.event < len(_EVENTS) else "tiles",
                    (p.slide or b"").decode("utf-8", "replace"),
                    (p.output or b"").decode("utf-8", "replace"),
                    (p.summary or b"").decode("utf-8", "replace"), p.tiles_total,
                    p.tiles_done, p.tiles_damaged, p.seconds)):
                return 1
        except BaseException as error:  # noqa: B902 - raised again after the run
            raised.append(error)
            return 1
        return 0

    callback = _exportapi.PROGRESS_FN(report)
    library.tarn_export_job_set_progress(job, callback, None)
    library.tarn_export_job_set_cancel(job, ctypes.byref(cancel))
    if hasattr(slide_or_path, "_handle") and hasattr(slide_or_path, "read_region"):
        handle = slide_or_path._handle
        name = os.path.basename(slide_or_path.path or "slide")
        with handle as pointer:
            library.tarn_export_job_add_open_slide(job, pointer, os.fsencode(name))
            result = library.tarn_export_job_run(job)
    else:
        path = os.fspath(slide_or_path)
        library.tarn_export_job_add_slide(job, os.fsencode(path))
        result = library.tarn_export_job_run(job)
    if raised:
        raise raised[0]
    if result == _exportapi.TARN_EXPORT_FAILED:
        raise OpenSlideError(_exportapi.error_text(job))
    if result == _exportapi.TARN_EXPORT_CANCELLED:
        raise OpenSlideError(f"the conversion was cancelled: {output} was not written")
    return output


__all__ = ["convert", "ConvertProgress", "format_for", "extension_of"]
