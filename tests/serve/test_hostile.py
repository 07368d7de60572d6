"""`tarn serve` against hostile clients: every request is answered or closed in time and leaves
nothing behind, slow clients cannot hold it, and one address cannot crowd out another. Runs on the
optimised build and under the sanitizers (no tarnslide here: an instrumented library cannot be
loaded into a plain interpreter)."""
import os
import socket
import threading
import time

import pytest

from serve_support import Server, run_tool

# Malformed requests sent by the memory test: 100,000 on the optimised build, where the server's
# resident size must stay put; fewer under the sanitizers, where LeakSanitizer fails the server's
# exit on any leak however small (and AddressSanitizer's quarantine makes the size mean nothing).
REQUESTS = int(os.environ.get("TARN_HOSTILE_REQUESTS", "100000"))
SANITIZED = os.environ.get("TARN_HOSTILE_SANITIZED") == "1"


@pytest.fixture(scope="module")
def slide(tmp_path_factory):
    path = tmp_path_factory.mktemp("hostile") / "demo.tarn"
    assert run_tool("sample", path, "--columns", 4, "--rows", 3, "--layers", 2).returncode == 0
    return str(path)


def exchange(port, request, seconds, source="127.0.0.1"):
    """The status line's code, or None when the server closed; raises on no answer in time."""
    with socket.socket() as s:
        if source != "127.0.0.1":
            s.bind((source, 0))
        s.settimeout(seconds)
        s.connect(("127.0.0.1", port))
        try:
            s.sendall(request)
        except (BrokenPipeError, ConnectionResetError):
            return None
        data = b""
        try:
            while b"\r\n" not in data:
                chunk = s.recv(4096)
                if not chunk:
                    break
                data += chunk
        except ConnectionResetError:
            return None
    return int(data[9:12]) if data.startswith(b"HTTP/1.") else None


def request(target, headers=b"Host: 127.0.0.1\r\n"):
    return b"GET " + target + b" HTTP/1.1\r\n" + headers + b"\r\n"


# Requests that once went unanswered or cost memory: small ones, sent in bulk...
CHEAP = [
    request(b"/status?" + b"&" * 3000),
    request(b"/view/demo?" + b"&".join(b"p%d" % n for n in range(600))),
    request(b"/deepzoom/demo_files/9/0_0.jpeg?" + b"%zz&" * 500),
    request(b"/status?" + b"&" * 700),
]
# ... and larger ones.
LARGE = [
    request(b"/status", b"Host: 127.0.0.1\r\n" + b"".join(b"X-H%d: v\r\n" % n for n in range(1500))),
    request(b"/status", b"Cookie: " + b"; ".join(b"c%d=v" % n for n in range(2000)) + b"\r\n"),
    request(b"/" + b"a/" * 20000),
]


def test_every_request_is_answered_or_closed_and_costs_nothing_after(slide):
    with Server(slide, "--timeout", 5, "--threads", 2) as server:
        for sent in CHEAP + LARGE:
            started = time.monotonic()
            assert exchange(server.port, sent, 10) in {200, 400, 414, 431, None}, sent[:40]
            assert time.monotonic() - started < 5, sent[:40]

        # Several senders at once, as an attacker would; memory measured once the server's pools
        # and caches are warm.
        def send(first, count):
            for i in range(first, first + count):
                exchange(server.port, CHEAP[i % len(CHEAP)], 10)

        def burst(count, senders=4):
            threads = [threading.Thread(target=send, args=(k * count // senders, count // senders))
                       for k in range(senders)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()

        burst(min(REQUESTS // 10, 5000))
        before = server.rss()
        burst(REQUESTS)
        grown = server.rss() - before
        assert SANITIZED or grown < 8 << 20, f"{grown / 2**20:.1f} MiB more after {REQUESTS}"
        assert server.get("/status")[0] == 200


def test_slow_clients_are_closed_and_one_address_cannot_crowd_out_another(slide):
    with Server(slide, "--timeout", 3, "--threads", 2) as server:
        # Half-open connections from one address, more than the server takes at once.
        held = []
        for _ in range(530):
            s = socket.create_connection(("127.0.0.1", server.port), timeout=10)
            try:
                s.sendall(b"GET /status HTTP/1.1\r\nHost: 127")
            except (BrokenPipeError, ConnectionResetError):
                pass
            held.append(s)
        started = time.monotonic()
        assert exchange(server.port, b"GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 5,
                        source="127.0.0.2") == 200
        assert time.monotonic() - started < 1
        for s in held:
            s.close()

        # A request sent a byte at a time, each well within the idle timeout, is closed once
        # its headers are late.
        with socket.create_connection(("127.0.0.1", server.port), timeout=10) as s:
            started = time.monotonic()
            with pytest.raises((BrokenPipeError, ConnectionResetError)):
                for byte in b"GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"a" * 100:
                    s.sendall(bytes([byte]))
                    time.sleep(0.25)
            assert time.monotonic() - started < 6
