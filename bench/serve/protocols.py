#!/usr/bin/python3
"""Load benchmark of `tarn serve`'s IIIF and DICOMweb beside IIPImage and Orthanc, run by hand:

    bench/serve/protocols.py [--tool build/tarn] [--openslide build/tarn-openslide]
                             [--runs 3] [--seconds 4] [--copies 16] [--only iiif|frames]
                             [--iiif-quality Q]

The picture: a sample slide of 32 x 32 tiles (some 8000 x 8000 pixels; 256 x 256 JPEG tiles, 6 layers). IIPImage (Debian's
iipimage-server behind lighttpd over FastCGI, IIIF 2 URLs) serves a pyramidal JPEG TIFF of it
that libvips writes through this project's libopenslide.so.0; Orthanc (with its DICOMweb plugin)
serves the instances `tarn convert --format dicom` writes. Each server is pinned to core 0 with
one worker (tarn --threads 1, one iipsrv process, Orthanc's default), wrk to core 1, 8
connections. The loads:
  iiif deepest:  random 256 x 256 tiles of full resolution;
  iiif mix:      a viewer's mix: the tiles of every scale factor (1 to 32), shuffled;
  frames:        random frames of the finest level over WADO-RS, one per request, as
                 dicom-microscopy-viewer asks for them;
each cold (on a fresh server, every request one not asked for before: the slide is served under
several names, enough of them that neither server comes round to a tile again within the run;
a load that did is marked "not all fresh") and repeated (every request asked for once before).
Each run starts every server afresh; the medians of the runs are printed, with the ratios
tarn / other and the goals. IIPImage encodes at quality 75 and tarn's IIIF at 90 by default;
--iiif-quality 75 compares them at equal quality."""
import argparse
import json
import os
import random
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER_CORE, WRK_CORE = "0", "1"
CONNECTIONS = 8
COLUMNS, TILE = 32, 256  # of the sample: its picture is a little smaller than 32 x 256
SIZE = {}  # the picture's width and height, once made
FRAME_ACCEPT = 'multipart/related; type="application/octet-stream"; transfer-syntax=*'
GOALS = {"iiif cold": 2, "iiif repeated": 5, "frames": 3}


def run(*command, **kwargs):
    return subprocess.run([str(c) for c in command], check=True, capture_output=True, text=True,
                          **kwargs).stdout


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(url, process, headers=None, seconds=60):
    deadline = time.monotonic() + seconds
    while True:
        try:
            with urllib.request.urlopen(urllib.request.Request(url, headers=headers or {}),
                                        timeout=10) as answer:
                return answer.read()
        except OSError:
            if process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("server did not start: " + url)
            time.sleep(0.2)


class Process:
    def __init__(self, command, **kwargs):
        self.process = subprocess.Popen(["taskset", "-c", SERVER_CORE, *map(str, command)],
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        text=True, **kwargs)

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


class Tarn(Process):
    def __init__(self, tool, folder, extra=()):
        super().__init__([tool, "serve", "--port", "0", "--threads", 1, *extra, folder])
        for line in self.process.stdout:
            match = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
            if match:
                self.port = int(match.group(1))
                return
        raise RuntimeError("tarn serve did not start")

    def tile(self, name, x, y, w, h, size):
        return f"/iiif/3/{name}/{x},{y},{w},{h}/{size},/0/default.jpg"

    def frames_base(self):
        return f"http://127.0.0.1:{self.port}/dicomweb"


class Iip(Process):
    """iipsrv behind lighttpd over FastCGI, as Debian packages them."""

    def __init__(self, folder, work):
        self.port = free_port()
        config = os.path.join(work, "lighttpd.conf")
        with open(config, "w") as out:
            out.write(f"""server.document-root = "{folder}"
server.port = {self.port}
server.bind = "127.0.0.1"
server.modules = ("mod_fastcgi")
server.errorlog = "{work}/lighttpd.log"
fastcgi.server = ("/fcgi-bin/iipsrv.fcgi" => ((
    "socket" => "{work}/iipsrv.socket",
    "bin-path" => "/usr/lib/iipimage-server/iipsrv.fcgi",
    "max-procs" => 1,
    "check-local" => "disable",
    "bin-environment" => ("FILESYSTEM_PREFIX" => "{folder}/", "VERBOSITY" => "0",
                          "MAX_IMAGE_CACHE_SIZE" => "256", "JPEG_QUALITY" => "75",
                          "MAX_CVT" => "8192")
)))
""")
        super().__init__(["/usr/sbin/lighttpd", "-D", "-f", config])
        names = sorted(os.listdir(folder))
        try:
            wait_for(f"http://127.0.0.1:{self.port}/fcgi-bin/iipsrv.fcgi?IIIF={names[0]}"
                     "/info.json", self.process)
        except RuntimeError:
            self.stop()
            raise

    def tile(self, name, x, y, w, h, size):
        return f"/fcgi-bin/iipsrv.fcgi?IIIF={name}.tif/{x},{y},{w},{h}/{size},/0/default.jpg"


class Orthanc(Process):
    def __init__(self, instances, work):
        self.port = free_port()
        storage = os.path.join(work, "orthanc")
        shutil.rmtree(storage, ignore_errors=True)
        config = os.path.join(work, "orthanc.json")
        with open(config, "w") as out:
            json.dump({"Name": "bench", "StorageDirectory": storage, "IndexDirectory": storage,
                       "HttpPort": self.port, "DicomServerEnabled": False,
                       "RemoteAccessAllowed": False, "AuthenticationEnabled": False,
                       "Plugins": ["/usr/share/orthanc/plugins/libOrthancDicomWeb.so"]}, out)
        super().__init__(["Orthanc", config])
        try:
            wait_for(f"http://127.0.0.1:{self.port}/system", self.process)
            for path in instances:
                request = urllib.request.Request(f"http://127.0.0.1:{self.port}/instances",
                                                 data=open(path, "rb").read(), method="POST")
                urllib.request.urlopen(request, timeout=120).read()
        except (OSError, RuntimeError):
            self.stop()
            raise

    def frames_base(self):
        return f"http://127.0.0.1:{self.port}/dicom-web"


def make_slides(tool, openslide, work, copies, dicom_too):
    base = os.path.join(work, "base.tarn")
    run(tool, "sample", base, "--columns", COLUMNS, "--rows", COLUMNS, "--layers", 6,
        timeout=1200)
    info = run(tool, "info", base)
    SIZE["width"] = int(re.search(r"ImageWidth\s+(\d+)", info).group(1))
    SIZE["height"] = int(re.search(r"ImageHeight\s+(\d+)", info).group(1))
    tiff = os.path.join(work, "base.tif")
    run("vips", "tiffsave", base, tiff, "--tile", "--tile-width", TILE, "--tile-height", TILE,
        "--pyramid", "--compression", "jpeg", "--Q", 75,
        env=dict(os.environ, LD_LIBRARY_PATH=openslide))
    dicom = os.path.join(work, "dicom")
    if dicom_too:
        run(tool, "convert", base, dicom, "--format", "dicom", timeout=1200)
    folders = {"tarn": os.path.join(work, "tarn"), "iip": os.path.join(work, "tiff")}
    for kind, source, extension in (("tarn", base, ".tarn"), ("iip", tiff, ".tif")):
        os.makedirs(folders[kind])
        for i in range(copies):
            shutil.copyfile(source, os.path.join(folders[kind], f"s{i:02d}{extension}"))
    instances = sorted(os.listdir(dicom)) if dicom_too else []
    return folders, [os.path.join(dicom, name) for name in instances]


def tiles(server, names, scale):
    """Every 256 x 256 tile at `scale` of every name, as server URLs."""
    step = TILE * scale
    paths = []
    for name in names:
        for y in range(0, SIZE["height"], step):
            for x in range(0, SIZE["width"], step):
                w, h = min(step, SIZE["width"] - x), min(step, SIZE["height"] - y)
                paths.append(server.tile(name, x, y, w, h, max(1, w // scale)))
    return paths


def wrk(port, paths, seconds, work, headers=()):
    listing = os.path.join(work, "paths.txt")
    with open(listing, "w") as out:
        out.write("\n".join(paths) + "\n")
    command = ["taskset", "-c", WRK_CORE, "wrk", "-t", 1, "-c", CONNECTIONS, "-d",
               f"{seconds}s", "--timeout", "10s", "-s", os.path.join(HERE, "tiles.lua")]
    for header in headers:
        command += ["-H", header]
    output = run(*command, f"http://127.0.0.1:{port}", "--", listing, 1, timeout=seconds + 60)
    result = json.loads(re.search(r"RESULT (\{.*\})", output).group(1))
    assert result["errors"] == 0, result
    return {"rate": result["requests"] / (result["duration_us"] / 1e6),
            "p99_ms": result["p99_us"] / 1000, "fresh": result["requests"] <= len(paths)}


def warm(port, paths, headers=None):
    for path in paths:
        request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", headers=headers or {})
        with urllib.request.urlopen(request, timeout=60) as answer:
            answer.read()


def iiif_loads(server, names, rng):
    deepest = tiles(server, names, 1)
    mix = [path for scale in (1, 2, 4, 8, 16, 32) for path in tiles(server, names, scale)]
    rng.shuffle(deepest)
    rng.shuffle(mix)
    return {"deepest": deepest, "mix": mix}


def measure_iiif(make, names, seconds, work, rng):
    results = {}
    for load in ("deepest", "mix"):
        server = make()
        try:
            paths = iiif_loads(server, names, rng)[load]
            results[f"iiif {load} cold"] = wrk(server.port, paths, seconds, work)
            repeated = paths[:256]
            warm(server.port, repeated)
            results[f"iiif {load} repeated"] = wrk(server.port, repeated, seconds, work)
        finally:
            server.stop()
    return results


def frame_paths(base, port):
    with urllib.request.urlopen(f"{base}/studies", timeout=60) as answer:
        study = json.loads(answer.read())[0]["0020000D"]["Value"][0]
    with urllib.request.urlopen(f"{base}/studies/{study}/instances", timeout=60) as answer:
        instances = json.loads(answer.read())
    finest = max(instances, key=lambda i: i["00280008"]["Value"][0])  # the most frames
    series = finest["0020000E"]["Value"][0]
    sop = finest["00080018"]["Value"][0]
    prefix = base[len(f"http://127.0.0.1:{port}"):]
    count = finest["00280008"]["Value"][0]
    return [f"{prefix}/studies/{study}/series/{series}/instances/{sop}/frames/{n}"
            for n in range(1, count + 1)]


def measure_frames(server, seconds, work, rng):
    try:
        paths = frame_paths(server.frames_base(), server.port)
        rng.shuffle(paths)
        headers = [f"Accept: {FRAME_ACCEPT}"]
        cold = wrk(server.port, paths, seconds, work, headers)
        repeated = paths[:256]
        warm(server.port, repeated, {"Accept": FRAME_ACCEPT})
        return {"frames cold": cold, "frames repeated": wrk(server.port, repeated, seconds, work,
                                                            headers)}
    finally:
        server.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tool", default="build/tarn")
    parser.add_argument("--openslide", default="build/tarn-openslide")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--seconds", type=int, default=4)
    parser.add_argument("--copies", type=int, default=16)
    parser.add_argument("--only", choices=("iiif", "frames"))
    parser.add_argument("--iiif-quality", type=int, help="tarn's IIIF JPEG quality")
    args = parser.parse_args()
    extra = ["--iiif-quality", args.iiif_quality] if args.iiif_quality else []
    tool, openslide = os.path.abspath(args.tool), os.path.abspath(args.openslide)
    work = tempfile.mkdtemp(prefix="tarn-protocols-bench-")
    try:
        folders, instances = make_slides(tool, openslide, work, args.copies,
                                         args.only != "iiif")
        names = [f"s{i:02d}" for i in range(args.copies)]
        runs = []
        for number in range(args.runs):
            rng = random.Random(number)
            row = {"tarn": {}, "other": {}}
            if args.only != "frames":
                row["tarn"].update(measure_iiif(lambda: Tarn(tool, folders["tarn"], extra),
                                                names, args.seconds, work, rng))
                row["other"].update(measure_iiif(lambda: Iip(folders["iip"], work), names,
                                                 args.seconds, work, rng))
            if args.only != "iiif":
                row["tarn"].update(measure_frames(Tarn(tool, folders["tarn"]), args.seconds,
                                                  work, rng))
                row["other"].update(measure_frames(Orthanc(instances, work), args.seconds, work,
                                                   rng))
            runs.append(row)
            print(f"run {number + 1}: " + json.dumps(row), file=sys.stderr)
        report(runs)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def report(runs):
    print(f"{'load':<22} {'tarn/s':>8} {'other/s':>8} {'ratio':>6} {'tarn p99':>9} "
          f"{'other p99':>9}  (medians of {len(runs)} runs; other: IIPImage, Orthanc for frames)")
    for load in runs[0]["tarn"]:
        median = lambda who, what: statistics.median(r[who][load][what] for r in runs)
        ratio = statistics.median(r["tarn"][load]["rate"] / r["other"][load]["rate"]
                                  for r in runs)
        fresh = all(r[w][load]["fresh"] for r in runs for w in ("tarn", "other"))
        goal = GOALS["frames"] if load.startswith("frames") else GOALS[
            "iiif " + load.split()[-1]]
        print(f"{load:<22} {median('tarn', 'rate'):>8.0f} {median('other', 'rate'):>8.0f} "
              f"{ratio:>5.1f}x {median('tarn', 'p99_ms'):>7.1f}ms "
              f"{median('other', 'p99_ms'):>7.1f}ms  goal {goal}x" + ("" if fresh or "repeated" in load else "  (not all fresh)"))


if __name__ == "__main__":
    main()
