"""`tarn convert --format dicom` accepted by the tools a PACS site runs, from Debian, unchanged:
dicom3tools' dciodvfy, pydicom (every frame, against the grid and tarn_read_region's pixels),
Orthanc with its whole-slide plugin (started here on loopback), and OrthancWSIDicomToTiff back
to a TIFF that OpenSlide opens."""
import io
import json
import os
import shutil
import socket
import subprocess
import time
import urllib.request

import numpy as np
import pytest

from conftest import psnr, reference, tarn

pydicom = pytest.importorskip("pydicom", reason="python3-pydicom is missing")
from pydicom.encaps import generate_pixel_data_frame  # noqa: E402
from PIL import Image  # noqa: E402

import tarnslide  # noqa: E402

ORTHANC = shutil.which("Orthanc")
PLUGIN = "/usr/share/orthanc/plugins/libOrthancWSI.so"
TO_TIFF = shutil.which("OrthancWSIDicomToTiff")


@pytest.fixture(scope="module")
def converted(slides, tmp_path_factory):
    """The small slide converted twice: whole, and without label and macrograph."""
    folder = tmp_path_factory.mktemp("dicom")
    for name, extra in (("whole", []), ("unlabelled", ["--no-label"])):
        run = tarn("convert", slides["small"], folder / name, "--quiet", *extra)
        assert run.returncode == 0, run.stderr
    return folder


def datasets(folder):
    return {name: pydicom.dcmread(os.path.join(folder, name))
            for name in sorted(os.listdir(folder))}


def frames_of(dataset):
    frames = list(generate_pixel_data_frame(dataset.PixelData, int(dataset.NumberOfFrames)))
    return [np.asarray(Image.open(io.BytesIO(frame)).convert("RGB")) for frame in frames]


def test_dciodvfy_finds_no_error_and_pydicom_reads_every_frame_close_to_the_slide(slides,
                                                                                   converted):
    instances = datasets(converted / "whole")
    assert sorted(instances) == ["label.dcm", "level-0.dcm", "level-1.dcm", "level-2.dcm",
                                 "level-3.dcm", "overview.dcm", "thumbnail.dcm"]
    for name in instances:
        report = subprocess.run(["dciodvfy", str(converted / "whole" / name)],
                                capture_output=True, text=True, timeout=60)
        errors = [line for line in report.stderr.splitlines() if line.startswith("Error")]
        assert errors == [], name
    assert len({dataset.SeriesInstanceUID for dataset in instances.values()}) == 1
    table = []
    with tarnslide.OpenSlide(slides["small"]) as slide:
        for level in range(4):
            dataset = instances[f"level-{level}.dcm"]
            columns = -(-dataset.TotalPixelMatrixColumns // dataset.Columns)
            rows = -(-dataset.TotalPixelMatrixRows // dataset.Rows)
            frames = frames_of(dataset)
            assert len(frames) == columns * rows == dataset.NumberOfFrames
            assert all(frame.shape == (256, 256, 3) for frame in frames)
            mosaic = np.concatenate([np.concatenate(frames[r * columns:(r + 1) * columns], 1)
                                     for r in range(rows)], 0)
            width, height = dataset.TotalPixelMatrixColumns, dataset.TotalPixelMatrixRows
            value = psnr(mosaic[:height, :width], reference(slide, level, 0, 0, width, height))
            table.append((level, width, height, value))
            assert value > 30, (level, value)  # within JPEG tolerance (quality 90, 4:2:2)
    print("\nPSNR of the DICOM levels against the slide's pixels (dB):")
    for level, width, height, value in table:
        print(f"  level {level}  {width:>5} x {height:<5}  {value:.1f}")
    thumbnail = instances["thumbnail.dcm"]
    assert thumbnail.ImageType == ["DERIVED", "PRIMARY", "THUMBNAIL", "RESAMPLED"]
    assert thumbnail.NumberOfFrames == 1 and len(frames_of(thumbnail)) == 1


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Orthanc:
    """Orthanc on loopback with its own storage and the whole-slide plugin: HTTP only, no DICOM
    port, no authentication. Stopped on exit, whatever happened."""

    def __init__(self, folder):
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        config = {"Name": "tarn-test", "StorageDirectory": str(folder / "storage"),
                  "IndexDirectory": str(folder / "storage"), "HttpPort": self.port,
                  "DicomServerEnabled": False, "RemoteAccessAllowed": False,
                  "AuthenticationEnabled": False, "Plugins": [PLUGIN]}
        (folder / "orthanc.json").write_text(json.dumps(config))
        self.log = open(folder / "orthanc.log", "w")
        self.process = subprocess.Popen(["timeout", "120", ORTHANC, str(folder / "orthanc.json")],
                                        stdout=self.log, stderr=subprocess.STDOUT)

    def __enter__(self):
        deadline = time.monotonic() + 20
        while True:
            try:
                self.get("/system")
                return self
            except OSError:
                assert self.process.poll() is None and time.monotonic() < deadline
                time.sleep(0.1)

    def __exit__(self, *_):
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.log.close()

    def get(self, path):
        with urllib.request.urlopen(self.url + path, timeout=30) as answer:
            body = answer.read()
            return json.loads(body) if answer.headers.get_content_type() == "application/json" \
                else body

    def store(self, path):
        request = urllib.request.Request(self.url + "/instances", data=path.read_bytes(),
                                         method="POST")
        with urllib.request.urlopen(request, timeout=30) as answer:
            return json.loads(answer.read())


@pytest.mark.skipif(not (ORTHANC and TO_TIFF and os.path.exists(PLUGIN)),
                    reason="orthanc and orthanc-wsi are missing")
def test_orthanc_stores_the_instances_serves_the_pyramid_and_dicomtotiff_reads_it_back(
        slides, converted, tmp_path):
    openslide = pytest.importorskip("openslide", reason="python3-openslide is missing")
    ours = datasets(converted / "unlabelled")
    levels = sorted((name for name in ours if name.startswith("level-")),
                    key=lambda name: int(name[6:-4]))
    with Orthanc(tmp_path) as orthanc:
        stored = [orthanc.store(converted / "unlabelled" / name) for name in ours]
        assert {answer["Status"] for answer in stored} == {"Success"}
        series = {answer["ParentSeries"] for answer in stored}
        assert len(series) == 1
        series = series.pop()
        pyramid = orthanc.get(f"/wsi/pyramids/{series}")
        assert pyramid["Sizes"] == [[ours[name].TotalPixelMatrixColumns,
                                     ours[name].TotalPixelMatrixRows] for name in levels]
        assert pyramid["TilesSizes"] == [[256, 256]] * len(levels)
        for level, name in enumerate(levels):
            columns, rows = pyramid["TilesCount"][level]
            tile = np.asarray(Image.open(io.BytesIO(orthanc.get(
                f"/wsi/tiles/{series}/{level}/{columns - 1}/{rows - 1}"))).convert("RGB"))
            assert psnr(tile, frames_of(ours[name])[-1]) > 40, name

        back = tmp_path / "back.tiff"
        subprocess.run([TO_TIFF, "--orthanc", orthanc.url + "/", series, str(back)],
                       check=True, capture_output=True, timeout=60)
        with openslide.OpenSlide(str(back)) as tiff, tarnslide.OpenSlide(slides["small"]) as tarn_:
            assert tiff.dimensions == tarn_.dimensions

        # The label and the overview join the series; the plugin (1.1) skips only thumbnails
        # and overviews, so it lists the label among the levels, besides every one of ours.
        for name in ("label.dcm", "overview.dcm"):
            assert orthanc.store(converted / "whole" / name)["ParentSeries"] == series
        sizes = orthanc.get(f"/wsi/pyramids/{series}")["Sizes"]
        assert all(size in sizes for size in pyramid["Sizes"])
