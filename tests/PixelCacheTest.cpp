// The tile cache: what a hit gives back, which keys it tells apart, when it keeps a tile, how it
// evicts, and that its memory stays within the capacity under many keys and threads (run under
// the sanitizers and ThreadSanitizer too).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Common/FileAccess.h"
#include "Common/PixelCopy.h"
#include "FixedApi/Handles.h"
#include "Core/Tiles.h"
#include "Core/PixelCache.h"
#include "support/SlideFixtures.h"
#include "support/Slides.h"
#include "support/TestFiles.h"

using tarn::PixelCache;
using tarn::PixelFormat;
using tarn::PixelKey;
using tarn::PixelRect;
using tarn::TileAdmission;
using tarn::TilePin;
using Pixels = std::vector<uint8_t>;

namespace {

struct CacheReleaser {
    void operator()(PixelCache* cache) const { tarn::ReleasePixelCache(cache); }
};
using CachePtr = std::unique_ptr<PixelCache, CacheReleaser>;

CachePtr NewCache(size_t capacity, int shards = 8) {
    return CachePtr(tarn::CreatePixelCache(capacity, shards));
}

PixelKey Key(uint64_t tile) {
    PixelKey key;
    key.source = 5;
    key.colorTag = 6;
    key.layer = 0;
    key.tile = tile;
    return key;
}

// The bytes a tile of `key` holds in these tests: distinct for every key.
Pixels Content(const PixelKey& key, uint32_t width, uint32_t height) {
    Pixels out(size_t{width} * height * 3);
    std::mt19937 random(
        static_cast<uint32_t>(key.tile * 131 + key.layer * 17 + key.colorTag + key.source * 7));
    for (uint8_t& byte : out)
        byte = static_cast<uint8_t>(random());
    return out;
}

// Touches `key` as a read would until the cache asks for the whole tile, and inserts it.
void Admit(PixelCache* cache, const PixelKey& key, uint32_t width, uint32_t height) {
    TilePin pin;
    for (int touch = 0; touch < 2; ++touch)
        if (tarn::FindTile(cache, key, width, height, &pin) == TileAdmission::DecodeWhole) break;
    ASSERT_TRUE(tarn::AllocateTile(width, height, &pin));
    const Pixels content = Content(key, width, height);
    std::copy(content.begin(), content.end(), pin.mutablePixels());
    tarn::InsertTile(cache, key, &pin);
}

// The tile's bytes on a hit; empty on anything else.
Pixels Hit(PixelCache* cache, const PixelKey& key, uint32_t width = 8, uint32_t height = 4) {
    TilePin pin;
    if (tarn::FindTile(cache, key, width, height, &pin) != TileAdmission::Hit) return {};
    return Pixels(pin.pixels(), pin.pixels() + pin.stride() * pin.height());
}

TEST(PixelCache, KeepsATileOnItsSecondTouchAndServesItsBytes) {
    CachePtr cache = NewCache(size_t{1} << 20);
    TilePin pin;
    EXPECT_EQ(tarn::FindTile(cache.get(), Key(1), 8, 4, &pin), TileAdmission::DecodePart);
    EXPECT_EQ(tarn::FindTile(cache.get(), Key(1), 8, 4, &pin), TileAdmission::DecodeWhole);
    EXPECT_FALSE(pin);
    ASSERT_TRUE(tarn::AllocateTile(8, 4, &pin));
    const Pixels content = Content(Key(1), 8, 4);
    std::copy(content.begin(), content.end(), pin.mutablePixels());
    tarn::InsertTile(cache.get(), Key(1), &pin);
    EXPECT_EQ(pin.mutablePixels(), nullptr);  // final once offered to the cache
    EXPECT_EQ(Hit(cache.get(), Key(1)), content);

    tarn::PixelCacheStats stats = tarn::PixelCacheStatsOf(cache.get());
    EXPECT_EQ(stats.hits, 1U);
    EXPECT_EQ(stats.misses, 2U);
    EXPECT_EQ(stats.entries, 1U);
    EXPECT_EQ(stats.bytes, 8 * 4 * 3 + tarn::kTileEntryOverhead);
    EXPECT_EQ(stats.capacity, size_t{1} << 20);

    // Never kept: caching off, colours without identity, a tile larger than a shard's share, no
    // cache at all. Every touch then asks for the part only.
    CachePtr off = NewCache(0);
    PixelKey untagged = Key(2);
    untagged.colorTag = tarn::kNoColorTag;
    const struct {
        PixelCache* cache;
        PixelKey key;
        uint32_t side;
    } never[] = {{off.get(), Key(2), 8},
                 {cache.get(), untagged, 8},
                 {cache.get(), Key(3), 256},  // 192 KiB + overhead > 1 MiB / 8
                 {nullptr, Key(2), 8}};
    for (const auto& c : never)
        for (int touch = 0; touch < 3; ++touch)
            EXPECT_EQ(tarn::FindTile(c.cache, c.key, c.side, c.side, &pin),
                      TileAdmission::DecodePart);
    EXPECT_EQ(tarn::PixelCacheStatsOf(off.get()).misses, 3U);
    stats = tarn::PixelCacheStatsOf(cache.get());
    EXPECT_EQ(stats.entries, 1U);
    EXPECT_EQ(stats.misses, 8U);

    // A cache left to choose its shards gives each enough for such a tile, small as it is.
    CachePtr small(tarn::CreatePixelCache(size_t{1} << 20));
    Admit(small.get(), Key(3), 256, 256);
    EXPECT_FALSE(Hit(small.get(), Key(3), 256, 256).empty());
}

TEST(PixelCache, KeysDifferingInAnyPartNeverShareAnEntry) {
    CachePtr cache = NewCache(size_t{1} << 20);
    std::vector<PixelKey> keys(5, Key(10));
    ++keys[1].source;
    ++keys[2].colorTag;
    ++keys[3].layer;
    ++keys[4].tile;
    for (const PixelKey& key : keys)
        Admit(cache.get(), key, 8, 4);
    EXPECT_EQ(tarn::PixelCacheStatsOf(cache.get()).entries, keys.size());
    for (const PixelKey& key : keys)
        EXPECT_EQ(Hit(cache.get(), key), Content(key, 8, 4));

    // Many keys in one shard, whose index grows as they come, stay apart.
    CachePtr one = NewCache(size_t{1} << 20, 1);
    for (uint64_t tile = 0; tile < 100; ++tile)
        Admit(one.get(), Key(tile), 2, 2);
    for (uint64_t tile = 0; tile < 100; ++tile)
        EXPECT_EQ(Hit(one.get(), Key(tile), 2, 2), Content(Key(tile), 2, 2)) << tile;

    // A second decode of a key already kept (two threads at once) leaves the first in place.
    TilePin late;
    ASSERT_TRUE(tarn::AllocateTile(8, 4, &late));
    std::fill(late.mutablePixels(), late.mutablePixels() + 8 * 4 * 3, 0);
    tarn::InsertTile(cache.get(), keys[0], &late);
    EXPECT_EQ(Hit(cache.get(), keys[0]), Content(keys[0], 8, 4));
    EXPECT_EQ(late.pixels()[0], 0);
}

TEST(PixelCache, EvictsTheLeastRecentlyUsedAndShrinksWithItsCapacity) {
    const size_t charge = tarn::TileCharge(8, 4);
    CachePtr cache = NewCache(3 * charge + 10, 1);  // one shard: the order is exact
    for (uint64_t tile = 0; tile < 3; ++tile)
        Admit(cache.get(), Key(tile), 8, 4);
    EXPECT_FALSE(Hit(cache.get(), Key(0)).empty());  // now the most recent
    Admit(cache.get(), Key(3), 8, 4);
    EXPECT_TRUE(Hit(cache.get(), Key(1)).empty());
    for (const uint64_t tile : {0, 2, 3})
        EXPECT_FALSE(Hit(cache.get(), Key(tile)).empty()) << tile;  // order now 0, 2, 3
    EXPECT_EQ(tarn::PixelCacheStatsOf(cache.get()).bytes, 3 * charge);

    tarn::SetPixelCacheCapacity(cache.get(), 2 * charge);
    tarn::PixelCacheStats stats = tarn::PixelCacheStatsOf(cache.get());
    EXPECT_EQ(stats.capacity, 2 * charge);
    EXPECT_EQ(stats.entries, 2U);
    EXPECT_TRUE(Hit(cache.get(), Key(0)).empty());
    EXPECT_FALSE(Hit(cache.get(), Key(3)).empty());

    tarn::SetPixelCacheCapacity(cache.get(), 0);
    stats = tarn::PixelCacheStatsOf(cache.get());
    EXPECT_EQ(stats.entries, 0U);
    EXPECT_EQ(stats.bytes, 0U);
    EXPECT_TRUE(Hit(cache.get(), Key(3)).empty());
}

TEST(PixelCache, PinnedTilesOutliveEvictionAndTheCache) {
    PixelCache* cache = tarn::CreatePixelCache(size_t{1} << 20);
    Admit(cache, Key(1), 8, 4);
    Admit(cache, Key(2), 8, 4);
    TilePin first, second;
    ASSERT_EQ(tarn::FindTile(cache, Key(1), 8, 4, &first), TileAdmission::Hit);
    ASSERT_EQ(tarn::FindTile(cache, Key(2), 8, 4, &second), TileAdmission::Hit);
    tarn::SetPixelCacheCapacity(cache, 0);
    EXPECT_EQ(tarn::PixelCacheStatsOf(cache).entries, 0U);
    EXPECT_EQ(Pixels(first.pixels(), first.pixels() + 8 * 4 * 3), Content(Key(1), 8, 4));
    first.Reset();
    tarn::SetPixelCacheCapacity(cache, size_t{1} << 20);
    Admit(cache, Key(3), 8, 4);
    tarn::ReleasePixelCache(cache);  // with a pinned evicted tile and a kept one
    EXPECT_EQ(Pixels(second.pixels(), second.pixels() + 8 * 4 * 3), Content(Key(2), 8, 4));
}

// Draws random parts of 300 tiles of side x side in random layouts through `cache`, each miss
// "decoding" from Content; returns the reads that failed or came out wrong.
int ReadRandomParts(PixelCache* cache, uint32_t side, uint32_t seed, int reads) {
    std::mt19937 random(seed);
    auto below = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
    Pixels out(size_t{side} * side * 4), expected(out.size());
    int wrong = 0;
    for (int i = 0; i < reads; ++i) {
        const PixelKey key = Key(below(300));
        const Pixels content = Content(key, side, side);
        const PixelRect part{below(side / 2), below(side / 2), 1 + below(side / 2),
                             1 + below(side / 2)};
        const auto format = static_cast<PixelFormat>(below(4));
        auto decode = [&](const PixelRect& r, uint8_t* dst, size_t stride, PixelFormat f) {
            tarn::CopyBgrPixels(content.data() + (size_t{r.y} * side + r.x) * 3, side * 3, r.width,
                                r.height, dst, stride, f);
            return tarn::Status::Ok;
        };
        const size_t stride = part.width * static_cast<size_t>(tarn::BytesPerPixel(format));
        if (tarn::DrawThroughCache(cache, key, side, side, part, out.data(), stride, format,
                                   decode) != tarn::Status::Ok)
            ++wrong;
        decode(part, expected.data(), stride, format);
        if (!std::equal(out.begin(), out.begin() + stride * part.height, expected.begin())) ++wrong;
    }
    return wrong;
}

// Three threads read random parts while the capacity alternates between `small` and `large` and
// an observer checks the bytes held against `large` and against the entries held. Returns the
// wrong reads plus the observations that failed.
int ReadWhileResizing(PixelCache* cache, uint32_t side, size_t small, size_t large, int reads) {
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::thread observer([&] {
        while (!stop) {
            const tarn::PixelCacheStats stats = tarn::PixelCacheStatsOf(cache);
            if (stats.bytes > large || stats.bytes != stats.entries * tarn::TileCharge(side, side))
                ++failures;
            std::this_thread::yield();
        }
    });
    std::thread resizer([&] {
        for (int i = 0; !stop; ++i) {
            tarn::SetPixelCacheCapacity(cache, i % 2 == 0 ? small : large);
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> readers;
    for (uint32_t t = 0; t < 3; ++t)
        readers.emplace_back([&, t] { failures += ReadRandomParts(cache, side, t + 1, reads); });
    for (std::thread& t : readers)
        t.join();
    stop = true;
    observer.join();
    resizer.join();
    return failures;
}

TEST(PixelCache, BoundHoldsUnderManyKeysAndThreads) {
    const size_t capacity = 40 * tarn::TileCharge(16, 16);
    CachePtr cache = NewCache(capacity);
    EXPECT_EQ(ReadWhileResizing(cache.get(), 16, capacity / 2, capacity, 3000), 0);
    tarn::SetPixelCacheCapacity(cache.get(), capacity);
    // Alone, with the capacity fixed: the cache fills up to it and no further.
    EXPECT_EQ(ReadRandomParts(cache.get(), 16, 99, 3000), 0);
    const tarn::PixelCacheStats stats = tarn::PixelCacheStatsOf(cache.get());
    EXPECT_LE(stats.bytes, capacity);
    EXPECT_GT(stats.entries, 20U);
    EXPECT_GT(stats.hits, 0U);

    // A cache that chooses its shards has one at 2 MiB and four at 16 MiB: changing their number
    // under load serves no wrong tile either.
    CachePtr adaptive(tarn::CreatePixelCache(size_t{2} << 20));
    EXPECT_EQ(ReadWhileResizing(adaptive.get(), 64, size_t{2} << 20, size_t{16} << 20, 1000), 0);
}

TEST(PixelCache, DrawsAPartThenTheWholeTileThenCopies) {
    CachePtr cache = NewCache(size_t{1} << 20);
    const Pixels content = Content(Key(1), 8, 4);
    std::vector<PixelRect> asked;
    bool wholeFails = false;
    auto decode = [&](const PixelRect& r, uint8_t* dst, size_t stride, PixelFormat f) {
        asked.push_back(r);
        const bool whole = r.width == 8 && r.height == 4;
        if (whole && wholeFails) return tarn::Status::Undecodable;
        tarn::CopyBgrPixels(content.data() + r.y * 24 + r.x * 3, 24, r.width, r.height, dst, stride,
                            f);
        return tarn::Status::Ok;
    };
    const PixelRect part{2, 1, 3, 2};
    auto draw = [&](const PixelKey& key, uint8_t* out) {
        return tarn::DrawThroughCache(cache.get(), key, 8, 4, part, out, 12, PixelFormat::Rgba,
                                      decode);
    };
    uint8_t expected[24], out[24];
    tarn::CopyBgrPixels(content.data() + 1 * 24 + 2 * 3, 24, 3, 2, expected, 12, PixelFormat::Rgba);
    for (int read = 0; read < 3; ++read) {
        std::fill(out, out + 24, 0);
        ASSERT_EQ(draw(Key(1), out), tarn::Status::Ok);
        EXPECT_TRUE(std::equal(out, out + 24, expected)) << read;
    }
    ASSERT_EQ(asked.size(), 2U);  // the part, then the whole tile, then nothing
    EXPECT_EQ(asked[0].width, 3U);
    EXPECT_EQ(asked[1].width, 8U);

    // A tile whose whole decode fails (damage below the part) is still drawn from its part, and
    // not kept; a failing part decode is the read's failure.
    wholeFails = true;
    asked.clear();
    for (int read = 0; read < 3; ++read) {
        ASSERT_EQ(draw(Key(2), out), tarn::Status::Ok);
        EXPECT_TRUE(std::equal(out, out + 24, expected)) << read;
    }
    EXPECT_EQ(asked.size(), 4U);  // part, whole + part, then part: the failed tile is forgotten
    EXPECT_EQ(tarn::PixelCacheStatsOf(cache.get()).entries, 1U);
    // A part asked for again, or another part of a tile touched just before, has the tile kept;
    // another part of a tile met again only after many other tiles is decoded as a part, so that
    // random reads decode no more than they need.
    wholeFails = false;
    asked.clear();
    const PixelRect most{0, 1, 8, 3};
    uint8_t rows[8 * 3 * 3];
    auto drawMost = [&](uint64_t key, uint64_t tag) {
        ASSERT_EQ(tarn::DrawThroughCache(cache.get(), Key(key), 8, 4, most, rows, 24,
                                         PixelFormat::Bgr, decode, tag),
                  tarn::Status::Ok);
        EXPECT_TRUE(std::equal(rows, rows + sizeof rows, content.data() + 24));
    };
    drawMost(4, 1);
    for (uint64_t other = 100; other < 400; ++other)
        drawMost(other, 7);
    drawMost(4, 2);  // long after, another part: a part again
    drawMost(4, 2);  // just after: kept
    ASSERT_EQ(asked.size(), 303U);
    EXPECT_EQ(asked[301].width * asked[301].height, 24U);
    EXPECT_EQ(asked[302].width * asked[302].height, 32U);
    EXPECT_TRUE(tarn::TileIsCached(cache.get(), Key(4)));
    // Overlapping neighbours asked for together (Deep Zoom tiles): a first touch of at least half
    // of a tile keeps it at once, so the neighbour's touch is a copy; less than half is a part.
    asked.clear();
    auto drawNeighbour = [&](uint64_t key, const PixelRect& what) {
        return tarn::DrawThroughCache(cache.get(), Key(key), 8, 4, what, rows, 24, PixelFormat::Bgr,
                                      decode, 9, true);
    };
    ASSERT_EQ(drawNeighbour(500, most), tarn::Status::Ok);
    EXPECT_TRUE(std::equal(rows, rows + sizeof rows, content.data() + 24));
    ASSERT_EQ(drawNeighbour(500, PixelRect{0, 0, 8, 1}), tarn::Status::Ok);
    EXPECT_TRUE(std::equal(rows, rows + 24, content.data()));
    ASSERT_EQ(drawNeighbour(501, PixelRect{0, 0, 3, 2}), tarn::Status::Ok);
    ASSERT_EQ(asked.size(), 2U);  // the whole first tile once, then the small part
    EXPECT_EQ(asked[0].width * asked[0].height, 32U);
    EXPECT_EQ(asked[1].width * asked[1].height, 6U);
    EXPECT_FALSE(tarn::TileIsCached(cache.get(), Key(501)));
    auto failing = [](const PixelRect&, uint8_t*, size_t, PixelFormat) {
        return tarn::Status::ShortRead;
    };
    EXPECT_EQ(
        tarn::DrawThroughCache(cache.get(), Key(3), 8, 4, part, out, 12, PixelFormat::Bgr, failing),
        tarn::Status::ShortRead);
}

// Tiles drawn through a cache, as they are first touched, kept and then copied, equal the tiles
// drawn without one, in every layout, for JPEG and HEVC slides.
TEST(PixelCache, TilesThroughTheCacheEqualTilesWithoutIt) {
    for (const std::string& path : {tarntest::JpegSlidePath(), tarntest::HevcSlidePath(false),
                                    tarntest::HevcSlidePath(true)}) {
        tarntest::OpenSlide slide(path.c_str());
        ASSERT_TRUE(slide);
        const tarn::FixedRead read(slide.get());
        const uint32_t width = slide->PicHead->TileWidth, height = slide->PicHead->TileHeight;
        const PixelRect parts[] = {{width / 3, height / 2, width / 2, height / 3},
                                   {0, 0, width, height},
                                   {width - 1, height - 5, 1, 5}};
        CachePtr cache = NewCache(size_t{16} << 20), off = NewCache(0);
        tarn::ReadContext cached = read.context(), uncached = read.context();
        cached.cache = cache.get();
        uncached.cache = off.get();
        for (uint32_t x = 0; x < 2; ++x)
            for (const PixelRect& part : parts)
                for (const PixelFormat format :
                     {PixelFormat::Bgr, PixelFormat::Rgba, PixelFormat::Rgb, PixelFormat::Bgra}) {
                    const size_t stride =
                        part.width * static_cast<size_t>(tarn::BytesPerPixel(format));
                    Pixels expected(stride * part.height), out(expected.size());
                    ASSERT_EQ(
                        tarn::DrawTile(uncached, 0, x, 0, part, expected.data(), stride, format),
                        tarn::Status::Ok);
                    for (int touch = 0; touch < 3; ++touch) {
                        ASSERT_EQ(tarn::DrawTile(cached, 0, x, 0, part, out.data(), stride, format),
                                  tarn::Status::Ok);
                        EXPECT_EQ(out, expected) << path << " tile " << x << " touch " << touch;
                    }
                }
        const tarn::PixelCacheStats stats = tarn::PixelCacheStatsOf(cache.get());
        EXPECT_EQ(stats.entries, 2U) << path;
        EXPECT_EQ(stats.misses, 4U) << path;  // two touches of each tile
    }
}

TEST(PixelCopy, EveryLayoutMatchesPixelByPixelAndStaysInItsRows) {
    std::mt19937 random(5);
    for (uint32_t width = 1; width <= 40; ++width) {
        const uint32_t height = 3;
        const size_t srcStride = width * 3 + 5;
        Pixels src(srcStride * height);
        for (uint8_t& byte : src)
            byte = static_cast<uint8_t>(random());
        for (const PixelFormat format :
             {PixelFormat::Bgr, PixelFormat::Rgb, PixelFormat::Bgra, PixelFormat::Rgba}) {
            const size_t bytes = static_cast<size_t>(tarn::BytesPerPixel(format));
            const size_t dstStride = width * bytes + 7;
            Pixels dst(dstStride * height, 0xAB), expected(dst);
            for (uint32_t y = 0; y < height; ++y)
                for (uint32_t x = 0; x < width; ++x) {
                    const uint8_t* s = &src[y * srcStride + x * 3];
                    uint8_t* e = &expected[y * dstStride + x * bytes];
                    const bool swap = tarn::RedFirst(format);
                    e[0] = swap ? s[2] : s[0];
                    e[1] = s[1];
                    e[2] = swap ? s[0] : s[2];
                    if (bytes == 4) e[3] = 0xFF;
                }
            tarn::CopyBgrPixels(src.data(), srcStride, width, height, dst.data(), dstStride,
                                format);
            EXPECT_EQ(dst, expected) << "width " << width << " layout " << static_cast<int>(format);
        }
    }
}

TEST(PixelCacheKeys, ColourTagsFileIdentitiesAndSizesFromTheEnvironment) {
    tarn::ColorParams params = tarn::NeutralColorParams();
    const uint64_t neutral = tarn::ColorTagOf(params);
    EXPECT_EQ(neutral, tarn::ColorTagOf(tarn::NeutralColorParams()));
    EXPECT_NE(neutral, tarn::kNoColorTag);
    params.gains[2] = 0.95F;
    EXPECT_NE(tarn::ColorTagOf(params), neutral);

    // A file deleted and written again at once often has the same inode and, where timestamps are
    // coarse or copied, the same time: the generation tells the two apart where the file system
    // keeps one.
    const std::string path = tarntest::TestDirectory() + "/written-twice";
    const struct timespec sameTime[2] = {{1000, 0}, {1000, 0}};
    tarn::FileIdentity identities[2];
    for (tarn::FileIdentity& identity : identities) {
        tarnwriter::WriteFile(path, tarnwriter::Bytes(100, 1));
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), sameTime, 0), 0);
        const int fd = tarn::OpenRegularFile(path.c_str(), &identity);
        ASSERT_GE(fd, 0);
        close(fd);
        ASSERT_EQ(remove(path.c_str()), 0);
    }
    if (identities[0].generation != 0) {
        EXPECT_FALSE(tarn::SameFile(identities[0], identities[1]));
    }

    EXPECT_EQ(tarn::PixelCacheSizeFrom(nullptr), tarn::kDefaultPixelCacheSize);
    EXPECT_EQ(tarn::PixelCacheSizeFrom(""), tarn::kDefaultPixelCacheSize);
    EXPECT_EQ(tarn::PixelCacheSizeFrom("64M"), tarn::kDefaultPixelCacheSize);
    EXPECT_EQ(tarn::PixelCacheSizeFrom("-1"), tarn::kDefaultPixelCacheSize);
    EXPECT_EQ(tarn::PixelCacheSizeFrom("0"), 0U);
    EXPECT_EQ(tarn::PixelCacheSizeFrom("1048576"), 1048576U);
    EXPECT_EQ(tarn::PixelCacheSizeFrom("123456789012345678901234567890"), SIZE_MAX);
}

}  // namespace
