// IIIF image requests: every form of each segment, each refusal with its status, and the size
// bounds.
#include <gtest/gtest.h>

#include "iiif/Request.h"

namespace tarncli::iiif {
namespace {

// Parses and resolves `path` for an image of width x height; the cache key, or "<status>".
std::string Resolve(const std::string& path, int64_t width = 1000, int64_t height = 800,
                    const Limits& limits = {}) {
    ImageRequest request;
    ResolvedRequest resolved;
    Error e = ParseImagePath(path, &request);
    if (!e) e = ResolveImageRequest(request, width, height, limits, &resolved);
    if (e) {
        EXPECT_FALSE(e.message.empty()) << path;
        return std::to_string(e.status);
    }
    return CacheKey(resolved);
}

TEST(IiifRequest, ResolvesEveryForm) {
    const struct {
        const char* path;
        const char* key;
    } cases[] = {
        {"full/max/0/default.jpg", "0,0,1000,800/1000,800/0/default"},
        {"full/1000,800/0/color.png", "0,0,1000,800/1000,800/0/default"},
        {"square/max/0/default.jpg", "100,0,800,800/800,800/0/default"},
        {"10,20,30,40/max/0/default.jpg", "10,20,30,40/30,40/0/default"},
        {"0010,20,30,40/max/0/default.jpg", "10,20,30,40/30,40/0/default"},
        // Past the image: cropped to it.
        {"900,700,500,500/max/0/default.jpg", "900,700,100,100/100,100/0/default"},
        {"999,799,9999999999,9999999999/max/0/default.jpg", "999,799,1,1/1,1/0/default"},
        {"pct:10,10,50,50/max/0/default.jpg", "100,80,500,400/500,400/0/default"},
        // Every pixel the percentages touch.
        {"pct:0,0,33.3,100/max/0/default.jpg", "0,0,333,800/333,800/0/default"},
        {"pct:50,50,200,200/max/0/default.jpg", "500,400,500,400/500,400/0/default"},
        {"pct:0,0,0.0001,0.0001/max/0/default.jpg", "0,0,1,1/1,1/0/default"},
        {"full/500,/0/default.jpg", "0,0,1000,800/500,400/0/default"},
        {"full/,400/0/default.jpg", "0,0,1000,800/500,400/0/default"},
        {"full/333,/0/default.jpg", "0,0,1000,800/333,266/0/default"},
        {"full/pct:50/0/default.jpg", "0,0,1000,800/500,400/0/default"},
        {"full/pct:12.5/0/default.jpg", "0,0,1000,800/125,100/0/default"},
        {"full/500,500/0/default.jpg", "0,0,1000,800/500,500/0/default"},
        {"full/!500,500/0/default.jpg", "0,0,1000,800/500,400/0/default"},
        {"full/!500,100/0/default.jpg", "0,0,1000,800/125,100/0/default"},
        // Best fit without enlarging: never past the region.
        {"full/!2000,2000/0/default.jpg", "0,0,1000,800/1000,800/0/default"},
        // '^' forms that do not enlarge are the plain ones.
        {"full/^500,/0/default.jpg", "0,0,1000,800/500,400/0/default"},
        {"full/^,800/0/default.jpg", "0,0,1000,800/1000,800/0/default"},
        {"full/^pct:100/0/default.jpg", "0,0,1000,800/1000,800/0/default"},
        {"full/^1000,800/0/default.jpg", "0,0,1000,800/1000,800/0/default"},
        {"full/^!500,500/0/default.jpg", "0,0,1000,800/500,400/0/default"},
        {"full/max/90/default.jpg", "0,0,1000,800/1000,800/90/default"},
        {"full/max/!90/default.jpg", "0,0,1000,800/1000,800/!90/default"},
        {"full/max/!0/gray.png", "0,0,1000,800/1000,800/!0/gray"},
        {"full/max/180.0/bitonal.jpg", "0,0,1000,800/1000,800/180/bitonal"},
        {"full/max/360/default.jpg", "0,0,1000,800/1000,800/0/default"},
        {"full/max/270/color.jpg", "0,0,1000,800/1000,800/270/default"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Resolve(c.path), c.key) << c.path;
}

TEST(IiifRequest, RefusesWithTheRightStatus) {
    const struct {
        const char* path;
        const char* status;
    } cases[] = {
        {"fulll/max/0/default.jpg", "400"},
        {"full/max/0", "400"},
        {"full/max/0/default.jpg/x", "400"},
        {"-1,0,10,10/max/0/default.jpg", "400"},
        {"+1,0,10,10/max/0/default.jpg", "400"},
        {" 1,0,10,10/max/0/default.jpg", "400"},
        {"1,2,3/max/0/default.jpg", "400"},
        {"1,2,3,4,5/max/0/default.jpg", "400"},
        {"12345678901,0,1,1/max/0/default.jpg", "400"},
        {"1.5,0,10,10/max/0/default.jpg", "400"},
        {"0,0,0,10/max/0/default.jpg", "400"},
        {"1000,0,10,10/max/0/default.jpg", "400"},
        {"0,800,10,10/max/0/default.jpg", "400"},
        {"pct:100,0,10,10/max/0/default.jpg", "400"},
        {"pct:0,0,0,10/max/0/default.jpg", "400"},
        {"pct:1e2,0,1,1/max/0/default.jpg", "400"},
        {"pct:nan,0,1,1/max/0/default.jpg", "400"},
        {"pct:.5,0,1,1/max/0/default.jpg", "400"},
        {"pct:5.,0,1,1/max/0/default.jpg", "400"},
        {"pct:-5,0,1,1/max/0/default.jpg", "400"},
        {"full/full/0/default.jpg", "400"},  // 2.x's name for max
        {"full/0,/0/default.jpg", "400"},
        {"full/,/0/default.jpg", "400"},
        {"full/!10,/0/default.jpg", "400"},
        {"full/10,10,10/0/default.jpg", "400"},
        {"full/pct:0/0/default.jpg", "400"},
        {"full/pct:0.01/0/default.jpg", "400"},  // rounds to no pixel
        {"full/^^max/0/default.jpg", "400"},
        // Plain sizes past the region are wrong; '^' ones are valid but not done here.
        {"full/1001,/0/default.jpg", "400"},
        {"full/,801/0/default.jpg", "400"},
        {"full/pct:101/0/default.jpg", "400"},
        {"full/1000,801/0/default.jpg", "400"},
        {"full/^1001,/0/default.jpg", "501"},
        {"full/^,801/0/default.jpg", "501"},
        {"full/^pct:150/0/default.jpg", "501"},
        {"full/^1000,801/0/default.jpg", "501"},
        {"full/^!2000,2000/0/default.jpg", "501"},
        {"full/^max/0/default.jpg", "501"},
        {"full/max/45/default.jpg", "501"},
        {"full/max/!22.5/default.jpg", "501"},
        {"full/max/361/default.jpg", "400"},
        {"full/max/-90/default.jpg", "400"},
        {"full/max/!/default.jpg", "400"},
        {"full/max/90deg/default.jpg", "400"},
        {"full/max/0/native.jpg", "400"},
        {"full/max/0/Default.jpg", "400"},
        {"full/max/0/default.tif", "400"},
        {"full/max/0/default.", "400"},
        {"full/max/0/default", "400"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Resolve(c.path), c.status) << c.path;
}

TEST(IiifRequest, KeepsWithinTheBounds) {
    // max gives the largest size of the region's proportions within maxArea.
    ImageRequest request;
    ResolvedRequest r;
    ASSERT_FALSE(ParseImagePath("full/max/0/default.jpg", &request));
    ASSERT_FALSE(ResolveImageRequest(request, 10000, 8000, Limits{}, &r));
    EXPECT_LE(r.width * r.height, 4096 * 4096);
    EXPECT_GT((r.width + 1) * (r.height + 1), 4096 * 4096);
    EXPECT_NEAR(static_cast<double>(r.width) / r.height, 1.25, 0.001);
    EXPECT_EQ(Resolve("full/^max/0/default.jpg", 10000, 8000), CacheKey(r));
    EXPECT_EQ(Resolve("full/!9000,9000/0/default.jpg", 10000, 8000), CacheKey(r));
    // An explicit size beyond the bounds is refused, never drawn.
    EXPECT_EQ(Resolve("full/5000,/0/default.jpg", 10000, 8000), "400");
    EXPECT_EQ(Resolve("full/4096,4096/0/default.jpg", 10000, 8000),
              "0,0,10000,8000/4096,4096/0/default");
    EXPECT_EQ(Resolve("full/4096,4097/0/default.jpg", 10000, 8000), "400");

    const Limits narrow{int64_t{1} << 40, 1000, 500};
    EXPECT_EQ(Resolve("full/max/0/default.jpg", 4000, 1000, narrow),
              "0,0,4000,1000/1000,250/0/default");
    EXPECT_EQ(Resolve("full/max/0/default.jpg", 1000, 4000, narrow),
              "0,0,1000,4000/125,500/0/default");
    EXPECT_EQ(Resolve("full/1001,/0/default.jpg", 4000, 1000, narrow), "400");
    EXPECT_EQ(Resolve("full/,501/0/default.jpg", 4000, 1000, narrow), "400");

    // Extreme proportions stay within the area, and quickly.
    int64_t w = 0, h = 0;
    FitWithin(kLargestImage, 1, 65500, 65500, 100, &w, &h);
    EXPECT_EQ(w * h, 100);
    FitWithin(1, kLargestImage, 65500, 65500, 7, &w, &h);
    EXPECT_EQ(w, 1);
    EXPECT_EQ(h, 7);

    // Slides and limits that cannot be served are the server's fault.
    EXPECT_EQ(Resolve("full/max/0/default.jpg", 0, 10), "500");
    EXPECT_EQ(Resolve("full/max/0/default.jpg", kLargestImage + 1, 10), "500");
    EXPECT_EQ(Resolve("full/max/0/default.jpg", 10, 10, Limits{0, 10, 10}), "500");
    EXPECT_EQ(Resolve("full/max/0/default.jpg", 10, 10, Limits{100, 70000, 10}), "500");
}

TEST(IiifRequest, ResolvesTheOutputSize) {
    ImageRequest request;
    ResolvedRequest r;
    ASSERT_FALSE(ParseImagePath("10,20,300,200/150,/!90/gray.png", &request));
    ASSERT_FALSE(ResolveImageRequest(request, 1000, 800, Limits{}, &r));
    EXPECT_EQ(r.x, 10);
    EXPECT_EQ(r.y, 20);
    EXPECT_EQ(r.width, 150);
    EXPECT_EQ(r.height, 100);
    EXPECT_EQ(r.OutputWidth(), 100);
    EXPECT_EQ(r.OutputHeight(), 150);
    EXPECT_TRUE(r.mirror);
    EXPECT_EQ(r.quality, Quality::Gray);
    EXPECT_EQ(r.format, Format::Png);
    EXPECT_STREQ(FormatContentType(r.format), "image/png");
    EXPECT_STREQ(FormatExtension(Format::Jpg), "jpg");
}

}  // namespace
}  // namespace tarncli::iiif
