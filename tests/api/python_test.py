"""The Python binding against a sample slide: python_test.py TARN_TOOL LIBRARY."""
import ctypes
import multiprocessing
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

TOOL, LIBRARY = sys.argv[1], sys.argv[2]
TORCH_FIRST = "TARN_TEST_TORCH_FIRST"
if os.environ.get(TORCH_FIRST):
    # As in a training job: PyTorch loads GCC's OpenMP runtime with global binding and runs a
    # parallel region of it before the slide library does anything.
    import torch
    torch.set_num_threads(2)
    torch.rand(1 << 22).mul_(2)
os.environ["DECODETARN_LIBRARY"] = LIBRARY
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))
import decodetarn  # noqa: E402

_whole_layer = decodetarn._lib.ZySpecifyLayerJpeg2Rgb
_whole_layer.restype = ctypes.c_int
_whole_layer.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.POINTER(ctypes.c_ubyte)),
                         ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int), ctypes.c_int]


def _decode_whole_layer(slide, layer):
    pixels = ctypes.POINTER(ctypes.c_ubyte)()
    width, height = ctypes.c_int(), ctypes.c_int()
    if _whole_layer(slide._handle, ctypes.byref(pixels), width, height, layer) != 0:
        raise decodetarn.TarnError("cannot decode layer %d" % layer)
    decodetarn._dispose(ctypes.cast(pixels, ctypes.c_void_p))


def _read_in_child(path):
    """A worker's reads: its open builds a colour table, then a whole layer and a region."""
    with decodetarn.Slide(path) as slide:
        _decode_whole_layer(slide, 0)
        return slide.region(0, 100, 50, 300, 200)


class PythonBinding(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory()
        cls.path = os.path.join(cls.directory.name, "sample.tarn")
        subprocess.run([TOOL, "sample", cls.path, "--columns", "3", "--rows", "2", "--layers", "2"],
                       check=True, stdout=subprocess.DEVNULL)

        # The same slide with colours of its own: children opening it build a new table.
        cls.other = os.path.join(cls.directory.name, "other.tarn")
        shutil.copyfile(cls.path, cls.other)
        with open(cls.other, "r+b") as f:
            f.seek(6964 + 34)  # the gamma of the extra-information record
            f.write(struct.pack("<f", 1.25))

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def test_reads_the_slide(self):
        with decodetarn.Slide(self.path) as slide:
            self.assertEqual(slide.description()["CompressionType"], "Jpeg")
            layers = slide.layers()
            self.assertEqual(len(layers), 2)
            self.assertEqual(layers[0]["XCount"], 3)
            self.assertEqual(len(slide.region(0, 100, 50, 300, 200)), 300 * 200 * 3)
            for jpeg in (slide.region_jpeg(0, 0, 0, 64, 64), slide.tile_jpeg(1, 0, 0),
                         slide.associated_jpeg("Label"), slide.associated_jpeg("Thumbnail")):
                self.assertEqual(jpeg[:2], b"\xff\xd8")

    def test_failures_raise(self):
        with self.assertRaises(decodetarn.TarnError):
            decodetarn.Slide(os.path.join(self.directory.name, "missing.tarn"))
        with decodetarn.Slide(self.path) as slide:
            with self.assertRaises(decodetarn.TarnError):
                slide.region(0, 0, 0, 0, 10)
            with self.assertRaises(decodetarn.TarnError):
                slide.tile_jpeg(5, 0, 0)


    def test_forked_workers_read_slides_with_other_colours(self):
        """Workers forked after the parent opened, read, decoded a whole layer and closed a slide
        (multiprocessing's fork start method, which PyTorch's DataLoader uses) open and read a
        slide whose table must be built; a worker that hangs fails the test."""
        with decodetarn.Slide(self.path) as slide:
            slide.region(0, 100, 50, 300, 200)
            _decode_whole_layer(slide, 0)
        with multiprocessing.get_context("fork").Pool(2) as pool:
            regions = pool.map_async(_read_in_child, [self.other] * 2).get(timeout=120)
        with decodetarn.Slide(self.other) as slide:
            expected = slide.region(0, 100, 50, 300, 200)
        self.assertEqual(regions, [expected, expected])

    def test_forked_workers_after_importing_torch(self):
        try:
            import torch  # noqa: F401
        except ImportError:
            self.skipTest("PyTorch is not installed")
        if os.environ.get(TORCH_FIRST):
            self.skipTest("this is the run with PyTorch imported first")
        environment = dict(os.environ, **{TORCH_FIRST: "1"})
        run = subprocess.run([sys.executable, __file__, TOOL, LIBRARY,
                              "PythonBinding.test_forked_workers_read_slides_with_other_colours"],
                             env=environment, timeout=300, capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, run.stderr)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:])
