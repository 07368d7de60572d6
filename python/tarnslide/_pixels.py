"""The memory the library writes pixels into, and PIL images over it: for slides, Deep Zoom tiles,
Dask chunks and zarr chunks alike. The layouts themselves are the library's (tarn_format)."""
from __future__ import annotations

from typing import Optional, Tuple

import numpy as np
from PIL import Image

from tarnslide._handles import FORMAT_BYTES, FORMATS


def channels(mode: str) -> int:
    """Bytes per pixel of a layout ("RGBA", "BGRA", "RGB", "BGR"); ValueError for another."""
    try:
        return FORMAT_BYTES[mode]
    except (KeyError, TypeError):
        raise ValueError(f"mode {mode!r} is not one of {', '.join(FORMATS)}") from None


def empty(shape: Tuple[int, ...]) -> np.ndarray:
    """An uninitialised uint8 array; MemoryError when it cannot be had."""
    try:
        return np.empty(shape, dtype=np.uint8)
    except ValueError as error:  # numpy's "array is too big" for sizes beyond the address space
        raise MemoryError(f"cannot allocate {' x '.join(map(str, shape))} bytes") from error


def output(out: Optional[np.ndarray], shape: Tuple[int, ...]) -> np.ndarray:
    """`out` when it is a C-contiguous uint8 array of `shape`, else a new array."""
    if out is None:
        return empty(shape)
    if not (isinstance(out, np.ndarray) and out.dtype == np.uint8 and out.shape == shape
            and out.flags.c_contiguous and out.flags.writeable):
        raise ValueError(f"out must be a writable, C-contiguous uint8 array of shape {shape}")
    return out


def _image_over(pixels: np.ndarray, mode: str) -> Image.Image:
    """An RGBA or RGB image whose memory is `pixels` (height x width x 4; for RGB the fourth
    byte 255): PIL keeps both four bytes a pixel, so it takes the array as it is instead of
    unpacking a copy. The image owns the array; writing to the image writes into it."""
    height, width = pixels.shape[:2]
    return Image.Image()._new(Image.core.map_buffer(pixels, (width, height), "raw", 0,
                                                    (mode, 0, 1)))


def _maps_images() -> bool:
    """Whether this Pillow makes images over a buffer in RGB mode too (a private call of
    Pillow's, which its frombuffer uses for other modes); else RGB is unpacked."""
    try:
        probe = np.array([[[1, 2, 3, 255], [4, 5, 6, 255]]], dtype=np.uint8)
        image = _image_over(probe, "RGB")
        return image.mode == "RGB" and image.tobytes() == bytes([1, 2, 3, 4, 5, 6])
    except Exception:  # any failure of a private call means: do without it
        return False


MAPS_IMAGES = _maps_images()


def image(pixels: np.ndarray, mode: str) -> Image.Image:
    """A PIL image of `mode` ("RGBA" or "RGB") of the pixels: (h, w, 3) for RGB, or (h, w, 4)
    for both, whose memory the image then shares when it can."""
    height, width, depth = pixels.shape
    if width == 0 or height == 0:
        return Image.new(mode, (width, height))
    if depth == 4:
        if MAPS_IMAGES:
            return _image_over(pixels, mode)
        if mode == "RGBA":
            return Image.frombuffer("RGBA", (width, height), pixels, "raw", "RGBA", 0, 1)
        return Image.frombytes("RGB", (width, height), pixels, "raw", "RGBX")
    return Image.frombytes(mode, (width, height), pixels)
