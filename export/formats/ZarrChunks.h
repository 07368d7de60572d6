// Chunks of a zarr v2 array of RGB pixels, as ome-zarr writes them: [3, size, size] bytes in C
// order (the red plane, then green, then blue), padded with white past the picture, compressed
// by a codec that numcodecs reads (Debian's python3-numcodecs among them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarnexport {

enum class ChunkCompressor { Zstd, Zlib };

struct ChunkCodec {
    ChunkCompressor compressor = ChunkCompressor::Zstd;
    int level = 1;
};

// The codec a --compression value names ("zstd" or "zlib"), at the level chosen for it.
ChunkCodec CodecNamed(const std::string& name);

// The array's "compressor" entry: numcodecs' configuration of the codec.
std::string CompressorJson(const ChunkCodec& codec);

// The chunk of `size` x `size` pixels whose top-left pixel is `rgb` (interleaved RGB, `stride`
// pixels to a row), of which `width` x `height` lie in the picture: planes into `planar`.
void PlanarChunk(const uint8_t* rgb, int64_t stride, int64_t width, int64_t height, int64_t size,
                 std::vector<uint8_t>* planar);

// Whether every byte is 255: a chunk of the fill value, which zarr reads where no file is.
bool AllWhite(const std::vector<uint8_t>& planar);

// Compresses `bytes` into `out`. False with a message.
bool CompressChunk(const ChunkCodec& codec, const std::vector<uint8_t>& bytes,
                   std::vector<uint8_t>* out, std::string* error);

}  // namespace tarnexport
