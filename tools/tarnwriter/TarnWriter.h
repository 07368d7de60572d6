// Writes Tarn slide files of every shape the format allows, for tests, benchmarks, fuzz seeds and
// the `tarn sample` command. The library itself never writes slides.
//
// A slide is described by a SlideSpec; BuildSlide lays it out and reports where every record and
// tile landed (SlideLayout), so that tests can check offsets and damage files at exact places.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tarnwriter {

using Bytes = std::vector<uint8_t>;

// Pixels in blue, green, red order, 3 bytes each, rows top to bottom with no gap.
struct Image {
    uint32_t width = 0;
    uint32_t height = 0;
    Bytes bgr;
};

// Tissue-like content: stained nuclei, cytoplasm, fibres and background glass with texture, so
// that codec and colour faults show. The same seed gives the same picture; `scale` > 1 renders a
// zoomed-out view (layer k of a pyramid uses 2^k), so layers of one slide show the same tissue.
Image RenderTissue(int64_t x0, int64_t y0, uint32_t width, uint32_t height, double scale = 1.0,
                   uint32_t seed = 1);

// Encoders. JPEG through libjpeg from BGR; BMP bottom-up with rows padded to 4 bytes.
Bytes EncodeJpeg(const Image& image, int quality = 75);
Bytes EncodeBmp(const Image& image, int bitsPerPixel = 24);

// Turns the picture of one tile into its stored bytes.
using TileEncoder = std::function<Bytes(const Image& tile)>;
TileEncoder JpegTiles(int quality = 75);

// An associated image: the stored bytes and the sizes its record announces.
struct StoredImage {
    Bytes data;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t channels = 3;
};
StoredImage JpegImage(const Image& image, int quality = 90);

struct LayerSpec {
    uint32_t xCount = 1;
    uint32_t yCount = 1;
    uint32_t boundWidth = 0;
    uint32_t boundHeight = 0;
    // Entries of the tile size table; default xCount * yCount.
    std::optional<uint32_t> tileCount;
    // Stored bytes of every tile in index order. When empty, tiles are rendered from the tissue at
    // this layer's scale and encoded with the slide's tile encoder.
    std::vector<Bytes> tiles;
    // Indices of tiles to store as empty (size 0), applied to rendered tiles.
    std::vector<uint32_t> emptyTiles;
    // Filler bytes between the end of the previous item and this layer's record.
    uint64_t gapBefore = 0;
    // Scale at which rendered tiles show the tissue; default 2^layer index.
    std::optional<double> scale;
};

struct SlideSpec {
    // Header.
    uint32_t tileWidth = 256;
    uint32_t tileHeight = 256;
    uint32_t compressionType = 0;  // 0 JPEG, 4 HEVC
    uint8_t quality = 75;
    float ratio = 2.0F;
    double mpp = 0.25;
    uint32_t appMag = 40;
    std::optional<uint32_t> imageWidth;       // default: layer 0 picture width
    std::optional<uint32_t> imageHeight;      // default: layer 0 picture height
    std::optional<uint32_t> layerCount;       // header's Layer; default layers.size()
    std::optional<uint32_t> macrographCount;  // default 2 with labels, 0 without

    // Fixed information area: person record at 156 and the extra slot at 6964.
    bool personInfo = true;
    bool extraInfo = true;  // ExtraInfoFlag, and a valid "EI" record in the slot
    float gamma = 1.0F;
    float gains[3] = {1.0F, 1.0F, 1.0F};
    float hsvScale[3] = {1.0F, 1.0F, 1.0F};
    float colorMatrix[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};

    // Label and macrograph (both or neither).
    bool labels = true;
    StoredImage label;           // default: a rendered 200 x 100 JPEG
    StoredImage macrograph;      // default: a rendered 300 x 100 JPEG
    uint64_t gapAfterLabel = 0;  // filler between the label's bytes and the macrograph record

    // Thumbnail: stored bytes, their DataFormat (0 JPEG, 1 BMP, other values allowed) and the
    // header's ThumbWidth and ThumbHeight.
    Bytes thumbnail;  // default: a rendered 160 x 120 JPEG of the tissue
    uint8_t thumbnailFormat = 0;
    std::optional<uint32_t> thumbWidth;
    std::optional<uint32_t> thumbHeight;
    uint64_t gapBeforeThumbnail = 0;

    std::vector<LayerSpec> layers;
    TileEncoder tileEncoder;  // default: JpegTiles(75) for compression 0
    uint32_t seed = 1;
};

// Where BuildSlide put things: absolute file offsets.
struct SlideLayout {
    std::vector<uint64_t> macroRecords;  // label, macrograph heads
    std::vector<uint64_t> macroData;     // their JPEG bytes
    uint64_t thumbnailRecord = 0;
    uint64_t thumbnailData = 0;
    std::vector<uint64_t> layerRecords;
    std::vector<uint64_t> tileTables;
    std::vector<std::vector<uint64_t>> tileOffsets;
    std::vector<std::vector<uint32_t>> tileSizes;
    uint64_t end = 0;  // first byte after the last tile
};

struct SlideFile {
    Bytes bytes;
    SlideLayout layout;
};

SlideFile BuildSlide(const SlideSpec& spec);

// A small slide of the usual shape: JPEG tiles, label, macrograph, JPEG thumbnail, `layers`
// layers halving in size from a layer 0 of xCount x yCount tiles.
SlideSpec SampleSpec(uint32_t xCount = 4, uint32_t yCount = 3, uint32_t layers = 2);

// Every part of a slide at the smallest sizes that still show something: 64 x 48 JPEG tiles, 3 x 2
// on layer 0 with one empty tile and a bound area, 2 x 1 on layer 1, small label, macrograph and
// thumbnail. Fuzz seeds and damaged-slide cases start from it.
SlideSpec TinySpec();

// libjpeg alone, without colour correction: the reference decoder of tests and benchmarks.
// Decodes into `pixels` (resized to fit) in libjpeg colour space `space` (default JCS_EXT_BGR);
// false on a fatal error.
bool DecodeJpeg(const uint8_t* jpeg, size_t size, Bytes* pixels, uint32_t* width = nullptr,
                uint32_t* height = nullptr, int space = 8);

// Files.
void WriteFile(const std::string& path, const Bytes& bytes);
Bytes ReadFile(const std::string& path);

// A fresh directory under the system's temporary directory, removed with its contents when the
// object goes.
class ScratchDirectory {
  public:
    explicit ScratchDirectory(const std::string& prefix);
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Damage, for tests of hostile files.
void PutU8(Bytes& bytes, uint64_t offset, uint8_t value);
void PutU32(Bytes& bytes, uint64_t offset, uint32_t value);
void PutU64(Bytes& bytes, uint64_t offset, uint64_t value);
void PutF32(Bytes& bytes, uint64_t offset, float value);
void PutF64(Bytes& bytes, uint64_t offset, double value);
uint32_t GetU32(const Bytes& bytes, uint64_t offset);
uint64_t GetU64(const Bytes& bytes, uint64_t offset);

}  // namespace tarnwriter
