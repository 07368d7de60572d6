"""tarnslide: Tarn whole-slide images from Python, a drop-in for openslide-python.

    import tarnslide
    with tarnslide.OpenSlide("slide.tarn") as slide:
        print(slide.dimensions, slide.level_downsamples, slide.properties["openslide.mpp-x"])
        image = slide.read_region((1000, 2000), 0, (512, 512))           # RGBA PIL image
        patch = slide.read_region((1000, 2000), 0, (512, 512), as_array=True, mode="RGB")
        patches = slide.read_regions([(0, 0), (512, 0)], 0, (256, 256), workers=4)
        for batch in slide.read_regions(tarnslide.patch_grid(slide, 256), 0, (256, 256),
                                        batch_size=64, workers=2):
            ...  # (64, 256, 256, 4) arrays, each stored tile decoded once

``import tarnslide as openslide`` runs code written for openslide-python: the same names
(``OpenSlide``, ``AbstractSlide``, ``ImageSlide``, ``OpenSlideCache``, ``open_slide``, the
``OpenSlideError`` family, every ``PROPERTY_NAME_*``, :mod:`tarnslide.deepzoom`,
:mod:`tarnslide.lowlevel`) with the same behaviour, and ``open_slide`` hands files of other formats
to openslide-python when it is installed. On top: numpy output, parallel reads (the GIL is
released during every read), batched patch reads and their grids (:func:`patch_grid`), PyTorch
datasets (:mod:`tarnslide.torch`), Dask arrays and a distributed tile export (:mod:`tarnslide.dask`)
and zarr stores (:mod:`tarnslide.zarrstore`). ``TarnSlide``, ``TarnCache`` and ``TarnError`` are
other names of ``OpenSlide``, ``OpenSlideCache`` and ``OpenSlideError``.

Where tarnslide keeps to the Tarn library rather than to OpenSlide:

- level downsamples are the slide's layer ratio to the power of the level (2, 4, 8, ...) when
  that agrees with the level sizes within a pixel; OpenSlide measures them from the sizes;
- reading a level the slide does not have raises :class:`InvalidLevelError` (an
  ``OpenSlideError``); OpenSlide returns transparent pixels;
- a failed call leaves the slide usable; OpenSlide keeps a slide in error after its first failure;
- calls on a closed slide raise ``ValueError`` (openslide-python: ``ctypes.ArgumentError``).

The library (libDecodeTarn.so.1) is found in this order:

1. the path in the ``TARN_LIBRARY`` environment variable, if set;
2. ``libDecodeTarn.so.1`` inside the package's folder: ``pip install`` bundles the library it
   finds next to the sources (or at ``TARN_LIBRARY`` when the package is built), and
   ``cmake --install`` and the Debian package link the installed library there;
3. ``libDecodeTarn.so.1`` on the dynamic loader's path (the system-wide install).

Slides need not be files. ``OpenSlide`` (and ``open_slide``, ``detect_format``, Dask arrays and
exports) take URLs as the library reads them: ``http://``, ``https://`` and ``s3://BUCKET/KEY``
(credentials and settings as in the library's README); and ``OpenSlide`` takes an open binary
file object with ``read`` and ``seek`` (a file opened "rb", io.BytesIO, fsspec's files), read
through ``tarn_open_with_reader``: the library reads from every thread that calls into the slide
at once, so tarnslide serialises seek and read on the object (or uses ``os.pread`` when it has a
file descriptor), and keeps the object alive while the slide is open.

Slides are safe across threads and processes: ``close()`` waits for reads running on other
threads, and every call after it raises ``ValueError``; a slide dropped without ``close()`` is
released when collected; slides pickle by path or URL (and cache), and after ``fork`` the child
reopens the slide on its first read. A copy reads the file (or the version of the URL's object)
the slide opened or nothing: when another file has taken its path, or the object changed, the
copy raises :class:`OpenSlideError`. A slide opened from a file object does not pickle.

The package's layers, each over the one before: ``_capi`` (tarn.h declared for ctypes),
``_handles`` (argument converters, slide, view and cache handles, the fork gate), ``lowlevel``
(openslide-python's low-level calls and the rest of tarn.h), ``_slide`` (the slide classes);
``_exportapi`` (tarn_export.h, libtarnexport.so.1 loaded beside the library on first use) under
``_convert`` (:func:`convert`: slides into DICOM, OME-TIFF, TIFF and OME-Zarr, as `tarn convert`);
``_pixels`` makes numpy arrays and PIL images over the memory the library writes.
"""
from __future__ import annotations

from tarnslide import lowlevel
from tarnslide._batches import patch_grid
from tarnslide._convert import ConvertProgress, convert
from tarnslide._errors import (InvalidLevelError, OpenSlideError, OpenSlideUnsupportedFormatError,
                               OpenSlideVersionError, TarnError)
from tarnslide._slide import (PROPERTY_NAME_BACKGROUND_COLOR, PROPERTY_NAME_BARCODE,
                              PROPERTY_NAME_BOUNDS_HEIGHT, PROPERTY_NAME_BOUNDS_WIDTH,
                              PROPERTY_NAME_BOUNDS_X, PROPERTY_NAME_BOUNDS_Y,
                              PROPERTY_NAME_COMMENT, PROPERTY_NAME_MPP_X, PROPERTY_NAME_MPP_Y,
                              PROPERTY_NAME_OBJECTIVE_POWER, PROPERTY_NAME_QUICKHASH1,
                              PROPERTY_NAME_VENDOR, AbstractSlide, ImageSlide, OpenSlide,
                              OpenSlideCache, TarnCache, TarnSlide, open_slide)
from tarnslide._version import __version__
from tarnslide.lowlevel import get_threads, set_threads

# What pickles made by this and earlier versions name as tarnslide's.
from tarnslide._slide import _AssociatedImages, _cache_for_token, _ReadOnly, _reopen  # noqa: F401

__all__ = [
    "AbstractSlide", "OpenSlide", "ImageSlide", "OpenSlideCache", "open_slide",
    "OpenSlideError", "OpenSlideUnsupportedFormatError", "OpenSlideVersionError",
    "InvalidLevelError", "TarnSlide", "TarnCache", "TarnError", "set_threads", "get_threads",
    "__version__", "__library_version__", "convert", "ConvertProgress",
    "patch_grid",
    "PROPERTY_NAME_COMMENT", "PROPERTY_NAME_VENDOR", "PROPERTY_NAME_QUICKHASH1",
    "PROPERTY_NAME_BACKGROUND_COLOR", "PROPERTY_NAME_OBJECTIVE_POWER", "PROPERTY_NAME_MPP_X",
    "PROPERTY_NAME_MPP_Y", "PROPERTY_NAME_BOUNDS_X", "PROPERTY_NAME_BOUNDS_Y",
    "PROPERTY_NAME_BOUNDS_WIDTH", "PROPERTY_NAME_BOUNDS_HEIGHT", "PROPERTY_NAME_BARCODE",
]

__library_version__: str = lowlevel.get_version()
