"""tarnslide.convert runs `tarn convert`'s code: the same files, from paths and open slides, its
refusals and cancels; tarnslide.dask.convert_many converts a slide per task on worker processes."""
import os

import pytest

import tarnslide
import tarnslide.dask
from tarnslide import _exportapi

pytestmark = pytest.mark.skipif(
    "dicom" not in _exportapi.format_names(), reason="the export library has no DICOM here")


def _files(folder):
    return {name: open(os.path.join(folder, name), "rb").read()
            for name in sorted(os.listdir(folder))}


def test_convert_writes_what_the_tool_writes_from_a_path_or_an_open_slide(slides, tmp_path):
    from conftest import TOOL
    import subprocess

    subprocess.run([TOOL, "convert", slides["jpeg"], str(tmp_path / "tool"), "--quiet"],
                   check=True)
    seen = []
    assert tarnslide.convert(slides["jpeg"], tmp_path / "path",
                             progress=lambda p: seen.append(p.event)) == str(tmp_path / "path")
    assert seen[0] == "started" and seen[-1] == "finished"
    assert _files(tmp_path / "path") == _files(tmp_path / "tool")
    with tarnslide.OpenSlide(slides["jpeg"]) as slide:
        tarnslide.convert(slide, tmp_path / "open", no_label=True, quality=80,
                          metadata={"PatientID": "P-1", "StudyDate": "20240131"})
    written = _files(tmp_path / "open")
    assert "label.dcm" not in written and "overview.dcm" not in written
    assert b"P-1" in written["level-0.dcm"] and written["level-0.dcm"] != _files(
        tmp_path / "path")["level-0.dcm"]


def test_convert_refuses_an_output_that_is_there_and_a_cancel_leaves_nothing(slides, tmp_path):
    tarnslide.convert(slides["hevc"], tmp_path / "out")
    with pytest.raises(tarnslide.OpenSlideError, match="exists already"):
        tarnslide.convert(slides["hevc"], tmp_path / "out")
    with pytest.raises(tarnslide.OpenSlideError, match="cancelled"):
        tarnslide.convert(slides["hevc"], tmp_path / "again", progress=lambda p: True)
    with pytest.raises(ValueError, match="quality must be a whole number"):
        tarnslide.convert(slides["hevc"], tmp_path / "again", quality=0)
    with pytest.raises(ValueError, match="no conversion format is named 'png'"):
        tarnslide.convert(slides["hevc"], tmp_path / "again", format="png")
    assert sorted(os.listdir(tmp_path)) == ["out"]


def test_convert_many_converts_a_slide_per_task_on_worker_processes(client, slides, tmp_path):
    paths = [slides["jpeg"], slides["margin"]]
    outputs = tarnslide.dask.convert_many(paths, tmp_path, client=client, no_label=True)
    assert outputs == {path: str(tmp_path / os.path.splitext(os.path.basename(path))[0])
                       for path in paths}
    tarnslide.convert(slides["jpeg"], tmp_path / "here", no_label=True, threads=1)
    assert _files(outputs[slides["jpeg"]]) == _files(tmp_path / "here")
    with pytest.raises(tarnslide.OpenSlideError, match="exists already"):
        tarnslide.dask.convert_many(paths[:1], tmp_path, client=client)
