"""PyTorch datasets of slide patches, for ``torch.utils.data.DataLoader``.

:class:`PatchDataset` is map-style: one patch per item, read when asked for. :class:`PatchBatches`
is iterable: whole batches read by :meth:`tarnslide.OpenSlide.read_regions`, every stored tile a
batch touches decoded once; give it to a DataLoader with ``batch_size=None``. Both hold a slide's
path or URL, not an open slide, and open it lazily in each process that reads (DataLoader workers
under fork or spawn alike)::

    batches = PatchBatches("slide.tarn", tarnslide.patch_grid(slide, 256), (256, 256),
                           batch_size=64)
    for batch in DataLoader(batches, batch_size=None, num_workers=2):
        ...  # (64, 256, 256, 3) uint8 tensors
"""
from __future__ import annotations

import os
from typing import Any, Callable, Iterator, Optional, Sequence, Union

import numpy as np
import torch
import torch.utils.data

from tarnslide import _batches
from tarnslide._slide import OpenSlide

SlideSource = Union[str, "os.PathLike[str]", OpenSlide]


def _source(slide: SlideSource) -> str:
    """The path or URL a dataset reopens its slide by."""
    if isinstance(slide, OpenSlide):
        if slide.path is None:
            raise TypeError("a slide opened from a file object cannot be reopened by workers: "
                            "give its path or URL")
        return slide.path
    return os.fspath(slide)


class _LazySlide:
    """A slide opened on first use in each process, never pickled."""

    def __init__(self, path: str):
        self.path = path
        self._slide: Optional[OpenSlide] = None
        self._pid = 0

    def get(self) -> OpenSlide:
        if self._slide is None or self._pid != os.getpid():
            self._slide, self._pid = OpenSlide(self.path), os.getpid()
        return self._slide

    def __getstate__(self) -> dict:
        return {"path": self.path}

    def __setstate__(self, state: dict) -> None:
        self.__init__(state["path"])


class PatchDataset(torch.utils.data.Dataset):
    """Patches of `size` pixels of `level` at level-0 `locations`, one (h, w, channels) uint8
    tensor per item (or what `transform` makes of its numpy array)."""

    def __init__(self, slide: SlideSource, locations: Any, size: Sequence[int], *,
                 level: int = 0, mode: str = "RGB",
                 transform: Optional[Callable[[np.ndarray], Any]] = None):
        self._slide = _LazySlide(_source(slide))
        self.locations = _batches.locations_array(locations)
        self.size = (int(size[0]), int(size[1]))
        self.level, self.mode, self.transform = level, mode, transform

    def __len__(self) -> int:
        return len(self.locations)

    def __getitem__(self, index: int) -> Any:
        x, y = self.locations[index]
        pixels = self._slide.get().read_region((int(x), int(y)), self.level, self.size,
                                               as_array=True, mode=self.mode)
        return self.transform(pixels) if self.transform else torch.from_numpy(pixels)


class PatchBatches(torch.utils.data.IterableDataset):
    """Batches of patches, (batch, h, w, channels) uint8 tensors in the order of `locations`
    (or a `shuffle`d order, the same in every worker for one `seed` and epoch), the last one
    smaller unless `drop_last`. DataLoader workers take every n-th batch, so no patch is read
    twice; each worker reads its batches on `workers` library threads, `prefetch_factor`
    batches ahead."""

    def __init__(self, slide: SlideSource, locations: Any, size: Sequence[int], *,
                 batch_size: int = 64, level: int = 0, mode: str = "RGB",
                 shuffle: bool = False, seed: Optional[int] = None, drop_last: bool = False,
                 workers: int = 1, prefetch_factor: int = 2):
        if batch_size < 1:
            raise ValueError(f"batch_size must be at least 1, not {batch_size}")
        self._slide = _LazySlide(_source(slide))
        self.locations = _batches.locations_array(locations)
        self.size = (int(size[0]), int(size[1]))
        self.batch_size, self.level, self.mode = batch_size, level, mode
        self.shuffle, self.drop_last = shuffle, drop_last
        # Drawn here when not given, so that every worker shuffles alike.
        self.seed = seed if seed is not None else int(np.random.SeedSequence().entropy % 2**63)
        self.workers, self.prefetch_factor = workers, prefetch_factor
        self.epoch = 0

    def set_epoch(self, epoch: int) -> None:
        """Another shuffled order for each epoch (set it before the DataLoader iterates)."""
        self.epoch = epoch

    def __len__(self) -> int:
        whole, rest = divmod(len(self.locations), self.batch_size)
        return whole + (1 if rest and not self.drop_last else 0)

    def _order(self) -> np.ndarray:
        if not self.shuffle:
            return self.locations
        rng = np.random.default_rng([self.seed, self.epoch])
        return self.locations[rng.permutation(len(self.locations))]

    def __iter__(self) -> Iterator[torch.Tensor]:
        info = torch.utils.data.get_worker_info()
        share, index = (1, 0) if info is None else (info.num_workers, info.id)
        order = self._order()
        batches = range(index, len(self), share)
        if not batches:
            return
        mine = np.concatenate([order[b * self.batch_size:(b + 1) * self.batch_size]
                               for b in batches])
        for batch in self._slide.get().read_regions(
                mine, self.level, self.size, mode=self.mode, batch_size=self.batch_size,
                workers=self.workers, prefetch_factor=self.prefetch_factor):
            yield torch.from_numpy(batch)

