"""Batched patch reads (read_regions on the library's batch calls), patch grids, and the PyTorch
datasets under DataLoader workers that fork and that spawn."""
import importlib.util

import numpy as np
import pytest

import tarnslide

LOCATIONS = [(0, 0), (1, 1), (255, 255), (-20, -30), (1200, 700), (700, 0), (0, 0), (5000, 9)]


def singles(slide, locations, level, size, mode="RGBA"):
    return np.stack([slide.read_region(tuple(int(v) for v in location), level, size,
                                       as_array=True, mode=mode) for location in locations])


def test_batches_equal_single_reads_whatever_the_locations_come_as(slide):
    expected = singles(slide, LOCATIONS, 1, (130, 90))
    for locations in (LOCATIONS, np.array(LOCATIONS, dtype=np.int32), iter(LOCATIONS)):
        np.testing.assert_array_equal(slide.read_regions(locations, 1, (130, 90)), expected)
    np.testing.assert_array_equal(slide.read_regions(LOCATIONS, 1, (130, 90), num_workers=2),
                                  expected)
    batches = list(slide.read_regions((p for p in LOCATIONS), 1, (130, 90), batch_size=3,
                                      workers=2, prefetch_factor=1))
    assert [b.shape for b in batches] == [(3, 90, 130, 4)] * 2 + [(2, 90, 130, 4)]
    np.testing.assert_array_equal(np.concatenate(batches), expected)
    kept = list(slide.read_regions(LOCATIONS, 1, (130, 90), batch_size=3, drop_last=True,
                                   prefetch_factor=0))
    np.testing.assert_array_equal(np.concatenate(kept), expected[:6])
    shuffled = [np.concatenate(list(slide.read_regions(LOCATIONS, 1, (130, 90), batch_size=4,
                                                       shuffle=True, seed=3)))
                for _ in range(2)]
    np.testing.assert_array_equal(shuffled[0], shuffled[1])
    order = np.random.default_rng(3).permutation(len(LOCATIONS))
    np.testing.assert_array_equal(shuffled[0], expected[order])
    with pytest.raises(TypeError):
        slide.read_regions(LOCATIONS, 1, (8, 8), workers=1, num_workers=2)
    with pytest.raises(ValueError):
        slide.read_regions(LOCATIONS, 1, (8, 8), batch_size=0)
    with pytest.raises(TypeError):
        slide.read_regions([(0.5, 1)], 0, (8, 8))


def test_patch_grid_covers_the_level_and_follows_the_tissue_mask(slide):
    width, height = slide.level_dimensions[1]
    grid = tarnslide.patch_grid(slide, 100, level=1, stride=(150, 100))
    xs = list(range(0, width - 99, 150))
    ys = list(range(0, height - 99, 100))
    assert grid.shape == (len(xs) * len(ys), 2)
    ds = slide.level_downsamples[1]
    np.testing.assert_array_equal(grid[:len(xs), 0] // ds, xs)  # level pixels, row by row
    np.testing.assert_array_equal(grid[::len(xs), 1] // ds, ys)
    level0 = tarnslide.patch_grid(slide, (256, 128))
    assert len(level0) == (slide.dimensions[0] // 256) * (slide.dimensions[1] // 128)
    mask = np.zeros((10, 10), dtype=bool)
    mask[0, 0] = True  # only the top-left tenth has tissue
    kept = tarnslide.patch_grid(slide, 100, tissue=mask)
    assert len(kept) and (kept < [slide.dimensions[0] // 10 + 1,
                                  slide.dimensions[1] // 10 + 1]).all()
    assert len(tarnslide.patch_grid(slide, 100, tissue=0.5)) <= len(tarnslide.patch_grid(slide,
                                                                                          100))
    with pytest.raises(ValueError):
        tarnslide.patch_grid(slide, 100, tissue=1.5)


def _dataloader_reads(path, method):
    import torch.utils.data

    from tarnslide.torch import PatchBatches, PatchDataset

    with tarnslide.TarnSlide(path) as slide:
        locations = tarnslide.patch_grid(slide, 96, stride=150)
        expected = slide.read_regions(locations, 0, (96, 64), mode="RGB")
    patches = torch.utils.data.DataLoader(PatchDataset(path, locations, (96, 64)), batch_size=5,
                                          num_workers=2, multiprocessing_context=method)
    np.testing.assert_array_equal(torch.cat(list(patches)).numpy(), expected)
    batches = PatchBatches(path, locations, (96, 64), batch_size=4, workers=2)
    loaded = list(torch.utils.data.DataLoader(batches, batch_size=None, num_workers=2,
                                              multiprocessing_context=method))
    assert len(loaded) == len(batches) and all(len(b) <= 4 for b in loaded)
    # Each worker takes every other batch: together every patch once.
    got = torch.cat(loaded).numpy()
    assert len(got) == len(expected)
    assert sorted(map(bytes, got)) == sorted(map(bytes, expected))


@pytest.mark.skipif(importlib.util.find_spec("torch") is None, reason="PyTorch is not installed")
@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_torch_datasets_under_dataloader_workers(slides, method):
    _dataloader_reads(slides["jpeg"], method)
