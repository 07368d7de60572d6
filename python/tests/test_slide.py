"""OpenSlide's API on Tarn slides, checked against the pixels of the fixed interface."""
import numpy as np
import pytest

import tarnslide
from conftest import fixed_rgb


def test_levels_and_properties_follow_the_slide(slide):
    assert slide.level_count == 3
    assert slide.dimensions == (5 * 256 - 37, 3 * 256 - 21)
    assert slide.level_dimensions[1] == (slide.dimensions[0] // 2, slide.dimensions[1] // 2)
    assert slide.level_downsamples == (1.0, 2.0, 4.0)
    properties = slide.properties
    assert properties[tarnslide.PROPERTY_NAME_VENDOR] == "tarn"
    assert float(properties[tarnslide.PROPERTY_NAME_MPP_X]) == pytest.approx(0.25)
    assert float(properties[tarnslide.PROPERTY_NAME_MPP_Y]) == pytest.approx(0.25)
    assert float(properties[tarnslide.PROPERTY_NAME_OBJECTIVE_POWER]) == 40
    assert properties["openslide.level-count"] == "3"
    for level, (width, height) in enumerate(slide.level_dimensions):
        assert int(properties[f"openslide.level[{level}].width"]) == width
        assert int(properties[f"openslide.level[{level}].height"]) == height
        assert float(properties[f"openslide.level[{level}].downsample"]) == \
            slide.level_downsamples[level]
    for name in ("x", "y", "width", "height"):
        assert int(properties[f"openslide.bounds-{name}"]) >= 0
    assert any(name.startswith("tarn.") for name in properties)
    with pytest.raises(TypeError):
        properties["openslide.vendor"] = "other"  # read-only
    assert properties.get("no such property") is None


def test_best_level_takes_the_largest_downsample_not_above(slide):
    assert [slide.get_best_level_for_downsample(d) for d in (0.5, 1, 1.9, 2, 3.9, 4, 100)] == \
        [0, 0, 0, 1, 1, 2, 2]


@pytest.mark.parametrize("kind", ["jpeg", "hevc"])
def test_regions_equal_the_fixed_interface_inside_the_picture(slides, kind):
    with tarnslide.open_slide(slides[kind]) as slide:
        for level in range(slide.level_count):
            scale = int(slide.level_downsamples[level])
            width, height = slide.level_dimensions[level]
            x, y, w, h = width // 5, height // 4, width // 2, height // 2
            expected = fixed_rgb(slides[kind], level, x, y, w, h)
            image = slide.read_region((x * scale, y * scale), level, (w, h))
            assert image.mode == "RGBA" and image.size == (w, h)
            pixels = np.asarray(image)
            np.testing.assert_array_equal(pixels[..., :3], expected)
            assert (pixels[..., 3] == 255).all()
            np.testing.assert_array_equal(slide.read_region(
                (x * scale, y * scale), level, (w, h), as_array=True, mode="RGB"), expected)


def test_every_layout_holds_the_same_pixels(slide):
    rgba = slide.read_region((100, 50), 0, (64, 32), as_array=True)
    assert rgba.shape == (32, 64, 4) and rgba.dtype == np.uint8
    views = {"RGBA": rgba, "RGB": rgba[..., :3], "BGRA": rgba[..., [2, 1, 0, 3]],
             "BGR": rgba[..., 2::-1]}
    for mode, expected in views.items():
        np.testing.assert_array_equal(
            slide.read_region((100, 50), 0, (64, 32), as_array=True, mode=mode), expected)
    image = slide.read_region((100, 50), 0, (64, 32), mode="RGB")
    assert image.mode == "RGB"
    np.testing.assert_array_equal(np.asarray(image), views["RGB"])
    with pytest.raises(ValueError):
        slide.read_region((0, 0), 0, (4, 4), mode="BGR")  # PIL has no such image
    with pytest.raises(ValueError):
        slide.read_region((0, 0), 0, (4, 4), as_array=True, mode="CMYK")


def test_outside_the_picture_is_transparent_or_white(slide):
    width, height = slide.dimensions
    inside = fixed_rgb(slide.path, 0, width - 40, height - 30, 40, 30)
    rgba = slide.read_region((width - 40, height - 30), 0, (100, 80), as_array=True)
    np.testing.assert_array_equal(rgba[:30, :40, :3], inside)
    outside = np.ones((80, 100), bool)
    outside[:30, :40] = False
    assert (rgba[outside] == 0).all() and (rgba[:30, :40, 3] == 255).all()
    rgb = slide.read_region((width - 40, height - 30), 0, (100, 80), as_array=True, mode="RGB")
    assert (rgb[outside] == 255).all()
    before = slide.read_region((-10, -20), 0, (30, 30), as_array=True)
    assert (before[:20] == 0).all() and (before[:, :10] == 0).all()
    np.testing.assert_array_equal(before[20:, 10:, :3], fixed_rgb(slide.path, 0, 0, 0, 20, 10))
    assert slide.read_region((0, 0), 0, (0, 5)).size == (0, 5)
    assert slide.read_region((0, 0), 0, (7, 0), as_array=True).shape == (0, 7, 4)


def test_many_regions_on_threads_equal_single_reads(slide):
    rng = np.random.default_rng(7)
    locations = [tuple(int(v) for v in rng.integers(-50, 1200, 2)) for _ in range(24)]
    batch = slide.read_regions(locations, 1, (48, 40), workers=3)
    assert batch.shape == (24, 40, 48, 4)
    for location, pixels in zip(locations, batch):
        np.testing.assert_array_equal(pixels, slide.read_region(location, 1, (48, 40),
                                                                as_array=True))
    ahead = list(slide.read_regions(locations, 1, (48, 40), workers=2, mode="RGB",
                                    iterator=True))
    on_white = np.where(batch[..., 3:] == 255, batch[..., :3], 255)  # RGB shows outside white
    np.testing.assert_array_equal(np.stack(ahead), on_white)
    reused = np.zeros_like(batch)
    assert slide.read_regions(locations, 1, (48, 40), workers=2, out=reused) is reused
    np.testing.assert_array_equal(reused, batch)
    first = reused[0]
    assert slide.read_region(locations[0], 1, (48, 40), out=first) is first
    with pytest.raises(ValueError):
        slide.read_region(locations[0], 1, (40, 48), out=first)  # not its shape
    assert slide.read_regions([], 0, (8, 8)).shape == (0, 8, 8, 4)
    with pytest.raises(tarnslide.TarnError):
        slide.read_regions([(0, 0), (5, 5)], 9, (8, 8), workers=2)


def test_associated_images_and_thumbnail(slide):
    images = slide.associated_images
    assert set(images) == {"label", "macro", "thumbnail"}
    sizes = {name: image.size for name, image in images.items()}
    assert sizes == {"label": (200, 100), "macro": (300, 100), "thumbnail": (160, 120)}
    assert all(image.mode == "RGBA" for image in images.values())
    assert np.asarray(images["label"])[..., 3].min() == 255
    with pytest.raises(KeyError):
        images["slide"]
    thumbnail = slide.get_thumbnail((200, 200))
    assert thumbnail.mode == "RGB" and max(thumbnail.size) == 200
    assert thumbnail.size[1] == pytest.approx(200 * slide.dimensions[1] / slide.dimensions[0],
                                              abs=1)


def test_caches_serve_repeated_reads(slide, slides):
    cache = tarnslide.TarnCache(32 << 20)
    assert cache.capacity == 32 << 20
    slide.set_cache(cache)
    for _ in range(3):
        slide.read_region((300, 300), 0, (256, 256))
    stats = cache.stats()
    assert stats["capacity"] == 32 << 20 and stats["hits"] > 0
    cache.capacity = 0
    assert cache.stats()["bytes"] == 0
    with tarnslide.TarnSlide(slides["hevc"]) as other:
        other.set_cache(cache)  # one cache, several slides
        other.set_cache(None)  # the default cache again
    with pytest.raises(TypeError):
        slide.set_cache("cache")
