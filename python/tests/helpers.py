"""Code that runs in the processes the tests start (importable there by name)."""
import os
import signal
import threading
import time

import tarnslide

inherited = None  # a slide a forked child finds already open


def read_inherited(location, size, connection):
    connection.send(inherited.read_region(location, 0, size, as_array=True))


def read_passed(slide, location, size, connection):
    connection.send((slide.path, slide.read_region(location, 0, size, as_array=True)))


def read_patch(arguments):
    slide, location = arguments
    return slide.read_region(location, 0, (32, 32), as_array=True)


try:
    from distributed.diagnostics.plugin import WorkerPlugin
except ImportError:  # the tests that need it skip
    WorkerPlugin = object


class KillOnce(WorkerPlugin):
    """A dask worker plugin: the first worker to run one of the named tasks kills its own
    process as soon as that task has written its first file into `folder` (the marker file
    makes it happen once in the whole cluster)."""

    name = "kill-once"

    def __init__(self, key_prefix, marker, folder):
        self.key_prefix, self.marker, self.folder = key_prefix, marker, folder

    def transition(self, key, start, finish, **kwargs):
        if finish != "executing" or not str(key).startswith(self.key_prefix):
            return
        try:
            os.close(os.open(self.marker, os.O_CREAT | os.O_EXCL))
        except FileExistsError:
            return
        before = self._files()
        threading.Thread(target=self._kill_after_a_write, args=(before,), daemon=True).start()

    def _files(self):
        found = set()
        for root, _, names in os.walk(self.folder):
            found.update(os.path.join(root, name) for name in names if name.endswith(".jpeg"))
        return found

    def _kill_after_a_write(self, before):
        deadline = time.monotonic() + 5
        while not self._files() - before and time.monotonic() < deadline:
            time.sleep(0.001)
        os.kill(os.getpid(), signal.SIGKILL)


class Patches:
    """A map-style dataset of patches of one slide, as a training pipeline holds it."""

    def __init__(self, slide, locations, size):
        self.slide, self.locations, self.size = slide, locations, size

    def __len__(self):
        return len(self.locations)

    def __getitem__(self, index):
        import torch

        return torch.from_numpy(self.slide.read_region(self.locations[index], 0, self.size,
                                                       as_array=True, mode="RGB"))


def library_threads():
    return tarnslide.get_threads()
