"""Every 256 x 256 patch of level 0 of the benchmark slide, read by tarnslide's batched
read_regions and by openslide-python on the slide's pyramidal TIFF twin, one read_region at a
time (on one thread, and on a pool of 2), then through PyTorch's DataLoader.

    /usr/bin/python3 bench/patches/bench_patches.py [--build build] [--work DIR] [--rounds 5]

Run by hand on a quiet machine (not by the tests). The slide and its TIFF are those of
bench/python/bench_tarnslide.py (made with the `tarn` tool and libvips, kept in DIR). Every
measurement runs in a fresh process with default settings; a round measures every case once, the
ratios are taken within each round, and the median over the rounds is reported. Each process
reads one patch before its clock starts (tarnslide builds its colour tables then). "offset" reads
the same grid moved by one pixel right and down, so that every patch straddles four tiles.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
PATCH = 256
BATCH = 64


def grid(width, height, shift):
    """Every whole patch of the level, row by row, moved by `shift` pixels."""
    return [(x + shift, y + shift) for y in range(0, height - PATCH + 1, PATCH)
            for x in range(0, width - PATCH + 1, PATCH)]


# ---- The cases, each run in a process of its own: [wall, processor] seconds printed as JSON ----


def clocks():
    return time.perf_counter(), time.process_time()


def since(start):
    """Wall time, and the processor time of this process's threads (not of other processes:
    DataLoader workers), since `start`."""
    return [time.perf_counter() - start[0], time.process_time() - start[1]]


def case_tarnslide(path, tiff, shift, workers):
    import tarnslide
    with tarnslide.TarnSlide(path) as slide:
        locations = grid(*slide.dimensions, shift)
        slide.read_region((0, 0), 0, (PATCH, PATCH))  # colour tables built before the clock
        start = clocks()
        for _ in slide.read_regions(locations, 0, (PATCH, PATCH), batch_size=BATCH,
                                    workers=workers):
            pass
        return since(start)


def case_openslide(path, tiff, shift, workers):
    import concurrent.futures

    import openslide
    slide = openslide.OpenSlide(tiff)
    locations = grid(*slide.dimensions, shift)
    slide.read_region((0, 0), 0, (PATCH, PATCH))  # as the other side

    def read(location):
        slide.read_region(location, 0, (PATCH, PATCH))

    start = clocks()
    if workers == 1:
        for location in locations:
            read(location)
    else:
        with concurrent.futures.ThreadPoolExecutor(workers) as pool:
            for _ in pool.map(read, locations, chunksize=16):
                pass
    return since(start)


try:
    import torch.utils.data
    _IterableDataset = torch.utils.data.IterableDataset
except ImportError:  # the DataLoader cases are skipped then
    _IterableDataset = object


class OpenSlideBatches(_IterableDataset):
    """What a pipeline on openslide-python feeds a DataLoader: batches of RGB patches, one
    read_region each, every n-th batch per worker (as PatchBatches splits them)."""

    def __init__(self, tiff, locations):
        super().__init__()
        self.tiff, self.locations = tiff, locations

    def __iter__(self):
        import numpy as np
        import openslide
        import torch.utils.data
        info = torch.utils.data.get_worker_info()
        share, index = (1, 0) if info is None else (info.num_workers, info.id)
        slide = openslide.OpenSlide(self.tiff)
        for first in range(index * BATCH, len(self.locations), share * BATCH):
            yield torch.from_numpy(np.stack([
                np.asarray(slide.read_region(location, 0, (PATCH, PATCH)).convert("RGB"))
                for location in self.locations[first:first + BATCH]]))


def case_dataloader(path, tiff, shift, workers, library):
    import tarnslide
    import torch.utils.data
    from tarnslide.torch import PatchBatches
    torch.set_num_threads(1)
    with tarnslide.TarnSlide(path) as slide:
        locations = grid(*slide.dimensions, shift)
    if library == "tarnslide":
        dataset = PatchBatches(path, locations, (PATCH, PATCH), batch_size=BATCH, workers=1)
    else:
        dataset = OpenSlideBatches(tiff, locations)
    # Workers start before the clock, as a training loop's persistent workers have.
    loader = torch.utils.data.DataLoader(dataset, batch_size=None, num_workers=workers,
                                         persistent_workers=True)
    iter(loader)
    start = clocks()
    patches = sum(len(batch) for batch in loader)
    spent = since(start)
    assert patches == len(locations), (patches, len(locations))
    return spent


CASES = {
    "tarnslide": case_tarnslide,
    "openslide": case_openslide,
    "dataloader-tarnslide": lambda *a: case_dataloader(*a, library="tarnslide"),
    "dataloader-openslide": lambda *a: case_dataloader(*a, library="openslide"),
}


def run_case(arguments, name, shift, workers):
    """One case in a fresh interpreter; its seconds."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.join(ROOT, "python"), HERE]))
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--case", name,
                          "--shift", str(shift), "--workers", str(workers), "--slide",
                          arguments.slide, "--tiff", arguments.tiff],
                         env=env, capture_output=True, text=True)
    if out.returncode != 0:
        sys.exit(f"{name} failed:\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--work", default="/tmp/tarnslide-bench")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--clock", choices=("wall", "cpu"), default="wall",
                        help="how the comparisons on one thread are timed: cpu takes the "
                        "processor time of the reading process, which other work on a shared "
                        "machine does not tilt (the rest is always wall time)")
    parser.add_argument("--skip-dataloader", action="store_true",
                        help="leave out the DataLoader cases (without PyTorch they are left out)")
    parser.add_argument("--case")
    parser.add_argument("--shift", type=int, default=0)
    parser.add_argument("--workers", type=int, default=1)
    parser.add_argument("--slide")
    parser.add_argument("--tiff")
    arguments = parser.parse_args()
    if arguments.case:
        print(json.dumps(CASES[arguments.case](arguments.slide, arguments.tiff, arguments.shift,
                                               arguments.workers)))
        return
    os.environ.setdefault("TARN_LIBRARY", os.path.join(arguments.build, "libDecodeTarn.so.1"))
    sys.path.insert(0, os.path.join(ROOT, "bench", "python"))
    sys.path.insert(0, os.path.join(ROOT, "python"))
    import bench_tarnslide
    shared = argparse.Namespace(build=arguments.build, work=arguments.work, columns=64, rows=48)
    arguments.slide, _ = bench_tarnslide.prepare(shared)
    arguments.tiff = bench_tarnslide.make_tiff(arguments.slide,
                                               arguments.slide[:-len(".tarn")] + ".tif")
    plan = [("tarnslide", 0, 1), ("tarnslide", 1, 1), ("tarnslide", 0, 2),
            ("openslide", 0, 1), ("openslide", 1, 1), ("openslide", 0, 2), ("openslide", 1, 2)]
    arguments.skip_dataloader |= _IterableDataset is object
    if not arguments.skip_dataloader:
        plan += [("dataloader-tarnslide", 0, 1), ("dataloader-tarnslide", 0, 2),
                 ("dataloader-openslide", 0, 2)]
    print(f"{arguments.slide}: every {PATCH}x{PATCH} patch of level 0, {arguments.rounds} "
          f"rounds, load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores",
          flush=True)
    seconds = {case: [] for case in plan}
    for round_index in range(arguments.rounds):
        # The order turns between rounds, so that no case always goes first.
        turned = plan[round_index % len(plan):] + plan[:round_index % len(plan)]
        for case in turned:
            seconds[case].append(run_case(arguments, *case))
    for (name, shift, workers), spent in seconds.items():
        print(f"{name:22s} {'offset' if shift else 'aligned':8s} {workers} worker(s) "
              f"{statistics.median(s[0] for s in spent):8.2f} s wall "
              f"{statistics.median(s[1] for s in spent):8.2f} s processor", flush=True)
    single = 1 if arguments.clock == "cpu" else 0

    def ratio(label, over, under, goal, clock=0):
        ratios = [b[clock] / a[clock] for a, b in zip(seconds[over], seconds[under])]
        median = statistics.median(ratios)
        verdict = "" if goal is None else (
            f" (goal >= {goal}: {'ok' if median >= goal else 'BELOW GOAL'})")
        print(f"{label:62s} {median:6.2f} x{verdict}", flush=True)

    ratio("read_regions 1 worker / openslide 1 thread, aligned", ("tarnslide", 0, 1),
          ("openslide", 0, 1), 6, single)
    ratio("read_regions 1 worker / openslide 1 thread, offset by one", ("tarnslide", 1, 1),
          ("openslide", 1, 1), 3, single)
    ratio("read_regions 1 worker / openslide pool of 2, aligned", ("tarnslide", 0, 1),
          ("openslide", 0, 2), None)
    ratio("read_regions 1 worker / openslide pool of 2, offset by one", ("tarnslide", 1, 1),
          ("openslide", 1, 2), None)
    ratio("read_regions 2 workers / 1 worker, aligned", ("tarnslide", 0, 2),
          ("tarnslide", 0, 1), 1.8)
    if not arguments.skip_dataloader:
        ratio("DataLoader+PatchBatches 2 workers / 1 worker", ("dataloader-tarnslide", 0, 2),
              ("dataloader-tarnslide", 0, 1), 1.8)
        ratio("DataLoader+PatchBatches / DataLoader on openslide-python, 2 workers",
              ("dataloader-tarnslide", 0, 2), ("dataloader-openslide", 0, 2), 4)


if __name__ == "__main__":
    main()
