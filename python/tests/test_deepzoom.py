"""Deep Zoom: the library's geometry against hand-worked cases and against OpenSlide's own
generator, and its tiles against the regions behind them."""
import io
import xml.etree.ElementTree as ElementTree

import numpy as np
import pytest
from PIL import Image

import tarnslide
from tarnslide.deepzoom import DeepZoomGenerator


def test_hand_worked_geometry(slide):
    # 1243 x 747 pixels, levels downsampled by 2 and 4; tiles of 254 with 1 pixel of overlap.
    tiles = DeepZoomGenerator(slide)
    assert tiles.level_count == 12
    assert tiles.level_dimensions[-1] == (1243, 747)
    assert tiles.level_dimensions[-2] == (622, 374)
    assert tiles.level_dimensions[0] == (1, 1)
    assert tiles.level_tiles[-1] == (5, 3) and tiles.level_tiles[-3] == (2, 1)
    assert tiles.tile_count == sum(c * r for c, r in tiles.level_tiles)
    top = tiles.level_count - 1
    # Inner tiles reach one pixel into their neighbours on each inner side.
    assert tiles.get_tile_coordinates(top, (1, 0)) == ((253, 0), 0, (256, 255))
    assert tiles.get_tile_dimensions(top, (1, 0)) == (256, 255)
    # The last tiles stop at the picture's edge.
    assert tiles.get_tile_coordinates(top, (4, 2)) == ((1015, 507), 0, (228, 240))
    # Half size comes from level 1 unscaled.
    assert tiles.get_tile_coordinates(top - 1, (0, 0)) == ((0, 0), 1, (255, 255))
    # A quarter from level 2 (310 x 186): the last column has 57 pixels there for 58 of tile.
    assert tiles.get_tile_coordinates(top - 2, (1, 0)) == ((1012, 0), 2, (57, 186))
    assert tiles.get_tile_dimensions(top - 2, (1, 0)) == (58, 187)
    flat = DeepZoomGenerator(slide, tile_size=512, overlap=0)
    assert flat.get_tile_coordinates(flat.level_count - 1, (2, 1)) == ((1024, 512), 0, (219, 235))


def test_hand_worked_geometry_within_bounds(slides):
    # 1243 x 1003 pixels whose first column and row of tiles are empty: the bounds are 987 x 747
    # at (256, 256), and the levels shrink by that much: 621 x 501 shows as 494 x 374.
    with tarnslide.TarnSlide(slides["margin"]) as slide:
        assert [slide.properties[f"openslide.bounds-{n}"] for n in ("x", "y", "width", "height")] \
            == ["256", "256", "987", "747"]
        tiles = DeepZoomGenerator(slide, limit_bounds=True)
        assert tiles.level_dimensions[-3:] == ((247, 187), (494, 374), (987, 747))
        top = tiles.level_count - 1
        assert tiles.level_tiles[top] == (4, 3)
        assert tiles.get_tile_coordinates(top, (0, 0)) == ((256, 256), 0, (255, 255))
        assert tiles.get_tile_coordinates(top, (3, 2)) == ((1017, 763), 0, (226, 240))
        assert tiles.get_tile_coordinates(top - 1, (1, 1)) == ((762, 762), 1, (241, 121))
        whole = DeepZoomGenerator(slide)
        assert whole.level_dimensions[-1] == (1243, 1003) and whole.level_tiles[-1] == (5, 4)


def _stand_in(slide):
    """A plain object with the slide's attributes: all OpenSlide's generator reads."""
    class StandIn:
        dimensions = slide.dimensions
        level_dimensions = slide.level_dimensions
        level_downsamples = slide.level_downsamples
        properties = dict(slide.properties)
        get_best_level_for_downsample = staticmethod(slide.get_best_level_for_downsample)

    return StandIn()


@pytest.mark.parametrize("name,tile_size,overlap,limit_bounds", [
    ("jpeg", 254, 1, False), ("jpeg", 254, 1, True), ("jpeg", 256, 0, False),
    ("odd", 126, 1, True), ("odd", 100, 3, False), ("hevc", 510, 1, True),
    ("margin", 254, 1, True), ("margin", 240, 0, True), ("margin", 254, 1, False)])
def test_geometry_equals_openslides_generator(slides, name, tile_size, overlap, limit_bounds):
    reference = pytest.importorskip("openslide.deepzoom", reason="python3-openslide is missing")
    with tarnslide.TarnSlide(slides[name]) as slide:
        ours = DeepZoomGenerator(slide, tile_size, overlap, limit_bounds)
        theirs = reference.DeepZoomGenerator(_stand_in(slide), tile_size, overlap, limit_bounds)
        assert ours.level_count == theirs.level_count
        assert ours.level_tiles == theirs.level_tiles
        assert ours.level_dimensions == theirs.level_dimensions
        assert ours.tile_count == theirs.tile_count
        for level, (columns, rows) in enumerate(ours.level_tiles):
            for address in ((c, r) for c in range(columns) for r in range(rows)):
                assert ours.get_tile_coordinates(level, address) == \
                    theirs.get_tile_coordinates(level, address), (level, address)
                assert ours.get_tile_dimensions(level, address) == \
                    theirs.get_tile_dimensions(level, address), (level, address)
        mine, other = (ElementTree.fromstring(dz.get_dzi("png")) for dz in (ours, theirs))
        assert mine.tag == other.tag and mine.attrib == other.attrib
        assert [child.attrib for child in mine] == [child.attrib for child in other]


@pytest.mark.parametrize("over_the_array", [True, False])  # with and without Pillow's mapping
def test_tiles_are_the_regions_behind_them(slide, monkeypatch, over_the_array):
    monkeypatch.setattr(tarnslide._pixels, "MAPS_IMAGES",
                        over_the_array and tarnslide._pixels.MAPS_IMAGES)
    tiles = DeepZoomGenerator(slide, tile_size=200, overlap=2)
    top = tiles.level_count - 1
    for address in ((0, 0), (2, 1), (6, 3)):
        tile = tiles.get_tile(top, address)
        location, level, size = tiles.get_tile_coordinates(top, address)
        assert tile.mode == "RGB" and tile.size == size
        np.testing.assert_array_equal(np.asarray(tile), np.asarray(
            slide.read_region(location, level, size, mode="RGB")))
    # Scaled tiles: close to the region scaled by PIL (the filters differ a little).
    location, level, size = tiles.get_tile_coordinates(top - 3, (0, 0))
    tile = tiles.get_tile(top - 3, (0, 0))
    expected = slide.read_region(location, level, size, mode="RGB").resize(
        tile.size, Image.Resampling.LANCZOS)
    difference = np.abs(np.asarray(tile, np.int16) - np.asarray(expected, np.int16))
    assert difference.mean() < 4
    jpeg = Image.open(io.BytesIO(tiles.get_tile_jpeg(top - 3, (0, 0), quality=90)))
    assert jpeg.format == "JPEG" and jpeg.size == tile.size
    assert np.abs(np.asarray(jpeg, np.int16) - np.asarray(tile, np.int16)).mean() < 4
    with pytest.raises(ValueError):
        tiles.get_tile_jpeg(top, (0, 0), quality=0)
    with pytest.raises(ValueError):
        tiles.get_dzi("gif")
