"""Slides of other formats, read by openslide-python when it is installed.

The real package is found where its distribution ("openslide-python") is installed, never by
``import openslide``: in a program that made tarnslide importable as ``openslide`` that would be
tarnslide itself. It is loaded under its own name for the time of the import and then taken out
of ``sys.modules`` again, so that whatever ``openslide`` means to the program stays as it was.
"""
from __future__ import annotations

import importlib.metadata
import importlib.util
import os
import sys
import threading
from collections.abc import Mapping
from typing import Any, Callable, Iterator, Optional, Tuple, TypeVar

from PIL import Image

import tarnslide

_lock = threading.Lock()
_loaded: dict = {}  # "module": the real package, or None once it was looked for in vain
_T = TypeVar("_T")


def _location() -> Optional[str]:
    """The folder of the installed openslide package, unless it is tarnslide's own."""
    try:
        distribution = importlib.metadata.distribution("openslide-python")
    except importlib.metadata.PackageNotFoundError:
        return None
    folder = str(distribution.locate_file("openslide"))
    own = os.path.dirname(os.path.realpath(tarnslide.__file__))
    if not os.path.isfile(os.path.join(folder, "__init__.py")) or \
            os.path.realpath(folder) == own:
        return None
    return folder


def _is_openslide(name: str) -> bool:
    return name == "openslide" or name.startswith("openslide.")


def _load(folder: str) -> Any:
    current = sys.modules.get("openslide")
    current_file = getattr(current, "__file__", None) or ""
    if os.path.realpath(os.path.dirname(current_file)) == os.path.realpath(folder):
        importlib.import_module("openslide.deepzoom")
        return current  # the program imported the real one itself
    import _imp
    _imp.acquire_lock()  # no import elsewhere sees "openslide" while it is swapped
    saved = {name: sys.modules.pop(name) for name in list(sys.modules) if _is_openslide(name)}
    try:
        spec = importlib.util.spec_from_file_location(
            "openslide", os.path.join(folder, "__init__.py"), submodule_search_locations=[folder])
        assert spec is not None and spec.loader is not None
        module = importlib.util.module_from_spec(spec)
        sys.modules["openslide"] = module  # its modules import each other by that name
        spec.loader.exec_module(module)
        importlib.import_module("openslide.deepzoom")  # while "openslide" is the real one
        return module
    finally:
        for name in [name for name in sys.modules if _is_openslide(name)]:
            del sys.modules[name]
        sys.modules.update(saved)
        _imp.release_lock()


def real_openslide() -> Any:
    """openslide-python's package, or None when it is not installed or cannot load (no
    OpenSlide library)."""
    with _lock:
        if "module" not in _loaded:
            folder = _location()
            try:
                _loaded["module"] = _load(folder) if folder is not None else None
            except (ImportError, OSError, AttributeError):
                _loaded["module"] = None
        return _loaded["module"]


def _translated(module: Any, call: Callable[..., _T], *arguments: Any) -> _T:
    """call(*arguments), with openslide-python's errors raised as tarnslide's."""
    try:
        return call(*arguments)
    except module.OpenSlideUnsupportedFormatError as error:
        raise tarnslide.OpenSlideUnsupportedFormatError(*error.args) from None
    except module.OpenSlideVersionError as error:
        raise tarnslide.OpenSlideVersionError(error.minimum_version, "OpenSlide") from None
    except module.OpenSlideError as error:
        raise tarnslide.OpenSlideError(*error.args) from None


def open_slide(filename: Any) -> Optional[ForwardedSlide]:
    """The file as openslide-python opens it, or None when that is not installed or does not
    read the file."""
    module = real_openslide()
    if module is None:
        return None
    try:
        slide = _translated(module, module.OpenSlide, filename)
    except tarnslide.OpenSlideUnsupportedFormatError:
        return None
    return ForwardedSlide(module, slide, filename)


class _TranslatedMapping(Mapping):
    """One of openslide-python's lazy mappings, raising tarnslide's errors."""

    def __init__(self, module: Any, mapping: Mapping):
        self._module, self._mapping = module, mapping

    def __getitem__(self, key: str) -> Any:
        return _translated(self._module, self._mapping.__getitem__, key)

    def __iter__(self) -> Iterator[str]:
        return iter(_translated(self._module, list, self._mapping))

    def __len__(self) -> int:
        return _translated(self._module, len, self._mapping)

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {dict(self)!r}>"


class ForwardedSlide(tarnslide.AbstractSlide):
    """A slide of another format, read by openslide-python: its interface, tarnslide's errors."""

    def __init__(self, module: Any, slide: Any, filename: Any):
        self._module = module
        self._slide: Any = slide
        self._filename = filename

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self._filename!r})"

    def _call(self, name: str, *arguments: Any) -> Any:
        if self._slide is None:
            raise ValueError("the slide is closed")
        return _translated(self._module, getattr(self._slide, name), *arguments)

    def _get(self, name: str) -> Any:
        if self._slide is None:
            raise ValueError("the slide is closed")
        return _translated(self._module, getattr, self._slide, name)

    @classmethod
    def detect_format(cls, filename: Any) -> Optional[str]:
        module = real_openslide()
        if module is None:
            return None
        return _translated(module, module.OpenSlide.detect_format, filename)

    def close(self) -> None:
        if self._slide is not None:
            slide, self._slide = self._slide, None
            _translated(self._module, slide.close)

    @property
    def level_count(self) -> int:
        return self._get("level_count")

    @property
    def level_dimensions(self) -> Tuple[Tuple[int, int], ...]:
        return self._get("level_dimensions")

    @property
    def level_downsamples(self) -> Tuple[float, ...]:
        return self._get("level_downsamples")

    @property
    def properties(self) -> Mapping[str, str]:
        return _TranslatedMapping(self._module, self._get("properties"))

    @property
    def associated_images(self) -> Mapping[str, Image.Image]:
        return _TranslatedMapping(self._module, self._get("associated_images"))

    @property
    def color_profile(self) -> Any:
        if self._slide is None:
            raise ValueError("the slide is closed")
        if not hasattr(type(self._slide), "color_profile"):
            return None  # an openslide-python older than color profiles
        return self._get("color_profile")

    def get_best_level_for_downsample(self, downsample: float) -> int:
        return self._call("get_best_level_for_downsample", downsample)

    def read_region(self, location: Tuple[int, int], level: int,
                    size: Tuple[int, int]) -> Image.Image:
        return self._call("read_region", location, level, size)

    def set_cache(self, cache: tarnslide.OpenSlideCache) -> None:
        """Keeps the slide's tiles in an OpenSlide cache of `cache`'s capacity, shared by the
        forwarded slides given `cache`. With an OpenSlide too old for caches of one's own, the
        slide keeps its default cache."""
        if not isinstance(cache, tarnslide.OpenSlideCache):
            raise TypeError("Not a cache object")
        with _lock:
            if cache._forwarded is None:
                try:
                    cache._forwarded = _translated(self._module, self._module.OpenSlideCache,
                                                   cache.capacity)
                except tarnslide.OpenSlideVersionError:
                    cache._forwarded = False
        if cache._forwarded is not False:
            self._call("set_cache", cache._forwarded)

    def get_thumbnail(self, size: Tuple[int, int]) -> Image.Image:
        return self._call("get_thumbnail", size)

