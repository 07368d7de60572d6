#include "BenchSlides.h"

#include <cstdio>
#include <cstdlib>

#include "HevcEncoder.h"
#include "tarn.h"

namespace tarnbench {
namespace {

BenchSlide Make(uint32_t columns, uint32_t rows, const char* name, bool hevc = false) {
    tarnwriter::SlideSpec spec = tarnwriter::SampleSpec(columns, rows, 2);
    if (hevc) {
        spec.compressionType = 4;
        spec.tileEncoder = tarnwriter::HevcTiles(tarnwriter::HevcStream::Default);
    }
    spec.gamma = 1.2F;  // a slide with its own colours, as scanners write them
    spec.gains[2] = 0.95F;
    BenchSlide slide{BenchDirectory() + "/" + name, spec, tarnwriter::BuildSlide(spec)};
    tarnwriter::WriteFile(slide.path, slide.file.bytes);
    return slide;
}

}  // namespace

const std::string& BenchDirectory() {
    static const tarnwriter::ScratchDirectory directory("tarn-bench");
    return directory.path();
}

const BenchSlide& JpegSlide() {
    static const BenchSlide slide = Make(24, 16, "jpeg.tarn");
    return slide;
}

// Big enough that a whole-slide export is dominated by its tiles, as on a real slide, not by
// starting up; 64 distinct tissue tiles repeat over the grid to keep writing it quick.
const BenchSlide& HevcSlide() {
    static const BenchSlide slide = Make(8, 6, "hevc.tarn", true);
    return slide;
}

const BenchSlide& ExportSlide() {
    static const BenchSlide slide = [] {
        tarnwriter::SlideSpec spec = tarnwriter::SampleSpec(64, 48, 1);
        spec.gamma = 1.2F;
        spec.gains[2] = 0.95F;
        std::vector<tarnwriter::Bytes> distinct;
        for (int i = 0; i < 64; ++i)
            distinct.push_back(tarnwriter::EncodeJpeg(
                tarnwriter::RenderTissue((i % 8) * 256, (i / 8) * 256, 256, 256, 1.0, 7), 75));
        for (uint32_t t = 0; t < 64 * 48; ++t)
            spec.layers[0].tiles.push_back(distinct[t % 61]);
        BenchSlide made{BenchDirectory() + "/export.tarn", spec, tarnwriter::BuildSlide(spec)};
        tarnwriter::WriteFile(made.path, made.file.bytes);
        return made;
    }();
    return slide;
}

const BenchSlide& UsersSlide() {
    static const BenchSlide slide = [] {
        tarnwriter::SlideSpec spec = tarnwriter::SampleSpec(32, 32, 6);
        for (tarnwriter::LayerSpec& layer : spec.layers)
            layer.boundWidth = layer.boundHeight = 0;
        spec.gamma = 1.2F;
        spec.gains[2] = 0.95F;
        spec.label = tarnwriter::JpegImage(tarnwriter::RenderTissue(0, 0, 400, 400, 4.0), 90);
        spec.macrograph = tarnwriter::JpegImage(tarnwriter::RenderTissue(0, 0, 800, 400, 8.0), 90);
        BenchSlide made{BenchDirectory() + "/users.tarn", spec, tarnwriter::BuildSlide(spec)};
        tarnwriter::WriteFile(made.path, made.file.bytes);
        return made;
    }();
    return slide;
}

int64_t PictureWidth(const BenchSlide& slide) {
    return int64_t{slide.spec.layers[0].xCount} * slide.spec.tileWidth -
           slide.spec.layers[0].boundWidth;
}

int64_t PictureHeight(const BenchSlide& slide) {
    return int64_t{slide.spec.layers[0].yCount} * slide.spec.tileHeight -
           slide.spec.layers[0].boundHeight;
}

bool WritePyramidTiff(const BenchSlide& bench, const std::string& tiff) {
    const int64_t width = PictureWidth(bench), height = PictureHeight(bench);
    tarn_slide* slide = tarn_open(bench.path.c_str());
    std::vector<uint8_t> rgb(static_cast<size_t>(width * height * 3));
    const bool read =
        tarn_read_region(slide, rgb.data(), 0, 0, 0, width, height, TARN_FORMAT_RGB) == 0;
    tarn_close(slide);
    const std::string ppm = tiff + ".ppm";
    FILE* file = read ? fopen(ppm.c_str(), "wb") : nullptr;
    if (file == nullptr) return false;
    fprintf(file, "P6\n%lld %lld\n255\n", static_cast<long long>(width),
            static_cast<long long>(height));
    const bool written = fwrite(rgb.data(), 1, rgb.size(), file) == rgb.size();
    fclose(file);
    const std::string command = "vips tiffsave '" + ppm + "' '" + tiff +
                                "' --tile --pyramid --compression jpeg --Q 75 "
                                "--tile-width 256 --tile-height 256";
    const bool saved = written && system(command.c_str()) == 0;
    remove(ppm.c_str());
    return saved;
}

const std::string& PyramidTiff() {
    static const std::string path = []() -> std::string {
        const std::string tiff = BenchDirectory() + "/pyramid.tif";
        return WritePyramidTiff(JpegSlide(), tiff) ? tiff : "";
    }();
    return path;
}

tarnwriter::Bytes StoredTile(const BenchSlide& slide, uint32_t x, uint32_t y) {
    const size_t index = size_t{y} * slide.spec.layers[0].xCount + x;
    const uint64_t offset = slide.file.layout.tileOffsets[0][index];
    const uint32_t size = slide.file.layout.tileSizes[0][index];
    return tarnwriter::Bytes(slide.file.bytes.begin() + static_cast<ptrdiff_t>(offset),
                             slide.file.bytes.begin() + static_cast<ptrdiff_t>(offset + size));
}

}  // namespace tarnbench
