"""A reverse proxy on a free loopback port that passes GET requests to an upstream HTTP server
and injects faults, chosen by the first part of the path: /FAULTS/rest goes upstream as /rest.

FAULTS is "-" for none, or faults joined by ",":
  delay=MS    every answer waits MS milliseconds first
  s503=N      the first N requests answer 503
  reset=N     the first N requests get their connection reset
  trunc=N     the first N answers send half their body and close
  badrange    every answer names another range than the bytes it carries
  stall       every request waits without answering
  stallafter=N  the requests after the first N wait without answering
  noetag      answers lose their ETag, requests their If-Match
  nodate      answers lose their Last-Modified, requests their If-Unmodified-Since
Counts are kept per FAULTS text, so a test that names its own (say "s503=2,t=a") starts afresh.

Prints "port N" once it listens; runs until killed."""
import http.client
import http.server
import socket
import struct
import sys
import threading
import time

UPSTREAM_PORT = int(sys.argv[1])
counts = {}
counts_lock = threading.Lock()
local = threading.local()


def parse(faults):
    out = {}
    for item in faults.split(","):
        name, _, value = item.partition("=")
        out[name] = value
    return out


def take(faults_text, name, limit):
    """True for the first `limit` requests of this fault text that ask about `name`."""
    with counts_lock:
        key = (faults_text, name)
        counts[key] = counts.get(key, 0) + 1
        return counts[key] <= limit


def upstream():
    if getattr(local, "connection", None) is None:
        local.connection = http.client.HTTPConnection("127.0.0.1", UPSTREAM_PORT, timeout=30)
    return local.connection


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True  # headers and body go out as separate writes

    def log_message(self, *args):
        pass

    def do_GET(self):
        _, faults_text, rest = self.path.split("/", 2)
        faults = parse(faults_text)
        if "delay" in faults:
            time.sleep(int(faults["delay"]) / 1000)
        if "stall" in faults or (
                "stallafter" in faults and
                not take(faults_text, "stallafter", int(faults["stallafter"]))):
            time.sleep(3600)
        if "reset" in faults and take(faults_text, "reset", int(faults["reset"])):
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
            self.close_connection = True
            self.connection.close()
            return
        if "s503" in faults and take(faults_text, "s503", int(faults["s503"])):
            self.send_response(503)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        headers = {k: v for k, v in self.headers.items()
                   if k.lower() in ("range", "if-match", "if-unmodified-since")}
        if "noetag" in faults:
            headers.pop("If-Match", None)
        if "nodate" in faults:
            headers.pop("If-Unmodified-Since", None)
        try:
            connection = upstream()
            connection.request("GET", "/" + rest, headers=headers)
            answer = connection.getresponse()
            body = answer.read()
        except (OSError, http.client.HTTPException):
            local.connection = None
            raise
        self.send_response(answer.status)
        for name, value in answer.getheaders():
            lower = name.lower()
            if lower in ("connection", "keep-alive", "transfer-encoding", "server", "date"):
                continue
            if lower == "etag" and "noetag" in faults:
                continue
            if lower == "last-modified" and "nodate" in faults:
                continue
            if lower == "content-range" and "badrange" in faults:
                first, _, total = value[len("bytes "):].partition("/")
                start, _, end = first.partition("-")
                value = "bytes %d-%d/%s" % (int(start) + 1, int(end) + 1, total)
            self.send_header(name, value)
        self.end_headers()
        if "trunc" in faults and take(faults_text, "trunc", int(faults["trunc"])):
            self.wfile.write(body[:len(body) // 2])
            self.wfile.flush()
            self.close_connection = True
            return
        self.wfile.write(body)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True


server = Server(("127.0.0.1", 0), Handler)
print("port", server.server_address[1], flush=True)
server.serve_forever()
