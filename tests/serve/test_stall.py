"""A slide whose web server stalls takes no more than its share of the workers: the other slides
are answered meanwhile, its own requests beyond the share are turned away with 503 and
Retry-After, and the periodic look at its URL does not hold its other requests."""
import http.client
import shutil
import time
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait

import pytest

from serve_support import Server, SlideHttpServer, run_tool

# The library keeps no fetched bytes: every uncached tile of the remote slide asks its server.
NO_BLOCK_CACHE = {"TARN_REMOTE_CACHE_SIZE": "0"}
RECHECK_SECONDS = 10  # how often the server looks at a URL again
WORKERS, SEATS = 4, 2  # a slide may hold half the workers
# The stalled reads give up (after retries) well past the 5 s a request waits for a seat, so the
# seats stay held while the others are turned away, however loaded the machine.
TIMEOUT = 20


def status_of(server, path):
    """(status, headers) of one request; (None, {}) when the server closed without an answer."""
    try:
        status, headers, _ = server.get(path)
        return status, headers
    except (http.client.HTTPException, OSError):
        return None, {}


@pytest.fixture(scope="module")
def slides(tmp_path_factory):
    folder = tmp_path_factory.mktemp("stall")
    made = {name: str(folder / f"{name}.tarn") for name in ("remote", "local")}
    assert run_tool("sample", made["local"], "--columns", 12, "--rows", 8).returncode == 0
    shutil.copy(made["local"], made["remote"])
    return made


def test_a_stalled_remote_slide_holds_no_more_than_its_share_of_workers(slides):
    with SlideHttpServer(slides["remote"]) as remote, \
            Server(remote.url, slides["local"], "--threads", WORKERS, "--timeout", TIMEOUT,
                   env=NO_BLOCK_CACHE) as server, ThreadPoolExecutor(10) as pool:
        opened = time.monotonic()  # the URL was last looked at before this
        cached = "/deepzoom/remote_files/12/10_5.jpeg"
        assert server.get(cached)[0] == 200
        remote.stall()
        # More requests for the stalled slide than there are workers.
        stalled = {pool.submit(status_of, server, f"/deepzoom/remote_files/12/{column}_1.jpeg")
                   for column in range(8)}
        time.sleep(0.5)
        began = time.monotonic()
        assert server.get("/deepzoom/local_files/12/3_3.jpeg", timeout=3)[0] == 200
        assert server.get("/deepzoom/local.dzi", timeout=3)[0] == 200
        assert time.monotonic() - began < 2
        # Beyond its share, the stalled slide's requests are answered 503 within seconds; the
        # ones holding its seats go on once its server answers again.
        refused = []
        while len(refused) < len(stalled) - SEATS:
            done, _ = wait(stalled - set(refused), timeout=10, return_when=FIRST_COMPLETED)
            assert done, "no answer"
            refused += done
        assert all(future.result()[0] == 503 for future in refused), \
            [future.result()[0] for future in refused]
        assert all(future.result()[1]["retry-after"].isdigit() for future in refused)
        remote.release()
        assert {future.result()[0] for future in stalled - set(refused)} == {200}

        # The next look at the URL stalls; the slide's cached answers go on meanwhile.
        time.sleep(max(0, opened + RECHECK_SECONDS + 0.5 - time.monotonic()))
        remote.stall()
        looking = pool.submit(server.get, cached)
        time.sleep(0.5)
        assert server.get(cached, timeout=3)[0] == 200
        remote.release()
        assert looking.result()[0] == 200
        assert server.get("/deepzoom/remote_files/12/9_1.jpeg")[0] == 200
