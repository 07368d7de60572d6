"""tarn_export.h for ctypes: libtarnexport loaded on first use, its progress record, and the
functions :func:`tarnslide.convert` calls, each declared once under its C name.

The export library links libDecodeTarn by its soname, so the one :mod:`tarnslide._capi` loaded
serves it too, and slides opened by tarnslide can be handed to its jobs.
"""
from __future__ import annotations

import ctypes
import os
import threading
from ctypes import POINTER, c_char_p, c_double, c_int, c_int32, c_int64, c_uint64, c_void_p
from typing import Any, List, Optional

from tarnslide import _capi

SONAME = "libtarnexport.so.1"

TARN_EXPORT_DONE = 0
TARN_EXPORT_CANCELLED = 1
TARN_EXPORT_FAILED = -1


def library_paths() -> List[str]:
    """Where the library is looked for, in order: TARN_EXPORT_LIBRARY if set; else inside the
    package; beside the libDecodeTarn loaded (an installed tree) or in its export/ folder (a
    build tree); the loader's search."""
    configured = os.environ.get("TARN_EXPORT_LIBRARY")
    if configured:
        return [configured]
    here = os.path.dirname(os.path.abspath(__file__))
    beside = os.path.dirname(os.path.realpath(_capi.library_path()))
    candidates = [os.path.join(here, SONAME), os.path.join(beside, SONAME),
                  os.path.join(beside, "export", SONAME)]
    return [path for path in candidates if os.path.exists(path)] + [SONAME]


class Progress(ctypes.Structure):
    """tarn_export_progress: fields only ever added at its end."""

    _fields_ = [("event", c_int), ("slide_index", c_int32), ("slide_count", c_int32),
                ("slide", c_char_p), ("output", c_char_p), ("summary", c_char_p),
                ("tiles_total", c_int64), ("tiles_done", c_int64), ("tiles_skipped", c_int64),
                ("bytes", c_uint64), ("seconds", c_double), ("threads", c_int32),
                ("tiles_damaged", c_int64)]


PROGRESS_FN = ctypes.CFUNCTYPE(c_int, c_void_p, POINTER(Progress))

_DECLARATIONS = {
    "tarn_export_get_format_count": (c_int32,),
    "tarn_export_get_format_name": (c_char_p, c_int32),
    "tarn_export_job_create": (c_void_p, c_char_p),
    "tarn_export_job_destroy": (None, c_void_p),
    "tarn_export_job_set_option": (c_int, c_void_p, c_char_p, c_char_p),
    "tarn_export_job_add_slide": (c_int, c_void_p, c_char_p),
    "tarn_export_job_add_open_slide": (c_int, c_void_p, c_void_p, c_char_p),
    "tarn_export_job_set_output": (c_int, c_void_p, c_char_p),
    "tarn_export_job_set_threads": (None, c_void_p, c_int),
    "tarn_export_job_set_progress": (None, c_void_p, PROGRESS_FN, c_void_p),
    "tarn_export_job_set_cancel": (None, c_void_p, POINTER(c_int)),
    "tarn_export_job_run": (c_int, c_void_p),
    "tarn_export_get_error": (c_char_p, c_void_p),
}

_lock = threading.Lock()
_lib: Optional[ctypes.CDLL] = None


def lib() -> Any:
    """The loaded library with its functions declared; ImportError when none can be loaded."""
    global _lib
    with _lock:
        if _lib is None:
            failures = []
            for path in library_paths():
                try:
                    loaded = ctypes.CDLL(path)
                    break
                except OSError as error:
                    failures.append(f"{path}: {error}")
            else:
                raise ImportError("tarnslide cannot load libtarnexport (" + "; ".join(failures)
                                  + "); set TARN_EXPORT_LIBRARY to the library's path")
            for name, (result, *arguments) in _DECLARATIONS.items():
                function = getattr(loaded, name)
                function.restype = result
                function.argtypes = arguments
            _lib = loaded
        return _lib


def format_names() -> List[str]:
    """The formats the loaded library writes."""
    library = lib()
    return [library.tarn_export_get_format_name(i).decode()
            for i in range(library.tarn_export_get_format_count())]


def error_text(job: Optional[int]) -> str:
    text = lib().tarn_export_get_error(job)
    return text.decode("utf-8", "replace") if text else "unknown failure"
