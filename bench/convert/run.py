#!/usr/bin/python3
"""The conversion benchmark: `tarn convert --format dicom` against OrthancWSIDicomizer and
`tarn convert --format tiff` against `vips tiffsave`, both reading the same slide through our
libopenslide.so.0, at the same thread count; `tarn convert` on 2 threads against 1; the peak
resident memory of each, also on a large slide; and the PSNR of each level of our TIFF against
the slide's pixels.

    bench/convert/run.py BUILD [--runs N] [--threads 1,2] [--formats dicom,tiff] [--slide FILE]
                               [--large FILE]

BUILD is a build tree with `tarn`, tarn-openslide/libopenslide.so.0 and
bench/write_bench_slide (cmake --build BUILD --target tarn tarn_openslide write_bench_slide).
The slide is the benchmark slide (24 x 16 tiles of 256, two layers), written into a temporary
folder, unless --slide names another; --large adds a memory run of `tarn convert` on that slide
(a 76.8k x 61.4k one: tarn sample FILE --columns 300 --rows 240 --layers 5).

libvips gets VIPS_CONCURRENCY=N for N threads and finds our library through LD_LIBRARY_PATH;
both keep the slide's colour table in a folder of the run's own (TARN_CACHE_DIR), filled by the
warm-up runs.
Every run is a fresh process writing a fresh output; the two programs run in turn (A B A B ...)
after one warm-up each, so that a machine whose speed drifts affects both alike. Figures: wall
time on CLOCK_MONOTONIC around the run, CPU time (user + sys) and peak resident memory
(ru_maxrss) of the finished process from wait4. Printed: medians, and the median of the ratios
of each pair.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


HERE = os.path.dirname(os.path.abspath(__file__))


def measure(command, out, folder=False, env=None):
    """Runs `command` once into `out`, removed first (made empty with `folder`): (wall s,
    cpu s, peak MiB)."""
    shutil.rmtree(out, ignore_errors=True)
    if os.path.isfile(out):
        os.remove(out)
    os.makedirs(out if folder else os.path.dirname(out), exist_ok=True)
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                               env=env)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    errors = process.stderr.read().decode(errors="replace")
    process.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{command[0]} failed:\n{errors}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def tarn_command(build, slide, out, threads, format_name="dicom"):
    return [os.path.join(build, "tarn"), "convert", slide, out, "--format", format_name,
            "--threads", str(threads), "--quiet"]


def vips_command(slide, out):
    return ["vips", "tiffsave", slide, out, "--tile", "--tile-width", "256", "--tile-height",
            "256", "--pyramid", "--compression", "jpeg", "--Q", "90", "--bigtiff"]


def vips_environment(build, threads):
    env = dict(os.environ, VIPS_CONCURRENCY=str(threads))
    env["LD_LIBRARY_PATH"] = os.path.join(build, "tarn-openslide")
    return env


def dicomizer_command(build, slide, out, threads):
    return ["OrthancWSIDicomizer",
            "--openslide=" + os.path.join(build, "tarn-openslide", "libopenslide.so.0"),
            "--threads", str(threads), "--tile-width", "256", "--tile-height", "256",
            "--jpeg-quality", "90", "--max-size", "0", "--pyramid", "1", "--folder", out, slide]


def pairs(a, b, runs):
    """Runs a() and b() in turn after a warm-up of each: their figures, run by run."""
    a()
    b()
    first, second = [], []
    for _ in range(runs):
        first.append(a())
        second.append(b())
    return first, second


def row(name, figures):
    walls, cpus, peaks = zip(*figures)
    wall, cpu = statistics.median(walls), statistics.median(cpus)
    return f"  {name:<34} wall {wall:7.2f} s   cpu {cpu:7.2f} s   peak {max(peaks):6.0f} MiB"


def ratio(name, numerators, denominators):
    values = [n[0] / d[0] for n, d in zip(numerators, denominators)]
    return (f"  {name:<34} {statistics.median(values):5.2f}x  (min {min(values):.2f}, "
            f"max {max(values):.2f}, {len(values)} pairs)")


def print_psnr(build, slide, tiff):
    """Our TIFF's levels read by OpenSlide against tarn_read_region's pixels (Debian's python3
    with python3-openslide and numpy)."""
    script = f"""
import ctypes, os, sys
import numpy as np, openslide
sys.path.insert(0, {os.path.join(HERE, os.pardir, os.pardir, "python")!r})
import tarnslide
from tarnslide import _capi
with openslide.OpenSlide({tiff!r}) as theirs, tarnslide.OpenSlide({slide!r}) as ours:
    for level, (w, h) in enumerate(theirs.level_dimensions):
        got = np.asarray(theirs.read_region((0, 0), level, (w, h)).convert("RGB"), np.float64)
        want = np.empty((h, w, 3), np.uint8)
        with ours._handle as pointer:
            if level < ours.level_count:
                _capi.tarn_read_region(pointer, want.ctypes.data_as(ctypes.c_void_p), 0, 0,
                                       level, w, h, 2)
            else:
                _capi.tarn_read_coarse_region(pointer, want.ctypes.data_as(ctypes.c_void_p),
                                              level - ours.level_count + 1, 0, 0, w, h, 2)
        error = np.mean((got - want) ** 2)
        print(f"  level {{level}}  {{w:>6}} x {{h:<6}} {{10 * np.log10(255 ** 2 / error):5.1f}} dB")
"""
    env = dict(os.environ, TARN_LIBRARY=os.path.join(build, "libDecodeTarn.so.1"))
    print("PSNR of tarn convert --format tiff's levels (OpenSlide) against the slide's pixels:")
    subprocess.run(["/usr/bin/python3", "-c", script], env=env, check=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--formats", default="dicom,tiff")
    parser.add_argument("--slide")
    parser.add_argument("--large")
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    work = tempfile.mkdtemp(prefix="tarn-convert-bench-")
    # Both sides read through our library, which keeps the slide's colour table in a folder
    # (built at the first run, mapped after, as on a user's machine): one of the run's own, so
    # that other users of the machine's folder cannot change what is measured.
    os.environ["TARN_CACHE_DIR"] = os.path.join(work, "cache")
    try:
        slide = options.slide
        if slide is None:
            slide = os.path.join(work, "bench.tarn")
            subprocess.run([os.path.join(build, "bench", "write_bench_slide"), slide], check=True)
        threads = [int(n) for n in options.threads.split(",")]
        print(f"{slide}: {options.runs} runs of each after a warm-up; load "
              f"{os.getloadavg()[0]:.1f} on {os.cpu_count()} processors")
        formats = options.formats.split(",")
        ours = {}
        for n in threads:
            print(f"{n} thread{'s' if n > 1 else ''}:")
            if "dicom" in formats:
                out_a, out_b = os.path.join(work, "tarn"), os.path.join(work, "dicomizer")
                ours[n], theirs = pairs(
                    lambda: measure(tarn_command(build, slide, out_a, n), out_a),
                    lambda: measure(dicomizer_command(build, slide, out_b, n), out_b,
                                    folder=True),  # it wants one there
                    options.runs)
                print(row("tarn convert --format dicom", ours[n]))
                print(row("OrthancWSIDicomizer --pyramid 1", theirs))
                print(ratio("speed, tarn over OrthancWSIDicomizer", theirs, ours[n]))
            if "tiff" in formats:
                out_a, out_b = os.path.join(work, "tarn.tiff"), os.path.join(work, "vips.tiff")
                env = vips_environment(build, n)
                tiff, theirs = pairs(
                    lambda: measure(tarn_command(build, slide, out_a, n, "tiff"), out_a),
                    lambda: measure(vips_command(slide, out_b), out_b, env=env), options.runs)
                print(row("tarn convert --format tiff", tiff))
                print(row("vips tiffsave --pyramid", theirs))
                print(ratio("speed, tarn over vips tiffsave", theirs, tiff))
                print(f"  output: tarn {os.path.getsize(out_a) / 2**20:.1f} MiB, "
                      f"vips {os.path.getsize(out_b) / 2**20:.1f} MiB")
        if "tiff" in formats:
            print_psnr(build, slide, os.path.join(work, "tarn.tiff"))
        if 1 in ours and 2 in ours:
            out = os.path.join(work, "tarn")
            one, two = pairs(lambda: measure(tarn_command(build, slide, out, 1), out),
                             lambda: measure(tarn_command(build, slide, out, 2), out),
                             options.runs)
            print(ratio("tarn convert, 2 threads over 1", one, two))
        if options.large:
            for format_name in formats:
                out = os.path.join(work, "large" + (".tiff" if format_name == "tiff" else ""))
                wall, cpu, peak = measure(tarn_command(build, options.large, out, 2,
                                                       format_name), out)
                print(f"{options.large}, {format_name}, 2 threads: wall {wall:.1f} s, "
                      f"cpu {cpu:.1f} s, peak {peak:.0f} MiB")
                shutil.rmtree(out, ignore_errors=True)
                if os.path.isfile(out):
                    os.remove(out)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"load {os.getloadavg()[0]:.1f} at the end")


if __name__ == "__main__":
    main()
