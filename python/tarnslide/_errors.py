"""The errors tarnslide raises for slides, shared by every layer of the package."""
from __future__ import annotations


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

# Users meet these as tarnslide.lowlevel's, where openslide-python keeps its own: errors pickled
# by a Dask worker, or by an earlier tarnslide, name them there.
for _error in (OpenSlideError, OpenSlideUnsupportedFormatError, OpenSlideVersionError,
               InvalidLevelError):
    _error.__module__ = "tarnslide.lowlevel"
