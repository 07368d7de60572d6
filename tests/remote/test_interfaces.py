"""Every interface above tarn.h, reading a slide from a URL, gives what it gives for the file: the
tool's info, tile, region, image and export; tarnslide's reads, pickles, Dask arrays and export on a
dask.distributed cluster; slides from file objects; and OpenSlide's own programs through
libopenslide.so.0. Servers from tarn_remote_servers (remote_servers.py).

ctest passes TARN_LIBRARY, TARN_TOOL, TARN_REMOTE_SERVERS and TARN_OPENSLIDE_DIR (the folder of
the built libopenslide.so.0), and puts python/ on PYTHONPATH.
"""
import filecmp
import io
import os
import pickle
import subprocess
import time
import types

import numpy as np
import pytest

import remote_servers
import serve_support
import tarnslide
import tarnslide.dask
from tarnslide.deepzoom import DeepZoomGenerator

TOOL = os.environ.get("TARN_TOOL", "tarn")
VERSION = "tarn.object-version"


def tool(*args, check=True):
    return subprocess.run([TOOL, *map(str, args)], check=check, capture_output=True, text=True)


@pytest.fixture(scope="module")
def remote(tmp_path_factory):
    with remote_servers.started() as servers:
        if servers is None:
            pytest.skip("TARN_REMOTE_SERVERS is not set")
        work = tmp_path_factory.mktemp("remote")
        path = work / "slide.tarn"
        tool("sample", path, "--columns", "6", "--rows", "4")
        yield types.SimpleNamespace(servers=servers, work=work, path=str(path),
                                    url=servers.publish("slide.tarn", path))


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       host="127.0.0.1", dashboard_address="127.0.0.1:0",
                                       silence_logs=40)
    with cluster, distributed.Client(cluster, timeout=60) as connected:
        yield connected


def same_folders(a, b):
    compared = filecmp.dircmp(a, b)
    assert compared.left_list == compared.right_list and compared.left_list
    _, mismatch, errors = filecmp.cmpfiles(a, b, compared.common_files, shallow=False)
    assert not mismatch and not errors
    for sub in compared.common_dirs:
        same_folders(os.path.join(a, sub), os.path.join(b, sub))


def test_tool_reads_urls(remote):
    local, url = remote.path, remote.url + "?X-Amz-Signature=SECRET"
    info = tool("info", local).stdout.splitlines()
    assert tool("info", url).stdout.splitlines() == [remote.url] + info[1:]
    listed = [line for line in tool("info", "--properties", url).stdout.splitlines()
              if not line.startswith(VERSION)]
    assert listed == tool("info", "--properties", local).stdout.splitlines()
    for name, layer, x, y in (("a.jpg", 0, 100, 50), ("b.png", 1, 0, 0)):
        tool("region", local, "--layer", layer, "--x", x, "--y", y, "--width", 500, "--height",
             300, "--output", remote.work / ("file-" + name))
        tool("region", url, "--layer", layer, "--x", x, "--y", y, "--width", 500, "--height", 300,
             "--output", remote.work / ("url-" + name))
        assert filecmp.cmp(remote.work / ("file-" + name), remote.work / ("url-" + name), False)
    for kind, extra in (("grid", ["--tile-width", 300]), ("dz", ["--deepzoom"])):
        for source, folder in ((local, "file"), (url, "url")):
            target = remote.work / f"{kind}-{folder}"
            if kind == "dz":
                tool("export", "--deepzoom", target, source, "--quiet")
            else:
                tool("export", source, target, *extra, "--quiet")
        same_folders(remote.work / f"{kind}-file", remote.work / f"{kind}-url")
    # tile and image: the stored bytes (a .jpg of the label and of a JPEG slide's tile) and the
    # pixels (.png) the file gives.
    for name, args in (("t.jpg", ["tile", "--layer", 1, "--column", 1, "--row", 0]),
                       ("t.png", ["tile", "--layer", 0, "--column", 2, "--row", 1]),
                       ("l.jpg", ["image", "label"]), ("m.png", ["image", "macrograph"]),
                       ("h.jpg", ["image", "thumbnail"])):
        for source, prefix in ((local, "file-"), (url, "url-")):
            command, rest = args[0], args[1:]
            tool(command, source, *rest, "--output", remote.work / (prefix + name))
        assert filecmp.cmp(remote.work / ("file-" + name), remote.work / ("url-" + name), False)
    missing = tool("tile", url, "--layer", 9, "--output", remote.work / "t.jpg", check=False)
    assert missing.returncode == 1 and "no such layer" in missing.stderr
    assert "SECRET" not in missing.stderr

    # tarn serve: the descriptor and tiles `tarn export --deepzoom` wrote from the file.
    exported = remote.work / "dz-file"
    with serve_support.Server(url) as server:
        assert "SECRET" not in server.output
        assert server.get("/deepzoom/slide.dzi")[2] == (exported / "slide.dzi").read_bytes()
        for tile in ("11/2_1.jpeg", "9/0_0.jpeg", "5/0_0.jpeg"):
            status, _, body = server.get("/deepzoom/slide_files/" + tile)
            assert status == 200 and body == (exported / "slide_files" / tile).read_bytes()


def without_version(properties):
    return {k: v for k, v in properties.items() if k != VERSION}


def expect_same_slide(local, slide):
    assert without_version(slide.properties) == dict(local.properties)
    for level, (x, y) in ((0, (700, 300)), (1, (-50, 100)), (2, (1200, 800))):
        assert np.array_equal(local.read_region((x, y), level, (400, 300), as_array=True),
                              slide.read_region((x, y), level, (400, 300), as_array=True))
    for name, image in local.associated_images.items():
        assert np.array_equal(np.asarray(image), np.asarray(slide.associated_images[name]))
    zoom, remote_zoom = DeepZoomGenerator(local), DeepZoomGenerator(slide)
    top = zoom.level_count - 1
    assert np.array_equal(np.asarray(zoom.get_tile(top, (1, 1))),
                          np.asarray(remote_zoom.get_tile(top, (1, 1))))


def test_tarnslide_reads_urls(remote, client, monkeypatch):
    servers = remote.servers
    monkeypatch.setenv("CURL_CA_BUNDLE", servers.ca_file)
    assert tarnslide.OpenSlide.detect_format(remote.url) == "tarn"
    with tarnslide.OpenSlide(remote.path) as local:
        for url in (remote.url, servers.https("slide.tarn")):
            with tarnslide.open_slide(url) as slide:
                assert isinstance(slide, tarnslide.OpenSlide)
                expect_same_slide(local, slide)
                copy = pickle.loads(pickle.dumps(slide))
                assert np.array_equal(local.read_region((0, 0), 0, (600, 500), as_array=True),
                                      copy.read_region((0, 0), 0, (600, 500), as_array=True))
        s3 = servers.put_s3("dir/slide.tarn", remote.path)
        if s3 is not None:
            for name, value in servers.s3_environment().items():
                monkeypatch.setenv(name, value)
            with tarnslide.OpenSlide(s3) as slide:
                expect_same_slide(local, slide)

        # A cluster of worker processes, each opening the URL and fetching its own ranges.
        with tarnslide.OpenSlide(remote.url) as slide:
            array = client.compute(slide.to_dask(1, chunks=256)).result()
        width, height = local.level_dimensions[1]
        assert np.array_equal(array, local.read_region((0, 0), 1, (width, height), as_array=True))
    tarnslide.dask.export_tiles([remote.url], remote.work / "dask", 300, client=client)
    tool("export", remote.path, remote.work / "dask-file", "--tile-width", 300,
         "--tile-height", 300, "--quiet")
    same_folders(remote.work / "dask-file", remote.work / "dask" / "slide")


def test_copies_refuse_a_changed_object(remote, tmp_path):
    url = remote.servers.publish("changing.tarn", remote.path)
    with tarnslide.OpenSlide(url) as slide:
        pickled = pickle.dumps(slide)
    other = tmp_path / "other.tarn"
    tool("sample", other, "--columns", "5", "--rows", "3")
    later = time.time() + 100
    os.utime(other, (later, later))
    remote.servers.publish("changing.tarn", other)
    with pytest.raises(tarnslide.OpenSlideError, match="no longer the object"):
        pickle.loads(pickled)


def test_file_objects(remote):
    fsspec = pytest.importorskip("fsspec")
    memory = fsspec.filesystem("memory")
    with open(remote.path, "rb") as file:
        memory.pipe("/slide.tarn", file.read())
    places = [(x, y) for x in range(0, 1400, 230) for y in range(0, 900, 170)]
    with tarnslide.OpenSlide(remote.path) as local:
        expected = local.read_regions(places, 0, (256, 256))
        for opener in (lambda: open(remote.path, "rb"), lambda: memory.open("/slide.tarn", "rb")):
            with opener() as file, tarnslide.OpenSlide(file) as slide:
                expect_same_slide(local, slide)
                assert np.array_equal(expected, slide.read_regions(places, 0, (256, 256), workers=4))
                with pytest.raises(TypeError):
                    pickle.dumps(slide)
    with pytest.raises(tarnslide.OpenSlideError):
        tarnslide.OpenSlide(io.BytesIO(b"not a slide" * 100))
    with open(remote.path, "r", encoding="latin-1") as text, pytest.raises(TypeError):
        tarnslide.OpenSlide(text)


def test_openslide_programs_read_urls(remote):
    environment = dict(os.environ, LD_LIBRARY_PATH=os.environ["TARN_OPENSLIDE_DIR"])

    def run(*command):
        return subprocess.run(list(map(str, command)), env=environment, check=True,
                              capture_output=True, text=True).stdout

    local = run("openslide-show-properties", remote.path).splitlines()
    listed = run("openslide-show-properties", remote.url).splitlines()
    assert [line for line in listed if not line.startswith(VERSION)] == local
    for source, name in ((remote.path, "file.png"), (remote.url, "url.png")):
        run("openslide-write-png", source, 1300, 900, 0, 300, 200, remote.work / name)
    assert filecmp.cmp(remote.work / "file.png", remote.work / "url.png", False)
