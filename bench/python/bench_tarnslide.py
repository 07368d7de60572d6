"""tarnslide's speed beside the C interface, one thread beside two, openslide-python on a
pyramidal TIFF of the same picture, and a Dask cluster of one worker process beside two.

    /usr/bin/python3 bench/python/bench_tarnslide.py [--build build] [--work DIR] [--rounds 7]

Run by hand on a quiet machine (not by the tests); on a busy one, --clock cpu times the
comparisons with openslide-python, where each side works on the calling thread alone, in the
processor time of the process. It writes a large sample slide with the
`tarn` tool and, for OpenSlide, a tiled JPEG TIFF pyramid of the same pixels with libvips
(`vips tiffsave --tile --pyramid --compression jpeg --Q 75`), both kept in DIR for later runs.
Every figure is the median of several rounds; ratios are taken within each round (both sides
measured back to back on the same regions) and their median reported.
"""
import argparse
import ctypes
import io
import os
import statistics
import subprocess
import sys
import threading
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
REGION = 512


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--work", default="/tmp/tarnslide-bench")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--columns", type=int, default=64, help="slide width in 256-pixel tiles")
    parser.add_argument("--rows", type=int, default=48)
    parser.add_argument("--clock", choices=("wall", "cpu"), default="wall",
                        help="how tarnslide and openslide-python, each on one thread, are timed")
    parser.add_argument("--skip", default="", help="comma-separated parts to skip: "
                        "c,threads,openslide,deepzoom,dask")
    return parser.parse_args()


def prepare(arguments):
    """The slide, its TIFF twin and the compiled C loop, made once."""
    os.makedirs(arguments.work, exist_ok=True)
    slide = os.path.join(arguments.work, f"large-{arguments.columns}x{arguments.rows}.tarn")
    if not os.path.exists(slide):
        subprocess.run([os.path.join(arguments.build, "tarn"), "sample", slide, "--columns",
                        str(arguments.columns), "--rows", str(arguments.rows), "--layers", "6"],
                       check=True)
    loop = os.path.join(arguments.work, "region_loop.so")
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-I", os.path.join(ROOT, "include"),
                    os.path.join(ROOT, "bench", "python", "region_loop.c"), "-o", loop,
                    os.path.join(arguments.build, "libDecodeTarn.so.1")], check=True)
    return slide, loop


def make_tiff(slide, path):
    """Layer 0's picture as a tiled, JPEG-compressed pyramidal TIFF, written by libvips."""
    if os.path.exists(path):
        return path
    import tarnslide
    raw = path + ".raw"
    with tarnslide.TarnSlide(slide) as opened, open(raw, "wb") as out:
        width, height = opened.dimensions
        for top in range(0, height, 1024):
            rows = min(1024, height - top)
            out.write(opened.read_region((0, top), 0, (width, rows), as_array=True,
                                         mode="RGB").tobytes())
    vips = path + ".v"
    subprocess.run(["vips", "rawload", raw, vips, str(width), str(height), "3"], check=True)
    subprocess.run(["vips", "tiffsave", vips, path, "--tile", "--tile-width", "256",
                    "--tile-height", "256", "--pyramid", "--compression", "jpeg", "--Q", "75"],
                   check=True)
    os.unlink(raw)
    os.unlink(vips)
    return path


def random_regions(dimensions, count, seed):
    generator = np.random.default_rng(seed)
    xs = generator.integers(0, dimensions[0] - REGION, count)
    ys = generator.integers(0, dimensions[1] - REGION, count)
    return [(int(x), int(y)) for x, y in zip(xs, ys)]


def each(function, items):
    """Calls function on every item, dropping each result as a pipeline that uses it would."""
    for item in items:
        function(item)


def timed(function):
    start = time.perf_counter()
    function()
    return time.perf_counter() - start


def timed_on_this_thread(function):
    """`timed`, or with --clock cpu the processor time the process spends: for comparisons where
    both sides work on the calling thread alone, a measure that other work on a shared machine
    does not tilt."""
    if CLOCK != "cpu":
        return timed(function)
    start = time.process_time()
    function()
    return time.process_time() - start


CLOCK = "wall"


class Report:
    """Prints each figure as it comes."""

    @staticmethod
    def rate(name, per_round, items, unit):
        median = statistics.median(items / seconds for seconds in per_round)
        print(f"{name:58s} {median:10.1f} {unit}", flush=True)
        return median

    @staticmethod
    def ratio(name, ratios, goal, at_most=False):
        median = statistics.median(ratios)
        met = median <= goal if at_most else median >= goal
        verdict = "ok" if met else ("ABOVE GOAL" if at_most else "BELOW GOAL")
        print(f"{name:58s} {median:10.2f} x  (goal {'<=' if at_most else '>='} {goal}: "
              f"{verdict})", flush=True)


def c_loop(loop_path):
    loop = ctypes.CDLL(loop_path).tarn_bench_read_regions
    loop.restype = ctypes.c_double
    loop.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int, ctypes.c_int64,
                     ctypes.c_int64, ctypes.c_int32, ctypes.c_int, ctypes.c_void_p]
    return loop


def bench_c_interface(report, slide, loop_path, rounds):
    """read_region beside tarn_read_region in a C loop on the same regions: with the cache off
    (every read decodes), then warm (every tile a hit: the overhead shows most there)."""
    import tarnslide
    loop = c_loop(loop_path)
    buffer = np.empty((REGION, REGION, 4), np.uint8)
    # Warm: 16 regions (some 144 tiles, within the default 64 MiB), each read twice before
    # timing, since the cache keeps a tile the second time it is touched, and read 4 times
    # over in each timing.
    for label, cache, count, passes in (("cache off", tarnslide.TarnCache(0), 48, 1),
                                        ("cache warm", None, 16, 4)):
        slide.set_cache(cache)
        xy = None

        def in_c():
            with slide._handle as pointer:
                return sum(loop(pointer, xy.ctypes.data, count, REGION, REGION, 0, 0,
                                buffer.ctypes.data) for _ in range(passes))

        def as_array():
            return timed(lambda: each(lambda r: slide.read_region(
                r, 0, (REGION, REGION), as_array=True), regions * passes))

        def as_image():
            return timed(lambda: each(lambda r: slide.read_region(
                r, 0, (REGION, REGION)), regions * passes))

        spent = {in_c: [], as_array: [], as_image: []}
        for round_index in range(rounds):
            regions = random_regions(slide.dimensions, count, round_index)
            xy = np.array(regions, np.int64)
            for _ in range(2 if cache is None else 0):
                in_c()
            # The order turns between rounds, so that no side always goes first.
            order = list(spent)[round_index % 3:] + list(spent)[:round_index % 3]
            for measure in order:
                spent[measure].append(measure())
        reads = count * passes
        report.rate(f"C tarn_read_region 512x512 RGBA ({label})", spent[in_c], reads,
                    "regions/s")
        report.rate(f"read_region(as_array=True) ({label})", spent[as_array], reads,
                    "regions/s")
        report.rate(f"read_region() -> PIL RGBA ({label})", spent[as_image], reads, "regions/s")
        report.ratio(f"  as_array / C ({label})",
                     [c / a for c, a in zip(spent[in_c], spent[as_array])], 0.9)
        report.ratio(f"  PIL / C ({label})",
                     [c / p for c, p in zip(spent[in_c], spent[as_image])], 0.8)
    slide.set_cache(None)


def bench_threads(report, slide, loop_path, rounds):
    """read_regions on 2 threads beside 1, and the C loop on 2 threads beside 1 on the same
    regions: what the machine and the library allow."""
    import tarnslide
    loop = c_loop(loop_path)
    slide.set_cache(tarnslide.TarnCache(0))
    one, two, ratios, c_ratios = [], [], [], []
    out = np.ones((64, REGION, REGION, 4), np.uint8)  # reused, so no round pays page faults
    for round_index in range(rounds):
        regions = random_regions(slide.dimensions, 64, 100 + round_index)
        single = timed(lambda: slide.read_regions(regions, 0, (REGION, REGION), workers=1,
                                                  out=out))
        double = timed(lambda: slide.read_regions(regions, 0, (REGION, REGION), workers=2,
                                                  out=out))
        one.append(single)
        two.append(double)
        ratios.append(single / double)
        xy = np.array(regions, np.int64)
        with slide._handle as pointer:
            halves = [threading.Thread(target=loop, args=(
                pointer, xy[half::2].copy().ctypes.data, 32, REGION, REGION, 0, 0,
                out[half].ctypes.data)) for half in (0, 1)]
            c_single = timed(lambda: loop(pointer, xy.ctypes.data, 64, REGION, REGION, 0, 0,
                                          out[0].ctypes.data))
            c_double = timed(lambda: [t.start() for t in halves] + [t.join() for t in halves])
        c_ratios.append(c_single / c_double)
    report.rate("read_regions, 1 thread (cache off)", one, 64, "regions/s")
    report.rate("read_regions, 2 threads (cache off)", two, 64, "regions/s")
    report.ratio("  2 threads / 1 thread", ratios, 1.8)
    report.ratio("  (the C loop on the same regions: 2 threads / 1 thread)", c_ratios, 1.8)
    slide.set_cache(None)


def bench_openslide(report, slide, tiff, rounds):
    """Both with their default caches, each round on new random regions (so mostly misses)."""
    import openslide
    other = openslide.OpenSlide(tiff)
    assert other.dimensions == slide.dimensions, (other.dimensions, slide.dimensions)
    ours, theirs, ratios = [], [], []
    for round_index in range(rounds):
        regions = random_regions(slide.dimensions, 32, 200 + round_index)
        mine = timed_on_this_thread(lambda: each(
            lambda r: slide.read_region(r, 0, (REGION, REGION)), regions))
        their = timed_on_this_thread(lambda: each(
            lambda r: other.read_region(r, 0, (REGION, REGION)), regions))
        ours.append(mine)
        theirs.append(their)
        ratios.append(their / mine)
    report.rate("tarnslide read_region 512x512 (PIL, default cache)", ours, 32, "regions/s")
    report.rate("openslide-python read_region on the TIFF", theirs, 32, "regions/s")
    report.ratio("  tarnslide / openslide", ratios, 3.0)
    other.close()


def bench_overhead(report, slide, tiff, rounds):
    """The Python layer's cost of a call: 1 x 1 read_region (a PIL image) at a place read
    before, beside openslide-python's on the TIFF, taking turns."""
    import openslide
    other = openslide.OpenSlide(tiff)
    calls = 2000
    ours, theirs = [], []
    for reader, spent in ((slide, ours), (other, theirs)):
        reader.read_region((1000, 1000), 0, (1, 1))
    for round_index in range(rounds):
        pair = ((slide, ours), (other, theirs))
        for reader, spent in pair if round_index % 2 == 0 else reversed(pair):
            spent.append(timed_on_this_thread(
                lambda: [reader.read_region((1000, 1000), 0, (1, 1)) for _ in range(calls)]))
    report.rate("tarnslide read_region 1x1 (a call's overhead)", ours, calls, "calls/s")
    report.rate("openslide-python read_region 1x1", theirs, calls, "calls/s")
    report.ratio("  tarnslide / openslide time per call", [a / b for a, b in zip(ours, theirs)],
                 2.0, at_most=True)
    other.close()


def random_tiles(dz, generator, depth):
    """64 random tiles of the `depth` most detailed Deep Zoom levels."""
    tiles = []
    for _ in range(64):
        level = dz.level_count - 1 - int(generator.integers(0, depth))
        columns, rows = dz.level_tiles[level]
        tiles.append((level, (int(generator.integers(0, columns)),
                              int(generator.integers(0, rows)))))
    return tiles


def viewport_tiles(dz, generator):
    """The 8 x 8 tiles of a viewer's window on the most detailed level, row by row."""
    level = dz.level_count - 1
    columns, rows = dz.level_tiles[level]
    left, top = int(generator.integers(0, columns - 8)), int(generator.integers(0, rows - 8))
    return [(level, (left + c, top + r)) for r in range(8) for c in range(8)]


def c_deepzoom_loop(loop_path):
    loop = ctypes.CDLL(loop_path).tarn_bench_deepzoom_jpeg
    loop.restype = ctypes.c_double
    loop.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
    return loop


def bench_deepzoom(report, slide, tiff, loop_path, rounds):
    """Deep Zoom tiles, each encoded as a JPEG: random ones of the most detailed level, random
    ones of the three most detailed (where OpenSlide, whose TIFF levels measure a little more
    than 2 and 4, reads level 0 and scales it down), and a viewer's window."""
    import openslide
    import openslide.deepzoom
    from tarnslide.deepzoom import DeepZoomGenerator
    other = openslide.OpenSlide(tiff)
    ours_dz, theirs_dz = DeepZoomGenerator(slide), openslide.deepzoom.DeepZoomGenerator(other)
    assert ours_dz.level_tiles == theirs_dz.level_tiles

    def encode(generator, tiles):
        for level, address in tiles:
            generator.get_tile(level, address).save(io.BytesIO(), "jpeg", quality=75)

    def through_python(tiles):
        for level, address in tiles:
            ours_dz.get_tile_jpeg(level, address, 75)

    loop = c_deepzoom_loop(loop_path)

    def in_c(tiles):
        flat = np.array([(level, c, r) for level, (c, r) in tiles], np.int64)
        with ours_dz._pyramid._view as pointer:
            return loop(pointer, flat.ctypes.data, len(tiles), 75)

    patterns = {"random, top level": lambda g: random_tiles(ours_dz, g, 1),
                "random, top 3 levels": lambda g: random_tiles(ours_dz, g, 3),
                "8 x 8 window, top level": lambda g: viewport_tiles(ours_dz, g)}
    for name, pattern in patterns.items():
        ours, jpeg, c_jpeg, theirs, ratios = [], [], [], [], []
        for round_index in range(rounds):
            tiles = pattern(np.random.default_rng(300 + round_index))
            # Each meets tiles its cache has not seen: the JPEG paths get windows of their own.
            other_tiles = pattern(np.random.default_rng(900 + round_index))
            c_tiles = pattern(np.random.default_rng(1500 + round_index))
            if round_index % 2 == 0:  # the two sides take turns at going first
                mine = timed_on_this_thread(lambda: encode(ours_dz, tiles))
                their = timed_on_this_thread(lambda: encode(theirs_dz, tiles))
            else:
                their = timed_on_this_thread(lambda: encode(theirs_dz, tiles))
                mine = timed_on_this_thread(lambda: encode(ours_dz, tiles))
            jpeg.append(timed_on_this_thread(lambda: through_python(other_tiles)))
            c_jpeg.append(timed_on_this_thread(lambda: in_c(c_tiles)))
            ours.append(mine)
            theirs.append(their)
            ratios.append(their / mine)
        report.rate(f"tarnslide get_tile + PIL JPEG ({name})", ours, 64, "tiles/s")
        report.rate(f"tarnslide get_tile_jpeg, encoded in C ({name})", jpeg, 64, "tiles/s")
        report.rate(f"C loop tarn_deepzoom_read_tile_jpeg ({name})", c_jpeg, 64, "tiles/s")
        report.rate(f"openslide-python get_tile + PIL JPEG ({name})", theirs, 64, "tiles/s")
        report.ratio(f"  tarnslide / openslide, both PIL JPEG ({name})", ratios, 3.0)
    other.close()


def bench_dask(report, slide, rounds):
    """to_dask(0).sum() on a LocalCluster of 1 worker process and on one of 2, taking turns;
    tile caches off so that every run decodes."""
    from distributed import Client, LocalCluster
    os.environ["TARN_CACHE_SIZE"] = "0"  # inherited by the worker processes
    level0 = slide.to_dask(0)
    clusters = [LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                             dashboard_address="127.0.0.1:0", silence_logs=40) for n in (1, 2)]
    clients = [Client(cluster) for cluster in clusters]
    times = ([], [])
    try:
        # Each run ends in a key of its own, so that none is answered from the last one.
        for client in clients:
            client.compute(level0.sum() + np.uint64(0)).result()  # opens the slide
        for run in range(1, rounds + 1):
            for client, spent in zip(clients, times):
                spent.append(timed(
                    lambda: client.compute(level0.sum() + np.uint64(run)).result()))
    finally:
        for client, cluster in zip(clients, clusters):
            client.close()
            cluster.close()
        del os.environ["TARN_CACHE_SIZE"]
    pixels = slide.dimensions[0] * slide.dimensions[1] / 1e6
    chunks = len(level0.chunks[0]) * len(level0.chunks[1])
    report.rate(f"to_dask(0).sum(), {chunks} chunks, 1 worker", times[0], pixels, "Mpixel/s")
    report.rate("to_dask(0).sum(), 2 workers", times[1], pixels, "Mpixel/s")
    report.ratio("  2 workers / 1 worker", [one / two for one, two in zip(*times)], 1.6)


def main():
    arguments = parse_arguments()
    global CLOCK
    CLOCK = arguments.clock
    os.environ.setdefault("TARN_LIBRARY", os.path.join(arguments.build, "libDecodeTarn.so.1"))
    sys.path.insert(0, os.path.join(ROOT, "python"))
    path, loop = prepare(arguments)
    skip = set(filter(None, arguments.skip.split(",")))
    import tarnslide
    report = Report()
    with tarnslide.TarnSlide(path) as slide:
        print(f"{path}: {slide.dimensions[0]} x {slide.dimensions[1]} pixels, "
              f"{arguments.rounds} rounds, library {tarnslide.__library_version__}, "
              f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores", flush=True)
        slide.read_region((0, 0), 0, (REGION, REGION))  # colour tables built before timing
        if "c" not in skip:
            bench_c_interface(report, slide, loop, arguments.rounds)
        if "threads" not in skip:
            bench_threads(report, slide, loop, arguments.rounds)
        if not {"openslide", "deepzoom"} <= skip:
            tiff = make_tiff(path, path[:-len(".tarn")] + ".tif")
            if "openslide" not in skip:
                bench_openslide(report, slide, tiff, arguments.rounds)
                bench_overhead(report, slide, tiff, arguments.rounds)
            if "deepzoom" not in skip:
                bench_deepzoom(report, slide, tiff, loop, arguments.rounds)
        if "dask" not in skip:
            bench_dask(report, slide, arguments.rounds)


if __name__ == "__main__":
    main()
