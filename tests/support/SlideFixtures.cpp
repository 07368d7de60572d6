#include "support/SlideFixtures.h"

#include <algorithm>

#include "DecodeTarn.h"
#include "HevcEncoder.h"
#include "support/TestFiles.h"

namespace tarntest {
namespace {

struct Fixture {
    tarnwriter::SlideFile slide;
    std::string path;
};

Fixture Write(const tarnwriter::SlideSpec& spec, const char* name) {
    Fixture fixture{tarnwriter::BuildSlide(spec), TestDirectory() + "/" + name};
    tarnwriter::WriteFile(fixture.path, fixture.slide.bytes);
    return fixture;
}

const Fixture& JpegFixture() {
    static const Fixture fixture = [] {
        tarnwriter::SlideSpec spec;
        spec.tileWidth = 128;
        spec.tileHeight = 96;
        tarnwriter::LayerSpec base;
        base.xCount = 4;
        base.yCount = 3;
        base.boundWidth = 50;
        base.boundHeight = 20;
        base.emptyTiles = {5, 10};
        tarnwriter::LayerSpec half;
        half.xCount = 2;
        half.yCount = 2;
        half.boundWidth = 30;
        spec.layers = {base, half};
        ApplyTestColours(&spec);
        return Write(spec, "jpeg.tarn");
    }();
    return fixture;
}

const Fixture& HevcFixture(bool allIntra) {
    auto make = [](bool intra) {
        tarnwriter::SlideSpec spec;
        spec.tileWidth = 96;
        spec.tileHeight = 64;
        spec.compressionType = ZY_COMPRESSION_HEVC;
        spec.tileEncoder = tarnwriter::HevcTiles(intra ? tarnwriter::HevcStream::AllIntra
                                                       : tarnwriter::HevcStream::Default);
        tarnwriter::LayerSpec base;
        base.xCount = 3;
        base.yCount = 2;
        base.emptyTiles = {4};
        spec.layers = {base};
        ApplyTestColours(&spec);
        return Write(spec, intra ? "hevc-intra.tarn" : "hevc.tarn");
    };
    static const Fixture reordered = make(false);
    static const Fixture intra = make(true);
    return allIntra ? intra : reordered;
}

}  // namespace

tarnwriter::Bytes WithBrokenTile(const tarnwriter::SlideFile& slide, uint32_t index) {
    tarnwriter::Bytes bytes = slide.bytes;
    const uint64_t at = slide.layout.tileOffsets[0][index];
    const uint64_t size = std::min<uint64_t>(slide.layout.tileSizes[0][index], 64);
    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), size, 0);
    return bytes;
}

tarnwriter::SlideSpec WorkedExampleSpec() {
    using tarnwriter::Bytes;
    tarnwriter::SlideSpec spec;
    spec.label = {Bytes(1000, 0x11), 500, 480, 3};
    spec.macrograph = {Bytes(3000, 0x22), 1500, 480, 3};
    spec.thumbnail = Bytes(5000, 0x33);
    spec.thumbWidth = 1024;
    spec.thumbHeight = 768;
    tarnwriter::LayerSpec layer;
    layer.xCount = 3;
    layer.yCount = 2;
    layer.tiles = {Bytes(100, 1), {}, Bytes(250, 2), Bytes(80, 3), {}, Bytes(90, 4)};
    spec.layers = {layer};
    return spec;
}

void ApplyTestColours(tarnwriter::SlideSpec* spec) {
    spec->gamma = 1.4F;
    spec->gains[0] = 0.95F;
    spec->gains[2] = 0.9F;
    spec->hsvScale[1] = 1.1F;
}

const std::string& JpegSlidePath() {
    return JpegFixture().path;
}
const tarnwriter::SlideFile& JpegSlide() {
    return JpegFixture().slide;
}
const std::string& HevcSlidePath(bool allIntra) {
    return HevcFixture(allIntra).path;
}
const tarnwriter::SlideFile& HevcSlide(bool allIntra) {
    return HevcFixture(allIntra).slide;
}

}  // namespace tarntest
