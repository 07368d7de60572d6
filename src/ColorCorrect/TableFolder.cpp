// The colour tables' files in the cache folder: what they are called, and the room they take.
#include <array>
#include <bit>
#include <cstdio>

#include "ColorCorrect/TableFiles.h"

namespace tarn {
namespace {

constexpr char kTablePrefix[] = "colour-table-";
constexpr char kTableSuffix[] = ".lut";
constexpr CacheFileKind kTables = {kTablePrefix, kTableSuffix, ".tmp-colour-table-"};

}  // namespace

bool TableFilePath(const CacheFolder& folder, const ColorParams& params, char (&path)[PATH_MAX]) {
    using Bits = std::array<uint32_t, sizeof(ColorParams) / sizeof(uint32_t)>;
    const Bits bits = std::bit_cast<Bits>(params);
    int length =
        snprintf(path, sizeof path, "%s/%sv%u-", folder.path, kTablePrefix, kTableFormatVersion);
    for (const uint32_t word : bits) {
        if (length < 0 || static_cast<size_t>(length) >= sizeof path) return false;
        length += snprintf(path + length, sizeof path - length, "%08x", word);
    }
    if (length < 0 || static_cast<size_t>(length) >= sizeof path) return false;
    length += snprintf(path + length, sizeof path - length, "%s", kTableSuffix);
    return length > 0 && static_cast<size_t>(length) < sizeof path;
}

const CacheFileKind& TableFileKind() {
    return kTables;
}

bool MakeRoomFor(const CacheFolder& folder, const char* replacing) {
    return TrimFiles(folder, kTables, replacing, kTableFileBytes, folder.limit);
}

}  // namespace tarn
