"""libopenslide.so.0 against its baselines, in fresh processes, medians of several rounds:

- random 512 x 512 reads of level 0 through openslide_read_region beside the same reads through
  tarn_read_region in BGRA (the same bytes), on the same slide with default settings
  (goal: at least 0.95 of tarn.h's speed);
- `vips dzsave` of the slide through libopenslide.so.0 beside libvips writing the same Deep Zoom
  pyramid from the same picture's pyramidal TIFF through the system's OpenSlide (`vips
  openslideload pyramid.tif out.dz[container=fs]`: `vips dzsave` itself would read a plain TIFF
  with its own loader, whose time is shown too) (goal: at least as fast).

    /usr/bin/python3 bench/openslide/bench_openslide.py [--build build] [--work DIR] [--rounds 7]

Run by hand on a quiet machine (not by the tests). Each figure is given on the clock and in
processor time (user + system, of the process and its threads), which a busy machine disturbs
less. The slide is the benchmark slide's size (24 x 16
tiles of 256, `tarn sample`) and its TIFF twin is written by libvips (`--tile --pyramid
--compression jpeg --Q 75`, tiles of 256) from the slide's own pixels; both stay in DIR.
"""
import argparse
import os
import resource
import shutil
import statistics
import subprocess
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--work", default="/tmp/tarn-openslide-bench")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--regions", type=int, default=200)
    return parser.parse_args()


def prepare(args):
    os.makedirs(args.work, exist_ok=True)
    tool = os.path.join(args.build, "tarn")
    slide = os.path.join(args.work, "bench.tarn")
    tiff = os.path.join(args.work, "bench.tif")
    if not os.path.exists(slide):
        subprocess.run([tool, "sample", slide, "--columns", "24", "--rows", "16"], check=True,
                       stdout=subprocess.DEVNULL)
    if not os.path.exists(tiff):
        info = subprocess.run([tool, "info", slide], check=True, capture_output=True,
                              text=True).stdout
        width = int(next(l.split()[1] for l in info.splitlines() if l.split()[:1] == ["ImageWidth"]))
        height = int(next(l.split()[1] for l in info.splitlines() if l.split()[:1] == ["ImageHeight"]))
        png = os.path.join(args.work, "picture.png")
        subprocess.run([tool, "region", slide, "--layer", "0", "--x", "0", "--y", "0", "--width",
                        str(width), "--height", str(height), "--output", png], check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(["vips", "tiffsave", png, tiff, "--tile", "--pyramid", "--compression",
                        "jpeg", "--Q", "75", "--tile-width", "256", "--tile-height", "256"],
                       check=True)
        os.remove(png)
    program = os.path.join(args.work, "region_bench")
    subprocess.run(["cc", "-O2", os.path.join(ROOT, "bench", "openslide", "region_bench.c"), "-o",
                    program, "-ldl"], check=True)
    return slide, tiff, program


def environment(ours):
    env = dict(os.environ)
    env.pop("LD_LIBRARY_PATH", None)
    if ours:
        env["LD_LIBRARY_PATH"] = ours
    return env


def timed(command, env, cwd):
    """Seconds on the clock and of processor time that `command` took."""
    def cpu():
        usage = resource.getrusage(resource.RUSAGE_CHILDREN)
        return usage.ru_utime + usage.ru_stime
    start, start_cpu = time.perf_counter(), cpu()
    subprocess.run(command, env=env, cwd=cwd, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start, cpu() - start_cpu


def main():
    args = arguments()
    slide, tiff, program = prepare(args)
    ours = os.path.abspath(os.path.join(args.build, "tarn-openslide"))  # the runs change folder
    libraries = {"openslide": os.path.join(ours, "libopenslide.so.0"),
                 "tarn": os.path.join(args.build, "libDecodeTarn.so.1")}
    # Colour tables are built once, before any timing.
    subprocess.run([program, "tarn", libraries["tarn"], slide, "1", "1"], check=True,
                   stdout=subprocess.DEVNULL)
    names = ("tarn.h", "libopenslide", "dz ours", "dz openslide", "dz tiffload")
    times = {name: ([], []) for name in names}  # clock, processor
    for round_ in range(args.rounds):
        seed = str(round_ + 1)
        sides = ["tarn", "openslide"] if round_ % 2 == 0 else ["openslide", "tarn"]
        for side in sides:
            out = subprocess.run([program, side, libraries[side], slide, str(args.regions), seed],
                                 check=True, capture_output=True, text=True).stdout.split()
            for k in range(2):
                times["tarn.h" if side == "tarn" else "libopenslide"][k].append(float(out[k]))

        runs = {
            "dz ours": (["vips", "dzsave", slide, "ours"], environment(ours)),
            "dz openslide": (["vips", "openslideload", tiff, "real.dz[container=fs]"],
                             environment(None)),
            "dz tiffload": (["vips", "dzsave", tiff, "tiffload"], environment(None)),
        }
        order = list(runs) if round_ % 2 == 0 else list(reversed(runs))
        for name in order:
            for leftover in ("ours", "real", "tiffload"):
                shutil.rmtree(os.path.join(args.work, leftover + "_files"), ignore_errors=True)
            for k, value in enumerate(timed(runs[name][0], runs[name][1], args.work)):
                times[name][k].append(value)

    def ratios(baseline, measured, k):
        """Median over rounds of baseline time / measured time: the measured side's speed."""
        return statistics.median(b / m for b, m in zip(times[baseline][k], times[measured][k]))

    def per_read(name, k):
        return statistics.median(times[name][k]) * 1000 / args.regions

    print(f"{args.regions} random 512 x 512 reads of level 0, {args.rounds} rounds, medians "
          "(clock / processor):")
    for label, name in (("tarn_read_region BGRA", "tarn.h"),
                        ("openslide_read_region", "libopenslide")):
        print(f"  {label:26} {per_read(name, 0):6.2f} / {per_read(name, 1):6.2f} ms")
    print(f"  speed through libopenslide.so.0 / tarn.h: {ratios('tarn.h', 'libopenslide', 0):.3f}"
          f" / {ratios('tarn.h', 'libopenslide', 1):.3f} (goal >= 0.95)")
    print("vips dzsave, seconds per run, medians (clock / processor):")
    for label, name in (("Tarn slide, libopenslide.so.0", "dz ours"),
                        ("TIFF, the system's OpenSlide", "dz openslide"),
                        ("TIFF, libvips' own TIFF loader", "dz tiffload")):
        print(f"  {label:31} {statistics.median(times[name][0]):6.2f} / "
              f"{statistics.median(times[name][1]):6.2f}")
    print(f"  speed of ours / the system's OpenSlide: {ratios('dz openslide', 'dz ours', 0):.3f}"
          f" / {ratios('dz openslide', 'dz ours', 1):.3f} (goal >= 1)")

if __name__ == "__main__":
    main()
