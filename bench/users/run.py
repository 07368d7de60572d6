"""Speeds as users meet them: four comparisons on an 8192 x 8192 slide (a 400 x 400 label, an
800 x 400 macrograph) and the same picture as a pyramidal JPEG TIFF, each side in fresh
processes with default settings, wall time (--clock cpu: processor time, for a shared machine),
the two sides in turns, medians of several rounds.

    /usr/bin/python3 bench/users/run.py [--build build] [--work DIR] [--rounds 5] [--only WORD]
                                        [--before DIR] [--clock wall|cpu]

1. the fixed interface's open + close (ZyOpenTarn + ZyCloseTarn; median of 30 in a process),
   alone and beside another open handle, against OpenSlide's open + close of the TIFF;
2. `vips dzsave` of the slide through this library's libopenslide.so.0 against `vips dzsave` of
   the TIFF, which vips reads with its own TIFF loader; and, as the floor any reader behind
   libopenslide.so.0 meets, the same with reads that cost nothing (bench/users/white_reads.c);
3. cold 512 x 512 regions (none touching a tile of the 16 before it) through tarn.h and through
   OpenSlide on the TIFF, taking turns region by region in one process, with one thread and with
   the default thread count, on this slide and on the benchmark slide of bench/ (24 x 16 tiles);
4. Deep Zoom tiles through tarnslide against openslide-python on the TIFF: 64 random tiles of the
   most detailed level and a viewer's 8 x 8 window there, get_tile and a PIL JPEG on both sides
   (the same user code), and tarnslide's own get_tile_jpeg.

The slides and their TIFFs are written once into DIR (bench/convert/WriteBenchSlide.cpp) and
kept. --before DIR adds the fixed interface's open against another build of the library.
Prints a Markdown table: each ratio reads baseline time / library time (above 1: this library is
faster), except open + close, whose goal is a time.
"""
import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PYTHON = "/usr/bin/python3"  # Debian's, with python3-openslide


def parse_arguments() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--work", default="/tmp/tarn-users-bench")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--only", default="", help="run only the parts whose name holds this: "
                        "open, dzsave, regions, deepzoom")
    parser.add_argument("--before", default="",
                        help="adds a row of the fixed interface's open against another build "
                        "(the directory of its libDecodeTarn.so.1)")
    parser.add_argument("--clock", choices=("wall", "cpu"), default="wall",
                        help="what is timed: wall time (what a user waits, the default), or the "
                        "processor time of the measured processes, for a machine others share")
    parser.add_argument("--deepzoom-child", nargs=4, metavar=("KIND", "PATH", "PATTERN", "SEED"),
                        help=argparse.SUPPRESS)
    return parser.parse_args()


def prepare(arguments: argparse.Namespace, which: str) -> tuple[str, str]:
    """A benchmark slide and its TIFF twin, written once."""
    os.makedirs(arguments.work, exist_ok=True)
    slide = os.path.join(arguments.work, f"{which}.tarn")
    tiff = os.path.join(arguments.work, f"{which}.tif")
    if not (os.path.exists(slide) and os.path.exists(tiff)):
        subprocess.run(["cmake", "--build", arguments.build, "--target", "write_bench_slide",
                        "tarn_peer_probe"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run([os.path.join(arguments.build, "bench", "write_bench_slide"), slide,
                        which, tiff], check=True, stdout=subprocess.DEVNULL)
    return slide, tiff


CLOCK = "wall"


def children_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def run(command: list[str], env: dict[str, str] | None = None) -> tuple[float, str]:
    """Runs a command to its end: its time in seconds (CLOCK) and what it printed."""
    start = time.monotonic() if CLOCK == "wall" else children_cpu()
    done = subprocess.run(command, env=env, check=True, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True)
    end = time.monotonic() if CLOCK == "wall" else children_cpu()
    return end - start, done.stdout


def environment(**extra: str) -> dict[str, str]:
    env = dict(os.environ)
    env.update(extra)
    return env


class Table:
    """The rows printed as they are measured."""

    def __init__(self, rounds: int) -> None:
        self.rounds = rounds
        print("| Measure | Library | Baseline | Ratio | Goal |\n|---|---|---|---|---|", flush=True)

    def pairs(self, name: str, measure, goal: str, unit: str = "ms") -> None:
        """`measure(round)` gives (library, baseline) in seconds; one untimed round first."""
        measure(-1)
        library, baseline, ratios = [], [], []
        for round_index in range(self.rounds):
            ours, theirs = measure(round_index)
            library.append(ours)
            baseline.append(theirs)
            ratios.append(theirs / ours)
        scale = 1000.0 if unit == "ms" else 1.0
        print(f"| {name} | {statistics.median(library) * scale:.2f} {unit} | "
              f"{statistics.median(baseline) * scale:.2f} {unit} | "
              f"{statistics.median(ratios):.2f} | {goal} |", flush=True)


def in_turns(round_index: int, ours, theirs) -> tuple[float, float]:
    """Both sides, the first changing from round to round."""
    if round_index % 2 == 0:
        first = ours()
        return first, theirs()
    second = theirs()
    return ours(), second


def bench_opens(table: Table, probe: str, slide: str, tiff: str, before: str) -> None:
    timed = environment(TARN_PROBE_CLOCK=CLOCK)

    def opens(kind: str, path: str, other: bool, env: dict[str, str] = timed) -> float:
        command = [probe, "open", kind, path, "30"] + ([path] if other else [])
        return float(run(command, env)[1]) / 1e6

    for other, label in ((False, "alone"), (True, "another handle open")):
        table.pairs(f"Open + close, fixed interface, {label}, vs OpenSlide on the TIFF",
                    lambda r, o=other: in_turns(r, lambda: opens("fixed", slide, o),
                                                lambda: opens("openslide", tiff, o)),
                    "library <= 1 ms")
    if before:
        other_build = environment(TARN_PROBE_CLOCK=CLOCK, LD_LIBRARY_PATH=before)
        table.pairs("Open + close, fixed interface, alone, this build vs --before",
                    lambda r: in_turns(r, lambda: opens("fixed", slide, False),
                                       lambda: opens("fixed", slide, False, other_build)), "")


def bench_dzsave(table: Table, build: str, work: str, slide: str, tiff: str) -> None:
    ours_env = environment(LD_LIBRARY_PATH=os.path.join(build, "tarn-openslide"))

    def dzsave(path: str, env: dict[str, str] | None) -> float:
        with tempfile.TemporaryDirectory(prefix="tarn-dz-") as out:
            return run(["vips", "dzsave", path, os.path.join(out, "tiles")], env)[0]

    table.pairs("vips dzsave, our libopenslide.so.0 vs vips' TIFF loader",
                lambda r: in_turns(r, lambda: dzsave(slide, ours_env),
                                   lambda: dzsave(tiff, None)), ">= 0.8", unit="s")
    # The floor of any reader behind libopenslide.so.0: reads that cost nothing.
    white = os.path.join(work, "white_reads.so")
    subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-o", white,
                    os.path.join(ROOT, "bench", "users", "white_reads.c")], check=True)
    free_env = dict(ours_env, LD_PRELOAD=white)
    table.pairs("vips dzsave, reads at no cost behind libopenslide.so.0, vs vips' TIFF loader",
                lambda r: in_turns(r, lambda: dzsave(slide, free_env),
                                   lambda: dzsave(tiff, None)), "the floor", unit="s")


def bench_regions(table: Table, probe: str, slides: dict[str, tuple[str, str]]) -> None:
    for name, (slide, tiff) in slides.items():
        columns = "32" if name == "users" else "24"
        rows = "32" if name == "users" else "16"
        for threads, label in (("1", "one thread"), ("", "default threads")):
            env = environment(TARN_PROBE_CLOCK=CLOCK)
            if threads:
                env["TARN_NUM_THREADS"] = threads
            else:
                env.pop("TARN_NUM_THREADS", None)

            def pair(_round: int, env: dict[str, str] = env, slide: str = slide,
                     tiff: str = tiff, columns: str = columns,
                     rows: str = rows) -> tuple[float, float]:
                command = [probe, "pair", slide, tiff, columns, rows, "100"]
                ours, theirs = run(command, env)[1].split()
                return float(ours) / 1e6, float(theirs) / 1e6

            table.pairs(f"100 cold 512 x 512 regions, {name} slide, tarn.h vs OpenSlide, one "
                        f"process, {label}", pair, ">= 3")


def deepzoom_child(kind: str, path: str, pattern: str, seed: int, clock: str) -> None:
    """In a fresh process: opens the slide, times its Deep Zoom tiles, prints seconds."""
    import io
    import random

    if kind == "openslide":
        import openslide
        from openslide.deepzoom import DeepZoomGenerator
        dz = DeepZoomGenerator(openslide.OpenSlide(path))
    else:
        import tarnslide
        from tarnslide.deepzoom import DeepZoomGenerator
        dz = DeepZoomGenerator(tarnslide.OpenSlide(path))
    generator = random.Random(seed)
    level = dz.level_count - 1
    columns, rows = dz.level_tiles[level]
    if pattern == "random":
        tiles = [(generator.randrange(columns), generator.randrange(rows)) for _ in range(64)]
    else:
        left, top = generator.randrange(columns - 8), generator.randrange(rows - 8)
        tiles = [(left + c, top + r) for r in range(8) for c in range(8)]
    now = time.monotonic if clock == "wall" else time.process_time
    start = now()
    for address in tiles:
        if kind == "tarnslide-jpeg":
            dz.get_tile_jpeg(level, address, 75)
        else:
            dz.get_tile(level, address).save(io.BytesIO(), "jpeg", quality=75)
    print(now() - start)


def bench_deepzoom(table: Table, build: str, slide: str, tiff: str) -> None:
    env = environment(TARN_LIBRARY=os.path.join(build, "libDecodeTarn.so.1"),
                      PYTHONPATH=os.path.join(ROOT, "python"))

    def tiles(kind: str, path: str, pattern: str, seed: int) -> float:
        command = [PYTHON, os.path.abspath(__file__), "--clock", CLOCK, "--deepzoom-child", kind,
                   path, pattern, str(seed)]
        return float(run(command, env)[1])

    for pattern, label in (("random", "64 random deepest-level tiles"),
                           ("window", "a viewer's 8 x 8 window")):
        for kind, how in (("tarnslide", "get_tile + PIL JPEG both"),
                          ("tarnslide-jpeg", "tarnslide get_tile_jpeg")):
            table.pairs(f"Deep Zoom, {label}, {how}, vs openslide-python",
                        lambda r, k=kind, p=pattern: in_turns(
                            r, lambda: tiles(k, slide, p, 100 + r),
                            lambda: tiles("openslide", tiff, p, 100 + r)), ">= 3")


def main() -> None:
    global CLOCK
    arguments = parse_arguments()
    CLOCK = arguments.clock
    if arguments.deepzoom_child:
        kind, path, pattern, seed = arguments.deepzoom_child
        deepzoom_child(kind, path, pattern, int(seed), CLOCK)
        return
    slide, tiff = prepare(arguments, "users")
    slides = {"users": (slide, tiff), "benchmark": prepare(arguments, "jpeg")}
    probe = os.path.join(arguments.build, "bench", "tarn_peer_probe")
    table = Table(max(1, arguments.rounds))
    parts = {"open": lambda: bench_opens(table, probe, slide, tiff, arguments.before),
             "dzsave": lambda: bench_dzsave(table, arguments.build, arguments.work, slide, tiff),
             "regions": lambda: bench_regions(table, probe, slides),
             "deepzoom": lambda: bench_deepzoom(table, arguments.build, slide, tiff)}
    for name, part in parts.items():
        if arguments.only in name:
            part()


if __name__ == "__main__":
    sys.exit(main())
