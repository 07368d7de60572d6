#!/usr/bin/python3
"""Load benchmark of `tarn serve` beside OpenSlide's Deep Zoom in Python, run by hand:

    bench/serve/run.py [--tool build/tarn] [--library build/libDecodeTarn.so] [--runs 5]
                       [--seconds 5] [--copies 16]

Both servers get the same picture: an 8192 x 8192 sample slide (256 x 256 JPEG tiles, quality
75), and for OpenSlide a pyramidal TIFF of its pixels written by libvips with the same tiles. wrk
sends 32 connections on 2 threads, pinned with the server to the same 2 cores, for random tiles of
the deepest Deep Zoom level:
  cold:     every request a tile not asked for before (the slide is served under several names,
            so that the distinct tiles last the whole run), on a freshly started server;
  repeated: random tiles of one name, all requested once before (cache hits).
Each run starts both servers afresh, in alternating order; medians over the runs, and the ratio
tarn / OpenSlide, are printed with the resident memory of each server. The machine may be shared:
beside the rates measured, the processor time the server and wrk spent per request gives the rate
two cores of their own would reach."""
import argparse
import ctypes
import http.client
import json
import math
import os
import random
import re
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CORES = "0,1"
CONNECTIONS, THREADS = 32, 2
GOALS = {"cold_rate": 1500, "cold_p99_ms": 80, "warm_rate": 10000, "warm_p99_ms": 20,
         "cold_idle_rate": 1500, "warm_idle_rate": 10000}


def run(*command, **kwargs):
    return subprocess.run([str(c) for c in command], check=True, capture_output=True, text=True,
                          **kwargs).stdout


def write_picture(library, slide, path):
    """Level 0 of the slide as raw RGB bytes, through tarn.h; its width and height."""
    lib = ctypes.CDLL(library)
    lib.tarn_open.restype = ctypes.c_void_p
    lib.tarn_open.argtypes = [ctypes.c_char_p]
    lib.tarn_close.argtypes = [ctypes.c_void_p]
    lib.tarn_get_level0_dimensions.argtypes = [ctypes.c_void_p] + [
        ctypes.POINTER(ctypes.c_int64)] * 2
    lib.tarn_read_region.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64,
                                     ctypes.c_int64, ctypes.c_int32, ctypes.c_int64,
                                     ctypes.c_int64, ctypes.c_int]
    handle = lib.tarn_open(slide.encode())
    width, height = ctypes.c_int64(), ctypes.c_int64()
    lib.tarn_get_level0_dimensions(handle, ctypes.byref(width), ctypes.byref(height))
    width, height = width.value, height.value
    with open(path, "wb") as out:
        for y in range(0, height, 256):
            rows = min(256, height - y)
            stripe = ctypes.create_string_buffer(width * rows * 3)
            assert lib.tarn_read_region(handle, stripe, 0, y, 0, width, rows, 2) == 0
            out.write(stripe.raw)
    lib.tarn_close(handle)
    return width, height


def make_slides(tool, library, work, copies):
    base = os.path.join(work, "base.tarn")
    run(tool, "sample", base, "--columns", 32, "--rows", 32, "--layers", 6)
    raw, tiff = os.path.join(work, "picture.rgb"), os.path.join(work, "base.tif")
    width, height = write_picture(library, base, raw)
    run("vips", "rawload", raw, tiff + "[tile,tile-width=256,tile-height=256,pyramid,"
        "compression=jpeg,Q=75]", width, height, 3)
    os.remove(raw)
    folders = {"tarn": os.path.join(work, "tarn"), "openslide": os.path.join(work, "tiff")}
    for kind, source, extension in (("tarn", base, ".tarn"), ("openslide", tiff, ".tif")):
        os.makedirs(folders[kind])
        for i in range(copies):
            shutil.copyfile(source, os.path.join(folders[kind], f"s{i:02d}{extension}"))
    return width, height, folders


class Server:
    def __init__(self, kind, tool, folder):
        names = sorted(os.listdir(folder))
        if kind == "tarn":
            command = [tool, "serve", "--port", "0", "--threads", THREADS, folder]
            self.prefix = "/deepzoom/"
        else:
            command = ["/usr/bin/python3", os.path.join(HERE, "openslide_server.py"), "0"]
            command += [os.path.join(folder, name) for name in names]
            self.prefix = "/"
        self.process = subprocess.Popen(["taskset", "-c", CORES, *map(str, command)],
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        text=True)
        started = time.monotonic()
        for line in self.process.stdout:
            match = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
            if match:
                self.port = int(match.group(1))
                break
        else:
            raise RuntimeError(kind + " server did not start")
        self.start_seconds = time.monotonic() - started

    def memory_mib(self):
        status = open(f"/proc/{self.process.pid}/status").read()
        field = lambda name: int(re.search(name + r":\s+(\d+)", status).group(1)) / 1024
        return field("VmRSS"), field("VmHWM")

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        try:
            self.process.wait(20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def cpu_seconds(pid):
    """User and system time of a process so far."""
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wrk(port, paths, seconds, work, server_pid):
    listing = os.path.join(work, "paths.txt")
    with open(listing, "w") as out:
        out.write("\n".join(paths) + "\n")
    server_before = cpu_seconds(server_pid)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    output = run("taskset", "-c", CORES, "wrk", "-t", THREADS, "-c", CONNECTIONS,
                 "-d", f"{seconds}s", "--timeout", "10s", "-s", os.path.join(HERE, "tiles.lua"),
                 f"http://127.0.0.1:{port}", "--", listing, THREADS, timeout=seconds + 60)
    result = json.loads(re.search(r"RESULT (\{.*\})", output).group(1))
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    wrk_cpu = after.ru_utime + after.ru_stime - children.ru_utime - children.ru_stime
    server_cpu = cpu_seconds(server_pid) - server_before
    result["rate"] = result["requests"] / (result["duration_us"] / 1e6)
    # The machine is shared: what the two cores would do if server and wrk had them to
    # themselves, from the processor time each spent per request.
    result["cpu_ms"] = 1000 * server_cpu / result["requests"]
    result["idle_rate"] = 2 * result["requests"] / (server_cpu + wrk_cpu)
    result["p99_ms"] = result["p99_us"] / 1000
    result["fresh"] = result["requests"] <= len(paths)
    return result


def warm(port, paths):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    for path in paths:
        connection.request("GET", path)
        response = connection.getresponse()
        response.read()
        assert response.status == 200, (path, response.status)
    connection.close()


def measure(kind, tool, folder, tiles, seed, seconds, work):
    names = sorted(os.path.splitext(name)[0] for name in os.listdir(folder))
    level, columns, rows = tiles
    server = Server(kind, tool, folder)
    try:
        tile = lambda name, c, r: f"{server.prefix}{name}_files/{level}/{c}_{r}.jpeg"
        cold = [tile(n, c, r) for n in names for c in range(columns) for r in range(rows)]
        random.Random(seed).shuffle(cold)
        result = {"start_s": server.start_seconds}
        measured = wrk(server.port, cold, seconds, work, server.process.pid)
        result.update(cold_rate=measured["rate"], cold_p99_ms=measured["p99_ms"],
                      cold_cpu_ms=measured["cpu_ms"], cold_idle_rate=measured["idle_rate"],
                      cold_fresh=measured["fresh"], cold_errors=measured["errors"])
        result["cold_rss_mib"] = server.memory_mib()[0]
        one = [tile(names[0], c, r) for c in range(columns) for r in range(rows)]
        warm(server.port, one)
        picks = random.Random(seed + 1).choices(one, k=200000)
        measured = wrk(server.port, picks, seconds, work, server.process.pid)
        result.update(warm_rate=measured["rate"], warm_p99_ms=measured["p99_ms"],
                      warm_cpu_ms=measured["cpu_ms"], warm_idle_rate=measured["idle_rate"],
                      warm_errors=measured["errors"])
        result["rss_mib"], result["peak_rss_mib"] = server.memory_mib()
        return result
    finally:
        server.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tool", default="build/tarn")
    parser.add_argument("--library", default="build/libDecodeTarn.so")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--seconds", type=int, default=5)
    parser.add_argument("--copies", type=int, default=16)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="tarn-serve-bench-")
    try:
        width, height, folders = make_slides(os.path.abspath(args.tool),
                                              os.path.abspath(args.library), work, args.copies)
        level = math.ceil(math.log2(max(width, height)))
        tiles = (level, math.ceil(width / 254), math.ceil(height / 254))
        print(f"picture {width} x {height}; deepest Deep Zoom level {level}: "
              f"{tiles[1]} x {tiles[2]} tiles, under {args.copies} names")
        results = {"tarn": [], "openslide": []}
        for r in range(args.runs):
            order = ["tarn", "openslide"] if r % 2 == 0 else ["openslide", "tarn"]
            for kind in order:
                result = measure(kind, os.path.abspath(args.tool), folders[kind], tiles,
                                 seed=r, seconds=args.seconds, work=work)
                results[kind].append(result)
                print(f"run {r + 1} {kind:9}: " + ", ".join(
                    f"{k} {v:.4g}" if isinstance(v, float) else f"{k} {v}"
                    for k, v in result.items()), flush=True)
        report(results)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def report(results):
    print("\nmedians of the runs       tarn serve   OpenSlide   tarn / OpenSlide   goal")
    for key, unit in (("cold_rate", "tiles/s"), ("cold_p99_ms", "ms"),
                      ("cold_cpu_ms", "ms of server CPU per tile"),
                      ("cold_idle_rate", "tiles/s on 2 idle cores, from CPU time"),
                      ("warm_rate", "tiles/s"), ("warm_p99_ms", "ms"),
                      ("warm_cpu_ms", "ms of server CPU per tile"),
                      ("warm_idle_rate", "tiles/s on 2 idle cores, from CPU time"),
                      ("peak_rss_mib", "MiB"), ("start_s", "s")):
        tarn = statistics.median(r[key] for r in results["tarn"])
        other = statistics.median(r[key] for r in results["openslide"])
        goal = GOALS.get(key)
        met = "" if goal is None else (
            ("ok " if (tarn >= goal if "rate" in key else tarn <= goal) else "MISSED ") +
            (">= " if "rate" in key else "<= ") + str(goal))
        print(f"{key:22} {tarn:11.4g} {other:11.4g} {tarn / other:14.3g}     {met}  ({unit})")
    if not all(r["cold_fresh"] for r in results["tarn"] + results["openslide"]):
        print("warning: a cold run asked for some tiles twice: use more --copies")


if __name__ == "__main__":
    sys.exit(main())
