"""The Python binding against a sample slide: python_test.py TARN_TOOL LIBRARY."""
import os
import subprocess
import sys
import tempfile
import unittest

TOOL, LIBRARY = sys.argv[1], sys.argv[2]
os.environ["DECODETARN_LIBRARY"] = LIBRARY
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))
import decodetarn  # noqa: E402


class PythonBinding(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory()
        cls.path = os.path.join(cls.directory.name, "sample.tarn")
        subprocess.run([TOOL, "sample", cls.path, "--columns", "3", "--rows", "2", "--layers", "2"],
                       check=True, stdout=subprocess.DEVNULL)

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


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]])
