"""Real clients of `tarn serve`'s IIIF and DICOMweb, run unchanged: OpenSeadragon's IIIF tile
source, Mirador and dicom-microscopy-viewer in headless Chromium, on pages of another origin
(npm packages of tests/serve/clients), each drawing the slide; and Orthanc retrieving a slide's
study from the server as a remote DICOMweb server, after which dciodvfy passes on what Orthanc
stored."""
import functools
import http.server
import io
import json
import os
import shutil
import socket
import subprocess
import threading
import time
import urllib.request

import pytest
from PIL import Image, ImageStat

from serve_support import ARTIFACTS, Server, run_tool

from browser_support import WAIT_SECONDS, chromium
from browser_support import wait_until as browser_wait_until

CLIENTS = os.path.join(os.path.dirname(__file__), "clients")
ORTHANC = shutil.which("Orthanc")
DICOMWEB_PLUGIN = "/usr/share/orthanc/plugins/libOrthancDicomWeb.so"
DCIODVFY = shutil.which("dciodvfy")
TOKEN = "clients-token"

pytestmark = pytest.mark.skipif(not os.path.isdir(os.path.join(CLIENTS, "node_modules")),
                                reason="the clients' npm packages are not installed "
                                       "(scripts/install-deps.sh test)")

# Whether a 256 x 256 IIIF tile of a 256 x 256 region (scale factor 1) was loaded.
FULL_RESOLUTION_TILE = """
const fullResolutionTile = () => performance.getEntriesByType("resource").some(
  e => /,256,256\\/256,(?:256)?\\/0\\/default\\.jpg$/.test(e.name));"""

PAGES = {
    # OpenSeadragon reads info.json and asks for IIIF tiles, sending the token as a header.
    "openseadragon.html": """
<div id="view" style="width:800px;height:600px"></div>
<script src="/node_modules/openseadragon/build/openseadragon/openseadragon.min.js"></script>
<script>
window.failed = 0;
const viewer = OpenSeadragon({id: "view", tileSources: SERVER + "/iiif/3/demo/info.json",
  loadTilesWithAjax: true, ajaxHeaders: {Authorization: "Bearer " + TOKEN},
  showNavigationControl: false, animationTime: 0, immediateRender: true});
viewer.addHandler("tile-load-failed", () => window.failed++);
window.loaded = () => viewer.world.getItemCount() > 0 &&
  viewer.world.getItemAt(0).getFullyLoaded();
window.finestLoaded = fullResolutionTile;
window.fullZoom = () => {
  const item = viewer.world.getItemAt(0);
  viewer.viewport.zoomTo(item.imageToViewportZoom(1), null, true);
};
</script>""",
    # Mirador opens the slide from its manifest's URL alone.
    "mirador.html": """
<div id="view" style="position:absolute;left:0;top:0;width:1000px;height:800px"></div>
<script src="/node_modules/mirador/dist/mirador.min.js"></script>
<script>
const mirador = Mirador.viewer({id: "view", windows: [{manifestId: SERVER +
  "/iiif/3/demo/manifest.json", thumbnailNavigationPosition: "off"}],
  window: {allowClose: false, sideBarOpenByDefault: false},
  workspaceControlPanel: {enabled: false},
  requests: {preprocessors: [(url, options) => ({...options,
    headers: {...options.headers, Authorization: "Bearer " + TOKEN}})]},
  osdConfig: {loadTilesWithAjax: true, ajaxHeaders: {Authorization: "Bearer " + TOKEN}}});
window.failed = 0;
window.loaded = () => performance.getEntriesByType("resource").some(
  e => e.name.includes("/iiif/3/demo/") && e.name.endsWith(".jpg"));
window.finestLoaded = fullResolutionTile;
window.fullZoom = () => {
  const state = mirador.store.getState();
  const id = Object.keys(state.windows)[0];
  mirador.store.dispatch(Mirador.actions.updateViewport(id, {x: 1500, y: 1000, zoom: 3}));
};
</script>""",
    # dicom-microscopy-viewer finds the series, loads its metadata and draws its frames.
    "dmv.html": """
<div id="view" style="width:800px;height:600px"></div>
<script src="/node_modules/dicomweb-client/build/dicomweb-client.js"></script>
<script src="/node_modules/dicom-microscopy-viewer/dist/dicomMicroscopyViewer.bundle.min.js">
</script>
<script>
window.failed = 0;
window.problem = "";
(async () => {
  try {
    const client = new DICOMwebClient.api.DICOMwebClient({url: SERVER + "/dicomweb",
      headers: {Authorization: "Bearer " + TOKEN}});
    const series = await client.searchForSeries();
    const uid = tag => series[0][tag].Value[0];
    const metadata = await client.retrieveSeriesMetadata({studyInstanceUID: uid("0020000D"),
      seriesInstanceUID: uid("0020000E")});
    const images = metadata.map(m =>
      new dicomMicroscopyViewer.metadata.VLWholeSlideMicroscopyImage({metadata: m}))
      .filter(image => image.ImageType[2] === "VOLUME");
    const viewer = new dicomMicroscopyViewer.viewer.VolumeImageViewer({client,
      metadata: images});
    viewer.render({container: document.getElementById("view")});
    window.viewer = viewer;
    // The finest level: its frames are what full zoom shows.
    window.finest = images.reduce((a, b) =>
      a.TotalPixelMatrixColumns >= b.TotalPixelMatrixColumns ? a : b).SOPInstanceUID;
  } catch (error) {
    window.problem = String(error);
  }
})();
window.loaded = () => performance.getEntriesByType("resource").some(
  e => e.name.includes("/frames/"));
window.fullZoom = () => window.viewer.navigate({level: window.viewer.numLevels - 1});
window.finestLoaded = () => performance.getEntriesByType("resource").some(
  e => e.name.includes(window.finest + "/frames/"));
</script>""",
}


@pytest.fixture(scope="module")
def slide(tmp_path_factory):
    path = tmp_path_factory.mktemp("clients") / "demo.tarn"
    assert run_tool("sample", path, "--columns", 12, "--rows", 8, "--layers", 3).returncode == 0
    return str(path)


@pytest.fixture(scope="module")
def server(slide):
    with Server(slide, "--token", TOKEN, "--cors", "*") as running:
        yield running


class Pages(http.server.SimpleHTTPRequestHandler):
    """The clients' packages, and the pages that run them, from another origin."""

    def __init__(self, *args, server_url, **kwargs):
        self.server_url = server_url
        super().__init__(*args, directory=CLIENTS, **kwargs)

    def log_message(self, *args):
        pass

    def translate_path(self, path):
        # dicom-microscopy-viewer's bundle loads its decoding worker (and that its codecs) from
        # /static/js/, where Slim deploys them.
        if path.startswith("/static/js/"):
            name = path[len("/static/js/"):].replace("dataLoader.worker.min.js",
                                                     "dataLoader.worker.bundle.min.js")
            path = "/node_modules/dicom-microscopy-viewer/dist/" + name
        return super().translate_path(path)

    def do_GET(self):
        name = self.path.lstrip("/")
        if name not in PAGES:
            return super().do_GET()
        page = (f"<!DOCTYPE html><meta charset='utf-8'><body style='margin:0'><script>"
                f"const SERVER = {json.dumps(self.server_url)}, TOKEN = {json.dumps(TOKEN)};"
                f"{FULL_RESOLUTION_TILE}</script>{PAGES[name]}").encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(page)))
        self.end_headers()
        self.wfile.write(page)


@pytest.fixture(scope="module")
def pages(server):
    handler = functools.partial(Pages, server_url=f"http://127.0.0.1:{server.port}")
    site = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=site.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{site.server_address[1]}"
    finally:
        site.shutdown()
        site.server_close()


@pytest.fixture(scope="module")
def browser():
    # dicom-microscopy-viewer draws with WebGL: SwiftShader renders it without a GPU.
    with chromium("--use-gl=angle", "--use-angle=swiftshader", "--enable-unsafe-swiftshader",
                  "--window-size=1000,800") as driver:
        yield driver


def wait_until(driver, script, what):
    browser_wait_until(driver, script, what, lambda driver: (
        f"{driver.execute_script('return window.problem')} {driver.get_log('browser')}"))


def drawn(driver):
    """Whether the viewer's area shows a picture: the sample's tissue, not one flat colour."""
    shot = Image.open(io.BytesIO(driver.get_screenshot_as_png())).convert("L")
    shot = shot.crop((0, 0, 800, 600))
    return max(ImageStat.Stat(shot).stddev) > 12


@pytest.mark.parametrize("page", ["openseadragon.html", "mirador.html", "dmv.html"])
def test_viewer_draws_the_slide_at_overview_and_full_zoom(browser, pages, page):
    browser.get(f"{pages}/{page}")
    wait_until(browser, "return window.loaded()", "the first tiles loaded")
    deadline = time.monotonic() + WAIT_SECONDS
    while not drawn(browser):
        if time.monotonic() > deadline:
            os.makedirs(ARTIFACTS, exist_ok=True)
            browser.save_screenshot(os.path.join(ARTIFACTS, page + ".png"))
            pytest.fail("the overview stays blank: " + str(browser.execute_script(
                "return [window.problem, performance.getEntriesByType('resource')"
                ".map(e => e.name).slice(-8)]")) + str(browser.get_log("browser")))
        time.sleep(0.3)
    browser.execute_script("window.fullZoom()")
    time.sleep(1.5)
    deadline = time.monotonic() + WAIT_SECONDS
    while not drawn(browser) or not browser.execute_script("return window.finestLoaded()"):
        if time.monotonic() > deadline:
            os.makedirs(ARTIFACTS, exist_ok=True)
            browser.save_screenshot(os.path.join(ARTIFACTS, page + ".png"))
            pytest.fail("full zoom stays blank or reads no level-0 tile: " + str(
                browser.execute_script("return performance.getEntriesByType('resource')"
                                       ".map(e => e.name).slice(-8)")))
        time.sleep(0.3)
    assert browser.execute_script("return window.failed") == 0


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.mark.skipif(not (ORTHANC and DCIODVFY and os.path.exists(DICOMWEB_PLUGIN)),
                    reason="orthanc, orthanc-dicomweb or dicom3tools is missing")
def test_orthanc_retrieves_the_study_and_dciodvfy_passes_what_it_stored(server, tmp_path):
    port = free_port()
    config = {"Name": "tarn-test", "StorageDirectory": str(tmp_path / "storage"),
              "IndexDirectory": str(tmp_path / "storage"), "HttpPort": port,
              "DicomServerEnabled": False, "RemoteAccessAllowed": False,
              "AuthenticationEnabled": False, "Plugins": [DICOMWEB_PLUGIN],
              "DicomWeb": {"Enable": True, "Servers": {"tarn": {
                  "Url": f"http://127.0.0.1:{server.port}/dicomweb/",
                  "HttpHeaders": {"Authorization": "Bearer " + TOKEN}}}}}
    (tmp_path / "orthanc.json").write_text(json.dumps(config))
    url = f"http://127.0.0.1:{port}"

    def call(path, body=None):
        request = urllib.request.Request(url + path, data=body and json.dumps(body).encode(),
                                         method="POST" if body else "GET")
        with urllib.request.urlopen(request, timeout=60) as answer:
            data = answer.read()
            return json.loads(data) if "json" in answer.headers.get_content_type() else data

    with open(tmp_path / "orthanc.log", "w") as log:
        process = subprocess.Popen(["timeout", "120", ORTHANC, str(tmp_path / "orthanc.json")],
                                   stdout=log, stderr=subprocess.STDOUT)
        try:
            deadline = time.monotonic() + 20
            while True:
                try:
                    call("/system")
                    break
                except OSError:
                    assert process.poll() is None and time.monotonic() < deadline
                    time.sleep(0.1)
            studies = call("/dicom-web/servers/tarn/get", {"Uri": "/studies"})
            study = studies[0]["0020000D"]["Value"][0]
            call("/dicom-web/servers/tarn/retrieve", {"Resources": [{"Study": study}]})
            stored = call("/instances")
            served = server.get(f"/dicomweb/studies/{study}/instances",
                                headers={"Authorization": "Bearer " + TOKEN})
            assert len(stored) == len(json.loads(served[2]))
            for number, instance in enumerate(stored):
                path = tmp_path / f"{number}.dcm"
                path.write_bytes(call(f"/instances/{instance}/file"))
                check = subprocess.run([DCIODVFY, str(path)], capture_output=True,
                                       text=True, timeout=60)
                errors = [line for line in check.stderr.splitlines() if line.startswith("Error")]
                assert not errors, errors
        finally:
            process.terminate()
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
