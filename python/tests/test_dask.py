"""Dask arrays of levels, zarr stores, and the distributed tile export with a worker killed."""
import os
import subprocess

import numpy as np
import pytest

import helpers
import tarnslide
from conftest import TOOL

dask_array = pytest.importorskip("dask.array", reason="python3-dask is missing")
from tarnslide.dask import export_tiles  # noqa: E402


def _whole(slide, level, mode="RGBA"):
    return slide.read_region((0, 0), level, slide.level_dimensions[level], as_array=True,
                             mode=mode)


def test_dask_chunks_are_whole_tiles_and_hold_the_level(slides):
    with tarnslide.TarnSlide(slides["jpeg"]) as slide:
        assert slide.to_dask().chunks == ((747,), (1243,), (4,))  # 2048 is beyond the picture
        level0 = slide.to_dask(0, chunks=600)
        assert level0.chunks == ((512, 235), (512, 512, 219), (4,))
        np.testing.assert_array_equal(level0.compute(scheduler="threads"), _whole(slide, 0))
        level1 = slide.to_dask(1, chunks=(200, 700), mode="RGB")
        assert level1.chunks == ((256, 117), (621,), (3,))
        np.testing.assert_array_equal(level1.compute(scheduler="sync"), _whole(slide, 1, "RGB"))
    with tarnslide.TarnSlide(slides["odd"]) as slide:
        chunks = slide.to_dask(0, chunks=250).chunks
        assert all(size % 100 == 0 for size in chunks[0][:-1] + chunks[1][:-1])


def test_dask_computes_on_worker_processes_with_one_library_thread(client, slides):
    with tarnslide.TarnSlide(slides["odd"]) as slide:
        level0 = slide.to_dask(0, chunks=200)
        assert client.compute(level0.sum()).result() == _whole(slide, 0).sum(dtype=np.uint64)
    assert set(client.run(helpers.library_threads).values()) - {None} == {1}


def test_zarr_stores_serve_levels_and_the_pyramid(slides):
    zarr = pytest.importorskip("zarr", reason="python3-zarr is missing")
    with tarnslide.TarnSlide(slides["jpeg"]) as slide:
        whole = _whole(slide, 0)
        level0 = zarr.open_array(slide.zarr_store(0), mode="r")
        assert level0.shape == (747, 1243, 4) and level0.chunks == (256, 256, 4)
        np.testing.assert_array_equal(level0[:], whole)
        np.testing.assert_array_equal(level0[100:300, 250:700], whole[100:300, 250:700])
        pyramid = zarr.open_consolidated(slide.zarr_store(), mode="r")
        assert sorted(pyramid.array_keys()) == ["0", "1", "2"]
        np.testing.assert_array_equal(pyramid["2"][:], _whole(slide, 2))
        scales = [dataset["coordinateTransformations"][0]["scale"]
                  for dataset in pyramid.attrs["multiscales"][0]["datasets"]]
        assert scales == [[1.0, 1.0, 1.0], [2.0, 2.0, 1.0], [4.0, 4.0, 1.0]]
        lazy = dask_array.from_zarr(slide.zarr_store(1, chunk_size=512, mode="RGB"))
        assert lazy.chunks == ((373,), (512, 109), (3,))
        np.testing.assert_array_equal(lazy.compute(scheduler="threads"), _whole(slide, 1, "RGB"))
        store = slide.zarr_store(2)
        assert len(store) == len(list(store)) == 2 + 1 * 2
        for key in ("0.2.0", "0.0.1", "0/0.0.0", "x", "\u00b2.0.0", "\u0660.\u0660.0", "00.0.0"):
            assert key not in store
            with pytest.raises(KeyError):
                store[key]
        with pytest.raises(PermissionError):
            store["0.0.0"] = b""


def test_xarray_opens_the_pyramid(slides):
    xarray = pytest.importorskip("xarray", reason="python3-xarray is missing")
    with tarnslide.TarnSlide(slides["hevc"]) as slide:
        dataset = xarray.open_zarr(slide.zarr_store())
        assert dataset["1"].dims == ("y1", "x1", "c")
        np.testing.assert_array_equal(dataset["1"].values, _whole(slide, 1))


def _tool_export(path, folder, width, height):
    subprocess.run([TOOL, "export", path, str(folder), "--tile-width", str(width),
                    "--tile-height", str(height), "--quiet"], check=True)
    return folder


def _same_files(ours, theirs):
    names = sorted(os.listdir(theirs))
    assert sorted(os.listdir(ours)) == names and names
    for name in names:
        with open(os.path.join(ours, name), "rb") as a, open(os.path.join(theirs, name), "rb") as b:
            assert a.read() == b.read(), name


@pytest.mark.parametrize("width,height", [(100, 70), (2000, 300), (1000, 1000)])
def test_export_writes_the_tools_files(tmp_path, slides, width, height):
    counts = export_tiles([slides["jpeg"]], tmp_path / "ours", (width, height))
    theirs = _tool_export(slides["jpeg"], tmp_path / "tool", width, height)
    _same_files(tmp_path / "ours" / "jpeg", theirs)
    assert counts == {slides["jpeg"]: len(os.listdir(theirs))}
    # Resuming keeps the files there (whole by their name) and writes the missing ones.
    first, second = sorted((tmp_path / "ours" / "jpeg").iterdir())[:2]
    first.unlink()
    second.write_bytes(b"kept")
    export_tiles([slides["jpeg"]], tmp_path / "ours", (width, height), resume=True)
    assert second.read_bytes() == b"kept"
    assert first.read_bytes() == (theirs / first.name).read_bytes()


def test_export_completes_when_a_worker_dies_mid_run(client, tmp_path, slides):
    out = tmp_path / "tiles"
    before = set(client.run(os.getpid).values())
    client.register_worker_plugin(helpers.KillOnce("_export_row", str(tmp_path / "killed"),
                                                   str(out)))
    try:
        names = ["jpeg", "hevc", "odd"]
        counts = export_tiles([slides[name] for name in names], out, 64, client=client)
    finally:
        client.unregister_worker_plugin(helpers.KillOnce.name)
    assert (tmp_path / "killed").exists()
    client.wait_for_workers(2, timeout=30)
    assert set(client.run(os.getpid).values()) != before  # a worker died and came back
    for name in names:
        theirs = _tool_export(slides[name], tmp_path / f"tool-{name}", 64, 64)
        _same_files(out / name, theirs)  # whole files only, no temporaries left
        assert counts[slides[name]] == len(os.listdir(theirs))
