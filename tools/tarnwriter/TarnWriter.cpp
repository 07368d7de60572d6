// Lays out a Tarn file from a SlideSpec: header, the fixed information area, the label and
// macrograph chain, the thumbnail, and every layer with its tile size table and tiles.
#include "TarnWriter.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <unordered_set>

namespace tarnwriter {
namespace {

constexpr uint64_t kHeadSize = 156;
constexpr uint64_t kPersonOffset = 156;
constexpr uint64_t kExtraOffset = 6964;
constexpr uint64_t kChainStart = 7732;
constexpr uint64_t kMacroRecordSize = 123;
constexpr uint64_t kPicRecordSize = 122;

void PutMagic(Bytes& bytes, uint64_t offset, const char* magic) {
    bytes[offset] = static_cast<uint8_t>(magic[0]);
    bytes[offset + 1] = static_cast<uint8_t>(magic[1]);
}

// Grows the file to `offset` (filler bytes), failing if something already lies beyond it.
void PadTo(Bytes& bytes, uint64_t offset) {
    if (bytes.size() > offset) throw std::logic_error("slide items overlap a fixed position");
    bytes.resize(offset, 0xA5);
}

void Append(Bytes& bytes, const Bytes& more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
}

// The encoded tiles of one layer, rendered from the tissue unless given.
std::vector<Bytes> LayerTiles(const SlideSpec& spec, const LayerSpec& layer, size_t index) {
    const uint32_t gridTiles = layer.xCount * layer.yCount;
    const uint32_t count = layer.tileCount.value_or(gridTiles);
    std::vector<Bytes> tiles = layer.tiles;
    if (tiles.empty() && count > 0) {
        const TileEncoder encode = spec.tileEncoder ? spec.tileEncoder : JpegTiles(75);
        const double scale = layer.scale.value_or(std::ldexp(1.0, static_cast<int>(index)));
        const uint64_t pictureWidth = uint64_t{layer.xCount} * spec.tileWidth - layer.boundWidth;
        const uint64_t pictureHeight = uint64_t{layer.yCount} * spec.tileHeight - layer.boundHeight;
        const std::unordered_set<uint32_t> empty(layer.emptyTiles.begin(), layer.emptyTiles.end());
        for (uint32_t i = 0; i < std::min(count, gridTiles); ++i) {
            if (empty.count(i) != 0) {  // cleared below: not worth rendering
                tiles.emplace_back();
                continue;
            }
            const uint32_t tx = i % layer.xCount, ty = i / layer.xCount;
            const int64_t x0 = int64_t{tx} * spec.tileWidth, y0 = int64_t{ty} * spec.tileHeight;
            Image tile = RenderTissue(x0, y0, spec.tileWidth, spec.tileHeight, scale, spec.seed);
            // The grid beyond the picture is padding: white.
            for (uint32_t y = 0; y < spec.tileHeight; ++y)
                for (uint32_t x = 0; x < spec.tileWidth; ++x)
                    if (uint64_t(x0 + x) >= pictureWidth || uint64_t(y0 + y) >= pictureHeight)
                        memset(&tile.bgr[(size_t{y} * spec.tileWidth + x) * 3], 0xFF, 3);
            tiles.push_back(encode(tile));
        }
    }
    tiles.resize(count);
    for (uint32_t empty : layer.emptyTiles)
        if (empty < tiles.size()) tiles[empty].clear();
    return tiles;
}

Bytes Header(const SlideSpec& spec) {
    Bytes head(kHeadSize, 0);
    PutMagic(head, 0, "ZY");
    const uint32_t macroCount = spec.macrographCount.value_or(spec.labels ? 2 : 0);
    PutU32(head, 30, macroCount);
    PutU32(head, 34, spec.personInfo ? 1 : 0);
    PutU32(head, 38, spec.layerCount.value_or(static_cast<uint32_t>(spec.layers.size())));
    uint32_t width = 0, height = 0;
    if (!spec.layers.empty()) {
        const LayerSpec& base = spec.layers[0];
        width = base.xCount * spec.tileWidth - base.boundWidth;
        height = base.yCount * spec.tileHeight - base.boundHeight;
    }
    PutU32(head, 42, spec.imageWidth.value_or(width));
    PutU32(head, 46, spec.imageHeight.value_or(height));
    PutU32(head, 50, spec.tileWidth);
    PutU32(head, 54, spec.tileHeight);
    PutU8(head, 67, spec.quality);
    PutF32(head, 72, spec.ratio);
    PutF64(head, 76, spec.mpp);
    PutU32(head, 84, spec.appMag);
    PutU64(head, 88, spec.personInfo && spec.extraInfo ? 1 : 0);
    PutU32(head, 104, spec.compressionType);
    return head;
}

Bytes PersonRecord() {
    Bytes person(kExtraOffset - kPersonOffset, 0);
    PutMagic(person, 0, "PI");
    const char kName[] = "Synthetic specimen";
    memcpy(&person[2], kName, sizeof kName);
    return person;
}

Bytes ExtraRecord(const SlideSpec& spec) {
    Bytes extra(kChainStart - kExtraOffset, 0);
    if (!spec.extraInfo) return extra;  // the slot stays reserved
    PutMagic(extra, 0, "EI");
    PutF32(extra, 34, spec.gamma);
    for (int i = 0; i < 3; ++i)
        PutF32(extra, 38 + 4 * i, spec.gains[i]);
    for (int i = 0; i < 3; ++i)
        PutF32(extra, 50 + 4 * i, spec.hsvScale[i]);
    for (int i = 0; i < 9; ++i)
        PutF32(extra, 62 + 4 * i, spec.colorMatrix[i]);
    return extra;
}

Image Label(uint32_t width, uint32_t height) {
    // A printed label: white with a barcode.
    Image image{width, height, Bytes(size_t{width} * height * 3, 0xF4)};
    for (uint32_t x = width / 8; x < width * 7 / 8; ++x) {
        if (((x * 2654435761U) >> 29) & 1U) continue;
        for (uint32_t y = height / 4; y < height * 3 / 4; ++y)
            memset(&image.bgr[(size_t{y} * width + x) * 3], 0x18, 3);
    }
    return image;
}

void WriteMacroRecord(Bytes& file, const StoredImage& image, uint64_t nextOffset) {
    const uint64_t at = file.size();
    file.resize(at + kMacroRecordSize, 0);
    PutMagic(file, at, "MI");
    PutU32(file, at + 10, image.width);
    PutU32(file, at + 14, image.height);
    PutU32(file, at + 18, image.channels);
    PutU64(file, at + 34, image.data.size());
    PutU64(file, at + 43, nextOffset);
    Append(file, image.data);
}

}  // namespace

SlideFile BuildSlide(const SlideSpec& spec) {
    SlideFile out;
    SlideLayout& layout = out.layout;
    Bytes& file = out.bytes;

    StoredImage label = spec.label, macrograph = spec.macrograph;
    if (label.data.empty()) label = JpegImage(Label(200, 100));
    if (macrograph.data.empty())
        macrograph = JpegImage(RenderTissue(0, 0, 300, 100, 40.0, spec.seed + 1));
    Bytes thumbnail = spec.thumbnail;
    uint32_t thumbWidth = spec.thumbWidth.value_or(0), thumbHeight = spec.thumbHeight.value_or(0);
    if (thumbnail.empty()) {
        const Image thumb = RenderTissue(0, 0, 160, 120, 8.0, spec.seed);
        thumbnail = EncodeJpeg(thumb, 85);
        thumbWidth = spec.thumbWidth.value_or(thumb.width);
        thumbHeight = spec.thumbHeight.value_or(thumb.height);
    }

    std::vector<std::vector<Bytes>> tiles;
    for (size_t k = 0; k < spec.layers.size(); ++k)
        tiles.push_back(LayerTiles(spec, spec.layers[k], k));

    file = Header(spec);
    PutU32(file, 58, thumbWidth);
    PutU32(file, 62, thumbHeight);
    if (spec.personInfo) {
        Append(file, PersonRecord());
        Append(file, ExtraRecord(spec));
    }

    // Without the information area the thumbnail follows the header; a label chain then still
    // starts at its fixed position, after the thumbnail.
    const bool chainFirst = spec.labels && spec.personInfo;
    auto writeChain = [&](uint64_t thumbnailOffset) {
        PadTo(file, kChainStart);
        const uint64_t labelAt = file.size();
        const uint64_t macroAt =
            labelAt + kMacroRecordSize + label.data.size() + spec.gapAfterLabel;
        layout.macroRecords = {labelAt, macroAt};
        layout.macroData = {labelAt + kMacroRecordSize, macroAt + kMacroRecordSize};
        WriteMacroRecord(file, label, macroAt);
        file.resize(file.size() + spec.gapAfterLabel, 0x5A);
        WriteMacroRecord(file, macrograph, thumbnailOffset);
    };

    uint64_t thumbAt = 0;
    if (chainFirst) {
        // The macrograph points at the thumbnail; work out where that lands first.
        const uint64_t chainEnd = kChainStart + 2 * kMacroRecordSize + label.data.size() +
                                  spec.gapAfterLabel + macrograph.data.size();
        thumbAt = chainEnd + spec.gapBeforeThumbnail;
        writeChain(thumbAt);
        file.resize(thumbAt, 0x3C);
    } else {
        file.resize(file.size() + spec.gapBeforeThumbnail, 0x3C);
        thumbAt = file.size();
    }

    // Work out every layer record's position so that each record can name the next.
    std::vector<uint64_t> layerAt;
    uint64_t cursor = thumbAt + kPicRecordSize + thumbnail.size();
    if (spec.labels && !spec.personInfo)
        cursor = std::max<uint64_t>(cursor, kChainStart) + 2 * kMacroRecordSize +
                 label.data.size() + spec.gapAfterLabel + macrograph.data.size();
    for (size_t k = 0; k < spec.layers.size(); ++k) {
        cursor += spec.layers[k].gapBefore;
        layerAt.push_back(cursor);
        cursor += kPicRecordSize + 4 * tiles[k].size();
        for (const Bytes& t : tiles[k])
            cursor += t.size();
    }

    // Thumbnail.
    layout.thumbnailRecord = thumbAt;
    layout.thumbnailData = thumbAt + kPicRecordSize;
    file.resize(thumbAt + kPicRecordSize, 0);
    PutMagic(file, thumbAt, "IF");
    PutU64(file, thumbAt + 22, thumbnail.size());
    PutU64(file, thumbAt + 30, layerAt.empty() ? 0 : layerAt[0]);
    PutU8(file, thumbAt + 58, spec.thumbnailFormat);
    Append(file, thumbnail);
    if (spec.labels && !spec.personInfo) writeChain(thumbAt);

    for (size_t k = 0; k < spec.layers.size(); ++k) {
        const LayerSpec& layer = spec.layers[k];
        PadTo(file, layerAt[k]);
        const uint64_t at = file.size();
        layout.layerRecords.push_back(at);
        file.resize(at + kPicRecordSize, 0);
        PutMagic(file, at, "IF");
        PutU32(file, at + 10, static_cast<uint32_t>(tiles[k].size()));
        PutU32(file, at + 14, layer.xCount);
        PutU32(file, at + 18, layer.yCount);
        PutU64(file, at + 30, k + 1 < layerAt.size() ? layerAt[k + 1] : 0);
        PutU32(file, at + 50, layer.boundWidth);
        PutU32(file, at + 54, layer.boundHeight);
        layout.tileTables.push_back(file.size());
        for (const Bytes& t : tiles[k]) {
            const uint64_t tableEntry = file.size();
            file.resize(tableEntry + 4);
            PutU32(file, tableEntry, static_cast<uint32_t>(t.size()));
        }
        std::vector<uint64_t> offsets;
        std::vector<uint32_t> sizes;
        for (const Bytes& t : tiles[k]) {
            offsets.push_back(file.size());
            sizes.push_back(static_cast<uint32_t>(t.size()));
            Append(file, t);
        }
        layout.tileOffsets.push_back(std::move(offsets));
        layout.tileSizes.push_back(std::move(sizes));
    }
    layout.end = file.size();
    return out;
}

SlideSpec SampleSpec(uint32_t xCount, uint32_t yCount, uint32_t layers) {
    SlideSpec spec;
    const uint32_t tile = spec.tileWidth;
    const uint32_t baseWidth = xCount * tile - std::min(37U, tile - 1);
    const uint32_t baseHeight = yCount * tile - std::min(21U, tile - 1);
    for (uint32_t k = 0; k < layers; ++k) {
        const uint32_t width = std::max(1U, baseWidth >> k);
        const uint32_t height = std::max(1U, baseHeight >> k);
        LayerSpec layer;
        layer.xCount = (width + tile - 1) / tile;
        layer.yCount = (height + tile - 1) / tile;
        layer.boundWidth = layer.xCount * tile - width;
        layer.boundHeight = layer.yCount * tile - height;
        spec.layers.push_back(layer);
    }
    return spec;
}

SlideSpec TinySpec() {
    SlideSpec spec;
    spec.tileWidth = 64;
    spec.tileHeight = 48;
    spec.label = JpegImage(RenderTissue(0, 0, 24, 16), 60);
    spec.macrograph = JpegImage(RenderTissue(0, 0, 32, 16, 8.0), 60);
    spec.thumbnail = EncodeJpeg(RenderTissue(0, 0, 20, 15, 16.0), 60);
    spec.thumbWidth = 20;
    spec.thumbHeight = 15;
    LayerSpec base;
    base.xCount = 3;
    base.yCount = 2;
    base.boundWidth = 10;
    base.boundHeight = 7;
    base.emptyTiles = {4};
    LayerSpec top;
    top.xCount = 2;
    top.yCount = 1;
    spec.layers = {base, top};
    spec.tileEncoder = JpegTiles(60);
    return spec;
}

ScratchDirectory::ScratchDirectory(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make " + pattern);
    path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void PutU8(Bytes& bytes, uint64_t offset, uint8_t value) {
    bytes.at(offset) = value;
}

void PutU32(Bytes& bytes, uint64_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
}

void PutU64(Bytes& bytes, uint64_t offset, uint64_t value) {
    for (int i = 0; i < 8; ++i)
        bytes.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
}

void PutF32(Bytes& bytes, uint64_t offset, float value) {
    uint32_t bits = 0;
    memcpy(&bits, &value, 4);
    PutU32(bytes, offset, bits);
}

void PutF64(Bytes& bytes, uint64_t offset, double value) {
    uint64_t bits = 0;
    memcpy(&bits, &value, 8);
    PutU64(bytes, offset, bits);
}

uint32_t GetU32(const Bytes& bytes, uint64_t offset) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= uint32_t{bytes.at(offset + i)} << (8 * i);
    return value;
}

uint64_t GetU64(const Bytes& bytes, uint64_t offset) {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i)
        value |= uint64_t{bytes.at(offset + i)} << (8 * i);
    return value;
}

}  // namespace tarnwriter
