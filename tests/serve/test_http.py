"""`tarn serve` over HTTP: every route, the refusals, access, and that what it serves is what the
library's Deep Zoom makes."""
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import time

import pytest

from serve_support import DAMAGED_SLIDE, DeepZoom, Server, run_tool

LEVELS = 13  # Deep Zoom levels of the 3035 x 2027 sample


@pytest.fixture(scope="module")
def slides(tmp_path_factory):
    folder = tmp_path_factory.mktemp("slides")
    demo = folder / "demo.tarn"
    assert run_tool("sample", demo, "--columns", 12, "--rows", 8, "--layers", 3).returncode == 0
    # Layer-0 tile 2 (column 2 of row 0) of this one does not decode.
    damaged = folder / "damaged.tarn"
    subprocess.run([DAMAGED_SLIDE, damaged, "2"], check=True, timeout=60)
    return {"demo": str(demo), "damaged": str(damaged), "folder": folder}


@pytest.fixture(scope="module")
def server(slides):
    with Server(slides["demo"], slides["damaged"], "--threads", 2) as running:
        yield running


@pytest.fixture(scope="module")
def library(slides):
    view = DeepZoom(slides["demo"])
    yield view
    view.close()


def test_index_lists_every_slide_with_a_thumbnail(server):
    status, headers, body = server.get("/")
    assert status == 200 and headers["content-type"].startswith("text/html")
    page = body.decode()
    for name in ("demo", "damaged"):
        assert f'href="/view/{name}"' in page
    thumbnail = f"/deepzoom/demo_files/{8}/0_0.jpeg"  # the deepest level of a single tile
    assert thumbnail in page
    status, headers, body = server.get(thumbnail)
    assert status == 200 and body[:2] == b"\xff\xd8"
    # Pages load nothing from elsewhere.
    assert "://" not in page and "://" not in server.get("/view/demo")[2].decode()


def test_descriptor_and_tiles_are_the_librarys(server, library):
    status, headers, body = server.get("/deepzoom/demo.dzi")
    assert status == 200 and headers["content-type"] == "application/xml"
    assert body == library.dzi()
    assert library.level_count() == LEVELS
    checked = 0
    for level in (0, 7, 10, LEVELS - 1):
        columns, rows = library.level_tiles(level)
        for column in range(columns):
            for row in range(rows):
                if level == LEVELS - 1 and (column + row) % 5:  # a spread of the deepest
                    continue
                status, headers, body = server.get(
                    f"/deepzoom/demo_files/{level}/{column}_{row}.jpeg")
                assert status == 200 and headers["content-type"] == "image/jpeg"
                assert body == library.tile_jpeg(level, column, row), (level, column, row)
                checked += 1
    assert checked > 20


def test_the_static_export_holds_what_is_served(server, slides, library, tmp_path):
    out = tmp_path / "pyramid"
    result = run_tool("export", "--deepzoom", out, slides["demo"], "--quiet")
    assert result.returncode == 0, result.stderr
    assert (out / "demo.dzi").read_bytes() == server.get("/deepzoom/demo.dzi")[2]
    tiles = [path for path in (out / "demo_files").rglob("*") if path.is_file()]
    assert len(tiles) == sum(columns * rows for columns, rows in
                             map(library.level_tiles, range(library.level_count())))
    for path in tiles:
        served = server.get(f"/deepzoom/demo_files/{path.relative_to(out / 'demo_files')}")
        assert served[0] == 200 and served[2] == path.read_bytes(), path
    # A slide with a tile that cannot be read: the export fails on it and writes no descriptor.
    result = run_tool("export", "--deepzoom", out, slides["damaged"], "--quiet")
    assert result.returncode == 1 and "cannot render Deep Zoom tile" in result.stderr
    assert not (out / "damaged.dzi").exists()
    assert not [path for path in out.rglob(".*")]  # no temporary file left


def test_viewer_properties_images_and_static_files(server, library):
    status, headers, body = server.get("/view/demo")
    assert status == 200 and "content-security-policy" in headers
    assert b"/deepzoom/demo.dzi" in body and b"/static/openseadragon.min.js" in body

    status, headers, body = server.get("/properties/demo.json")
    assert status == 200 and headers["content-type"] == "application/json"
    slide = json.loads(body)
    assert slide["name"] == "demo"
    assert float(slide["properties"]["openslide.mpp-x"]) > 0
    assert set(slide["associated"]) >= {"label", "macro"}

    for image in slide["associated"]:
        status, headers, jpeg = server.get(f"/associated/demo/{image}.jpeg")
        assert status == 200 and headers["content-type"] == "image/jpeg"
        assert jpeg[:2] == b"\xff\xd8"
        status, headers, png = server.get(f"/associated/demo/{image}.png")
        assert status == 200 and png[:8] == b"\x89PNG\r\n\x1a\n"
        width, height = struct.unpack(">II", png[16:24])
        assert width > 0 and height > 0

    for path, kind in (("/favicon.ico", "image/x-icon"),
                       ("/static/openseadragon.min.js", "text/javascript; charset=utf-8"),
                       ("/static/viewer.js", "text/javascript; charset=utf-8"),
                       ("/static/viewer.css", "text/css; charset=utf-8"),
                       ("/static/images/home_rest.png", "image/png"),
                       ("/static/openseadragon-license.txt", "text/plain; charset=utf-8")):
        status, headers, body = server.get(path)
        assert (status, headers["content-type"]) == (200, kind), path
        assert len(body) > 100


def test_etags_revalidate_and_head_sends_no_body(server):
    for path in ("/", "/deepzoom/demo.dzi", "/deepzoom/demo_files/12/3_2.jpeg",
                 "/static/viewer.js", "/associated/demo/macro.png"):
        status, headers, body = server.get(path)
        assert status == 200 and headers["etag"].startswith('"') and headers["cache-control"]
        status, again, rest = server.get(path, headers={"If-None-Match": headers["etag"]})
        assert (status, rest, again["etag"]) == (304, b"", headers["etag"])
        status, head, rest = server.get(path, method="HEAD")
        assert (status, rest) == (200, b"")
        assert head["content-length"] == str(len(body)) and head["etag"] == headers["etag"]


def test_status_counts_requests_and_cache_hits(server):
    before = json.loads(server.get("/status")[2])
    for _ in range(3):
        assert server.get("/deepzoom/demo_files/11/1_1.jpeg")[0] == 200
    # A request is counted once its answer has gone out, which the client may see first.
    for _ in range(20):
        after = json.loads(server.get("/status")[2])
        if after["by_route"]["tile"] - before["by_route"]["tile"] == 3:
            break
        time.sleep(0.05)
    assert after["by_route"]["tile"] - before["by_route"]["tile"] == 3
    assert after["tile_cache"]["hits"] - before["tile_cache"]["hits"] >= 2
    assert after["requests"] > before["requests"]
    assert after["tile_latency"]["p99_ms"] > 0 and "library_cache" in after
    for latency in (after["latency"], after["tile_latency"]):
        assert 0 < latency["p50_ms"] <= latency["p90_ms"] <= latency["p99_ms"] <= latency["max_ms"]


BAD_REQUESTS = [
    # Paths that try to leave the routes, or encode what a path must not hold.
    ("/deepzoom/../../etc/passwd", {400}),
    ("/deepzoom/%2e%2e/%2e%2e/etc/passwd", {400}),
    ("/static/..%2fviewer.js", {400}),
    ("/static/images%2fhome_rest.png", {400}),
    ("/static/images%5chome_rest.png", {400}),
    ("/deepzoom/demo_files%2F12%2F0_0.jpeg", {400}),
    ("/view/demo%00", {400}),
    ("/view/demo%00.html", {400}),
    ("/view/de%zzmo", {400}),
    ("/view/demo%", {400}),
    ("/" + "a" * 3000, {400}),
    ("/deepzoom/demo.dzi?token=" + "x" * 5000, {400}),
    ("/etc/passwd", {404}),
    ("//etc/passwd", {404}),
    ("/view/demo/", {404}),
    ("/view/nosuch", {404}),
    ("/deepzoom/nosuch.dzi", {404}),
    ("/static/viewer.html", {404}),
    ("/static/", {404}),
    # Levels and tile numbers: negative, huge, not numbers, or not there.
    ("/deepzoom/demo_files/-1/0_0.jpeg", {400}),
    ("/deepzoom/demo_files/99999999999/0_0.jpeg", {400}),
    ("/deepzoom/demo_files/abc/0_0.jpeg", {400}),
    ("/deepzoom/demo_files/12/0_-3.jpeg", {400}),
    ("/deepzoom/demo_files/12/x_0.jpeg", {400}),
    ("/deepzoom/demo_files/12/1e3_0.jpeg", {400}),
    ("/deepzoom/demo_files/12/00_0.jpeg", {400}),
    ("/deepzoom/demo_files/12/0_0_0.jpeg", {400}),
    ("/deepzoom/demo_files/12/99999_0.jpeg", {404}),
    ("/deepzoom/demo_files/12/0_8.jpeg", {404}),
    ("/deepzoom/demo_files/13/0_0.jpeg", {404}),
    ("/deepzoom/demo_files/4294967296/0_0.jpeg", {404}),
    ("/deepzoom/demo_files/12/0_0.png", {404}),
    ("/deepzoom/nosuch_files/12/0_0.jpeg", {404}),
    ("/associated/demo/../label.jpeg", {400}),
    ("/associated/demo/label.gif", {404}),
    ("/associated/demo/nosuch.jpeg", {404}),
]


@pytest.mark.parametrize("path,statuses", BAD_REQUESTS)
def test_bad_requests_are_refused(server, path, statuses):
    assert server.raw(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode()) in statuses


def test_malformed_requests_and_other_methods(server):
    # A NUL byte or a space inside the request line, and a URL larger than a connection's memory.
    for request in (b"GET /view/demo\x00 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
                    b"GET /view/demo\x00/x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
                    b"GET /view/demo HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".replace(b"o H", b"o\x00H"),
                    b"GET /view/de mo HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
                    b"GET /view/d\xc3\xa9mo HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
                    b"GET /" + b"a" * 100000 + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"):
        assert server.raw(request) in {400, 414, None}
    for method in ("POST", "PUT", "DELETE", "OPTIONS", "PATCH"):
        status, headers, _ = server.get("/", method=method)
        assert status == 405 and headers["allow"] == "GET, HEAD"
    assert server.get("/")[0] == 200


def test_a_damaged_tile_fails_alone(server):
    broken = "/deepzoom/damaged_files/11/2_0.jpeg"  # reads layer-0 tiles 1 and 2
    for _ in range(2):  # a failure is not cached
        assert server.get(broken)[0] == 500
    assert server.get("/deepzoom/damaged_files/11/0_0.jpeg")[0] == 200
    assert server.get("/deepzoom/demo_files/11/2_0.jpeg")[0] == 200
    assert json.loads(server.get("/status")[2])["by_status"]["5xx"] >= 2


def test_the_token_is_required_everywhere(slides):
    with Server(slides["demo"], "--token", "s3cret-T0ken") as server:
        for path in ("/", "/view/demo", "/deepzoom/demo.dzi", "/deepzoom/demo_files/12/0_0.jpeg",
                     "/static/viewer.js", "/favicon.ico", "/status", "/nosuch"):
            assert server.get(path)[0] == 401, path
            assert server.get(path + "?token=s3cret-T0keN")[0] == 401, path
        status, headers, _ = server.get("/view/demo?token=s3cret-T0ken")
        cookie = f"tarn_token_{server.port}=s3cret-T0ken"
        assert status == 200 and headers["set-cookie"].startswith(cookie + ";")
        for attribute in ("Path=/", "HttpOnly", "SameSite=Strict"):
            assert attribute in headers["set-cookie"]
        assert "private" in headers["cache-control"]
        status, headers, _ = server.get("/deepzoom/demo.dzi?token=s3cret-T0ken")
        assert status == 200 and "private" in headers["cache-control"]
        assert server.get("/status", headers={"Cookie": "tarn_token=s3cret-T0ken"})[0] == 401
        for header in ({"Cookie": cookie}, {"X-Tarn-Token": "s3cret-T0ken"},
                       {"Authorization": "Bearer s3cret-T0ken"}):
            assert server.get("/deepzoom/demo_files/12/0_0.jpeg", headers=header)[0] == 200
        assert "?token=s3cret-T0ken" in server.output


def test_without_a_token_only_loopback_host_names_are_answered(server):
    for host, status in (("localhost:8080", 200), ("127.0.0.1", 200), ("[::1]:80", 200),
                         ("attacker.example", 403), ("127.0.0.1.attacker.example", 403)):
        assert server.get("/status", headers={"Host": host})[0] == status, host


def test_hide_label_serves_no_label(slides):
    with Server(slides["demo"], "--hide-label") as server:
        slide = json.loads(server.get("/properties/demo.json")[2])
        assert "label" not in slide["associated"] and "macro" in slide["associated"]
        assert not [name for name in slide["properties"] if "label" in name.lower()]
        for path in ("/associated/demo/label.jpeg", "/associated/demo/label.png"):
            assert server.get(path)[0] == 404
        assert b"/label." not in server.get("/view/demo")[2]
        assert b"label" not in server.get("/")[2]


def closed_by_server(s, seconds):
    """True when the server closes `s` (or resets it) within `seconds`, whatever it sent first."""
    s.settimeout(seconds)
    try:
        while s.recv(65536):
            pass
        return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def connect(server):
    return socket.create_connection((server.host, server.port), timeout=10)


def test_stalled_clients_time_out_without_holding_the_workers(slides):
    with Server(slides["demo"], "--threads", 2, "--timeout", 3) as server:
        stalled = [connect(server) for _ in range(8)]  # more than the workers
        for s in stalled:
            s.sendall(b"GET /deepzoom/demo.dzi HTTP/1.1\r\nHost: 127")
        started = time.monotonic()
        assert server.get("/deepzoom/demo_files/12/1_1.jpeg")[0] == 200
        assert time.monotonic() - started < 2  # served before any stalled one timed out
        assert all(closed_by_server(s, 8) for s in stalled)
        for s in stalled:
            s.close()


def test_connections_beyond_the_cap_wait_or_are_refused(slides):
    with Server(slides["demo"], "--threads", 1, "--max-connections", 4) as server:
        held = [connect(server) for _ in range(4)]
        time.sleep(0.3)
        extra = connect(server)
        extra.sendall(b"GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        extra.settimeout(1)
        try:
            answer = extra.recv(100)
        except (socket.timeout, ConnectionResetError):
            answer = b""
        assert not answer.startswith(b"HTTP")
        for s in held + [extra]:
            s.close()
        assert server.get("/status")[0] == 200


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_signals_stop_the_server_cleanly(slides, sig):
    server = Server(slides["demo"])
    with connect(server) as kept:  # an open keep-alive connection does not hold it up
        kept.sendall(b"GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        assert kept.recv(100).startswith(b"HTTP/1.1 200")
        assert server.stop(sig) == 0
    assert "stopping" in server.output


def test_folders_are_served_under_unique_names(slides, tmp_path):
    for name in ("a b.tarn", "a_b.tarn", "c.TARN"):
        os.link(slides["demo"], tmp_path / name)
    (tmp_path / "notes.txt").write_text("not a slide")
    (tmp_path / "broken.tarn").write_bytes(b"not a slide either")
    with Server(tmp_path, slides["demo"]) as server:
        page = server.get("/")[2].decode()
        for name in ("a_b", "a_b-2", "c", "demo"):
            assert f'href="/view/{name}"' in page
        assert "broken" not in page and "notes" not in page
    assert "skipping" in server.errors and "broken.tarn" in server.errors


def test_usage_and_start_failures(slides, tmp_path):
    demo, empty = slides["demo"], tmp_path / "empty"
    empty.mkdir()
    (tmp_path / "text.tarn").write_text("not a slide")
    for args, code in (((), 2), (("--host", "example.com", demo), 2),
                       (("--token", "a b", demo), 2), (("--port", "70000", demo), 2),
                       (("--cache-mb", "-1", demo), 2), ((tmp_path / "missing.tarn",), 1),
                       ((tmp_path / "text.tarn",), 1), ((empty,), 1)):
        result = run_tool("serve", "--port", "0", *args, timeout=20)
        assert result.returncode == code, (args, result.stderr)
        assert result.stderr.startswith("tarn: ")


def test_a_removed_or_replaced_slide_is_never_half_served(slides, tmp_path):
    path = tmp_path / "moving.tarn"
    shutil.copy(slides["demo"], path)
    routes = ("/deepzoom/moving.dzi", "/deepzoom/moving_files/11/1_1.jpeg", "/view/moving",
              "/properties/moving.json", "/associated/moving/label.jpeg")
    with Server(path, slides["damaged"]) as server:
        first = {route: server.get(route) for route in routes}
        assert all(answer[0] == 200 for answer in first.values())
        assert 'href="/view/moving"' in server.get("/")[2].decode()

        path.unlink()  # every answer goes, cached ones included
        for route in routes:
            assert server.get(route)[0] == 404, route
        assert 'href="/view/moving"' not in server.get("/")[2].decode()

        # Another slide under the name: every answer is the new file's.
        other = tmp_path / "other.tarn"
        assert run_tool("sample", other, "--columns", 6, "--rows", 5, "--layers", 2,
                        "--tile-size", 128).returncode == 0
        os.replace(other, path)
        library = DeepZoom(str(path))
        try:
            assert server.get(routes[0])[2] == library.dzi() != first[routes[0]][2]
            assert server.get(routes[1])[2] == library.tile_jpeg(11, 1, 1) != first[routes[1]][2]
        finally:
            library.close()
        properties = json.loads(server.get(routes[3])[2])["properties"]
        assert properties["openslide.level[0].tile-width"] == "128"
        assert 'href="/view/moving"' in server.get("/")[2].decode()


def test_cors_lets_a_named_origin_read_deep_zoom_with_the_bearer_header(slides):
    page = "https://viewer.example"
    tile = "/deepzoom/demo_files/12/0_0.jpeg"
    with Server(slides["demo"], "--token", "s3cret", "--cors", page) as server:
        # The browser's preflight carries no token.
        status, headers, body = server.get(tile, method="OPTIONS", headers={
            "Origin": page, "Access-Control-Request-Method": "GET",
            "Access-Control-Request-Headers": "authorization"})
        assert (status, body) == (204, b"")
        assert headers["access-control-allow-origin"] == page
        assert "Authorization" in headers["access-control-allow-headers"]
        bearer = {"Origin": page, "Authorization": "Bearer s3cret"}
        for path in ("/deepzoom/demo.dzi", tile, "/properties/demo.json"):
            status, headers, _ = server.get(path, headers=bearer)
            assert status == 200 and headers["access-control-allow-origin"] == page, path
            assert headers["vary"] == "Origin"
        status, headers, _ = server.get(tile, headers={"Origin": "https://other.example",
                                                       "Authorization": "Bearer s3cret"})
        assert status == 200 and "access-control-allow-origin" not in headers
        # The viewer's own pages and the status stay same-origin.
        for path in ("/view/demo", "/status"):
            assert "access-control-allow-origin" not in server.get(path, headers=bearer)[1]
            assert server.get(path, method="OPTIONS", headers={"Origin": page})[0] == 405
    # Without --cors nothing changes for Deep Zoom, token or not.
    with Server(slides["demo"]) as server:
        status, headers, _ = server.get(tile, headers={"Origin": page})
        assert status == 200 and "access-control-allow-origin" not in headers
        assert server.get(tile, method="OPTIONS", headers={"Origin": page})[0] == 405
    for bad in ("viewer.example", "https://viewer.example/", "https://a,"):
        result = run_tool("serve", "--port", "0", "--cors", bad, slides["demo"], timeout=20)
        assert result.returncode == 2 and result.stderr.startswith("tarn: --cors")
