#include "ZarrChunks.h"

#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <climits>

namespace tarnexport {
namespace {

// The fastest levels: on tissue, higher ones shrink chunks by a few percent at two to five
// times the time, and would make compression rather than decoding bound the conversion (zstd 1
// compresses several times as fast as a tile decodes, zlib 1 about half as fast).
constexpr int kZstdLevel = 1;
constexpr int kZlibLevel = 1;

// One compression context per writing thread, kept from chunk to chunk.
struct ZstdContext {
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ~ZstdContext() { ZSTD_freeCCtx(context); }
};

}  // namespace

ChunkCodec CodecNamed(const std::string& name) {
    if (name == "zlib") return ChunkCodec{ChunkCompressor::Zlib, kZlibLevel};
    return ChunkCodec{ChunkCompressor::Zstd, kZstdLevel};
}

std::string CompressorJson(const ChunkCodec& codec) {
    const char* id = codec.compressor == ChunkCompressor::Zstd ? "zstd" : "zlib";
    return std::string("{\"id\": \"") + id + "\", \"level\": " + std::to_string(codec.level) + "}";
}

void PlanarChunk(const uint8_t* rgb, int64_t stride, int64_t width, int64_t height, int64_t size,
                 std::vector<uint8_t>* planar) {
    const auto plane = static_cast<size_t>(size * size);
    planar->assign(plane * 3, 0xFF);
    uint8_t* red = planar->data();
    uint8_t* green = red + plane;
    uint8_t* blue = green + plane;
    for (int64_t y = 0; y < height; ++y) {
        const uint8_t* in = rgb + static_cast<size_t>(y * stride * 3);
        const auto row = static_cast<size_t>(y * size);
        for (int64_t x = 0; x < width; ++x, in += 3) {
            red[row + static_cast<size_t>(x)] = in[0];
            green[row + static_cast<size_t>(x)] = in[1];
            blue[row + static_cast<size_t>(x)] = in[2];
        }
    }
}

bool AllWhite(const std::vector<uint8_t>& planar) {
    return std::all_of(planar.begin(), planar.end(), [](uint8_t byte) { return byte == 0xFF; });
}

bool CompressChunk(const ChunkCodec& codec, const std::vector<uint8_t>& bytes,
                   std::vector<uint8_t>* out, std::string* error) {
    if (codec.compressor == ChunkCompressor::Zstd) {
        thread_local ZstdContext zstd;
        if (zstd.context == nullptr) {
            *error = "not enough memory for zstd";
            return false;
        }
        out->resize(ZSTD_compressBound(bytes.size()));
        const size_t size = ZSTD_compressCCtx(zstd.context, out->data(), out->size(), bytes.data(),
                                              bytes.size(), codec.level);
        if (ZSTD_isError(size)) {
            *error = std::string("zstd cannot compress a chunk: ") + ZSTD_getErrorName(size);
            return false;
        }
        out->resize(size);
        return true;
    }
    if (bytes.size() > ULONG_MAX) {
        *error = "a chunk is too large for zlib";
        return false;
    }
    uLongf size = compressBound(static_cast<uLong>(bytes.size()));
    out->resize(size);
    const int result =
        compress2(out->data(), &size, bytes.data(), static_cast<uLong>(bytes.size()), codec.level);
    if (result != Z_OK) {
        *error = std::string("zlib cannot compress a chunk: ") + zError(result);
        return false;
    }
    out->resize(size);
    return true;
}

}  // namespace tarnexport
