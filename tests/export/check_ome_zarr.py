"""Reads an OME-Zarr output with Debian's python3-zarr and Dask, as an analysis would.

Usage: check_ome_zarr.py MANIFEST. The manifest (JSON, written by the test beside the
references) names the output and, for each level and associated image, the shape and scale it
must declare and the raw RGB references of its pixels: those it must hold exactly, and, for the
levels, level 0's box means, against which the PSNR is printed. Checks the NGFF 0.4 metadata
(axes, scales, channels), every array's declaration, the pixels read through zarr and through
Dask, that chunks of pure white are left out and every other one is there, and that edge chunks
are padded with white. Prints one line per array and exits non-zero on the first fault.
"""

import json
import math
import sys
from pathlib import Path
from typing import Any, Dict, List

import dask.array
import numpy as np
import zarr


def reference(manifest_dir: Path, name: str, height: int, width: int) -> np.ndarray:
    """A raw interleaved RGB reference as an array of shape (3, height, width)."""
    raw = np.fromfile(manifest_dir / name, dtype=np.uint8)
    assert raw.size == height * width * 3, f"{name}: {raw.size} bytes"
    return raw.reshape(height, width, 3).transpose(2, 0, 1)


def psnr(a: np.ndarray, b: np.ndarray) -> float:
    """Peak signal-to-noise ratio in dB of two uint8 arrays (inf when equal)."""
    mse = float(np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2))
    return math.inf if mse == 0 else 10 * math.log10(255.0**2 / mse)


def check_image_attributes(attrs: Dict[str, Any], name: str, paths: List[str],
                           scales: List[List[float]], unit: bool) -> None:
    """The multiscales and omero members of an image group, as viewers read them."""
    (multiscale,) = attrs["multiscales"]
    assert multiscale["version"] == "0.4" and multiscale["name"] == name, multiscale
    axes = [(a["name"], a["type"], a.get("unit")) for a in multiscale["axes"]]
    um = "micrometer" if unit else None
    assert axes == [("c", "channel", None), ("y", "space", um), ("x", "space", um)], axes
    datasets = multiscale["datasets"]
    assert [d["path"] for d in datasets] == paths, datasets
    for dataset, scale in zip(datasets, scales):
        (transform,) = dataset["coordinateTransformations"]
        assert transform["type"] == "scale", transform
        assert transform["scale"] == scale, f"{dataset['path']}: {transform} != {scale}"
    channels = attrs["omero"]["channels"]
    assert [(c["label"], c["color"], c["active"]) for c in channels] == [
        ("red", "FF0000", True), ("green", "00FF00", True), ("blue", "0000FF", True)], channels
    for channel in channels:
        assert channel["window"] == {"min": 0, "max": 255, "start": 0, "end": 255}, channel


def check_array(root: Path, group: zarr.Group, path: str, expected: np.ndarray, chunk: int,
                compressor: str) -> np.ndarray:
    """One array's declaration, chunk files and pixels through zarr and Dask."""
    array = group[path]
    assert array.shape == expected.shape, f"{path}: shape {array.shape}"
    assert array.chunks == (3, chunk, chunk), f"{path}: chunks {array.chunks}"
    assert array.dtype == np.uint8 and array.fill_value == 255 and array.order == "C", path
    assert array.compressor.codec_id == compressor, f"{path}: {array.compressor}"
    declared = json.loads((root / path / ".zarray").read_text())
    assert declared["dimension_separator"] == "/" and declared["filters"] is None, declared
    pixels = array[:]
    assert np.array_equal(pixels, expected), f"{path}: pixels differ from the reference"

    # Chunks of the fill value are left out; the others are whole, white past the picture.
    _, height, width = expected.shape
    for row in range(math.ceil(height / chunk)):
        for column in range(math.ceil(width / chunk)):
            file = root / path / "0" / str(row) / str(column)
            block = expected[:, row * chunk:(row + 1) * chunk, column * chunk:(column + 1) * chunk]
            if np.all(block == 255):
                assert not file.exists(), f"{file}: a white chunk is written"
                continue
            assert file.is_file(), f"{file}: missing"
            stored = np.frombuffer(array.compressor.decode(file.read_bytes()), dtype=np.uint8)
            stored = stored.reshape(3, chunk, chunk)
            h, w = block.shape[1:]
            assert np.array_equal(stored[:, :h, :w], block), f"{file}: differs"
            assert np.all(stored[:, h:, :] == 255) and np.all(stored[:, :, w:] == 255), (
                f"{file}: not padded with white")

    lazy = dask.array.from_zarr(str(root), component=path)
    assert lazy.shape == expected.shape and lazy.chunksize == (3, min(chunk, height),
                                                               min(chunk, width)), lazy
    mean = float(lazy.mean().compute())
    assert abs(mean - float(expected.mean())) < 1e-9, f"{path}: Dask's mean is {mean}"
    return pixels


def main() -> int:
    manifest_path = Path(sys.argv[1])
    manifest = json.loads(manifest_path.read_text())
    here = manifest_path.parent
    root = Path(manifest["output"])
    group = zarr.open_group(str(root), mode="r")
    chunk, compressor = manifest["chunk"], manifest["compressor"]

    levels = manifest["levels"]
    attrs = group.attrs.asdict()
    check_image_attributes(attrs, manifest["name"], [str(k) for k in range(len(levels))],
                           [level["scale"] for level in levels], True)
    names = [image["name"] for image in manifest["associated"]]
    assert attrs["tarn"]["colorspace"] == "sRGB" and attrs["tarn"]["associated"] == names, attrs
    assert sorted(k for k, _ in group.groups()) == sorted(names), list(group.group_keys())

    for k, level in enumerate(levels):
        height, width = level["height"], level["width"]
        exact = reference(here, level["exact"], height, width)
        pixels = check_array(root, group, str(k), exact, chunk, compressor)
        mean_height, mean_width = level["mean_height"], level["mean_width"]
        means = reference(here, level["mean"], mean_height, mean_width)
        h, w = min(height, mean_height), min(width, mean_width)
        quality = psnr(pixels[:, :h, :w], means[:, :h, :w])
        print(f"level {k}: 3 x {height} x {width}, scale {level['scale']}, as its source; "
              f"PSNR {quality:.1f} dB against level 0's means")
        assert quality >= level["least_psnr"], f"level {k}: PSNR {quality:.1f} dB"

    for image in manifest["associated"]:
        name, height, width = image["name"], image["height"], image["width"]
        sub = group[name]
        check_image_attributes(sub.attrs.asdict(), name, ["0"], [[1, 1, 1]], False)
        check_array(root / name, sub, "0", reference(here, image["exact"], height, width),
                    chunk, compressor)
        print(f"{name}: 3 x {height} x {width}, as read from the slide")
    return 0


if __name__ == "__main__":
    sys.exit(main())
