// HEVC tiles: real streams of both kinds from the test-slide encoder, decoded by the library and
// checked against libavcodec used directly; damaged streams, wrong sizes and many threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <thread>

#include "DecodeHevc/HevcDecoder.h"
#include "HevcEncoder.h"
#include "HevcTestSupport.h"

namespace {

using hevctest::Bytes;
using hevctest::ChannelTable;
using tarnwriter::HevcStream;

// Smooth stained-tissue colours with a fine texture, so that colour and chroma faults show.
tarnwriter::Image TestPicture(uint32_t width, uint32_t height, uint32_t seed) {
    tarnwriter::Image image;
    image.width = width;
    image.height = height;
    image.bgr.resize(static_cast<size_t>(width) * height * 3);
    std::mt19937 random(seed);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const double stain = 0.5 + 0.5 * std::sin(x * 0.045 + seed) * std::cos(y * 0.06);
            const int grain = static_cast<int>(random() % 13) - 6;
            uint8_t* p = &image.bgr[(static_cast<size_t>(y) * width + x) * 3];
            p[0] = static_cast<uint8_t>(std::clamp(int(200 - 40 * stain) + grain, 0, 255));
            p[1] = static_cast<uint8_t>(std::clamp(int(190 - 130 * stain) + grain, 0, 255));
            p[2] = static_cast<uint8_t>(std::clamp(int(235 - 90 * stain) + grain, 0, 255));
        }
    return image;
}

struct Tile {
    int width, height;
    Bytes stream;
};

class HevcDecoder : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        tiles_ = new std::vector<Tile>;
        for (HevcStream kind : {HevcStream::Default, HevcStream::AllIntra})
            tiles_->push_back({256, 256, tarnwriter::EncodeHevc(TestPicture(256, 256, 1), kind)});
        tiles_->push_back({37, 21, tarnwriter::EncodeHevc(TestPicture(37, 21, 2))});
        tiles_->push_back(
            {64, 64, tarnwriter::EncodeHevc(TestPicture(64, 64, 3), HevcStream::AllIntra)});
        for (const Tile& tile : *tiles_)
            ASSERT_FALSE(tile.stream.empty()) << "no HEVC encoder";
    }
    static void TearDownTestSuite() { delete tiles_; }

    void SetUp() override {
        table_ = std::make_unique<ChannelTable>(std::array<int, 3>{2, 0, 1});
        global_ = std::make_unique<hevctest::GlobalTable>(table_->table());
    }

    static const Tile& DefaultTile() { return (*tiles_)[0]; }
    static const Tile& IntraTile() { return (*tiles_)[1]; }
    static const Tile& OddTile() { return (*tiles_)[2]; }
    static const Tile& SmallTile() { return (*tiles_)[3]; }

    static int Decode(const Bytes& stream, int width, int height, Bytes* out,
                      _ColorSpace space = CS_BGR24) {
        return DecodeHevc(stream.data(), width, height, static_cast<int>(stream.size()),
                          out->data(), space);
    }

    static std::vector<Tile>* tiles_;
    std::unique_ptr<ChannelTable> table_;
    std::unique_ptr<hevctest::GlobalTable> global_;
};

std::vector<Tile>* HevcDecoder::tiles_ = nullptr;

bool Untouched(const Bytes& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xEE; });
}

TEST_F(HevcDecoder, BothStreamKindsMatchAnIndependentDecode) {
    for (const Tile* tile : {&DefaultTile(), &IntraTile(), &OddTile()}) {
        const hevctest::IndependentPicture reference = hevctest::DecodeIndependently(tile->stream);
        ASSERT_TRUE(reference.ok);
        for (_ColorSpace space : {CS_BGR24, CS_BGRA}) {
            const Bytes expected = hevctest::ReferenceConvert(reference.planes(), *table_, 0, 0,
                                                              tile->width, tile->height, space);
            Bytes out(expected.size());
            ASSERT_EQ(Decode(tile->stream, tile->width, tile->height, &out, space),
                      static_cast<int>(expected.size()));
            EXPECT_EQ(out, expected) << tile->width << "x" << tile->height << " space " << space;
        }
    }
}

// The encoder: default streams declare reorder pictures and give their frame only when drained,
// all-intra streams give it at once (the library must decode both); decoded without correction,
// both look like their source.
TEST_F(HevcDecoder, EncoderStreamKindsAndColours) {
    const tarnwriter::Image source = TestPicture(256, 256, 1);
    for (const Tile* tile : {&DefaultTile(), &IntraTile()}) {
        const hevctest::IndependentPicture decoded = hevctest::DecodeIndependently(tile->stream);
        ASSERT_TRUE(decoded.ok);
        EXPECT_EQ(decoded.beforeDrain, tile == &IntraTile());
        const hevctest::Planes p = decoded.planes();
        double error = 0;
        for (int y = 0; y < 256; ++y)
            for (int x = 0; x < 256; ++x) {
                const auto rgb = hevctest::Bt601(p.data[0][y * p.stride[0] + x],
                                                 p.data[1][(y / 2) * p.stride[1] + x / 2],
                                                 p.data[2][(y / 2) * p.stride[2] + x / 2]);
                const uint8_t* bgr = &source.bgr[(y * 256 + x) * 3];
                error += std::abs(rgb[0] - bgr[2]) + std::abs(rgb[1] - bgr[1]) +
                         std::abs(rgb[2] - bgr[0]);
            }
        EXPECT_LT(error / (256 * 256 * 3), 6.0);
    }
}

// HEVC codes 4:2:0 only in even sizes: an odd tile arrives padded by one and is cropped; any other
// difference from the requested size is refused.
TEST_F(HevcDecoder, RefusesPicturesOfAnotherSize) {
    const Tile& odd = OddTile();
    const hevctest::IndependentPicture padded = hevctest::DecodeIndependently(odd.stream);
    ASSERT_EQ(padded.width, 38);
    ASSERT_EQ(padded.height, 22);
    Bytes out(64 * 64 * 4, 0xEE);
    EXPECT_EQ(Decode(odd.stream, 38, 22, &out), 38 * 22 * 3);
    struct Request {
        const Tile* tile;
        int width, height;
    };
    const Request refused[] = {
        {&odd, 36, 21},         {&odd, 37, 20},         {&odd, 39, 21},
        {&odd, 37, 23},         {&SmallTile(), 64, 32}, {&SmallTile(), 32, 64},
        {&SmallTile(), 62, 64}, {&SmallTile(), 65, 64}, {&SmallTile(), 128, 128}};
    for (const Request& r : refused) {
        std::fill(out.begin(), out.end(), 0xEE);
        EXPECT_EQ(Decode(r.tile->stream, r.width, r.height, &out), -1)
            << r.width << "x" << r.height;
        EXPECT_TRUE(Untouched(out));
    }
}

TEST_F(HevcDecoder, DamagedStreamsAreRefusedQuietly) {
    std::mt19937 random(7);
    Bytes noise(4000);
    for (uint8_t& b : noise)
        b = static_cast<uint8_t>(random());
    // Start codes followed by noise reach the decoder's NAL parsers.
    Bytes framedNoise = noise;
    for (size_t i = 0; i + 4 < framedNoise.size(); i += 97) {
        framedNoise[i] = 0;
        framedNoise[i + 1] = 0;
        framedNoise[i + 2] = 1;
    }
    std::vector<Bytes> damaged = {noise, framedNoise, Bytes(4000, 0), Bytes{0, 0, 1}};
    for (const Tile* tile : {&DefaultTile(), &IntraTile()})
        for (size_t keep : {size_t{20}, tile->stream.size() / 20, tile->stream.size() / 5,
                            tile->stream.size() / 2})
            damaged.emplace_back(tile->stream.begin(), tile->stream.begin() + keep);

    Bytes out(256 * 256 * 3, 0xEE);
    testing::internal::CaptureStderr();
    for (size_t i = 0; i < damaged.size(); ++i) {
        EXPECT_EQ(Decode(damaged[i], 256, 256, &out), -1) << "case " << i;
        // The same thread's next good tile is unaffected.
        Bytes good(256 * 256 * 3);
        EXPECT_EQ(Decode(IntraTile().stream, 256, 256, &good), 196608) << "after case " << i;
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(Untouched(out));
}

TEST_F(HevcDecoder, RefusesWithoutTableAndOnBadArguments) {
    const Tile& tile = IntraTile();
    Bytes out(256 * 256 * 4, 0xEE);
    {
        const hevctest::GlobalTable none(nullptr);
        EXPECT_EQ(Decode(tile.stream, 256, 256, &out), -1);
    }
    const int length = static_cast<int>(tile.stream.size());
    EXPECT_EQ(DecodeHevc(nullptr, 256, 256, length, out.data(), CS_BGR24), -1);
    EXPECT_EQ(DecodeHevc(tile.stream.data(), 256, 256, length, nullptr, CS_BGR24), -1);
    EXPECT_EQ(DecodeHevc(tile.stream.data(), 0, 256, length, out.data(), CS_BGR24), -1);
    EXPECT_EQ(DecodeHevc(tile.stream.data(), 256, -1, length, out.data(), CS_BGR24), -1);
    EXPECT_EQ(DecodeHevc(tile.stream.data(), 256, 256, 0, out.data(), CS_BGR24), -1);
    EXPECT_EQ(DecodeHevc(tile.stream.data(), 256, 256, -5, out.data(), CS_BGR24), -1);
    EXPECT_TRUE(Untouched(out));
    // Still decodes afterwards.
    EXPECT_EQ(Decode(tile.stream, 256, 256, &out), 196608);
}

TEST_F(HevcDecoder, ThreadsDecodingAtOnceGiveTheSameBytes) {
    std::vector<Bytes> expected;
    for (const Tile& tile : *tiles_) {
        expected.emplace_back(static_cast<size_t>(tile.width) * tile.height * 3);
        ASSERT_GT(Decode(tile.stream, tile.width, tile.height, &expected.back()), 0);
    }
    constexpr int kThreads = 4, kRounds = 3;
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round)
                for (size_t i = 0; i < tiles_->size(); ++i) {
                    // Each thread walks the tiles in its own order.
                    const Tile& tile = (*tiles_)[(i + t) % tiles_->size()];
                    Bytes out(expected[(i + t) % tiles_->size()].size());
                    if (Decode(tile.stream, tile.width, tile.height, &out) !=
                            static_cast<int>(out.size()) ||
                        out != expected[(i + t) % tiles_->size()])
                        ++mismatches[t];
                }
        });
    for (std::thread& thread : threads)
        thread.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
