"""The usual Python answer, for the load benchmark to run beside `tarn serve`: OpenSlide's Deep
Zoom generator with PIL encoding behind a minimal threaded HTTP/1.1 server (keep-alive).

    openslide_server.py PORT SLIDE...

Serves /<name>.dzi and /<name>_files/<level>/<col>_<row>.jpeg for each SLIDE (name: the file name
without extension), tiles of 254 pixels with overlap 1 as JPEG quality 75, and prints
"listening on http://127.0.0.1:PORT/" (PORT 0: any free port)."""
import io
import os
import re
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import openslide
from openslide.deepzoom import DeepZoomGenerator

TILE = re.compile(r"^/([^/]+)_files/(\d+)/(\d+)_(\d+)\.jpeg$")


def load(paths):
    generators = {}
    for path in paths:
        name = os.path.splitext(os.path.basename(path))[0]
        generators[name] = DeepZoomGenerator(openslide.OpenSlide(path), tile_size=254,
                                             overlap=1, limit_bounds=False)
    return generators


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    generators = {}

    def log_message(self, *args):
        pass

    def send(self, status, kind, body):
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        match = TILE.match(self.path)
        if match:
            generator = self.generators.get(match.group(1))
            try:
                tile = generator.get_tile(int(match.group(2)),
                                          (int(match.group(3)), int(match.group(4))))
            except (AttributeError, ValueError):
                return self.send(404, "text/plain", b"not found\n")
            buffer = io.BytesIO()
            tile.save(buffer, "jpeg", quality=75)
            return self.send(200, "image/jpeg", buffer.getvalue())
        if self.path.endswith(".dzi") and self.path[1:-4] in self.generators:
            dzi = self.generators[self.path[1:-4]].get_dzi("jpeg").encode()
            return self.send(200, "application/xml", dzi)
        self.send(404, "text/plain", b"not found\n")


def main():
    Handler.generators = load(sys.argv[2:])
    server = ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), Handler)
    server.daemon_threads = True
    print(f"listening on http://127.0.0.1:{server.server_address[1]}/", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
