"""Slides of one large layer, nearly all glass: the server, tarnslide's Deep Zoom and
`tarn export --deepzoom` render their coarse levels from levels built once, in bounded memory,
and the server answers 503 with Retry-After while they are being built."""
import json
import os
import re
import subprocess
import sys
import time

import pytest

from serve_support import LIBRARY, Server, run_tool

MIB = 1 << 20
BOUND = 64 * MIB  # beyond what a process holds before its first tile


@pytest.fixture(scope="module")
def slides(tmp_path_factory):
    folder = tmp_path_factory.mktemp("coarse")
    made = {}
    # Tissue in one corner, and tissue spread over the whole slide.
    for side, stored in ((100, ("--empty-margin", 98)), (400, ("--stored-tiles", 64))):
        path = folder / f"one{side}.tarn"
        assert run_tool("sample", path, "--columns", side, "--rows", side, "--layers", 1,
                        *stored).returncode == 0
        made[side] = str(path)
    made["small"] = str(folder / "small.tarn")
    assert run_tool("sample", made["small"], "--columns", 4, "--rows", 3).returncode == 0
    return made


def status_memory(pid, field):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(field)


def thumbnail_path(server, name):
    page = server.get("/")[2].decode()
    return re.search(rf"/deepzoom/{name}_files/\d+/0_0\.jpeg", page).group(0)


@pytest.mark.parametrize("side", [100, 400])
def test_the_server_builds_coarse_levels_once_in_bounded_memory(slides, side):
    name = f"one{side}"
    with Server(slides[side], "--threads", 2) as server:
        before = status_memory(server.process.pid, "VmRSS")
        thumbnail = thumbnail_path(server, name)
        started = time.monotonic()
        status, headers, body = server.get(thumbnail)
        assert status == 200 and body[:2] == b"\xff\xd8"
        built = time.monotonic() - started
        # Every tile of the coarse levels, down to where a tile reads a few slide tiles.
        level = int(thumbnail.split("/")[3])
        for zoom in range(level, level + 6):
            for column in range(8):
                status = server.get(f"/deepzoom/{name}_files/{zoom}/{column}_0.jpeg")[0]
                if status == 404 and column > 0:  # past the level's last column
                    break
                assert status == 200
        grown = status_memory(server.process.pid, "VmHWM") - before
        assert grown < BOUND, f"{grown / MIB:.0f} MiB"
        progress = json.loads(server.get("/status")[2])["coarse_levels"]
        assert progress == {name: 1.0}
        print(f"{name}: built in {built:.2f} s, peak {grown / MIB:.1f} MiB beyond the start")


def test_requests_wait_for_the_build_then_get_503(slides):
    # With a timeout of one second a request may not wait at all.
    with Server(slides[400], "--timeout", 1) as server:
        thumbnail = thumbnail_path(server, "one400")
        status, headers, _ = server.get(thumbnail)
        assert status == 503 and headers["retry-after"].isdigit()
        assert server.get("/deepzoom/one400_files/17/200_200.jpeg")[0] == 200  # a stored level
        deadline = time.monotonic() + 60
        while server.get(thumbnail)[0] == 503 and time.monotonic() < deadline:
            time.sleep(0.2)
        assert server.get(thumbnail)[0] == 200


def peak_of(command, **kwargs):
    """Exit code and peak resident memory of `command` run to its end."""
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, **kwargs)
    _, code, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(code)
    return process.returncode, usage.ru_maxrss * 1024


def test_tarnslide_and_the_export_render_coarse_levels_in_bounded_memory(slides, tmp_path):
    script = f"""
import os, sys
sys.path.insert(0, {os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "python")!r})
import tarnslide
from tarnslide.deepzoom import DeepZoomGenerator
slide = tarnslide.TarnSlide(sys.argv[1])
generator = DeepZoomGenerator(slide, 254, 1, False)
for level in range(max(1, generator.level_count - 6)):
    generator.get_tile(level, (0, 0))
thumbnail = slide.get_thumbnail((512, 512))
assert max(thumbnail.size) == 512, thumbnail.size
"""
    environment = dict(os.environ, TARN_LIBRARY=LIBRARY)
    # The same on a small slide of the usual shape: the interpreter, the library, a colour table.
    baseline = peak_of([sys.executable, "-c", script, slides["small"]], env=environment)[1]
    for side in (100, 400):
        code, peak = peak_of([sys.executable, "-c", script, slides[side]], env=environment)
        assert code == 0 and peak - baseline < BOUND, (side, peak / MIB, baseline / MIB)
    def export(folder, slide):
        # Only the corner of tissue, but from the single-tile level on.
        return peak_of([os.environ.get("TARN_TOOL", "build/tarn"), "export", "--deepzoom",
                        str(tmp_path / folder), slide, "--limit-bounds", "--quiet"])

    baseline = export("small", slides["small"])[1]
    code, peak = export("out", slides[100])
    assert code == 0 and peak - baseline < BOUND, (peak / MIB, baseline / MIB)
    assert (tmp_path / "out" / "one100.dzi").exists()
