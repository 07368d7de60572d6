"""`tarn serve`'s IIIF Image API and DICOMweb over HTTP: the documents and images as viewers ask
for them, the instances as the converter writes them, and the server's bounds on those routes
(token, cross-origin use, streamed answers bounded by the client's progress)."""
import io
import json
import re
import socket
import subprocess
import time

import pytest
from PIL import Image, ImageChops, ImageStat

from serve_support import DeepZoom, Server, run_tool

WIDTH, HEIGHT = 3035, 2027  # the 12 x 8 sample's level 0
ORTHANC_ACCEPT = "multipart/related; type=application/dicom; transfer-syntax=*"
FRAME_ACCEPT = 'multipart/related; type="application/octet-stream"; transfer-syntax=*'


@pytest.fixture(scope="module")
def slide(tmp_path_factory):
    path = tmp_path_factory.mktemp("protocols") / "demo.tarn"
    assert run_tool("sample", path, "--columns", 12, "--rows", 8, "--layers", 3).returncode == 0
    return str(path)


@pytest.fixture(scope="module")
def server(slide):
    with Server(slide, "--threads", 2) as running:
        yield running


def parts(headers, body):
    """The parts of a multipart/related answer: (headers as a dict, bytes) each."""
    boundary = re.search(r"boundary=([^;\s]+)", headers["content-type"]).group(1).encode()
    pieces = body.split(b"--" + boundary)
    assert pieces[0] == b"" and pieces[-1] == b"--\r\n"
    found = []
    for piece in pieces[1:-1]:
        head, _, data = piece[2:].partition(b"\r\n\r\n")
        fields = dict(line.split(": ", 1) for line in head.decode().split("\r\n"))
        found.append(({k.lower(): v for k, v in fields.items()}, data[:-2]))
    return found


def json_of(server, path, headers=None):
    status, answer_headers, body = server.get(path, headers=headers)
    assert status == 200, (path, status, body)
    return answer_headers, json.loads(body)


def value(dataset, tag):
    return dataset[tag]["Value"][0]


def study_uid(server):
    return value(json_of(server, "/dicomweb/studies")[1][0], "0020000D")


def test_iiif_documents_and_index(server):
    status, headers, _ = server.get("/iiif/3/demo")
    assert status == 303 and headers["location"] == "/iiif/3/demo/info.json"
    headers, info = json_of(server, "/iiif/3/demo/info.json")
    assert headers["content-type"] == "application/json"
    assert headers["access-control-allow-origin"] == "*" and "rel=\"profile\"" in headers["link"]
    assert info["id"] == f"http://{server.host}:{server.port}/iiif/3/demo"
    assert (info["type"], info["profile"], info["width"], info["height"]) == (
        "ImageService3", "level2", WIDTH, HEIGHT)
    assert info["maxArea"] > 0 and info["tiles"][0]["scaleFactors"][0] == 1
    ld = server.get("/iiif/3/demo/info.json", headers={"Accept": "application/ld+json"})[1]
    assert ld["content-type"].startswith("application/ld+json;profile=")
    _, manifest = json_of(server, "/iiif/3/demo/manifest.json")
    body = manifest["items"][0]["items"][0]["items"][0]["body"]
    assert body["service"][0]["id"] == info["id"]
    page = server.get("/")[2].decode()
    assert 'href="/iiif/3/demo/info.json"' in page and 'href="/view/demo"' in page
    assert server.get("/iiif/3/nothing/info.json")[0] == 404


def test_iiif_images_are_the_slides_pixels(server, slide):
    library = DeepZoom(slide)
    try:
        expected = Image.frombytes("RGB", (256, 256), library.region_rgb(512, 256, 256, 256))
    finally:
        library.close()
    status, headers, body = server.get("/iiif/3/demo/512,256,256,256/max/0/default.jpg")
    assert status == 200 and headers["content-type"] == "image/jpeg"
    tile = Image.open(io.BytesIO(body))
    assert max(ImageStat.Stat(ImageChops.difference(tile.convert("RGB"), expected)).mean) < 4
    # The same pixels again come from the cache, byte for byte, with the same ETag.
    again = server.get("/iiif/3/demo/512,256,256,256/256,256/0/color.jpg")
    assert again[2] == body and again[1]["etag"] == headers["etag"]
    status, headers, body = server.get("/iiif/3/demo/full/!200,200/90/gray.png")
    picture = Image.open(io.BytesIO(body))
    assert status == 200 and picture.mode == "L" and picture.size == (134, 200)


@pytest.mark.parametrize("path, status", [
    ("full/max/0/default.webp", 400),
    ("9000,0,10,10/max/0/default.jpg", 400),  # wholly outside
    ("full/4000,/0/default.jpg", 400),  # larger than the region, without ^
    ("full/^4000,/0/default.jpg", 501),
    ("full/max/45/default.jpg", 501),
    ("0,0,3035,2027/20000,1/0/default.jpg", 400),  # beyond the bounds, refused before reading
])
def test_iiif_refusals(server, path, status):
    got, headers, _ = server.get("/iiif/3/demo/" + path)
    assert got == status and headers["access-control-allow-origin"] == "*"


def test_dicomweb_searches_metadata_and_frames(server, slide, tmp_path):
    study = study_uid(server)
    assert json_of(server, "/dicomweb/studies?ModalitiesInStudy=SM")[1]
    assert server.get("/dicomweb/studies?StudyInstanceUID=1.2.3")[0] == 204
    # The server's bound on a request's size holds here as everywhere.
    assert server.get("/dicomweb/studies?PatientID=" + "x" * 3000)[0] in (400, 414)
    _, series = json_of(server, f"/dicomweb/studies/{study}/series?Modality=SM")
    series_uid = value(series[0], "0020000E")
    _, instances = json_of(server, f"/dicomweb/studies/{study}/series/{series_uid}/instances")
    # The UIDs are those `tarn convert` gives the slide's files.
    out = tmp_path / "dicom"
    assert run_tool("convert", slide, out, "--format", "dicom").returncode == 0
    written = set()
    for path in out.iterdir():
        dump = subprocess.run(["dcmdump", "+P", "SOPInstanceUID", str(path)], text=True,
                              capture_output=True, check=True).stdout
        written.add(re.search(r"\[([0-9.]+)\]", dump).group(1))
    assert {value(i, "00080018") for i in instances} == written

    level0 = next(i for i in instances if value(i, "00200013") == 1)
    base = f"/dicomweb/studies/{study}/series/{series_uid}/instances/{value(level0, '00080018')}"
    metadata = server.get(base + "/metadata")[2].decode()
    icc = re.search(r'"00282000":\{"vr":"OB","BulkDataURI":"([^"]+)"', metadata).group(1)
    status, headers, body = server.get(icc[icc.index("/dicomweb"):])
    assert status == 200 and parts(headers, body)[0][1][36:40] == b"acsp"
    status, headers, body = server.get(base + "/frames/2,1", headers={"Accept": FRAME_ACCEPT})
    frames = parts(headers, body)
    assert status == 200 and len(frames) == 2
    assert all(data[:2] == b"\xff\xd8" and data[-2:] == b"\xff\xd9" for _, data in frames)
    assert Image.open(io.BytesIO(frames[1][1])).size == (256, 256)
    assert server.get(base + "/frames/999", headers={"Accept": FRAME_ACCEPT})[0] == 404
    status, _, body = server.get(base + "/rendered?viewport=300,300",
                                 headers={"Accept": "image/png"})
    assert status == 200 and Image.open(io.BytesIO(body)).size == (300, 200)


def test_dicomweb_whole_study_is_the_converters_instances(server):
    study = study_uid(server)
    status, headers, body = server.get(f"/dicomweb/studies/{study}",
                                       headers={"Accept": ORTHANC_ACCEPT})
    assert status == 200 and headers.get("transfer-encoding") == "chunked"
    instances = parts(headers, body)
    assert len(instances) == json_of(server, f"/dicomweb/studies/{study}/instances")[1].__len__()
    assert all(data[128:132] == b"DICM" for _, data in instances)
    # HEAD sends the headers alone.
    assert server.get(f"/dicomweb/studies/{study}", method="HEAD",
                      headers={"Accept": ORTHANC_ACCEPT})[2] == b""


def test_hidden_label_leaves_out_label_and_overview(slide):
    with Server(slide, "--hide-label") as hidden:
        study = study_uid(hidden)
        _, instances = json_of(hidden, f"/dicomweb/studies/{study}/instances")
        kinds = {i["00080008"]["Value"][2] for i in instances}
        assert "LABEL" not in kinds and "OVERVIEW" not in kinds and "VOLUME" in kinds


def test_token_bearer_and_preflight(slide):
    with Server(slide, "--token", "secret-1") as guarded:
        bearer = {"Authorization": "Bearer secret-1"}
        for path in ("/iiif/3/demo/info.json", "/dicomweb/studies"):
            assert guarded.get(path)[0] == 401
            assert guarded.get(path, headers={"Authorization": "Bearer wrong"})[0] == 401
            assert guarded.get(path, headers=bearer)[0] == 200
            # No origin gets in by default once a token guards the server.
            assert "access-control-allow-origin" not in guarded.get(path, headers=bearer)[1]
            # A Host no URL should carry is refused rather than written into the answers.
            assert guarded.get(path, headers={**bearer, "Host": "a\"b<"})[0] == 400
    with Server(slide, "--token", "secret-1", "--cors", "https://viewer.example") as open_to:
        origin = {"Origin": "https://viewer.example"}
        status, headers, _ = open_to.get("/iiif/3/demo/full/64,/0/default.jpg", method="OPTIONS",
                                         headers={**origin, "Access-Control-Request-Method":
                                                  "GET", "Access-Control-Request-Headers":
                                                  "authorization"})
        assert status == 204 and headers["access-control-allow-origin"] == origin["Origin"]
        assert "Authorization" in headers["access-control-allow-headers"]
        status, headers, _ = open_to.get("/dicomweb/studies", headers=origin)
        assert status == 401 and headers["access-control-allow-origin"] == origin["Origin"]


def test_a_streamed_answer_lasts_while_read_and_is_dropped_once_not(tmp_path):
    # Mostly glass: quick to write, yet a study of some 9 MB, more than the sockets' buffers.
    big = tmp_path / "big.tarn"
    assert run_tool("sample", big, "--columns", 70, "--rows", 50, "--layers", 1,
                    "--stored-tiles", 4).returncode == 0
    with Server(big, "--timeout", 1) as server:
        study = study_uid(server)
        request = (f"GET /dicomweb/studies/{study} HTTP/1.1\r\nHost: localhost\r\n"
                   f"Accept: {ORTHANC_ACCEPT}\r\nConnection: close\r\n\r\n").encode()

        def read(pause_after_headers, chunk_seconds):
            with socket.socket() as s:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
                s.settimeout(30)
                s.connect((server.host, server.port))
                s.sendall(request)
                data = s.recv(4096)
                time.sleep(pause_after_headers)
                started = time.monotonic()
                while True:
                    chunk = s.recv(65536)
                    if not chunk:
                        return data, time.monotonic() - started
                    data += chunk
                    time.sleep(chunk_seconds)

        # A client that keeps reading gets it all, past the request timeout.
        whole, took = read(0, 0)
        assert whole.endswith(b"--\r\n\r\n0\r\n\r\n") and took > 1, took
        # One that stops is dropped after the timeout: its answer breaks off.
        cut, _ = read(2.5, 0)
        assert len(cut) < len(whole) and not cut.endswith(b"0\r\n\r\n")
