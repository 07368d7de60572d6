"""Reads every DICOM instance of a folder with pydicom, as a PACS or a viewer would.

Usage: check_instances.py FOLDER. Checks, for each *.dcm: the frame count against the grid of
the total pixel matrix, the encapsulated frames (their count, the first decoded with PIL at the
frame size), the Extended Offset Table where present (every frame it points at is the frame the
items hold), and that the instances share study, series and frame of reference. Each *.json is
read with Dataset.from_json. Prints one line per file and exits non-zero on the first fault.
"""

import io
import json
import math
import struct
import sys
from pathlib import Path
from typing import List

import pydicom
from pydicom.encaps import generate_pixel_data_frame
from PIL import Image


def frames_by_extended_table(ds: pydicom.Dataset) -> List[bytes]:
    """The frames as the Extended Offset Table locates them in the encapsulated pixel data."""
    count = len(ds.ExtendedOffsetTable) // 8
    offsets = struct.unpack(f"<{count}Q", ds.ExtendedOffsetTable)
    lengths = struct.unpack(f"<{count}Q", ds.ExtendedOffsetTableLengths)
    data = ds.PixelData
    tag, element, bot_length = struct.unpack("<HHI", data[:8])
    assert (tag, element) == (0xFFFE, 0xE000), "pixel data starts without an item"
    assert bot_length == 0, "the Basic Offset Table must be empty beside an extended one"
    first = 8
    frames = []
    for offset, length in zip(offsets, lengths):
        head = first + offset
        tag, element, item_length = struct.unpack("<HHI", data[head:head + 8])
        assert (tag, element) == (0xFFFE, 0xE000), f"no item at offset {offset}"
        assert item_length == length, "an item's length differs from the table's"
        frames.append(data[head + 8:head + 8 + length])
    return frames


def check_instance(path: Path) -> pydicom.Dataset:
    """Checks one instance file; returns its dataset."""
    ds = pydicom.dcmread(path)
    assert ds.file_meta.TransferSyntaxUID == "1.2.840.10008.1.2.4.50", path
    assert ds.SOPClassUID == "1.2.840.10008.5.1.4.1.1.77.1.6", path
    across = math.ceil(ds.TotalPixelMatrixColumns / ds.Columns)
    down = math.ceil(ds.TotalPixelMatrixRows / ds.Rows)
    frames_count = int(ds.NumberOfFrames)
    assert frames_count == across * down, f"{path}: {frames_count} frames, grid {across}x{down}"
    frames = list(generate_pixel_data_frame(ds.PixelData, frames_count))
    assert len(frames) == frames_count, f"{path}: {len(frames)} frames encapsulated"
    image = Image.open(io.BytesIO(frames[0]))
    image.load()
    assert image.size == (ds.Columns, ds.Rows), f"{path}: first frame is {image.size}"
    note = ""
    if "ExtendedOffsetTable" in ds:
        located = frames_by_extended_table(ds)
        assert len(located) == frames_count, path
        for by_table, by_item in zip(located, frames):
            assert by_table == by_item, f"{path}: the extended table points elsewhere"
        last = Image.open(io.BytesIO(located[-1]))
        last.load()
        assert last.size == (ds.Columns, ds.Rows), path
        note = ", extended offset table"
    print(f"{path.name}: {ds.ImageType[2]} {ds.TotalPixelMatrixColumns}x{ds.TotalPixelMatrixRows},"
          f" {frames_count} frames{note}")
    return ds


def main() -> int:
    """Checks the folder named on the command line."""
    folder = Path(sys.argv[1])
    datasets = [check_instance(path) for path in sorted(folder.glob("*.dcm"))]
    assert datasets, "no instances"
    for keyword in ("StudyInstanceUID", "SeriesInstanceUID", "FrameOfReferenceUID"):
        values = {getattr(ds, keyword) for ds in datasets}
        assert len(values) == 1, f"{keyword} differs between instances"
    uids = [ds.SOPInstanceUID for ds in datasets]
    assert len(set(uids)) == len(uids), "two instances share a SOP Instance UID"
    for path in sorted(folder.glob("*.json")):
        ds = pydicom.Dataset.from_json(json.loads(path.read_text()),
                                       bulk_data_uri_handler=lambda uri: b"\0\0")
        assert ds.SOPClassUID == "1.2.840.10008.5.1.4.1.1.77.1.6", path
        print(f"{path.name}: DICOM JSON of {ds.ImageType[2]}, {len(ds)} attributes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
