"""openslide-python's Deep Zoom examples (Debian's python-openslide-examples) run unchanged, with
tarnslide importable as `openslide`, on a Tarn slide: the two servers' pages, descriptors and
tiles fetched over loopback, and the static tiler's files, equal what tarnslide's own Deep Zoom
gives."""
import contextlib
import io
import os
import shutil
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request

import pytest

import tarnslide
from conftest import SOURCE
from tarnslide.deepzoom import DeepZoomGenerator

EXAMPLES = "/usr/share/doc/python-openslide-examples/examples/deepzoom"
pytestmark = pytest.mark.skipif(not os.path.isdir(EXAMPLES),
                                reason="python-openslide-examples is missing")
pytest.importorskip("flask", reason="python3-flask is missing")

# What makes `import openslide` give tarnslide in the examples' processes, and nothing else.
SHIM = """import sys
import tarnslide, tarnslide.deepzoom, tarnslide.lowlevel
sys.modules.update({"openslide": tarnslide, "openslide.deepzoom": tarnslide.deepzoom,
                    "openslide.lowlevel": tarnslide.lowlevel})
"""


@pytest.fixture(scope="module")
def environment(tmp_path_factory):
    shim = tmp_path_factory.mktemp("shim")
    (shim / "sitecustomize.py").write_text(SHIM)
    return dict(os.environ, PYTHONPATH=os.pathsep.join([str(shim), SOURCE]))


def _free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _get(url):
    try:
        with urllib.request.urlopen(url, timeout=30) as response:
            return response.status, response.read()
    except urllib.error.HTTPError as error:
        return error.code, b""


@contextlib.contextmanager
def _serving(script, arguments, environment, log):
    """The example server on a free loopback port, stopped however the test ends."""
    port = _free_port()
    with open(log, "wb") as output:
        server = subprocess.Popen([sys.executable, os.path.join(EXAMPLES, script), "-l",
                                   "127.0.0.1", "-p", str(port), *arguments],
                                  env=environment, stdout=output, stderr=subprocess.STDOUT)
    try:
        deadline = time.monotonic() + 30
        while True:
            assert server.poll() is None, open(log).read()
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                assert time.monotonic() < deadline, open(log).read()
                time.sleep(0.1)
        yield f"http://127.0.0.1:{port}"
    finally:
        server.terminate()
        try:
            server.wait(10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()


def _jpeg(tile, quality):
    encoded = io.BytesIO()
    tile.save(encoded, "jpeg", quality=quality)
    return encoded.getvalue()


def _serves(url, generator):
    """The descriptor and a tile of every level (the last; the first and a middle one of the
    deepest three) at `url` are those of `generator`, encoded as the servers encode them."""
    assert _get(url + ".dzi") == (200, generator.get_dzi("jpeg").encode())
    for level, (columns, rows) in enumerate(generator.level_tiles):
        addresses = {(columns - 1, rows - 1)}
        if level >= generator.level_count - 3:
            addresses |= {(0, 0), (columns // 2, rows // 2)}
        for column, row in addresses:
            assert _get(f"{url}_files/{level}/{column}_{row}.jpeg") == \
                (200, _jpeg(generator.get_tile(level, (column, row)), 75)), (level, column, row)
    assert _get(f"{url}_files/{generator.level_count}/0_0.jpeg")[0] == 404


def test_deepzoom_server_serves_our_tiles(slides, environment, tmp_path):
    with tarnslide.open_slide(slides["margin"]) as slide, \
            _serving("deepzoom_server.py", [slides["margin"]], environment,
                     tmp_path / "log") as url:
        status, page = _get(url + "/")
        assert status == 200 and b"openslide.vendor" in page
        _serves(url + "/slide", DeepZoomGenerator(slide, 254, 1, limit_bounds=True))
        for name, image in slide.associated_images.items():  # ImageSlides of PIL images
            _serves(f"{url}/{name}", DeepZoomGenerator(tarnslide.ImageSlide(image), 254, 1, True))


def test_deepzoom_multiserver_lists_and_serves_tarn_slides(slides, environment, tmp_path):
    folder = tmp_path / "slides"
    folder.mkdir()
    shutil.copyfile(slides["jpeg"], folder / "first.tarn")
    (folder / "notes.txt").write_text("not a slide")
    with tarnslide.OpenSlide(folder / "first.tarn") as slide, \
            _serving("deepzoom_multiserver.py", [str(folder)], environment,
                     tmp_path / "log") as url:
        status, index = _get(url + "/")
        assert status == 200 and b"first.tarn" in index and b"notes.txt" not in index
        assert _get(url + "/first.tarn")[0] == 200
        assert _get(url + "/notes.txt")[0] == 404  # OpenSlideError: no slide
        _serves(url + "/first.tarn", DeepZoomGenerator(slide, 254, 1, limit_bounds=True))


def test_deepzoom_tile_writes_our_tiles(slides, environment, tmp_path):
    subprocess.run([sys.executable, os.path.join(EXAMPLES, "deepzoom_tile.py"), "-r", "-j", "2",
                    "-o", "out", slides["odd"]], env=environment, cwd=tmp_path, check=True,
                   timeout=120, capture_output=True)
    assert (tmp_path / "out" / "index.html").exists()
    with tarnslide.open_slide(slides["odd"]) as slide:
        images = {"slide": slide, **{name: tarnslide.ImageSlide(image)
                                     for name, image in slide.associated_images.items()}}
        for name, image in images.items():
            generator = DeepZoomGenerator(image, 254, 1, limit_bounds=True)
            assert (tmp_path / "out" / f"{name}.dzi").read_text() == generator.get_dzi("jpeg")
            tiles = sorted((tmp_path / "out" / f"{name}_files").glob("*/*.jpeg"))
            assert len(tiles) == generator.tile_count
            for tile in tiles:
                column, row = map(int, tile.stem.split("_"))
                assert tile.read_bytes() == _jpeg(generator.get_tile(
                    int(tile.parent.name), (column, row)), 90), tile
