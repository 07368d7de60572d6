"""libDecodeTarn from Python, through ctypes.

    from decodetarn import Slide
    with Slide("slide.tarn") as slide:
        print(slide.description())              # {'CompressionType': 'Jpeg', ...}
        bgr = slide.region(0, 1000, 2000, 512, 512)   # bytes, 512 * 512 * 3, blue-green-red
        jpeg = slide.region_jpeg(0, 1000, 2000, 512, 512)

The library is found through DECODETARN_LIBRARY, or as libDecodeTarn.so.1 on the loader's path.
"""
import ctypes
import os

_lib = ctypes.CDLL(os.environ.get("DECODETARN_LIBRARY", "libDecodeTarn.so.1"))

_c_int_p = ctypes.POINTER(ctypes.c_int)
_buffer = ctypes.POINTER(ctypes.c_ubyte)


def _declare(name, result, *arguments):
    function = getattr(_lib, name)
    function.restype = result
    function.argtypes = list(arguments)
    return function


_open = _declare("ZyOpenTarn", ctypes.c_void_p, ctypes.c_char_p)
_close = _declare("ZyCloseTarn", None, ctypes.c_void_p)
_dispose = _declare("Dispose", None, ctypes.c_void_p)
_description = _declare("GetDescription", ctypes.c_void_p, ctypes.c_void_p)
_layer_info = _declare("GetLayerInfo", ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int)
_slice_jpeg = _declare("GetSliceJpeg", _buffer, ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                       ctypes.c_int, _c_int_p, _c_int_p, _c_int_p)
_roi_bgr = _declare("GetRoiSliceBgr", _buffer, ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                    ctypes.c_int, ctypes.c_int, ctypes.c_int)
_roi_jpeg = _declare("GetRoiSliceJpeg", _buffer, ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                     ctypes.c_int, ctypes.c_int, ctypes.c_int, _c_int_p)
_associated = {
    name: _declare("Get%sJpeg" % name, _buffer, ctypes.c_void_p, _c_int_p, _c_int_p, _c_int_p)
    for name in ("Label", "Macrograph", "Thumbnail")
}


class TarnError(Exception):
    pass


def _take(pointer, size):
    """Copies a buffer the library handed out and releases it."""
    try:
        return ctypes.string_at(pointer, size)
    finally:
        _dispose(ctypes.cast(pointer, ctypes.c_void_p))


def _pairs(pointer):
    text = ctypes.string_at(pointer).decode("ascii")
    _dispose(pointer)
    return dict(pair.split("=", 1) for pair in text.split("|"))


class Slide:
    """An open slide. Reads may run on several threads at once."""

    def __init__(self, path):
        self._handle = _open(os.fsencode(path))
        if not self._handle:
            raise TarnError("cannot open %s as a Tarn slide" % path)

    def close(self):
        if self._handle:
            _close(self._handle)
            self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def description(self):
        pointer = _description(self._handle)
        if not pointer:
            raise TarnError("the slide's header cannot be described")
        return _pairs(pointer)

    def layers(self):
        """The grid of every layer, layer 0 first."""
        found = []
        while True:
            pointer = _layer_info(self._handle, len(found))
            if not pointer:
                return found
            found.append({key: int(value) for key, value in _pairs(pointer).items()})

    def tile_jpeg(self, layer, column, row):
        width, height, size = ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
        pointer = _slice_jpeg(self._handle, layer, column, row, width, height, size)
        if not pointer:
            raise TarnError("cannot read tile %d,%d of layer %d" % (column, row, layer))
        return _take(pointer, size.value)

    def region(self, layer, x, y, width, height):
        """width * height pixels of 3 bytes, blue-green-red, rows top to bottom."""
        pointer = _roi_bgr(self._handle, layer, x, y, width, height)
        if not pointer:
            raise TarnError("cannot read that region of layer %d" % layer)
        return _take(pointer, width * height * 3)

    def region_jpeg(self, layer, x, y, width, height):
        size = ctypes.c_int()
        pointer = _roi_jpeg(self._handle, layer, x, y, width, height, size)
        if not pointer:
            raise TarnError("cannot read that region of layer %d" % layer)
        return _take(pointer, size.value)

    def associated_jpeg(self, which):
        """'Label', 'Macrograph' or 'Thumbnail' as JPEG bytes."""
        width, height, size = ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
        pointer = _associated[which](self._handle, width, height, size)
        if not pointer:
            raise TarnError("the slide has no %s to show" % which.lower())
        return _take(pointer, size.value)
