// The JPEG codec against libjpeg used directly: identical streams, identical pixels before
// correction, the documented corrections and failures, and cropped tile decodes that match a
// full decode pixel for pixel.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "DecodeJpeg/JpegCodec.h"
#include "DecodeTarnCxx.h"
#include "TarnWriter.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Smooth colour ramps with texture, so that every subsampling mode has work to do.
Bytes TestImage(uint32_t width, uint32_t height, int channels) {
    Bytes image(static_cast<size_t>(width) * height * channels);
    std::mt19937 noise(width * 31 + height);
    for (size_t i = 0; i < image.size(); ++i) {
        const size_t pixel = i / channels, x = pixel % width, y = pixel / width;
        image[i] = static_cast<uint8_t>((x * (2 + i % channels) + y * 3 + noise() % 24) & 0xFF);
    }
    return image;
}

struct Sampling {
    int h, v;  // luma factors; 0 makes a greyscale stream
};

Bytes EncodeDirect(const Bytes& pixels, uint32_t width, uint32_t height, J_COLOR_SPACE space,
                   int channels, Sampling sampling = {2, 2}) {
    jpeg_compress_struct c;
    jpeg_error_mgr error;
    c.err = jpeg_std_error(&error);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = width;
    c.image_height = height;
    c.input_components = channels;
    c.in_color_space = space;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 75, TRUE);
    if (sampling.h == 0) {
        jpeg_set_colorspace(&c, JCS_GRAYSCALE);
    } else {
        c.comp_info[0].h_samp_factor = sampling.h;
        c.comp_info[0].v_samp_factor = sampling.v;
    }
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels.data() + c.next_scanline * width * channels);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    Bytes stream(out, out + size);
    free(out);
    return stream;
}

Bytes DecodeDirect(const Bytes& jpeg, J_COLOR_SPACE space) {
    Bytes pixels;
    tarnwriter::DecodeJpeg(jpeg.data(), jpeg.size(), &pixels, nullptr, nullptr, space);
    return pixels;
}

// A table built by hand, the way a caller may set ColorTable: red' = 255 - R, green' = G / 2,
// blue' = B ^ 0x5A. Rows are shared where the function allows it.
uint8_t RedOf(uint8_t r) {
    return static_cast<uint8_t>(255 - r);
}
uint8_t GreenOf(uint8_t g) {
    return static_cast<uint8_t>(g / 2);
}
uint8_t BlueOf(uint8_t b) {
    return static_cast<uint8_t>(b ^ 0x5A);
}

struct HandTable {
    std::vector<Bytes> redRows{256, Bytes(256)}, greenRows{256, Bytes(256)};
    Bytes blueRow = Bytes(256);
    std::vector<std::vector<unsigned char*>> levels[3];
    std::vector<unsigned char**> tops[3];
    ColorCorrectTable table{};

    HandTable() {
        for (int i = 0; i < 256; ++i) {
            std::fill(redRows[i].begin(), redRows[i].end(), RedOf(i));
            std::fill(greenRows[i].begin(), greenRows[i].end(), GreenOf(i));
            blueRow[i] = BlueOf(i);
            table.range[i] = static_cast<unsigned char>(i);
        }
        for (int c = 0; c < 3; ++c) {
            levels[c].assign(256, std::vector<unsigned char*>(256));
            for (int r = 0; r < 256; ++r) {
                for (int g = 0; g < 256; ++g)
                    levels[c][r][g] = c == 0   ? redRows[r].data()
                                      : c == 1 ? greenRows[g].data()
                                               : blueRow.data();
                tops[c].push_back(levels[c][r].data());
            }
            table.plane[c] = tops[c].data();
        }
    }
};

class JpegDecode : public testing::Test {
  protected:
    void SetUp() override { ColorTable = &hand_.table; }
    void TearDown() override { ColorTable = nullptr; }
    HandTable hand_;
};

TEST(JpegEncode, ColourSpacesMapToChannelCountsAndOthersAreRefused) {
    for (int space = -2; space <= 20; ++space) {
        const int expected = space == 2 || space == 6 || space == 8 ? 3
                             : space >= 12 && space <= 15           ? 4
                                                                    : -1;
        EXPECT_EQ(GetColorChannel(static_cast<J_COLOR_SPACE>(space)), expected) << space;
    }
    Bytes pixels = TestImage(16, 16, 4);
    unsigned char sentinel = 0;
    for (J_COLOR_SPACE refused : {JCS_EXT_BGRX, JCS_GRAYSCALE}) {
        unsigned char* jpeg = &sentinel;
        EXPECT_EQ(ZyEncodeJpeg(pixels.data(), &jpeg, 75, 16, 16, refused), -1);
        EXPECT_EQ(jpeg, &sentinel);
    }
}

// The pixels are an exactly sized heap block, so reading past them fails under AddressSanitizer.
TEST(JpegEncode, StreamsAreThoseOfLibjpegWithItsDefaults) {
    for (const auto& [space, channels] : {std::pair{JCS_EXT_BGR, 3}, std::pair{JCS_EXT_ABGR, 4}}) {
        const Bytes pixels = TestImage(256, 256, channels);
        const Bytes expected = EncodeDirect(pixels, 256, 256, space, channels);
        unsigned char* jpeg = nullptr;
        const int size =
            ZyEncodeJpeg(const_cast<uint8_t*>(pixels.data()), &jpeg, 75, 256, 256, space);
        ASSERT_EQ(size, static_cast<int>(expected.size()));
        EXPECT_EQ(Bytes(jpeg, jpeg + size), expected);
        free(jpeg);
    }
}

TEST(JpegEncode, EachEncodeStoresAFreshBufferAndLeavesTheOldOneAlone) {
    Bytes pixels = TestImage(8, 8, 3);
    Bytes old(4, 0xAB);
    unsigned char* jpeg = old.data();
    ASSERT_GT(ZyEncodeJpeg(pixels.data(), &jpeg, 75, 8, 8, JCS_EXT_BGR), 0);
    unsigned char* first = jpeg;
    ASSERT_GT(ZyEncodeJpeg(pixels.data(), &jpeg, 75, 8, 8, JCS_EXT_BGR), 0);
    EXPECT_NE(first, old.data());
    EXPECT_NE(jpeg, first);
    EXPECT_EQ(old, Bytes(4, 0xAB));
    free(first);
    free(jpeg);
}

// libjpeg's errors would otherwise end the process; no partial stream may remain (leak check).
TEST(JpegEncode, RecoversFromLibjpegErrors) {
    Bytes pixels = TestImage(8, 8, 3);
    unsigned char sentinel = 0;
    unsigned char* jpeg = &sentinel;
    EXPECT_EQ(ZyEncodeJpeg(pixels.data(), &jpeg, 75, 0, 8, JCS_EXT_BGR), 0);
    EXPECT_EQ(ZyEncodeJpeg(pixels.data(), &jpeg, 75, 70000, 1, JCS_EXT_BGR), 0);
    EXPECT_EQ(ZyEncodeJpeg(nullptr, &jpeg, 75, 8, 8, JCS_EXT_BGR), 0);
    EXPECT_EQ(jpeg, &sentinel);
}

TEST_F(JpegDecode, CorrectsLibjpegPixelsReadingBytesAsBlueGreenRed) {
    const Bytes colour = EncodeDirect(TestImage(256, 256, 3), 256, 256, JCS_EXT_BGR, 3);
    const Bytes grey = EncodeDirect(TestImage(40, 24, 3), 40, 24, JCS_EXT_BGR, 3, {0, 0});
    struct Case {
        const Bytes& jpeg;
        J_COLOR_SPACE space;
        int channels;
    };
    for (const Case& c : {Case{colour, JCS_EXT_BGR, 3}, Case{colour, JCS_EXT_BGRA, 4},
                          Case{colour, JCS_RGB, 3}, Case{grey, JCS_EXT_BGR, 3}}) {
        const Bytes raw = DecodeDirect(c.jpeg, c.space);
        unsigned char* pixels = nullptr;
        ASSERT_EQ(ZyDecodeJpeg(c.jpeg.data(), c.jpeg.size(), &pixels, c.space),
                  static_cast<int>(raw.size()));
        Bytes expected = raw;
        for (size_t i = 0; i < expected.size(); i += c.channels) {
            expected[i] = BlueOf(raw[i]);
            expected[i + 1] = GreenOf(raw[i + 1]);
            expected[i + 2] = RedOf(raw[i + 2]);
            if (c.channels == 4) expected[i + 3] = 255;
        }
        EXPECT_EQ(Bytes(pixels, pixels + raw.size()), expected) << c.space;
        free(pixels);
    }
    EXPECT_EQ(DecodeDirect(colour, JCS_EXT_BGR).size(), 196608u);
}

TEST_F(JpegDecode, FailuresLeaveThePixelsAloneAndPrintOnlyFatalErrors) {
    const Bytes jpeg = EncodeDirect(TestImage(64, 64, 3), 64, 64, JCS_EXT_BGR, 3);
    unsigned char sentinel = 0;
    unsigned char* pixels = &sentinel;
    const Bytes text(200, 'x');

    testing::internal::CaptureStderr();
    EXPECT_EQ(ZyDecodeJpeg(text.data(), text.size(), &pixels, JCS_EXT_BGR), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(pixels, &sentinel);

    // Layouts the correction cannot handle are refused.
    EXPECT_EQ(ZyDecodeJpeg(jpeg.data(), jpeg.size(), &pixels, JCS_GRAYSCALE), 0);
    EXPECT_EQ(ZyDecodeJpeg(jpeg.data(), jpeg.size(), &pixels, JCS_RGB565), 0);
    // A stream announcing 46341 x 46341 pixels: the byte count does not fit an int.
    Bytes huge = jpeg;
    for (size_t i = 0; i + 9 < huge.size(); ++i)
        if (huge[i] == 0xFF && huge[i + 1] == 0xC0) {
            huge[i + 5] = huge[i + 7] = 0xB5;
            huge[i + 6] = huge[i + 8] = 0x05;
        }
    EXPECT_EQ(ZyDecodeJpeg(huge.data(), huge.size(), &pixels, JCS_EXT_BGR), 0);
    EXPECT_EQ(tarn::DecodeJpegCorrected(jpeg.data(), jpeg.size(), JCS_EXT_BGR, tarn::ColorLookup{},
                                        64, 63, &pixels),
              0);
    EXPECT_EQ(pixels, &sentinel);

    // A truncated stream only warns: it decodes, silently.
    testing::internal::CaptureStderr();
    EXPECT_EQ(ZyDecodeJpeg(jpeg.data(), jpeg.size() / 2, &pixels, JCS_EXT_BGR), 64 * 64 * 3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    free(pixels);

    ColorTable = nullptr;
    pixels = &sentinel;
    EXPECT_EQ(ZyDecodeJpeg(jpeg.data(), jpeg.size(), &pixels, JCS_EXT_BGR), 64 * 64 * 3);
    EXPECT_EQ(pixels, nullptr);
}

// Decoding only the needed rectangle must give exactly the pixels of a full decode, for every
// subsampling, including rectangles at the tile edges and tiles that end inside an iMCU.
TEST(JpegTile, NeededPixelsAreThoseOfAFullDecode) {
    const Sampling samplings[] = {{2, 2}, {2, 1}, {1, 1}, {0, 0}};
    const std::pair<uint32_t, uint32_t> sizes[] = {{256, 256}, {250, 189}};
    std::minstd_rand random(7);
    for (const Sampling sampling : samplings)
        for (const auto& [width, height] : sizes) {
            const Bytes jpeg =
                EncodeDirect(TestImage(width, height, 3), width, height, JCS_EXT_BGR, 3, sampling);
            const Bytes full = DecodeDirect(jpeg, JCS_EXT_BGR);
            const size_t stride = width * 3 + 5;  // a gap after each row must stay untouched
            Bytes out(stride * height);
            std::vector<tarn::PixelRect> rects = {{0, 0, 0, 0},
                                                  {0, 0, 1, 1},
                                                  {width - 1, height - 1, 1, 1},
                                                  {0, height - 3, width, 3},
                                                  {width - 17, 0, 17, height},
                                                  {31, 47, 1, 1}};
            for (int i = 0; i < 60; ++i) {
                const uint32_t x = static_cast<uint32_t>(random() % width),
                               y = static_cast<uint32_t>(random() % height);
                rects.push_back({x, y, static_cast<uint32_t>(1 + random() % (width - x)),
                                 static_cast<uint32_t>(1 + random() % (height - y))});
            }
            for (const tarn::PixelRect& rect : rects) {
                std::fill(out.begin(), out.end(), 0xEE);
                ASSERT_TRUE(tarn::DecodeJpegBgr(jpeg.data(), jpeg.size(), width, height, rect,
                                                out.data(), stride));
                const tarn::PixelRect r =
                    rect.width == 0 ? tarn::PixelRect{0, 0, width, height} : rect;
                for (uint32_t y = r.y; y < r.y + r.height; ++y)
                    ASSERT_EQ(0, std::memcmp(&out[y * stride + r.x * 3],
                                             &full[(y * width + r.x) * 3], r.width * 3))
                        << "sampling " << sampling.h << "x" << sampling.v << ", " << width
                        << " wide, rect " << r.x << "," << r.y << " " << r.width << "x" << r.height
                        << ", row " << y;
                for (uint32_t y = 0; y < height; ++y)
                    ASSERT_EQ(Bytes(&out[y * stride + width * 3], &out[(y + 1) * stride]),
                              Bytes(5, 0xEE));
            }
        }
}

TEST(JpegTile, RefusesOtherSizesAndUndecodableStreams) {
    const Bytes jpeg = EncodeDirect(TestImage(32, 16, 3), 32, 16, JCS_EXT_BGR, 3);
    Bytes out(32 * 32 * 3);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(tarn::DecodeJpegBgr(jpeg.data(), jpeg.size(), 32, 32, {}, out.data(), 96));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(tarn::DecodeJpegBgr(jpeg.data(), jpeg.size(), 32, 16, {}, out.data(), 95));
    // libjpeg's complaint is kept for the caller, not printed.
    tarn::Error why;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(tarn::DecodeJpegBgr(jpeg.data(), 10, 32, 16, {}, out.data(), 96, &why));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(why.loud);
    EXPECT_FALSE(why.empty());
}

}  // namespace
