// Drawing requests from a small slide: the pixels come from the right picture, scaled by a box
// filter, turned, mirrored and reduced to gray or bitonal as documented, and encoded.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <jpeglib.h>

#include "TarnWriter.h"
#include "iiif/Render.h"

namespace tarncli::iiif {
namespace {

class IiifRender : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        directory_ = new tarnwriter::ScratchDirectory("iiif-render");
        path_ = directory_->path() + "/sample.tarn";
        // 987 x 747 pixels, a level of 493 x 373 and one coarse level of 247 x 187.
        tarnwriter::WriteFile(path_, tarnwriter::BuildSlide(tarnwriter::SampleSpec(4, 3, 2)).bytes);
        slide_ = tarn_open(path_.c_str());
        ASSERT_NE(slide_, nullptr) << tarn_get_error(nullptr);
        std::string error;
        ASSERT_TRUE(DescribeSlide(slide_, &facts_, &error)) << error;
    }
    static void TearDownTestSuite() {
        tarn_close(slide_);
        delete directory_;
    }

    static ResolvedRequest Resolve(const std::string& path, const Limits& limits = {}) {
        ImageRequest request;
        ResolvedRequest resolved;
        Error e = ParseImagePath(path, &request);
        if (!e) e = ResolveImageRequest(request, facts_.width, facts_.height, limits, &resolved);
        EXPECT_FALSE(e) << path << ": " << e.message;
        return resolved;
    }

    // The request drawn as a PNG and read back.
    static Pixels DrawPng(const ResolvedRequest& request, const SlideFacts& facts = facts_) {
        std::string png;
        const Error e = RenderImage(slide_, facts, request, RenderOptions{}, &png);
        EXPECT_FALSE(e) << e.message;
        return DecodePng(png);
    }

    static Pixels DecodePng(const std::string& png) {
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        Pixels pixels;
        if (png_image_begin_read_from_memory(&image, png.data(), png.size()) == 0) {
            ADD_FAILURE() << image.message;
            return pixels;
        }
        pixels.channels = (image.format & PNG_FORMAT_FLAG_COLOR) != 0 ? 3 : 1;
        image.format = pixels.channels == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
        pixels.width = image.width;
        pixels.height = image.height;
        pixels.data.resize(PNG_IMAGE_SIZE(image));
        EXPECT_NE(png_image_finish_read(&image, nullptr, pixels.data.data(), 0, nullptr), 0);
        return pixels;
    }

    // A rectangle of a stored level (coarse: of a coarse level), in its own pixels.
    static Pixels ReadSource(bool coarse, int32_t level, int64_t x, int64_t y, int64_t w,
                             int64_t h) {
        Pixels pixels;
        pixels.width = w;
        pixels.height = h;
        pixels.data.resize(w * h * 3);
        const int status = coarse ? tarn_read_coarse_region(slide_, pixels.data.data(), level, x, y,
                                                            w, h, TARN_FORMAT_RGB)
                                  : tarn_read_level_region(slide_, pixels.data.data(), level, x, y,
                                                           w, h, TARN_FORMAT_RGB);
        EXPECT_EQ(status, 0) << tarn_get_error(slide_);
        return pixels;
    }

    // Each output pixel the area-weighted mean of the source pixels it covers, in doubles.
    static Pixels BoxReference(const Pixels& in, int64_t ow, int64_t oh) {
        Pixels out;
        out.width = ow;
        out.height = oh;
        out.data.resize(ow * oh * 3);
        const double sx = static_cast<double>(in.width) / ow;
        const double sy = static_cast<double>(in.height) / oh;
        for (int64_t oy = 0; oy < oh; ++oy) {
            for (int64_t ox = 0; ox < ow; ++ox) {
                double sum[3] = {0, 0, 0};
                const double x0 = ox * sx, x1 = (ox + 1) * sx, y0 = oy * sy, y1 = (oy + 1) * sy;
                for (auto y = static_cast<int64_t>(y0); y < y1 && y < in.height; ++y) {
                    const double wy = std::min(y1, y + 1.0) - std::max(y0, double(y));
                    for (auto x = static_cast<int64_t>(x0); x < x1 && x < in.width; ++x) {
                        const double wx = std::min(x1, x + 1.0) - std::max(x0, double(x));
                        for (int c = 0; c < 3; ++c)
                            sum[c] += wx * wy * in.data[(y * in.width + x) * 3 + c];
                    }
                }
                for (int c = 0; c < 3; ++c)
                    out.data[(oy * ow + ox) * 3 + c] =
                        static_cast<uint8_t>(std::lround(sum[c] / (sx * sy)));
            }
        }
        return out;
    }

    // The largest difference of two pictures of the same shape, and their mean difference.
    static int MaxDifference(const Pixels& a, const Pixels& b, double* mean = nullptr) {
        EXPECT_EQ(a.width, b.width);
        EXPECT_EQ(a.height, b.height);
        EXPECT_EQ(a.channels, b.channels);
        if (a.data.size() != b.data.size()) return 256;
        int largest = 0;
        double total = 0;
        for (size_t i = 0; i < a.data.size(); ++i) {
            const int d = std::abs(a.data[i] - b.data[i]);
            largest = std::max(largest, d);
            total += d;
        }
        if (mean != nullptr) *mean = total / static_cast<double>(a.data.size());
        return largest;
    }

    static tarnwriter::ScratchDirectory* directory_;
    static std::string path_;
    static tarn_slide* slide_;
    static SlideFacts facts_;
};

tarnwriter::ScratchDirectory* IiifRender::directory_ = nullptr;
std::string IiifRender::path_;
tarn_slide* IiifRender::slide_ = nullptr;
SlideFacts IiifRender::facts_;

TEST_F(IiifRender, DescribesTheSlide) {
    EXPECT_EQ(facts_.width, 987);
    EXPECT_EQ(facts_.height, 747);
    ASSERT_EQ(facts_.sources.size(), 3U);
    EXPECT_EQ(facts_.sources[1].downsample, 2);
    EXPECT_EQ(facts_.sources[1].width, 493);
    EXPECT_TRUE(facts_.sources[2].coarse);
    EXPECT_EQ(facts_.sources[2].downsample, 4);
    EXPECT_EQ(facts_.sources[2].width, 247);
    EXPECT_EQ(facts_.sources[2].height, 187);
    EXPECT_EQ(ScaleFactors(facts_), (std::vector<int64_t>{1, 2, 4}));
    EXPECT_EQ(facts_.mppX, 0.25);
    EXPECT_EQ(facts_.objectivePower, 40);
}

TEST_F(IiifRender, TilesAtAScaleFactorAreThatLevelsPixels) {
    const struct {
        const char* path;
        size_t source;
        int64_t x, y;
    } cases[] = {
        {"256,256,256,256/256,256/0/default.png", 0, 256, 256},
        {"0,0,512,512/256,256/0/default.png", 1, 0, 0},
        {"0,0,1024,1024/247,187/0/default.png", 2, 0, 0},
    };
    for (const auto& c : cases) {
        const ResolvedRequest request = Resolve(c.path);
        const SourcePlan plan = PlanSource(facts_, request);
        EXPECT_EQ(plan.source, c.source) << c.path;
        const Source& source = facts_.sources[plan.source];
        EXPECT_EQ(ReadsCoarseLevels(facts_, request), source.coarse);
        const Pixels expected =
            ReadSource(source.coarse, source.level, c.x, c.y, request.width, request.height);
        EXPECT_EQ(MaxDifference(DrawPng(request), expected), 0) << c.path;
    }
}

TEST_F(IiifRender, ScalesWithABoxFilter) {
    // full/max within a small area: 344 x 260 from the 493 x 373 level.
    const ResolvedRequest max = Resolve("full/max/0/default.png", Limits{300 * 300, 400, 400});
    ASSERT_EQ(max.width, 344);
    ASSERT_EQ(max.height, 260);
    ASSERT_EQ(PlanSource(facts_, max).source, 1U);
    const Pixels reference = BoxReference(ReadSource(false, 1, 0, 0, 493, 373), 344, 260);
    EXPECT_LE(MaxDifference(DrawPng(max), reference), 1);

    ResolvedRequest jpeg = max;
    jpeg.format = Format::Jpg;
    std::string bytes;
    ASSERT_FALSE(RenderImage(slide_, facts_, jpeg, RenderOptions{}, &bytes));
    Pixels decoded;
    decoded.width = 344;
    decoded.height = 260;
    uint32_t w = 0, h = 0;
    ASSERT_TRUE(tarnwriter::DecodeJpeg(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                       &decoded.data, &w, &h, JCS_RGB));
    EXPECT_EQ(w, 344U);
    EXPECT_EQ(h, 260U);
    double mean = 0;
    MaxDifference(decoded, reference, &mean);
    EXPECT_LT(mean, 3.0);

    // A right-edge tile at scale 2 is not whole in the level below, so it is drawn from full
    // resolution: 475 x 235 pixels onto 238 x 118.
    const ResolvedRequest edge = Resolve("512,512,512,512/238,118/0/default.png");
    ASSERT_EQ(PlanSource(facts_, edge).source, 0U);
    EXPECT_LE(MaxDifference(DrawPng(edge),
                            BoxReference(ReadSource(false, 0, 512, 512, 475, 235), 238, 118)),
              1);

    // At a step of exactly 2, each pixel is the rounded mean of four.
    SlideFacts stored = facts_;
    stored.sources.pop_back();
    const Pixels fine = ReadSource(false, 1, 0, 0, 256, 256);
    Pixels halves;
    halves.width = halves.height = 128;
    for (int64_t y = 0; y < 128; ++y)
        for (int64_t x = 0; x < 128; ++x)
            for (int c = 0; c < 3; ++c) {
                const auto at = [&](int64_t dx, int64_t dy) {
                    return fine.data[((2 * y + dy) * 256 + 2 * x + dx) * 3 + c];
                };
                halves.data.push_back(
                    static_cast<uint8_t>((at(0, 0) + at(1, 0) + at(0, 1) + at(1, 1) + 2) / 4));
            }
    EXPECT_EQ(MaxDifference(DrawPng(Resolve("0,0,512,512/128,128/0/default.png"), stored), halves),
              0);
}

TEST_F(IiifRender, SmallBlocksGiveTheSamePixels) {
    RenderOptions small;
    small.blockBytes = 1;  // raised to the smallest block, a few rows of few pixels
    for (const char* path : {"full/344,260/0/default.png", "pct:5,5,90,90/!300,300/!90/gray.png",
                             "7,3,980,700/97,/270/default.png"}) {
        const ResolvedRequest request = Resolve(path);
        Pixels whole, blocks;
        ASSERT_FALSE(RenderPixels(slide_, facts_, request, RenderOptions{}, &whole));
        ASSERT_FALSE(RenderPixels(slide_, facts_, request, small, &blocks));
        EXPECT_EQ(MaxDifference(whole, blocks), 0) << path;
    }
}

TEST_F(IiifRender, RotatesMirrorsAndReducesTheScaledPixels) {
    const int64_t w = 7, h = 5;
    const Pixels region = ReadSource(false, 0, 100, 100, w, h);
    for (const char* quality : {"default", "gray", "bitonal"}) {
        for (const char* rotation : {"0", "90", "180", "270", "!0", "!90", "!180", "!270"}) {
            const std::string path =
                "100,100,7,5/max/" + std::string(rotation) + "/" + quality + ".png";
            const ResolvedRequest request = Resolve(path);
            const Pixels out = DrawPng(request);
            const int turn = request.rotation;
            ASSERT_EQ(out.width, turn % 180 ? h : w) << path;
            ASSERT_EQ(out.height, turn % 180 ? w : h) << path;
            ASSERT_EQ(out.channels, quality[0] == 'd' ? 3 : 1) << path;
            int mismatches = 0;
            for (int64_t Y = 0; Y < out.height; ++Y) {
                for (int64_t X = 0; X < out.width; ++X) {
                    // Undo the clockwise turn, then the mirror.
                    int64_t i = X, j = Y;
                    if (turn == 90) i = Y, j = h - 1 - X;
                    if (turn == 180) i = w - 1 - X, j = h - 1 - Y;
                    if (turn == 270) i = w - 1 - Y, j = X;
                    if (request.mirror) i = w - 1 - i;
                    const uint8_t* rgb = &region.data[(j * w + i) * 3];
                    const uint8_t* got = &out.data[(Y * out.width + X) * out.channels];
                    const int luma = (54 * rgb[0] + 183 * rgb[1] + 19 * rgb[2] + 128) / 256;
                    if (out.channels == 3) {
                        mismatches += got[0] != rgb[0] || got[1] != rgb[1] || got[2] != rgb[2];
                    } else if (quality[0] == 'g') {
                        mismatches += got[0] != luma;
                    } else {
                        mismatches += got[0] != (luma >= 128 ? 255 : 0);
                    }
                }
            }
            EXPECT_EQ(mismatches, 0) << path;
        }
    }
}

TEST_F(IiifRender, RefusesWhatItCannotDraw) {
    // A size far out of the region's proportions reads the whole region at full resolution.
    RenderOptions tight;
    tight.maxReadPixels = 100000;
    std::string bytes;
    EXPECT_EQ(
        RenderImage(slide_, facts_, Resolve("full/987,1/0/default.jpg"), tight, &bytes).status,
        400);
    EXPECT_FALSE(RenderImage(slide_, facts_, Resolve("full/247,187/0/default.jpg"), tight, &bytes));
    EXPECT_EQ(bytes.substr(0, 3), "\xff\xd8\xff");

    // A slide whose file went away answers 500 with the library's reason.
    const std::string copy = directory_->path() + "/gone.tarn";
    tarnwriter::WriteFile(copy, tarnwriter::ReadFile(path_));
    tarn_slide* gone = tarn_open(copy.c_str());
    ASSERT_NE(gone, nullptr);
    SlideFacts facts;
    std::string error;
    ASSERT_TRUE(DescribeSlide(gone, &facts, &error));
    ASSERT_EQ(unlink(copy.c_str()), 0);
    const Error e = RenderImage(gone, facts, Resolve("300,300,10,10/max/0/default.png"),
                                RenderOptions{}, &bytes);
    EXPECT_EQ(e.status, 500);
    EXPECT_NE(e.message.find("cannot read the slide"), std::string::npos) << e.message;
    tarn_close(gone);
}

}  // namespace
}  // namespace tarncli::iiif
