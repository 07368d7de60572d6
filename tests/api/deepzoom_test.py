"""The library's Deep Zoom geometry against OpenSlide's own DeepZoomGenerator (Debian's
python3-openslide), fed a stand-in slide that answers with the library's levels, downsamples and
properties: deepzoom_test.py TARN_TOOL LIBRARY."""
import ctypes
import os
import struct
import subprocess
import sys
import tempfile
import unittest

from openslide.deepzoom import DeepZoomGenerator

TOOL, LIBRARY = sys.argv[1], sys.argv[2]
lib = ctypes.CDLL(LIBRARY)
i64 = ctypes.c_int64
P64 = ctypes.POINTER(i64)


class Tile(ctypes.Structure):
    _fields_ = [("x", i64), ("y", i64), ("level", ctypes.c_int32), ("width", i64),
                ("height", i64), ("tile_width", i64), ("tile_height", i64)]


for name, result, arguments in [
        ("tarn_open", ctypes.c_void_p, [ctypes.c_char_p]),
        ("tarn_close", None, [ctypes.c_void_p]),
        ("tarn_get_level_count", ctypes.c_int32, [ctypes.c_void_p]),
        ("tarn_get_level_dimensions", None, [ctypes.c_void_p, ctypes.c_int32, P64, P64]),
        ("tarn_get_level_downsample", ctypes.c_double, [ctypes.c_void_p, ctypes.c_int32]),
        ("tarn_get_best_level_for_downsample", ctypes.c_int32, [ctypes.c_void_p, ctypes.c_double]),
        ("tarn_get_property_names", ctypes.POINTER(ctypes.c_char_p), [ctypes.c_void_p]),
        ("tarn_get_property_value", ctypes.c_char_p, [ctypes.c_void_p, ctypes.c_char_p]),
        ("tarn_deepzoom_create", ctypes.c_void_p,
         [ctypes.c_void_p, ctypes.c_int32, ctypes.c_int32, ctypes.c_int]),
        ("tarn_deepzoom_destroy", None, [ctypes.c_void_p]),
        ("tarn_deepzoom_get_level_count", ctypes.c_int32, [ctypes.c_void_p]),
        ("tarn_deepzoom_get_level_tiles", None, [ctypes.c_void_p, ctypes.c_int32, P64, P64]),
        ("tarn_deepzoom_get_level_dimensions", None, [ctypes.c_void_p, ctypes.c_int32, P64, P64]),
        ("tarn_deepzoom_get_tile_count", i64, [ctypes.c_void_p]),
        ("tarn_deepzoom_get_tile_info", ctypes.c_int,
         [ctypes.c_void_p, ctypes.c_int32, i64, i64, ctypes.POINTER(Tile)]),
        ("tarn_deepzoom_get_dzi", ctypes.c_void_p, [ctypes.c_void_p, ctypes.c_char_p]),
        ("tarn_free", None, [ctypes.c_void_p])]:
    function = getattr(lib, name)
    function.restype, function.argtypes = result, arguments


def pair(function, *arguments):
    a, b = i64(), i64()
    function(*arguments, ctypes.byref(a), ctypes.byref(b))
    return a.value, b.value


class StandIn:
    """What DeepZoomGenerator asks of a slide, answered by the library."""

    def __init__(self, handle):
        self.handle = handle
        count = lib.tarn_get_level_count(handle)
        self.level_dimensions = tuple(pair(lib.tarn_get_level_dimensions, handle, k)
                                      for k in range(count))
        self.dimensions = self.level_dimensions[0]
        self.level_downsamples = tuple(lib.tarn_get_level_downsample(handle, k)
                                       for k in range(count))
        names = lib.tarn_get_property_names(handle)
        self.properties = {}
        for i in range(10000):
            if names[i] is None:
                break
            self.properties[names[i].decode()] = lib.tarn_get_property_value(
                handle, names[i]).decode()

    def get_best_level_for_downsample(self, downsample):
        return lib.tarn_get_best_level_for_downsample(self.handle, downsample)


def patched(path, out, ratio=None, empty_tiles=()):
    """A copy of the slide with another header ratio, or with layer 0's tiles `empty_tiles`
    stored as empty (only the tile table changes: enough for geometry)."""
    data = bytearray(open(path, "rb").read())
    if ratio is not None:
        data[72:76] = struct.pack("<f", ratio)
    if empty_tiles:
        columns = 4  # layer 0 of the sample below: 4 x 3 tiles
        at = next(i for i in range(len(data) - 22) if data[i:i + 2] == b"IF"
                  and struct.unpack_from("<III", data, i + 10) == (12, columns, 3))
        for index in empty_tiles:
            struct.pack_into("<I", data, at + 122 + 4 * index, 0)
    open(out, "wb").write(data)
    return out


class DeepZoomGeometry(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory()
        base = os.path.join(cls.directory.name, "sample.tarn")
        # 731 x 491 in tiles of 200 (a bound area on both sides), three halving layers.
        subprocess.run([TOOL, "sample", base, "--columns", "3", "--rows", "2", "--layers", "3",
                        "--tile-size", "200"], check=True, stdout=subprocess.DEVNULL)
        cls.slides = {
            "halving": base,
            "measured": patched(base, base + ".ratio", ratio=3.0),
            "bounded": patched(base, base + ".bounds", empty_tiles=(0, 4, 8, 9, 10, 11)),
        }

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def compare(self, path, tile_size, overlap, limit_bounds):
        handle = lib.tarn_open(path.encode())
        self.assertTrue(handle)
        try:
            reference = DeepZoomGenerator(StandIn(handle), tile_size, overlap, limit_bounds)
            dz = lib.tarn_deepzoom_create(handle, tile_size, overlap, int(limit_bounds))
            self.assertTrue(dz)
            self.assertEqual(lib.tarn_deepzoom_get_level_count(dz), reference.level_count)
            self.assertEqual(lib.tarn_deepzoom_get_tile_count(dz), reference.tile_count)
            tile = Tile()
            for level in range(reference.level_count):
                self.assertEqual(pair(lib.tarn_deepzoom_get_level_dimensions, dz, level),
                                 reference.level_dimensions[level])
                columns, rows = pair(lib.tarn_deepzoom_get_level_tiles, dz, level)
                self.assertEqual((columns, rows), reference.level_tiles[level])
                for row in range(rows):
                    for column in range(columns):
                        self.assertEqual(lib.tarn_deepzoom_get_tile_info(
                            dz, level, column, row, ctypes.byref(tile)), 0)
                        (x, y), source, (w, h) = reference.get_tile_coordinates(
                            level, (column, row))
                        expected = (x, y, source, w, h,
                                    *reference.get_tile_dimensions(level, (column, row)))
                        self.assertEqual((tile.x, tile.y, tile.level, tile.width, tile.height,
                                          tile.tile_width, tile.tile_height), expected,
                                         (level, column, row))
            dzi = lib.tarn_deepzoom_get_dzi(dz, b"png")
            self.assertEqual(ctypes.string_at(dzi).decode(), reference.get_dzi("png"))
            lib.tarn_free(dzi)
            lib.tarn_deepzoom_destroy(dz)
        finally:
            lib.tarn_close(handle)

    def test_same_geometry_as_openslide(self):
        for name, path in self.slides.items():
            for tile_size, overlap, limit_bounds in [(254, 1, False), (254, 1, True),
                                                     (64, 0, True), (100, 3, False)]:
                with self.subTest(slide=name, tile_size=tile_size, overlap=overlap,
                                  limit_bounds=limit_bounds):
                    self.compare(path, tile_size, overlap, limit_bounds)

    def test_stand_ins_differ_where_they_should(self):
        handle = lib.tarn_open(self.slides["measured"].encode())
        downsample = lib.tarn_get_level_downsample(handle, 1)
        lib.tarn_close(handle)
        self.assertAlmostEqual(downsample, (731 / 365 + 491 / 245) / 2)
        handle = lib.tarn_open(self.slides["bounded"].encode())
        properties = StandIn(handle).properties
        lib.tarn_close(handle)
        self.assertEqual(properties["openslide.bounds-x"], "200")
        self.assertEqual(properties["openslide.bounds-height"], "400")


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]])
