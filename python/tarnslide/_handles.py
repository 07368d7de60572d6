"""The handle layer between tarn.h's declarations (:mod:`tarnslide._capi`) and the Python API.

- Converters turn each Python argument into what its C parameter takes, or raise before C sees
  it: ``TypeError`` for a wrong type, ``OverflowError`` for an integer the C type cannot hold,
  ``ValueError`` for a NUL byte inside a string, an unknown pixel layout, a closed slide or a
  released cache. :func:`bind` puts them in front of a C function, with the check of its result
  that turns a failure into :class:`OpenSlideError` carrying the library's message.
- Handles (:class:`SlideHandle`, :class:`DeepZoomHandle`, :class:`CacheHandle`) own what the
  library allocated. Every call on a slide is counted while it runs; ``close`` marks the slide
  closed, so that later calls raise ``ValueError``, and then waits for the running calls before
  it releases the slide; a slide dropped without ``close`` is released when it is collected.
- The fork gate: ``os.fork`` waits until no call is inside the library, and in the child every
  slide reopens its file on its next call (the parent's handle is left alone: its pages stay
  shared).
- Copies of a slide (forked, or unpickled through the slide classes) read what the slide opened:
  its :data:`Identity` is taken at the open, and a copy that finds another file at the path, or
  none, or another version of the URL's object, raises :class:`OpenSlideError` on every call.
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
from ctypes import byref, c_int, c_int32, c_int64, c_size_t
from typing import Any, Callable, List, Optional, Tuple, Union

from tarnslide import _capi
from tarnslide._errors import OpenSlideError, OpenSlideUnsupportedFormatError
from tarnslide._errors import OpenSlideVersionError

# tarn_format's values, by the names the Python API takes; bytes per pixel as the library says.
FORMATS = {"RGBA": 0, "BGRA": 1, "RGB": 2, "BGR": 3}
FORMAT_BYTES = {name: _capi.tarn_format_bytes(value) for name, value in FORMATS.items()}

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


# ---- Converters: each turns one Python argument into what the C parameter takes, or raises ----


class Integer:
    """A C integer type; Python integers (and numpy's) outside its range raise OverflowError."""

    def __init__(self, ctype: Any, signed: bool = True):
        bits = 8 * ctypes.sizeof(ctype)
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


INT = Integer(c_int)
INT32 = Integer(c_int32)
INT64 = Integer(c_int64)
SIZE = Integer(c_size_t, signed=False)


class Double:
    @staticmethod
    def convert(value: Any) -> float:
        if isinstance(value, (str, bytes)):
            raise TypeError(f"a number is required, not {type(value).__name__}")
        return float(value)


class Text:
    """A NUL-terminated string: str (as UTF-8) or bytes, without NUL inside."""

    @staticmethod
    def convert(value: Any) -> bytes:
        if isinstance(value, str):
            value = value.encode("utf-8")
        elif not isinstance(value, bytes):
            raise TypeError(f"a string is required, not {type(value).__name__}")
        if b"\0" in value:
            raise ValueError("embedded null byte")
        return value


class Path:
    """A file name (str, bytes or os.PathLike, in the file system's encoding) or a URL."""

    @staticmethod
    def convert(value: Any) -> bytes:
        try:
            encoded = os.fsencode(value)
        except TypeError:
            raise TypeError(f"a path is required, not {type(value).__name__}") from None
        return Text.convert(encoded)


class Flag:
    @staticmethod
    def convert(value: Any) -> int:
        return 1 if value else 0


class Pass:
    """Out-pointers and addresses the callers build themselves."""

    @staticmethod
    def convert(value: Any) -> Any:
        return value


class Quality:
    """A JPEG quality, 1 to 100."""

    @staticmethod
    def convert(value: Any) -> int:
        quality = INT.convert(value)
        if not 1 <= quality <= 100:
            raise ValueError(f"JPEG quality {quality} is not within 1-100")
        return quality


class Format:
    """A pixel layout by name: "RGBA", "BGRA", "RGB" or "BGR"."""

    @staticmethod
    def convert(value: Any) -> int:
        try:
            return FORMATS[value]
        except (KeyError, TypeError):
            raise ValueError(f"pixel layout {value!r} is not one of {', '.join(FORMATS)}") from None


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

# ---- Opening, with the identity of what was opened ----


def error_text(slide_pointer: Optional[int]) -> Optional[str]:
    """Why the last call on the slide (None: the last open) from this thread failed."""
    text = _capi.tarn_get_error(slide_pointer)
    return text.decode("utf-8", "replace") if text is not None else None


def _identity(path: bytes) -> Optional[Identity]:
    try:
        status = os.stat(path)
    except OSError:
        return None
    return status.st_ino, status.st_size, status.st_mtime_ns


def _open_failure(path: bytes) -> OpenSlideError:
    """The error of a tarn_open that returned NULL: a file the library recognises as a Tarn slide
    but cannot read is damaged (OpenSlideError); anything else is not a slide it reads."""
    text = error_text(None) or f"cannot open {shown(path)!r}"
    detect = _capi.tarn_detect_vendor
    damaged = detect.available and detect(path) is not None
    return (OpenSlideError if damaged else OpenSlideUnsupportedFormatError)(text)


def _object_version(pointer: int) -> Optional[str]:
    version = _capi.tarn_get_property_value(pointer, b"tarn.object-version")
    return version.decode("utf-8", "replace") if version is not None else None


def _open_identified(path: bytes) -> Tuple[int, Optional[Identity]]:
    """tarn_open with the identity of what it opened: a URL's object version; for a file, the
    file found at the path before and after the open, which must agree (else the open is tried
    again)."""
    if is_url(path):
        pointer = _capi.tarn_open(path)
        if not pointer:
            raise _open_failure(path)
        return pointer, _object_version(pointer)
    for _ in range(3):
        before = _identity(path)
        pointer = _capi.tarn_open(path)
        if not pointer:
            raise _open_failure(path)
        after = _identity(path)
        if before is not None and before == after:
            return pointer, after
        _capi.tarn_close(pointer)
    raise OpenSlideError(f"cannot open {os.fsdecode(path)!r}: the file keeps changing")


def _replaced(path: bytes) -> OpenSlideError:
    what = "object" if is_url(path) else "file"
    return OpenSlideError(f"{shown(path)!r} is no longer the {what} the slide opened")


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
        self.callback = _capi.READ_CALLBACK(self._read)
        self.record = _capi.TarnReader(None, size, self.callback, None, None, None, 0)

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


# ---- Handles ----


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
            _capi.tarn_close(pointer)
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
            self._owned.pop("readers", None)
            self._stale = True

    def _open(self) -> Tuple[int, Optional[Identity]]:
        if self.file is None:
            return _open_identified(self.path)
        if not _capi.tarn_open_with_reader.available:
            raise OpenSlideVersionError(_capi.NEWER_FUNCTIONS_VERSION)
        reader = _FileReader(self.file)
        pointer = _capi.tarn_open_with_reader(byref(reader.record))
        if not pointer:
            raise OpenSlideUnsupportedFormatError(error_text(None) or "cannot open the file object")
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
                _capi.tarn_close(pointer)
                raise _replaced(self.path)
            if self.cache is not None:
                _capi.tarn_set_cache(pointer, self.cache.pointer)
            self._owned["slide"] = pointer
            self.generation += 1
            self._stale = False


def _release_slide(owned: dict) -> None:
    readers = owned.get("readers", {})
    for key in list(readers):
        reader = readers.pop(key, None)
        if reader is not None and reader[0]:
            _capi.tarn_batch_reader_destroy(reader[0])
    views = owned["views"]
    for key in list(views):
        view = views.pop(key, None)
        if view is not None and view[0]:
            _capi.tarn_deepzoom_destroy(view[0])
    pointer = owned.pop("slide", None)
    if pointer:
        _capi.tarn_close(pointer)
    owned.pop("reader", None)  # after the slide, which reads through it until closed


def _release_view(owned: dict, key: int) -> None:
    view = owned["views"].pop(key, None)
    if view is not None and view[0] and "slide" in owned:
        _capi.tarn_deepzoom_destroy(view[0])


_view_keys = itertools.count()


class DeepZoomHandle:
    """A ``tarn_deepzoom`` view of a slide; entering it enters the slide."""

    def __init__(self, slide: SlideHandle, tile_size: int, overlap: int, limit_bounds: bool):
        self.slide = slide
        self.arguments = (INT32.convert(tile_size), INT32.convert(overlap),
                          Flag.convert(limit_bounds))
        self._key = next(_view_keys)
        with slide as slide_pointer:
            pointer = self._create(slide_pointer)
            slide._owned["views"][self._key] = [pointer, slide.generation]
        weakref.finalize(self, _release_view, slide._owned, self._key).atexit = False

    def _create(self, slide_pointer: int) -> int:
        pointer = _capi.tarn_deepzoom_create(slide_pointer, *self.arguments)
        if not pointer:
            raise OpenSlideError(error_text(slide_pointer) or "cannot make the Deep Zoom view")
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
        self.pointer: int = _capi.tarn_cache_create(SIZE.convert(capacity))
        if not self.pointer:
            raise MemoryError("cannot make a tile cache")
        self.released = False
        self._finalizer = weakref.finalize(self, _capi.tarn_cache_release, self.pointer)
        self._finalizer.atexit = False

    def release(self) -> None:
        # Slides reading through it keep it alive in the library (and keep its pointer valid
        # for a forked child that sets it on its reopened slide).
        self.released = True
        self._finalizer()


class HandleArgument:
    """The first parameter of calls on a slide or a view: entered for the length of the call."""

    def __init__(self, kind: type):
        self.kind = kind

    def convert(self, value: Any) -> Any:
        if not isinstance(value, self.kind):
            raise TypeError(f"a {self.kind.__name__} is required, not {type(value).__name__}")
        return value


class CacheArgument:
    @staticmethod
    def convert(value: Any) -> Optional[int]:
        if value is None:
            return None
        if not isinstance(value, CacheHandle):
            raise TypeError(f"a CacheHandle or None is required, not {type(value).__name__}")
        if value.released:
            raise ValueError("the cache is released")
        return value.pointer


SLIDE = HandleArgument(SlideHandle)
VIEW = HandleArgument(DeepZoomHandle)

# Users meet the handles as tarnslide.lowlevel's, as before the layers had modules of their own.
for _public in (SlideHandle, DeepZoomHandle, CacheHandle):
    _public.__module__ = "tarnslide.lowlevel"

# ---- Result checks: a failure reported by the library raises OpenSlideError with its text ----


def fail(function: str, slide_pointer: Optional[int]) -> OpenSlideError:
    return OpenSlideError(error_text(slide_pointer) or f"{function} failed")


def status(result: int, function: str, slide_pointer: int) -> int:
    if result != 0:
        raise fail(function, slide_pointer)
    return result


def pointer(result: Optional[int], function: str, slide_pointer: int) -> int:
    if not result:
        raise fail(function, slide_pointer)
    return result


def names(result: Any, function: str, slide_pointer: int) -> List[str]:
    if not result:
        raise fail(function, slide_pointer)
    found = []
    index = 0
    while result[index] is not None:
        found.append(result[index].decode("utf-8", "replace"))
        index += 1
    return found


def size_or_error(result: int, function: str, slide_pointer: int) -> int:
    if result < 0:
        raise fail(function, slide_pointer)
    return result


def bind(function: Any, *converters: Any,
         check: Optional[Callable[[Any, str, int], Any]] = None) -> Callable[..., Any]:
    """The C function `function` (a declaration of :mod:`tarnslide._capi`), called with each
    argument through its converter and its result through `check`.

    A first argument that is a slide or a view is entered for the length of the call, and the
    error text is read while it still is. A function the library lacks stays its stand-in, which
    raises OpenSlideVersionError."""
    if not function.available:
        return function
    name = function.__name__
    if len(converters) != len(function.argtypes):
        raise TypeError(f"{name} is declared with {len(function.argtypes)} parameters, "
                        f"bound with {len(converters)}")
    conversions = [converter.convert for converter in converters]
    on_handle = bool(converters) and isinstance(converters[0], HandleArgument)

    def call(*arguments: Any) -> Any:
        if len(arguments) != len(conversions):
            raise TypeError(f"{name} takes {len(conversions)} arguments, not {len(arguments)}")
        values = [convert(argument) for convert, argument in zip(conversions, arguments)]
        if not on_handle:
            value = function(*values)
            return check(value, name, 0) if check is not None else value
        handle = values[0]
        with handle as entered:
            values[0] = entered
            value = function(*values)
            if check is None:
                return value
            source = entered if isinstance(handle, SlideHandle) else handle.error_source()
            return check(value, name, source)

    call.__name__ = name
    call.__doc__ = f"{name}, declared from tarn.h."
    call.available = True  # type: ignore[attr-defined]
    return call
