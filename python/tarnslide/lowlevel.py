"""libDecodeTarn's modern interface (tarn.h) through ctypes, almost call for call.

Most users want :class:`tarnslide.OpenSlide`. The functions named as in openslide-python's
``openslide.lowlevel`` take and return what those take and return (``open``, ``close``,
``get_level_count``, ..., ``read_region`` and ``read_associated_image`` giving PIL images,
``get_error``, ``get_version``, ``detect_vendor``, the cache and ICC profile calls); the rest
(``read_region_into``, ``deepzoom_*``, ``cache_get_stats``, ...) are this library's own.

Every C function is declared once with its argument and result types. Arguments pass through
converters that refuse wrong types and values the C type cannot hold (``TypeError``,
``OverflowError``, ``ValueError``) before C sees them, and every failure the library reports comes
back as :class:`OpenSlideError` carrying its message. Functions that libraries older than
:data:`NEWER_FUNCTIONS_VERSION` lack are looked up when the module loads; without them the calls
raise :class:`OpenSlideVersionError`.

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
import itertools
import operator
import os
import re
import stat
import threading
import weakref
from ctypes import POINTER, byref, c_char_p, c_double, c_int, c_int32, c_int64, c_size_t
from ctypes import c_uint8, c_uint64, c_void_p
from typing import Any, Callable, List, Optional, Tuple, Union

from PIL import Image

SONAME = "libDecodeTarn.so.1"
# The first library version with tarn_get_version, tarn_detect_vendor and the ICC profile calls.
NEWER_FUNCTIONS_VERSION = "1.2.0"


class OpenSlideError(Exception):
    """A failure reported by the library; the message is the library's. Every error tarnslide
    raises for a slide is one (``TarnError`` is another name for it)."""


class OpenSlideUnsupportedFormatError(OpenSlideError):
    """The file is not a slide this reader opens: missing, unreadable, or of another format."""


class OpenSlideVersionError(OpenSlideError):
    """The library loaded is too old for the call; ``minimum_version`` is the first that has it."""

    def __init__(self, minimum_version: str, library: str = "libDecodeTarn"):
        super().__init__(f"{library} >= {minimum_version} required")
        self.minimum_version = minimum_version


class InvalidLevelError(OpenSlideError):
    """A level the slide does not have. OpenSlide answers a read of such a level with transparent
    pixels; tarnslide refuses it, since it is always a mistake of the caller."""


TarnError = OpenSlideError
# What a forked or unpickled copy of a slide must find when it opens the slide again: for a file,
# (inode, size, modification time in ns) of the file the slide opened (not the device: a copy
# unpickled on another machine sees a shared file system under a device number of its own); for
# a URL, the version of the object the slide opened (its tarn.object-version property).
Identity = Union[Tuple[int, int, int], str]

_URL_SCHEMES = (b"http://", b"https://", b"s3://")


def is_url(name: Any) -> bool:
    """Whether `name` (str or bytes) is a URL the library reads: http://, https:// or s3://."""
    if isinstance(name, str):
        name = name.encode("utf-8", "surrogateescape")
    return isinstance(name, bytes) and name[:8].lower().startswith(_URL_SCHEMES)


def shown(name: Any) -> str:
    """A slide's path or URL as messages show it: a URL without its user part and query, where
    credentials and signatures travel."""
    text = os.fsdecode(name) if isinstance(name, bytes) else str(name)
    if not is_url(text):
        return text
    text = re.split(r"[?#]", text, maxsplit=1)[0]
    scheme, _, rest = text.partition("://")
    authority, slash, path = rest.partition("/")
    return f"{scheme}://{authority.rpartition('@')[2]}{slash}{path}"


def _library_path() -> str:
    """TARN_LIBRARY if set, else a library bundled in the package, else the loader's search."""
    configured = os.environ.get("TARN_LIBRARY")
    if configured:
        return configured
    bundled = os.path.join(os.path.dirname(os.path.abspath(__file__)), SONAME)
    return bundled if os.path.exists(bundled) else SONAME


def _load() -> ctypes.CDLL:
    path = _library_path()
    try:
        return ctypes.CDLL(path)
    except OSError as error:
        raise ImportError(
            f"tarnslide cannot load libDecodeTarn from {path!r} ({error}); set TARN_LIBRARY to "
            "the library's path, or install the library") from error


_lib = _load()

# ---- Converters: each turns one Python argument into what the C parameter takes, or raises ----


class _Integer:
    """A C integer type; Python integers (and numpy's) outside its range raise OverflowError."""

    def __init__(self, ctype: Any, bits: int, signed: bool = True):
        self.ctype = ctype
        self.low = -(1 << (bits - 1)) if signed else 0
        self.high = (1 << (bits - 1)) - 1 if signed else (1 << bits) - 1
        self.name = ctype.__name__

    def convert(self, value: Any) -> int:
        try:
            number = operator.index(value)
        except TypeError:
            raise TypeError(f"an integer is required, not {type(value).__name__}") from None
        if not self.low <= number <= self.high:
            raise OverflowError(f"{number} is outside the range of {self.name}")
        return number


class _Double:
    ctype = c_double

    @staticmethod
    def convert(value: Any) -> float:
        if isinstance(value, (str, bytes)):
            raise TypeError(f"a number is required, not {type(value).__name__}")
        return float(value)


class _Text:
    """A NUL-terminated string: str (as UTF-8) or bytes, without NUL inside."""

    ctype = c_char_p

    @staticmethod
    def convert(value: Any) -> bytes:
        if isinstance(value, str):
            value = value.encode("utf-8")
        elif not isinstance(value, bytes):
            raise TypeError(f"a string is required, not {type(value).__name__}")
        if b"\0" in value:
            raise ValueError("embedded null byte")
        return value


class _Path(_Text):
    """A file name (str, bytes or os.PathLike, in the file system's encoding) or a URL."""

    @staticmethod
    def convert(value: Any) -> bytes:
        try:
            encoded = os.fsencode(value)
        except TypeError:
            raise TypeError(f"a path is required, not {type(value).__name__}") from None
        return _Text.convert(encoded)


class _Flag:
    ctype = c_int

    @staticmethod
    def convert(value: Any) -> int:
        return 1 if value else 0


class _Pass:
    """Out-pointers and addresses the wrappers below build themselves."""

    def __init__(self, ctype: Any):
        self.ctype = ctype

    @staticmethod
    def convert(value: Any) -> Any:
        return value


FORMATS = {"RGBA": 0, "BGRA": 1, "RGB": 2, "BGR": 3}
FORMAT_BYTES = {"RGBA": 4, "BGRA": 4, "RGB": 3, "BGR": 3}


class _Format:
    """A pixel layout by name: "RGBA", "BGRA", "RGB" or "BGR"."""

    ctype = c_int

    @staticmethod
    def convert(value: Any) -> int:
        try:
            return FORMATS[value]
        except (KeyError, TypeError):
            raise ValueError(f"pixel layout {value!r} is not one of {', '.join(FORMATS)}") from None


_INT = _Integer(c_int, 32)
_INT32 = _Integer(c_int32, 32)
_INT64 = _Integer(c_int64, 64)
_SIZE = _Integer(c_size_t, 64, signed=False)
_ADDRESS = _Pass(c_void_p)
_OUT_INT64 = _Pass(POINTER(c_int64))

# ---- The gate: calls inside the library, counted so that close and fork can wait for them ----


class _Gate:
    def __init__(self) -> None:
        self.condition = threading.Condition(threading.RLock())
        self.active = 0  # calls inside the library, all handles together
        self.forking = 0  # forks waiting for those calls to end


_gate = _Gate()
_live_slides: "weakref.WeakSet[SlideHandle]" = weakref.WeakSet()


def _before_fork() -> None:
    gate = _gate
    with gate.condition:
        gate.forking += 1
        while gate.active:
            gate.condition.wait()


def _after_fork_in_parent() -> None:
    gate = _gate
    with gate.condition:
        gate.forking -= 1
        gate.condition.notify_all()


def _after_fork_in_child() -> None:
    # Only this thread survives: start the bookkeeping afresh and let every slide reopen.
    global _gate
    _gate = _Gate()
    for slide in list(_live_slides):
        slide._forked()


os.register_at_fork(before=_before_fork, after_in_parent=_after_fork_in_parent,
                    after_in_child=_after_fork_in_child)

# ---- Handles ----


def _identity(path: bytes) -> Optional[Identity]:
    try:
        status = os.stat(path)
    except OSError:
        return None
    return status.st_ino, status.st_size, status.st_mtime_ns


def _open_failure(path: bytes) -> OpenSlideError:
    """The error of a tarn_open that returned NULL: a file the library recognises as a Tarn slide
    but cannot read is damaged (OpenSlideError); anything else is not a slide it reads."""
    text = _error_text(None) or f"cannot open {shown(path)!r}"
    damaged = _tarn_detect_vendor is not None and _tarn_detect_vendor(path) is not None
    return (OpenSlideError if damaged else OpenSlideUnsupportedFormatError)(text)


def _object_version(pointer: int) -> Optional[str]:
    version = _tarn_get_property_value(pointer, b"tarn.object-version")
    return version.decode("utf-8", "replace") if version is not None else None


def _open_identified(path: bytes) -> Tuple[int, Identity]:
    """tarn_open with the identity of what it opened: a URL's object version; for a file, the
    file found at the path before and after the open, which must agree (else the open is tried
    again)."""
    if is_url(path):
        pointer = _tarn_open(path)
        if not pointer:
            raise _open_failure(path)
        return pointer, _object_version(pointer)
    for _ in range(3):
        before = _identity(path)
        pointer = _tarn_open(path)
        if not pointer:
            raise _open_failure(path)
        after = _identity(path)
        if before is not None and before == after:
            return pointer, after
        _tarn_close(pointer)
    raise OpenSlideError(f"cannot open {os.fsdecode(path)!r}: the file keeps changing")


class TarnReader(ctypes.Structure):
    """tarn_reader."""


_READ = ctypes.CFUNCTYPE(c_int, c_void_p, c_uint64, c_void_p, c_size_t)
TarnReader._fields_ = [("context", c_void_p), ("size", c_uint64), ("read", _READ),
                       ("prefetch", c_void_p), ("close", c_void_p), ("identity", c_char_p),
                       ("identity_size", c_size_t)]


class _FileReader:
    """An open binary file object (``read`` and ``seek``, as ``open(..., "rb")``, io.BytesIO or
    fsspec give) as the bytes of a slide.

    The library reads through it from every thread that calls into the slide, at once. A file
    object with a descriptor of a regular file is read with os.pread, which leaves its position
    alone and needs no lock; any other object by seek and read under one lock per object. The
    object must stay open while the slide is; the handle keeps a reference to it. Its tiles are
    not kept in the tile cache: nothing tells that its bytes stay the same."""

    def __init__(self, file: Any):
        if not (callable(getattr(file, "read", None)) and callable(getattr(file, "seek", None))):
            raise TypeError(f"a path, URL or binary file object is required, not "
                            f"{type(file).__name__}")
        if not isinstance(file.read(0), bytes):
            raise TypeError("the file object must be opened in binary mode")
        self.file = file
        self.lock = threading.Lock()
        self.fd = self._descriptor(file)
        if self.fd is not None:
            size = os.fstat(self.fd).st_size
        else:
            position = file.tell()
            size = file.seek(0, os.SEEK_END)
            file.seek(position)
        self.callback = _READ(self._read)
        self.record = TarnReader(None, size, self.callback, None, None, None, 0)

    @staticmethod
    def _descriptor(file: Any) -> Optional[int]:
        try:
            fd = file.fileno()
            return fd if stat.S_ISREG(os.fstat(fd).st_mode) else None
        except (AttributeError, OSError, ValueError):
            return None

    def _read(self, context: Any, offset: int, buffer: int, length: int) -> int:
        # Nothing may escape a callback: ctypes would print it and return 0, a success.
        try:
            if self.fd is not None:
                data = b""
                while len(data) < length:
                    more = os.pread(self.fd, length - len(data), offset + len(data))
                    if not more:
                        return -1
                    data += more
            else:
                with self.lock:
                    self.file.seek(offset)
                    parts, got = [], 0
                    while got < length:
                        more = self.file.read(length - got)
                        if not more:
                            return -1
                        parts.append(more)
                        got += len(more)
                    data = b"".join(parts)
            ctypes.memmove(buffer, data, length)
            return 0
        except BaseException:  # noqa: B036 - the library gets a failure, never an exception
            return -1


class SlideHandle:
    """An open ``tarn_slide``. Use ``with handle as pointer:`` around every call on it.

    The slide is a file or URL (`path`), or a binary file object (`file`, path None).
    `identity`, when given, is what the slide must find (a copy of a slide opened before):
    OpenSlideError if another file is at the path, or the URL's object changed."""

    def __init__(self, path: Optional[bytes], identity: Optional[Identity] = None,
                 file: Any = None):
        self.path = path
        self.file = file
        # What the finalizer releases: the slide and the Deep Zoom views made on it, and what
        # must outlive the slide (a file object's reader). Entries are taken out with dict.pop,
        # so that each is released exactly once whoever gets there.
        self._owned: dict = {"views": {}}
        pointer, found = self._open()
        if identity is not None and found != identity:
            _tarn_close(pointer)
            raise _replaced(path)
        self.identity = found
        self._owned["slide"] = pointer
        self._finalizer = weakref.finalize(self, _release_slide, self._owned)
        self._finalizer.atexit = False
        self._closed = False
        self._users = 0
        self._stale = False  # set in a forked child: reopen before the next call
        self._reopen_lock = threading.Lock()
        self.generation = 0  # counts reopenings, so views know to follow
        self.cache: Optional[CacheHandle] = None
        _live_slides.add(self)

    @property
    def closed(self) -> bool:
        return self._closed

    def __enter__(self) -> int:
        gate = _gate
        with gate.condition:
            while gate.forking:
                gate.condition.wait()
            if self._closed:
                raise ValueError("the slide is closed")
            self._users += 1
            gate.active += 1
        try:
            if self._stale:
                self._reopen()
            return self._owned["slide"]
        except BaseException:
            self._leave(gate)
            raise

    def __exit__(self, *exc_info: Any) -> None:
        self._leave(_gate)

    def _leave(self, gate: _Gate) -> None:
        with gate.condition:
            self._users -= 1
            gate.active -= 1
            if self._closed or gate.forking:
                gate.condition.notify_all()

    def close(self) -> None:
        """Later calls raise; running calls end first; then the slide is released."""
        gate = _gate
        with gate.condition:
            self._closed = True
            while self._users:
                gate.condition.wait()
        self._finalizer()

    def _forked(self) -> None:
        self._users = 0
        self._reopen_lock = threading.Lock()
        # The parent's slide and views are abandoned, not released: releasing them would only
        # copy the pages this process shares with the parent.
        if self._owned.pop("slide", None) is not None:
            self._owned["views"].clear()
            self._stale = True

    def _open(self) -> Tuple[int, Optional[Identity]]:
        if self.file is None:
            return _open_identified(self.path)
        if _tarn_open_with_reader is None:
            raise OpenSlideVersionError("1.2.0")
        reader = _FileReader(self.file)
        pointer = _tarn_open_with_reader(byref(reader.record))
        if not pointer:
            raise OpenSlideUnsupportedFormatError(_error_text(None) or "cannot open the file object")
        self._owned["reader"] = reader
        return pointer, None

    def _reopen(self) -> None:
        """The forked child's first call: the same file again, or OpenSlideError (then and at
        every later call)."""
        with self._reopen_lock:
            if not self._stale:
                return
            try:
                pointer, found = self._open()
            except OpenSlideError as error:
                raise OpenSlideError(f"cannot reopen the slide: {error}") from None
            if found != self.identity:
                _tarn_close(pointer)
                raise _replaced(self.path)
            if self.cache is not None:
                _tarn_set_cache(pointer, self.cache.pointer)
            self._owned["slide"] = pointer
            self.generation += 1
            self._stale = False


def _replaced(path: bytes) -> OpenSlideError:
    what = "object" if is_url(path) else "file"
    return OpenSlideError(f"{shown(path)!r} is no longer the {what} the slide opened")


def _release_slide(owned: dict) -> None:
    views = owned["views"]
    for key in list(views):
        view = views.pop(key, None)
        if view is not None and view[0]:
            _tarn_deepzoom_destroy(view[0])
    pointer = owned.pop("slide", None)
    if pointer:
        _tarn_close(pointer)
    owned.pop("reader", None)  # after the slide, which reads through it until closed


def _release_view(owned: dict, key: int) -> None:
    view = owned["views"].pop(key, None)
    if view is not None and view[0] and "slide" in owned:
        _tarn_deepzoom_destroy(view[0])


_view_keys = itertools.count()


class DeepZoomHandle:
    """A ``tarn_deepzoom`` view of a slide; entering it enters the slide."""

    def __init__(self, slide: SlideHandle, tile_size: int, overlap: int, limit_bounds: bool):
        self.slide = slide
        self.arguments = (_INT32.convert(tile_size), _INT32.convert(overlap),
                          _Flag.convert(limit_bounds))
        self._key = next(_view_keys)
        with slide as slide_pointer:
            pointer = self._create(slide_pointer)
            slide._owned["views"][self._key] = [pointer, slide.generation]
        weakref.finalize(self, _release_view, slide._owned, self._key).atexit = False

    def _create(self, slide_pointer: int) -> int:
        pointer = _tarn_deepzoom_create(slide_pointer, *self.arguments)
        if not pointer:
            raise OpenSlideError(_error_text(slide_pointer) or "cannot make the Deep Zoom view")
        return pointer

    def __enter__(self) -> int:
        slide_pointer = self.slide.__enter__()
        try:
            views = self.slide._owned["views"]
            view = views.get(self._key)
            if view is None or view[1] != self.slide.generation:
                # A forked child's first call: the view follows its reopened slide.
                with self.slide._reopen_lock:
                    view = views.get(self._key)
                    if view is None or view[1] != self.slide.generation:
                        view = views[self._key] = [self._create(slide_pointer),
                                                   self.slide.generation]
            return view[0]
        except BaseException:
            self.slide.__exit__()
            raise

    def __exit__(self, *exc_info: Any) -> None:
        self.slide.__exit__()

    def error_source(self) -> int:
        return self.slide._owned.get("slide") or 0


class CacheHandle:
    """A ``tarn_cache``; the library keeps it as long as a slide reads through it. Released
    when collected, or by cache_release, after which no slide can be given it."""

    def __init__(self, capacity: int):
        self.pointer: int = _tarn_cache_create(_SIZE.convert(capacity))
        if not self.pointer:
            raise MemoryError("cannot make a tile cache")
        self.released = False
        self._finalizer = weakref.finalize(self, _tarn_cache_release, self.pointer)
        self._finalizer.atexit = False

    def release(self) -> None:
        # Slides reading through it keep it alive in the library (and keep its pointer valid
        # for a forked child that sets it on its reopened slide).
        self.released = True
        self._finalizer()


class _HandleArgument:
    """The first parameter of calls on a slide or a view: entered for the length of the call."""

    def __init__(self, kind: type):
        self.kind = kind
        self.ctype = c_void_p

    def convert(self, value: Any) -> Any:
        if not isinstance(value, self.kind):
            raise TypeError(f"a {self.kind.__name__} is required, not {type(value).__name__}")
        return value


class _CacheArgument:
    ctype = c_void_p

    @staticmethod
    def convert(value: Any) -> Optional[int]:
        if value is None:
            return None
        if not isinstance(value, CacheHandle):
            raise TypeError(f"a CacheHandle or None is required, not {type(value).__name__}")
        if value.released:
            raise ValueError("the cache is released")
        return value.pointer


_SLIDE = _HandleArgument(SlideHandle)
_VIEW = _HandleArgument(DeepZoomHandle)

# ---- Result checks ----


def _error_text(slide_pointer: Optional[int]) -> Optional[str]:
    text = _tarn_get_error(slide_pointer)
    return text.decode("utf-8", "replace") if text is not None else None


def _fail(function: str, slide_pointer: Optional[int]) -> OpenSlideError:
    return OpenSlideError(_error_text(slide_pointer) or f"{function} failed")


def _status(result: int, function: str, slide_pointer: int) -> int:
    if result != 0:
        raise _fail(function, slide_pointer)
    return result


def _pointer(result: Optional[int], function: str, slide_pointer: int) -> int:
    if not result:
        raise _fail(function, slide_pointer)
    return result


def _names(result: Any, function: str, slide_pointer: int) -> List[str]:
    if not result:
        raise _fail(function, slide_pointer)
    names = []
    index = 0
    while result[index] is not None:
        names.append(result[index].decode("utf-8", "replace"))
        index += 1
    return names


def _size_or_error(result: int, function: str, slide_pointer: int) -> int:
    if result < 0:
        raise _fail(function, slide_pointer)
    return result


_missing: set = set()  # the optional functions the library has not


def _raw(name: str, result: Any, *argtypes: Any, optional: bool = False) -> Any:
    """The C function `name` as it is (None when `optional` and the library has it not)."""
    try:
        function = getattr(_lib, name)
    except AttributeError:
        if optional:
            _missing.add(name)
            return None
        raise
    function.restype = result
    function.argtypes = list(argtypes)
    return function


def _declare(name: str, result: Any, *parameters: Any,
             check: Optional[Callable[[Any, str, int], Any]] = None,
             optional: bool = False) -> Callable[..., Any]:
    """The C function `name`, called with converted arguments and its result checked.

    A first parameter that is a slide or a view is entered for the length of the call, and the
    error text is read while it still is. An `optional` function the library lacks raises
    OpenSlideVersionError when called."""
    function = _raw(name, result, *(parameter.ctype for parameter in parameters),
                    optional=optional)
    if function is None:
        _missing.add(name)

        def unavailable(*arguments: Any) -> Any:
            raise OpenSlideVersionError(NEWER_FUNCTIONS_VERSION)

        return unavailable
    converters = [parameter.convert for parameter in parameters]
    on_handle = bool(parameters) and isinstance(parameters[0], _HandleArgument)

    def call(*arguments: Any) -> Any:
        if len(arguments) != len(converters):
            raise TypeError(f"{name} takes {len(converters)} arguments, not {len(arguments)}")
        values = [convert(argument) for convert, argument in zip(converters, arguments)]
        if not on_handle:
            value = function(*values)
            return check(value, name, 0) if check is not None else value
        handle = values[0]
        with handle as pointer:
            values[0] = pointer
            value = function(*values)
            if check is None:
                return value
            source = pointer if isinstance(handle, SlideHandle) else handle.error_source()
            return check(value, name, source)

    call.__name__ = name
    call.__doc__ = f"{name}, declared from tarn.h."
    return call


# Raw declarations used by the handles themselves (no entering, pointers as they are).
_tarn_open = _raw("tarn_open", c_void_p, c_char_p)
_tarn_close = _raw("tarn_close", None, c_void_p)
_tarn_get_error = _raw("tarn_get_error", c_char_p, c_void_p)
_tarn_set_cache = _raw("tarn_set_cache", None, c_void_p, c_void_p)
_tarn_deepzoom_create = _raw("tarn_deepzoom_create", c_void_p, c_void_p, c_int32, c_int32, c_int)
_tarn_deepzoom_destroy = _raw("tarn_deepzoom_destroy", None, c_void_p)
_tarn_cache_create = _raw("tarn_cache_create", c_void_p, c_size_t)
_tarn_cache_release = _raw("tarn_cache_release", None, c_void_p)
_tarn_free = _raw("tarn_free", None, c_void_p)
_tarn_detect_vendor = _raw("tarn_detect_vendor", c_char_p, c_char_p, optional=True)
_tarn_get_property_value = _raw("tarn_get_property_value", c_char_p, c_void_p, c_char_p)
_tarn_open_with_reader = _raw("tarn_open_with_reader", c_void_p, POINTER(TarnReader),
                              optional=True)
_tarn_read_region = _raw("tarn_read_region", c_int, c_void_p, c_void_p, c_int64, c_int64, c_int32,
                         c_int64, c_int64, c_int)


class DeepZoomTile(ctypes.Structure):
    """tarn_deepzoom_tile: where a Deep Zoom tile comes from."""

    _fields_ = [("x", c_int64), ("y", c_int64), ("level", c_int32), ("width", c_int64),
                ("height", c_int64), ("tile_width", c_int64), ("tile_height", c_int64)]


class CacheStats(ctypes.Structure):
    """tarn_cache_stats: counters of a tile cache."""

    _fields_ = [("hits", c_uint64), ("misses", c_uint64), ("bytes", c_uint64),
                ("capacity", c_uint64), ("entries", c_uint64)]


_version = _declare("tarn_version", c_char_p)
_get_version = _declare("tarn_get_version", c_char_p, optional=True)
_format_bytes = _declare("tarn_format_bytes", c_int, _Format)
_get_level_count = _declare("tarn_get_level_count", c_int32, _SLIDE)
_get_level0_dimensions = _declare("tarn_get_level0_dimensions", None, _SLIDE, _OUT_INT64,
                                  _OUT_INT64)
_get_level_dimensions = _declare("tarn_get_level_dimensions", None, _SLIDE, _INT32, _OUT_INT64,
                                 _OUT_INT64)
_get_level_downsample = _declare("tarn_get_level_downsample", c_double, _SLIDE, _INT32)
_get_best_level = _declare("tarn_get_best_level_for_downsample", c_int32, _SLIDE, _Double)
_get_property_names = _declare("tarn_get_property_names", POINTER(c_char_p), _SLIDE,
                               check=_names)
_get_property_value = _declare("tarn_get_property_value", c_char_p, _SLIDE, _Text)
_get_associated_names = _declare("tarn_get_associated_image_names", POINTER(c_char_p), _SLIDE,
                                 check=_names)
_get_associated_dimensions = _declare("tarn_get_associated_image_dimensions", None, _SLIDE,
                                      _Text, _OUT_INT64, _OUT_INT64)
_read_associated = _declare("tarn_read_associated_image", c_int, _SLIDE, _Text, _ADDRESS, _Format,
                            check=_status)
_read_region = _declare("tarn_read_region", c_int, _SLIDE, _ADDRESS, _INT64, _INT64, _INT32,
                        _INT64, _INT64, _Format, check=_status)
_get_icc_size = _declare("tarn_get_icc_profile_size", c_int64, _SLIDE, check=_size_or_error,
                         optional=True)
_read_icc = _declare("tarn_read_icc_profile", c_int, _SLIDE, _ADDRESS, check=_status,
                     optional=True)
_get_associated_icc_size = _declare("tarn_get_associated_image_icc_profile_size", c_int64, _SLIDE,
                                    _Text, check=_size_or_error, optional=True)
_read_associated_icc = _declare("tarn_read_associated_image_icc_profile", c_int, _SLIDE, _Text,
                                _ADDRESS, check=_status, optional=True)
_read_export_tile_jpeg = _declare("tarn_read_export_tile_jpeg", c_int, _SLIDE, _INT32, _INT64,
                                  _INT64, _INT64, _INT64, _Pass(POINTER(POINTER(c_uint8))),
                                  _Pass(POINTER(c_size_t)), check=_status)
_export_tile_name = _declare("tarn_export_tile_name", c_int, _INT64, _INT64, _INT64, _INT64,
                               _ADDRESS, _SIZE)
_dz_level_count = _declare("tarn_deepzoom_get_level_count", c_int32, _VIEW)
_dz_level_tiles = _declare("tarn_deepzoom_get_level_tiles", None, _VIEW, _INT32, _OUT_INT64,
                           _OUT_INT64)
_dz_level_dimensions = _declare("tarn_deepzoom_get_level_dimensions", None, _VIEW, _INT32,
                                _OUT_INT64, _OUT_INT64)
_dz_tile_count = _declare("tarn_deepzoom_get_tile_count", c_int64, _VIEW)
_dz_tile_info = _declare("tarn_deepzoom_get_tile_info", c_int, _VIEW, _INT32, _INT64, _INT64,
                         _Pass(POINTER(DeepZoomTile)), check=_status)
_dz_read_tile = _declare("tarn_deepzoom_read_tile", c_int, _VIEW, _INT32, _INT64, _INT64,
                         _ADDRESS, _Format, check=_status)
_dz_read_tile_jpeg = _declare("tarn_deepzoom_read_tile_jpeg", c_int, _VIEW, _INT32, _INT64,
                              _INT64, _INT, _Pass(POINTER(POINTER(c_uint8))),
                              _Pass(POINTER(c_size_t)), check=_status)
_dz_get_dzi = _declare("tarn_deepzoom_get_dzi", c_void_p, _VIEW, _Text, check=_pointer)
_cache_set_capacity = _declare("tarn_cache_set_capacity", None, _CacheArgument, _SIZE)
_cache_get_stats = _declare("tarn_cache_get_stats", c_int, _CacheArgument,
                            _Pass(POINTER(CacheStats)), check=_status)
_set_threads = _declare("tarn_set_threads", None, _INT)
_get_threads = _declare("tarn_get_threads", c_int)


def has_newer_functions() -> bool:
    """Whether the library has the calls of NEWER_FUNCTIONS_VERSION (tarn_get_version,
    tarn_detect_vendor, the ICC profile calls)."""
    return not _missing


# ---- openslide-python's low-level interface, name for name ----


def open(filename: Any) -> SlideHandle:  # noqa: A001 - OpenSlide's name
    """Opens a slide from a path or a URL (http://, https://, s3://BUCKET/KEY).
    OpenSlideUnsupportedFormatError when the file is missing or not a Tarn slide, OpenSlideError
    when it is one the library cannot read; both carry its reason."""
    return SlideHandle(_Path.convert(filename))


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
    with _SLIDE.convert(slide) as pointer:
        return _error_text(pointer)


def get_version() -> str:
    """The library's version, "MAJOR.MINOR.PATCH"."""
    function = _version if "tarn_get_version" in _missing else _get_version
    return function().decode("ascii", "replace")


def detect_vendor(filename: Any) -> Optional[str]:
    """"tarn" when the file is a Tarn slide (damaged or not, with libraries that tell), else
    None."""
    path = _Path.convert(filename)
    if _tarn_detect_vendor is not None:
        vendor = _tarn_detect_vendor(path)
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
    with _SLIDE.convert(slide) as pointer:
        _tarn_set_cache(pointer, cache_pointer)
        slide.cache = cache  # reapplied when a forked child reopens the slide


def cache_release(cache: CacheHandle) -> None:
    """Drops this reference to the cache now; slides reading through it keep it alive."""
    if not isinstance(cache, CacheHandle):
        raise TypeError(f"a CacheHandle is required, not {type(cache).__name__}")
    cache.release()


def get_icc_profile_size(slide: SlideHandle) -> int:
    """Bytes of the slide's ICC profile; 0 when it has none (Tarn slides: their pixels are
    sRGB as shown)."""
    return _get_icc_size(slide)


def read_icc_profile(slide: SlideHandle) -> bytes:
    """The slide's ICC profile (b"" when it has none)."""
    size = get_icc_profile_size(slide)
    if size == 0:
        return b""
    buffer = ctypes.create_string_buffer(size)
    _read_icc(slide, ctypes.addressof(buffer))
    return buffer.raw


def get_associated_image_icc_profile_size(slide: SlideHandle, name: str) -> int:
    return _get_associated_icc_size(slide, name)


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
    with slide as pointer:
        if _tarn_read_region(pointer, address, x, y, level, width, height, layout) != 0:
            raise _fail("tarn_read_region", pointer)


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


def _take_buffer(pointer: Any, size: int) -> bytes:
    try:
        return ctypes.string_at(pointer, size)
    finally:
        _tarn_free(pointer)


def deepzoom_read_tile_jpeg(view: DeepZoomHandle, level: int, column: int, row: int,
                            quality: int = 75) -> bytes:
    quality = _INT.convert(quality)
    if not 1 <= quality <= 100:
        raise ValueError(f"JPEG quality {quality} is not within 1-100")
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
        _tarn_free(text)


def cache_set_capacity(cache: Optional[CacheHandle], capacity: int) -> None:
    _cache_set_capacity(cache, capacity)


def cache_get_stats(cache: Optional[CacheHandle]) -> dict:
    """Counters of `cache` (None: the default cache): hits, misses, bytes, capacity, entries."""
    stats = CacheStats()
    _cache_get_stats(cache, byref(stats))
    return {name: getattr(stats, name) for name, _ in CacheStats._fields_}


def set_threads(count: int) -> None:
    """Caps the threads the library uses for the whole process; 0 or less removes the cap."""
    _set_threads(count)


def get_threads() -> int:
    return _get_threads()
