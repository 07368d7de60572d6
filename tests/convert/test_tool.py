"""`tarn convert` as users run it: the format from OUT's name, what it prints, and faults that
leave nothing under the output's name (a full disk, an unwritable folder, a damaged slide, an
existing output, SIGINT and SIGTERM)."""
import contextlib
import os
import resource
import signal
import subprocess
import time

import pytest

from conftest import TOOL, tarn


def leftovers(folder):
    """Everything in a folder, hidden names included."""
    return sorted(os.listdir(folder))


@contextlib.contextmanager
def small_file_system(path, size, read_only=False):
    """A tmpfs of `size` at `path` (as root), else None: the caller falls back on limits."""
    os.makedirs(path)
    options = f"size={size}" + (",ro" if read_only else "")
    mounted = os.geteuid() == 0 and subprocess.run(
        ["mount", "-t", "tmpfs", "-o", options, "tarn-test", path],
        capture_output=True).returncode == 0
    try:
        yield mounted
    finally:
        if mounted:
            subprocess.run(["umount", path], check=True)


def test_the_format_comes_from_the_name_and_the_progress_is_a_line_per_slide(slides, tmp_path):
    done = tarn("convert", slides["small"], tmp_path / "out")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert len(lines) == 2 and "as DICOM into" in lines[0] and lines[1].startswith("wrote 29 ")
    assert "level-0.dcm" in os.listdir(tmp_path / "out")
    assert tarn("convert", slides["small"], tmp_path / "quiet", "--quiet").stdout == ""
    # Several slides go to a folder, each under its name; a file name there wants --format.
    assert tarn("convert", slides["small"], slides["large"], tmp_path / "many",
                "--quiet").returncode == 0
    assert leftovers(tmp_path / "many") == ["large", "small"]
    refused = tarn("convert", slides["small"], slides["large"], tmp_path / "x.tiff")
    assert refused.returncode == 2 and "name the format with --format" in refused.stderr
    for out, name in (("a.ome.tif", "ome-tiff"), ("b.TIFF", "tiff"), ("c.ome.zarr", "ome-zarr")):
        run = tarn("convert", slides["small"], tmp_path / out)
        assert run.returncode in (0, 1), run.stderr
        if run.returncode == 1:
            assert f"the {name} format is not available in this build" in run.stderr
    wrong = tarn("convert", slides["small"], tmp_path / "y", "--quality", "101")
    assert wrong.returncode == 2
    assert "--quality must be a whole number from 1 to 100" in wrong.stderr
    odd = tarn("convert", slides["small"], tmp_path / "odd.tiff", "--tile", "100")
    assert odd.returncode == 1 and "TIFF tiles are a multiple of 16 pixels" in odd.stderr
    assert not os.path.exists(tmp_path / "odd.tiff")


def test_an_existing_output_is_refused_and_overwrite_replaces_it(slides, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    (out / "mine").write_text("keep")
    run = tarn("convert", slides["small"], out)
    assert run.returncode == 1 and "exists already" in run.stderr
    assert leftovers(out) == ["mine"] and leftovers(tmp_path) == ["out"]
    assert tarn("convert", slides["small"], out, "--overwrite", "--quiet").returncode == 0
    assert "mine" not in leftovers(out) and leftovers(tmp_path) == ["out"]


# A folder of files written by dicom/, and one file written through libtiff.
@pytest.mark.parametrize("name", ["out", "out.ome.tiff"])
def test_a_full_disk_and_an_unwritable_folder_fail_clearly_and_leave_nothing(slides, tmp_path,
                                                                             name):
    full = str(tmp_path / "full")
    with small_file_system(full, "128k") as mounted:
        limit = None if mounted else (lambda: resource.setrlimit(resource.RLIMIT_FSIZE,
                                                                  (64 << 10, 64 << 10)))
        run = tarn("convert", slides["small"], os.path.join(full, name), preexec_fn=limit)
        assert run.returncode == 1
        assert ("No space left on device" if mounted else "File too large") in run.stderr
        assert leftovers(full) == []
    locked = str(tmp_path / "locked")
    with small_file_system(locked, "1m", read_only=True) as mounted:
        if not mounted:
            os.chmod(locked, 0o555)
        run = tarn("convert", slides["small"], os.path.join(locked, name))
        assert run.returncode == 1
        assert ("Read-only file system" if mounted else "Permission denied") in run.stderr
        assert leftovers(locked) == []


def test_a_damaged_slide_fails_unless_its_tiles_are_skipped(slides, tmp_path):
    run = tarn("convert", slides["damaged"], tmp_path / "out")
    assert run.returncode == 1
    assert "tile (3, 0) of level 0 does not decode" in run.stderr
    assert leftovers(tmp_path) == []
    run = tarn("convert", slides["damaged"], tmp_path / "out", "--skip-damaged", "--quiet")
    assert run.returncode == 0
    assert "1 tile of " in run.stderr and "could not be read and is white" in run.stderr
    assert leftovers(tmp_path) == ["out"]


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM])
def test_a_stop_signal_leaves_nothing_and_ends_the_tool_by_it(slides, tmp_path, stop):
    out = tmp_path / "out"
    process = subprocess.Popen([TOOL, "convert", slides["large"], str(out), "--threads", "1"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 30
    # Once the staged folder is there, the conversion is under way.
    while not any(name.startswith(".out.") for name in os.listdir(tmp_path)):
        assert process.poll() is None and time.monotonic() < deadline
        time.sleep(0.005)
    process.send_signal(stop)
    _, errors = process.communicate(timeout=30)
    assert process.returncode == -stop, errors
    assert "interrupted" in errors
    assert leftovers(tmp_path) == []
