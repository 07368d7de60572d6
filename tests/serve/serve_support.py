"""What the tests of `tarn serve` share: a server started on a free loopback port and always
stopped, plain HTTP requests, and the library's own Deep Zoom through ctypes to compare with.

The environment names the programs: TARN_TOOL (the tarn tool), TARN_LIBRARY (libDecodeTarn),
TARN_DAMAGED_SLIDE (the helper writing a slide with a broken tile) and TARN_ARTIFACTS (a folder
for what a test keeps)."""
import ctypes
import http.client
import os
import re
import selectors
import signal
import socket
import subprocess
import time

TOOL = os.environ.get("TARN_TOOL", "build/tarn")
LIBRARY = os.environ.get("TARN_LIBRARY", "build/libDecodeTarn.so")
DAMAGED_SLIDE = os.environ.get("TARN_DAMAGED_SLIDE", "build/tests/damaged_slide")
ARTIFACTS = os.environ.get("TARN_ARTIFACTS", "build/tests/serve-artifacts")

START_SECONDS = 20
STOP_SECONDS = 10
REQUEST_SECONDS = 10


class Server:
    """`tarn serve --port 0 ARGS...`, up once it printed its address; stopped on leaving."""

    def __init__(self, *args):
        self.process = subprocess.Popen([TOOL, "serve", "--port", "0", *map(str, args)],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
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

    def get(self, path, method="GET", headers=None):
        """(status, headers as a dict of lower-case names, body) of one request."""
        connection = http.client.HTTPConnection(self.host, self.port, timeout=REQUEST_SECONDS)
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
    """The library's Deep Zoom view of a slide, through tarn.h."""

    def __init__(self, path, tile_size=254, overlap=1, limit_bounds=False):
        lib = self.lib = ctypes.CDLL(LIBRARY)
        lib.tarn_open.restype = ctypes.c_void_p
        lib.tarn_open.argtypes = [ctypes.c_char_p]
        lib.tarn_close.argtypes = [ctypes.c_void_p]
        lib.tarn_deepzoom_create.restype = ctypes.c_void_p
        lib.tarn_deepzoom_create.argtypes = [ctypes.c_void_p, ctypes.c_int32, ctypes.c_int32,
                                             ctypes.c_int]
        lib.tarn_deepzoom_destroy.argtypes = [ctypes.c_void_p]
        lib.tarn_deepzoom_get_level_count.argtypes = [ctypes.c_void_p]
        lib.tarn_deepzoom_get_level_tiles.argtypes = [
            ctypes.c_void_p, ctypes.c_int32, ctypes.POINTER(ctypes.c_int64),
            ctypes.POINTER(ctypes.c_int64)]
        lib.tarn_deepzoom_get_dzi.restype = ctypes.c_void_p
        lib.tarn_deepzoom_get_dzi.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
        lib.tarn_deepzoom_read_tile_jpeg.argtypes = [
            ctypes.c_void_p, ctypes.c_int32, ctypes.c_int64, ctypes.c_int64, ctypes.c_int,
            ctypes.POINTER(ctypes.POINTER(ctypes.c_uint8)), ctypes.POINTER(ctypes.c_size_t)]
        lib.tarn_read_region.argtypes = [
            ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64, ctypes.c_int64, ctypes.c_int32,
            ctypes.c_int64, ctypes.c_int64, ctypes.c_int]
        lib.tarn_free.argtypes = [ctypes.c_void_p]
        self.slide = lib.tarn_open(path.encode())
        assert self.slide, "the library cannot open " + path
        self.dz = lib.tarn_deepzoom_create(self.slide, tile_size, overlap, int(limit_bounds))
        assert self.dz

    def close(self):
        self.lib.tarn_deepzoom_destroy(self.dz)
        self.lib.tarn_close(self.slide)

    def level_count(self):
        return self.lib.tarn_deepzoom_get_level_count(self.dz)

    def level_tiles(self, level):
        columns, rows = ctypes.c_int64(), ctypes.c_int64()
        self.lib.tarn_deepzoom_get_level_tiles(self.dz, level, ctypes.byref(columns),
                                               ctypes.byref(rows))
        return columns.value, rows.value

    def dzi(self):
        text = self.lib.tarn_deepzoom_get_dzi(self.dz, b"jpeg")
        try:
            return ctypes.string_at(text)
        finally:
            self.lib.tarn_free(text)

    def tile_jpeg(self, level, column, row, quality=75):
        data, size = ctypes.POINTER(ctypes.c_uint8)(), ctypes.c_size_t()
        if self.lib.tarn_deepzoom_read_tile_jpeg(self.dz, level, column, row, quality,
                                                 ctypes.byref(data), ctypes.byref(size)) != 0:
            return None
        try:
            return ctypes.string_at(data, size.value)
        finally:
            self.lib.tarn_free(data)

    def region_rgb(self, x, y, width, height):
        """Level-0 pixels as RGB bytes."""
        buffer = ctypes.create_string_buffer(width * height * 3)
        assert self.lib.tarn_read_region(self.slide, buffer, x, y, 0, width, height, 2) == 0
        return buffer.raw
