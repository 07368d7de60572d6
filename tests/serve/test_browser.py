"""The viewer in Debian's Chromium, headless, through Selenium: it loads with no console error and
nothing from elsewhere, and a known area of the slide on screen matches the library's pixels."""
import io
import os
import shutil
import time

import pytest
from PIL import Image, ImageChops, ImageStat

from serve_support import ARTIFACTS, DeepZoom, Server, run_tool

from browser_support import chromium, wait_until

# The area compared, in level-0 pixels, shown at one screen pixel per slide pixel.
AREA_X, AREA_Y = 1100, 700


@pytest.fixture(scope="module")
def slide(tmp_path_factory):
    path = tmp_path_factory.mktemp("browser") / "demo.tarn"
    assert run_tool("sample", path, "--columns", 12, "--rows", 8, "--layers", 3).returncode == 0
    return str(path)


@pytest.fixture(scope="module")
def browser():
    with chromium("--disable-gpu", "--window-size=1200,900") as driver:
        yield driver


def wait_for_every_tile(driver):
    # Several polls in a row, so that a view still being laid out is not taken as loaded.
    for _ in range(3):
        wait_until(driver, "return window.tarnFullyLoaded === true && "
                           "tarnViewer.world.getItemAt(0).getFullyLoaded()", "every tile is drawn")
        time.sleep(0.2)


def difference(a, b):
    """Mean absolute difference of two RGB images, over all channels."""
    return sum(ImageStat.Stat(ImageChops.difference(a, b)).mean) / 3


def test_the_viewer_shows_the_slides_pixels(slide, browser):
    os.makedirs(ARTIFACTS, exist_ok=True)
    with Server(slide) as server:
        origin = server.url.rstrip("/")
        browser.get(server.url + "view/demo")
        wait_for_every_tile(browser)
        view = browser.find_element("id", "view")
        width, height = view.size["width"], view.size["height"]
        assert width > 400 and height > 300

        # One screen pixel per level-0 pixel over the area, drawn from the deepest tiles.
        browser.execute_script(
            "const item = tarnViewer.world.getItemAt(0);"
            "tarnViewer.viewport.fitBounds(item.imageToViewportRectangle("
            "arguments[0], arguments[1], arguments[2], arguments[3]), true);",
            AREA_X, AREA_Y, width, height)
        time.sleep(0.3)
        wait_for_every_tile(browser)
        shown = Image.open(io.BytesIO(view.screenshot_as_png)).convert("RGB")
        shown.save(os.path.join(ARTIFACTS, "viewer.png"))
        assert shown.size == (width, height)

        library = DeepZoom(slide)
        try:
            pixels = library.region_rgb(AREA_X - 50, AREA_Y, width + 50, height)
        finally:
            library.close()
        expected = Image.frombytes("RGB", (width + 50, height), pixels)
        # The middle half: corners hold the navigator, the buttons and the scale bar.
        box = (width // 4, height // 4, 3 * width // 4, 3 * height // 4)
        same = difference(shown.crop(box), expected.crop((box[0] + 50, box[1],
                                                          box[2] + 50, box[3])))
        shifted = difference(shown.crop(box), expected.crop(box))  # 50 pixels off
        expected.crop((50, 0, width + 50, height)).save(os.path.join(ARTIFACTS, "expected.png"))
        # JPEG encoding and OpenSeadragon's placement cost a few levels; a wrong area far more.
        assert same < 6, same
        assert shifted > 3 * same, (same, shifted)

        # Everything came from the server itself.
        resources = browser.execute_script(
            "return performance.getEntriesByType('resource').map(e => e.name)")
        assert resources and all(name.startswith(origin) for name in resources), resources
        assert browser.find_element("css selector", ".scalebar").text.endswith("m")

    errors = [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]
    assert not errors, errors


def test_servers_on_two_ports_keep_their_own_tokens(slide, browser):
    # Browsers send a host's cookies to all its ports: each server's cookie must survive the other.
    with Server(slide, "--token", "first-token") as first, \
            Server(slide, "--token", "second-token") as second:
        for server, token in ((first, "first-token"), (second, "second-token")):
            browser.get(f"http://{server.host}:{server.port}/view/demo?token={token}")
            wait_for_every_tile(browser)
        for server in (first, second):
            browser.get(f"http://{server.host}:{server.port}/deepzoom/demo.dzi")
            assert "<Image" in browser.page_source, server.port


OSD_SCRIPT = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "tools", "tarn",
                          "viewer", "node_modules", "openseadragon", "build", "openseadragon",
                          "openseadragon.min.js")
CROSS_ORIGIN_PAGE = """<!doctype html><div id="view" style="width:600px;height:400px"></div>
<script src="openseadragon.min.js"></script><script>
window.loaded = 0; window.failed = null;
const viewer = OpenSeadragon({id: "view", tileSources: "%s", loadTilesWithAjax: true,
    ajaxHeaders: {Authorization: "Bearer %s"}, showNavigationControl: false});
viewer.addHandler("tile-loaded", () => window.loaded++);
viewer.addHandler("open-failed", e => window.failed = String(e.message));
viewer.addHandler("tile-load-failed", e => window.failed = String(e.message));
</script>"""


def test_a_viewer_of_another_origin_reads_deep_zoom_with_the_bearer_header(slide, browser,
                                                                          tmp_path):
    import functools
    import http.server
    import threading
    shutil.copy(OSD_SCRIPT, tmp_path / "openseadragon.min.js")
    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=str(tmp_path))
    handler.log_message = lambda *args: None
    pages = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=pages.serve_forever, daemon=True).start()
    origin = f"http://127.0.0.1:{pages.server_address[1]}"
    try:
        # A page of its own per case: the browser would otherwise keep the first page (same
        # second, so 304) and draw the first server's tiles from its own cache.
        for case, (cors, works) in enumerate(((("--cors", origin), True), ((), False))):
            with Server(slide, "--token", "bearer-token", *cors) as server:
                (tmp_path / f"page{case}.html").write_text(CROSS_ORIGIN_PAGE % (
                    f"http://127.0.0.1:{server.port}/deepzoom/demo.dzi", "bearer-token"))
                browser.get(f"{origin}/page{case}.html")
                wait_until(browser, "return window.loaded > 0 || window.failed !== null",
                           "the viewer opens or fails")
                if works:
                    wait_until(browser, "return viewer.world.getItemAt(0).getFullyLoaded()",
                               "every tile is drawn")
                    assert browser.execute_script("return window.failed") is None
                else:  # without --cors the browser keeps the answers from the page
                    assert browser.execute_script("return window.loaded") == 0
    finally:
        pages.shutdown()
        pages.server_close()
