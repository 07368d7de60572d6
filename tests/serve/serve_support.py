"""What the tests of `tarn serve` share: a server started on a free loopback port and always
stopped, plain HTTP requests, and tarnslide's Deep Zoom to compare with.

The environment names the programs: TARN_TOOL (the tarn tool), TARN_LIBRARY (libDecodeTarn),
TARN_DAMAGED_SLIDE (the helper writing a slide with a broken tile) and TARN_ARTIFACTS (a folder
for what a test keeps)."""
import http.client
import os
import re
import selectors
import signal
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "python"))

TOOL = os.environ.get("TARN_TOOL", "build/tarn")
LIBRARY = os.environ.get("TARN_LIBRARY", "build/libDecodeTarn.so")
DAMAGED_SLIDE = os.environ.get("TARN_DAMAGED_SLIDE", "build/tests/damaged_slide")
ARTIFACTS = os.environ.get("TARN_ARTIFACTS", "build/tests/serve-artifacts")

START_SECONDS = 20
STOP_SECONDS = 10
REQUEST_SECONDS = 10


class Server:
    """`tarn serve --port 0 ARGS...`, up once it printed its address; stopped on leaving."""

    def __init__(self, *args, env=None):
        self.process = subprocess.Popen([TOOL, "serve", "--port", "0", *map(str, args)],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        env=dict(os.environ, **(env or {})))
        self.output = self.errors = ""
        self.url = self._wait_for_address()
        match = re.match(r"http://([^/]+):(\d+)/", self.url)
        self.host, self.port = match.group(1), int(match.group(2))

    def _wait_for_address(self):
        # Raw reads: a buffered reader could hold the line while select() waits for more.
        deadline = time.monotonic() + START_SECONDS
        stdout = self.process.stdout.fileno()
        data = b""
        with selectors.DefaultSelector() as selector:
            selector.register(stdout, selectors.EVENT_READ)
            while time.monotonic() < deadline:
                if not selector.select(timeout=deadline - time.monotonic()):
                    break
                chunk = os.read(stdout, 65536)
                if not chunk:
                    break
                data += chunk
                match = re.search(rb" at (http://\S+)\n", data)
                if match:
                    self.output = data.decode()
                    return match.group(1).decode()
        self.output = data.decode()
        self.stop()
        raise RuntimeError("tarn serve did not start:\n" + self.output + self.errors)

    def stop(self, sig=signal.SIGTERM):
        """Stops the server with `sig`; its exit code (killed after STOP_SECONDS)."""
        if self.process.poll() is None:
            self.process.send_signal(sig)
            try:
                self.process.wait(STOP_SECONDS)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        out, err = self.process.communicate()
        self.output += out.decode()
        self.errors = err.decode()
        return self.process.returncode

    def __enter__(self):
        return self

    def __exit__(self, kind, value, trace):
        code = self.stop()
        # Every server stops cleanly on SIGTERM (and, under a sanitizer, with nothing reported).
        if kind is None:
            assert code == 0, f"tarn serve exited with {code}:\n{self.errors}"

    def rss(self):
        """The server's resident memory in bytes."""
        with open(f"/proc/{self.process.pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
        raise RuntimeError("no VmRSS")

    def get(self, path, method="GET", headers=None, timeout=REQUEST_SECONDS):
        """(status, headers as a dict of lower-case names, body) of one request."""
        connection = http.client.HTTPConnection(self.host, self.port, timeout=timeout)
        try:
            connection.request(method, path, headers=headers or {})
            response = connection.getresponse()
            return (response.status, {k.lower(): v for k, v in response.getheaders()},
                    response.read())
        finally:
            connection.close()

    def raw(self, request):
        """Sends bytes as they are; the status of the answer, or None when the server closed."""
        with socket.create_connection((self.host, self.port), timeout=REQUEST_SECONDS) as s:
            s.sendall(request)
            data = b""
            while b"\r\n" not in data:
                chunk = s.recv(4096)
                if not chunk:
                    break
                data += chunk
        match = re.match(rb"HTTP/1\.[01] (\d{3})", data)
        return int(match.group(1)) if match else None


def run_tool(*args, timeout=60):
    return subprocess.run([TOOL, *map(str, args)], capture_output=True, text=True,
                          timeout=timeout)


class DeepZoom:
    """tarnslide's Deep Zoom view of a slide (the Python package's DeepZoomGenerator), which the
    server's descriptor and tiles must equal."""

    def __init__(self, path, tile_size=254, overlap=1, limit_bounds=False):
        # Imported here: the package loads the library, which an instrumented build cannot give
        # a plain interpreter, and the tests of the server alone need neither.
        import tarnslide
        from tarnslide.deepzoom import DeepZoomGenerator
        self.errors = (ValueError, tarnslide.TarnError)
        self.slide = tarnslide.TarnSlide(path)
        self.generator = DeepZoomGenerator(self.slide, tile_size, overlap, limit_bounds)

    def close(self):
        self.slide.close()

    def level_count(self):
        return self.generator.level_count

    def level_tiles(self, level):
        return self.generator.level_tiles[level]

    def dzi(self):
        return self.generator.get_dzi("jpeg").encode("utf-8")

    def tile_jpeg(self, level, column, row, quality=75):
        try:
            return self.generator.get_tile_jpeg(level, (column, row), quality)
        except self.errors:
            return None

    def region_rgb(self, x, y, width, height):
        """Level-0 pixels as RGB bytes."""
        return self.slide.read_region((x, y), 0, (width, height), as_array=True,
                                      mode="RGB").tobytes()


class SlideHttpServer:
    """One file over HTTP on a free loopback port, as a web server serves a slide: byte ranges, an
    ETag, keep-alive. After `stall()` every request waits unanswered until `release()` (or the
    stop), and its connection is then closed without an answer. Stopped on leaving."""

    def __init__(self, path, name="remote.tarn"):
        import http.server
        import threading
        self.data = open(path, "rb").read()
        self.name = name
        self.stalled = threading.Event()
        self.released = threading.Event()
        self.waiting = 0  # requests stalled now
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                if owner.stalled.is_set():
                    owner.waiting += 1
                    owner.released.wait(60)
                    owner.waiting -= 1
                    self.close_connection = True
                    return
                if self.path.lstrip("/") != owner.name:
                    self.send_error(404)
                    return
                body, size = owner.data, len(owner.data)
                ranged = re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", ""))
                if ranged:
                    first = int(ranged.group(1))
                    last = min(int(ranged.group(2) or size - 1), size - 1)
                    self.send_response(206)
                    self.send_header("Content-Range", f"bytes {first}-{last}/{size}")
                    body = body[first:last + 1]
                else:
                    self.send_response(200)
                self.send_header("ETag", '"v1"')
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

        class Threading(http.server.ThreadingHTTPServer):
            daemon_threads = True

        self.server = Threading(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/{name}"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def stall(self):
        self.released.clear()
        self.stalled.set()

    def release(self):
        self.stalled.clear()
        self.released.set()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.release()
        self.server.shutdown()
        self.server.server_close()
