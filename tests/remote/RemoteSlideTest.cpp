// Slides through tarn.h from URLs (nginx over http and https, s3rver), read beside the same file:
// the same regions and associated images (properties, Deep Zoom and export tiles are compared
// through tarnslide and the tool, test_interfaces.py), the open's round trips and its kept index,
// and faults failing calls cleanly.
#include <sys/stat.h>
#include <utime.h>

#include <chrono>
#include <filesystem>
#include <random>

#include "Core/LayerIndex.h"
#include "RemoteTesting.h"
#include "tarn.h"

namespace remotetest {
namespace {

using Handle = std::unique_ptr<tarn_slide, decltype(&tarn_close)>;

Handle OpenSlide(const std::string& name) {
    return {tarn_open(name.c_str()), &tarn_close};
}

std::string OpenError() {
    const char* why = tarn_get_error(nullptr);
    return why != nullptr ? why : "";
}

// A decodable slide of three layers whose layer records lie 2 MiB beyond what comes before them,
// so that the open has records to look for beyond its first read and its read of the slide's
// end, and the last rows of layer 0 lie in no stretch the open reads.
struct RealSlide {
    std::string bytes;
    tarnwriter::SlideLayout layout;
    std::string path;  // the same bytes in a local file
};

const RealSlide& Real() {
    static const RealSlide slide = [] {
        tarnwriter::SlideSpec spec = tarnwriter::SampleSpec(8, 6, 3);
        spec.tileEncoder = tarnwriter::JpegTiles(98);  // layer 0 takes more than a mebibyte
        spec.layers[0].boundWidth = 37;
        spec.layers[0].gapBefore = uint64_t{2} << 20;
        spec.layers[1].gapBefore = uint64_t{2} << 20;
        spec.layers[2].gapBefore = uint64_t{2} << 20;
        tarnwriter::SlideFile file = tarnwriter::BuildSlide(spec);
        RealSlide real{std::string(file.bytes.begin(), file.bytes.end()), file.layout,
                       testing::TempDir() + "remote-real.tarn"};
        WriteFileAtomically(real.path, real.bytes);
        return real;
    }();
    return slide;
}

std::vector<uint8_t> Region(tarn_slide* slide, int64_t x, int64_t y, int32_t level, int64_t w,
                            int64_t h) {
    std::vector<uint8_t> pixels(static_cast<size_t>(w * h * 4), 0xEE);
    if (tarn_read_region(slide, pixels.data(), x, y, level, w, h, TARN_FORMAT_RGBA) != 0)
        pixels.clear();
    return pixels;
}

// The level-0 rectangle of tile `index` of layer 0.
struct TileBox {
    int64_t x, y;
};
TileBox TileOrigin(uint32_t index) {
    return {int64_t{256} * (index % 8), int64_t{256} * (index / 8)};
}

// Layer 0's tiles that lie beyond the open's read ahead of its record: fetched only when read.
std::vector<uint32_t> UnreadTiles() {
    const tarnwriter::SlideLayout& layout = Real().layout;
    std::vector<uint32_t> tiles;
    for (uint32_t t = 0; t < layout.tileOffsets[0].size(); ++t)
        if (layout.tileOffsets[0][t] > layout.layerRecords[0] + (uint64_t{1} << 20))
            tiles.push_back(t);
    return tiles;
}

void ExpectSameSlide(tarn_slide* local, tarn_slide* remote, const std::string& url) {
    SCOPED_TRACE(url);
    // Properties are compared through the tool and tarnslide; a URL's slide names its version.
    EXPECT_NE(nullptr, tarn_get_property_value(remote, TARN_PROPERTY_NAME_OBJECT_VERSION));
    EXPECT_EQ(nullptr, tarn_get_property_value(local, TARN_PROPERTY_NAME_OBJECT_VERSION));

    // Regions of every level, reaching past the edges too.
    std::mt19937 random(5);
    ASSERT_EQ(tarn_get_level_count(local), tarn_get_level_count(remote));
    for (int32_t level = 0; level < tarn_get_level_count(local); ++level) {
        int64_t w = 0, h = 0;
        tarn_get_level0_dimensions(local, &w, &h);
        for (int i = 0; i < 4; ++i) {
            const int64_t x = static_cast<int64_t>(random() % w) - 100;
            const int64_t y = static_cast<int64_t>(random() % h) - 100;
            const std::vector<uint8_t> expected = Region(local, x, y, level, 300, 200);
            ASSERT_FALSE(expected.empty());
            ASSERT_EQ(expected, Region(remote, x, y, level, 300, 200))
                << level << " " << x << "," << y << ": " << tarn_get_error(remote);
        }
    }

    // Associated images.
    for (const char* const* n = tarn_get_associated_image_names(local); *n != nullptr; ++n) {
        int64_t w = 0, h = 0;
        tarn_get_associated_image_dimensions(local, *n, &w, &h);
        std::vector<uint8_t> expected(static_cast<size_t>(w * h * 4)), got(expected.size());
        ASSERT_EQ(0, tarn_read_associated_image(local, *n, expected.data(), TARN_FORMAT_RGBA));
        ASSERT_EQ(0, tarn_read_associated_image(remote, *n, got.data(), TARN_FORMAT_RGBA))
            << tarn_get_error(remote);
        EXPECT_EQ(expected, got) << *n;
    }
}

// The slide put into s3rver's bucket under `key`, s3:// URLs sent to s3rver with these
// credentials; its URL.
std::string PutReal(const S3& s3, const std::string& key, const char* keyId, const char* secret) {
    PutS3Object(s3, key, Real().bytes);
    setenv("AWS_ENDPOINT_URL", ("http://127.0.0.1:" + std::to_string(s3.port)).c_str(), 1);
    setenv("AWS_REGION", "us-east-1", 1);
    setenv("AWS_ACCESS_KEY_ID", keyId, 1);
    setenv("AWS_SECRET_ACCESS_KEY", secret, 1);
    return "s3://" + s3.bucket + "/" + key;
}

class RemoteSlide : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        nginx = StartNginx(&why);
        REQUIRE_SERVER(nginx, why);
        tarn::remote::SetRemoteCacheCapacity(64 << 20);
    }
    void TearDown() override {
        for (const char* name : {"TARN_REMOTE_TIMEOUT", "CURL_CA_BUNDLE", "AWS_ACCESS_KEY_ID",
                                 "AWS_SECRET_ACCESS_KEY", "AWS_ENDPOINT_URL", "AWS_REGION"})
            unsetenv(name);
        tarn::remote::SetRemoteCacheCapacity(64 << 20);
    }
    std::string Proxied(const std::string& faults, const std::string& name) {
        std::string why;
        const int port = StartFaultProxy(&why);
        EXPECT_NE(0, port) << why;
        return "http://127.0.0.1:" + std::to_string(port) + "/" + faults + "/" + name;
    }
    const Nginx* nginx = nullptr;
};

TEST_F(RemoteSlide, EveryReadGivesTheFilesPixels) {
    const Handle local = OpenSlide(Real().path);
    ASSERT_TRUE(local) << OpenError();
    std::vector<std::string> urls = {Publish(*nginx, "real.tarn", Real().bytes),
                                     nginx->Https("real.tarn")};
    std::string why;
    if (const S3* s3 = StartS3(&why)) {
        urls.push_back(PutReal(*s3, "dir/real slide.tarn", "S3RVER", "S3RVER"));
    } else if (ServersRequired()) {
        FAIL() << why;
    }
    setenv("CURL_CA_BUNDLE", nginx->caFile.c_str(), 1);
    for (const std::string& url : urls) {
        EXPECT_STREQ("tarn", tarn_detect_vendor(url.c_str())) << url;
        const Handle remote = OpenSlide(url);
        ASSERT_TRUE(remote) << url << ": " << OpenError();
        ExpectSameSlide(local.get(), remote.get(), url);
    }
    EXPECT_EQ(nullptr, tarn_detect_vendor(nginx->Http("missing.tarn").c_str()));
}

// The index file of a slide's layer records in the table folder, or "".
std::string IndexFile() {
    for (const auto& entry : std::filesystem::directory_iterator(getenv("TARN_CACHE_DIR")))
        if (entry.path().filename().string().rfind("layer-index-", 0) == 0) return entry.path();
    return "";
}

// Requests the open of `url` takes.
uint64_t OpenRequests(const std::string& url) {
    const uint64_t before = Requests();
    const Handle slide = OpenSlide(url);
    EXPECT_TRUE(slide) << OpenError();
    return Requests() - before;
}

// First open, in three round trips: the leading mebibyte; layer 0's record 2 MiB on, with the
// slide's last mebibyte (where layer 2 lies) in parallel; layer 1's record. Later opens: the
// leading mebibyte only, the records and tables coming from memory or from the index file. An
// index file that was damaged is not used, and is written anew.
TEST_F(RemoteSlide, ReopensTakeOneRequest) {
    const char* folder = getenv("TARN_CACHE_DIR");
    ASSERT_NE(nullptr, folder);
    const std::string scratch = std::string(folder) + "/../remote-index-test";
    setenv("TARN_CACHE_DIR", scratch.c_str(), 1);
    const std::string url = Publish(*nginx, "trips.tarn", Real().bytes);
    EXPECT_EQ(4u, OpenRequests(url));
    EXPECT_EQ(1u, OpenRequests(url));
    tarn::ForgetLayerIndexesInMemory();
    EXPECT_EQ(1u, OpenRequests(url));

    const std::string file = IndexFile();
    ASSERT_FALSE(file.empty());
    struct stat st {};
    ASSERT_EQ(0, stat(file.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    const std::string kept = ReadFile(file);
    std::string damaged = kept;
    damaged[damaged.size() / 2] ^= 1;
    WriteFileAtomically(file, damaged);
    chmod(file.c_str(), 0600);
    tarn::ForgetLayerIndexesInMemory();
    const Handle local = OpenSlide(Real().path), remote = OpenSlide(url);
    ASSERT_TRUE(remote) << OpenError();
    EXPECT_EQ(Region(local.get(), 0, 0, 0, 2048, 1536), Region(remote.get(), 0, 0, 0, 2048, 1536));
    EXPECT_EQ(kept, ReadFile(file));
    std::filesystem::remove_all(scratch);
    setenv("TARN_CACHE_DIR", folder, 1);
}

// Once the object changes on the server, a read that reaches the server fails, and so does
// every later read of the handle, those the cache could answer included: no call mixes the
// bytes of two versions.
TEST_F(RemoteSlide, ReplacedObjectFailsLikeAReplacedFile) {
    const std::string url = Publish(*nginx, "swapped.tarn", Real().bytes);
    const Handle slide = OpenSlide(url);
    ASSERT_TRUE(slide) << OpenError();
    const std::vector<uint32_t> unread = UnreadTiles();
    ASSERT_FALSE(unread.empty());
    const TileBox first = TileOrigin(0), second = TileOrigin(unread[0]);  // read at open, not
    ASSERT_FALSE(Region(slide.get(), first.x, first.y, 0, 256, 256).empty());

    std::string other = Real().bytes;
    for (size_t i = Real().layout.tileOffsets[0][unread[0]]; i < other.size(); i += 997)
        other[i] ^= 0x55;
    const std::string path = nginx->root + "/swapped.tarn";
    WriteFileAtomically(path, other);
    utimbuf later{time(nullptr) + 100, time(nullptr) + 100};
    utime(path.c_str(), &later);

    EXPECT_TRUE(Region(slide.get(), second.x, second.y, 0, 256, 256).empty());
    EXPECT_NE(nullptr, strstr(tarn_get_error(slide.get()), "changed"))
        << tarn_get_error(slide.get());
    EXPECT_TRUE(Region(slide.get(), first.x, first.y, 0, 256, 256).empty());
}

// A server that gives neither ETag nor Last-Modified cannot tell two objects of one size apart:
// reads after the open fetch the records and tables it read again, and fail once they differ.
// Here the new object is a valid slide of the same size with two tiles swapped.
TEST_F(RemoteSlide, ReplacementOfOneSizeWithoutValidatorsIsCaught) {
    Publish(*nginx, "bare.tarn", Real().bytes);
    const Handle slide = OpenSlide(Proxied("noetag,nodate", "bare.tarn"));
    ASSERT_TRUE(slide) << OpenError();
    const std::vector<uint32_t> unread = UnreadTiles();
    ASSERT_FALSE(unread.empty());
    const uint32_t i = unread[0];
    const TileBox first = TileOrigin(0), second = TileOrigin(i);
    ASSERT_FALSE(Region(slide.get(), first.x, first.y, 0, 64, 64).empty());

    std::string other = Real().bytes;
    const tarnwriter::SlideLayout& layout = Real().layout;
    ASSERT_LT(i + 1, layout.tileSizes[0].size());
    const uint64_t at = layout.tileOffsets[0][i];
    const uint32_t a = layout.tileSizes[0][i], b = layout.tileSizes[0][i + 1];
    other.replace(at, a + b, Real().bytes.substr(at + a, b) + Real().bytes.substr(at, a));
    for (const auto& [entry, size] : {std::pair{i, b}, std::pair{i + 1, a}})
        for (int byte = 0; byte < 4; ++byte)
            other[layout.tileTables[0] + 4 * entry + byte] = static_cast<char>(size >> (8 * byte));
    ASSERT_EQ(other.size(), Real().bytes.size());
    WriteFileAtomically(nginx->root + "/bare.tarn", other);

    EXPECT_TRUE(Region(slide.get(), second.x, second.y, 0, 64, 64).empty());
    EXPECT_NE(nullptr, strstr(tarn_get_error(slide.get()), "changed"))
        << tarn_get_error(slide.get());
}

// Through the fault proxy, the cache off: faults that pass leave the pixels as they are; a body
// cut short every time, a server that stops answering or refuses the credentials fail the call
// within its time, with a message that shows no secret.
TEST_F(RemoteSlide, FaultsFailCallsCleanly) {
    Publish(*nginx, "faults-real.tarn", Real().bytes);
    tarn::remote::SetRemoteCacheCapacity(0);
    const Handle local = OpenSlide(Real().path);
    ASSERT_FALSE(UnreadTiles().empty());
    const TileBox box = TileOrigin(UnreadTiles()[0]);
    {
        const Handle slide = OpenSlide(Proxied("s503=2,reset=1,trunc=1", "faults-real.tarn"));
        ASSERT_TRUE(slide) << OpenError();
        EXPECT_EQ(Region(local.get(), box.x, box.y, 0, 600, 400),
                  Region(slide.get(), box.x, box.y, 0, 600, 400));
    }
    setenv("TARN_REMOTE_TIMEOUT", "1", 1);
    EXPECT_FALSE(OpenSlide(Proxied("trunc=99", "faults-real.tarn")));
    EXPECT_NE(std::string::npos, OpenError().find("cut short")) << OpenError();

    // The open's requests pass, then the server stops answering: a region fails after the call's
    // two seconds, its parallel fetch and the tile read after it included.
    tarn::remote::SetRemoteCacheCapacity(64 << 20);
    setenv("TARN_REMOTE_TIMEOUT", "2", 1);
    const uint64_t opening = OpenRequests(Proxied("-", "faults-real.tarn"));
    const Handle stalled =
        OpenSlide(Proxied("stallafter=" + std::to_string(opening) + ",t=1", "faults-real.tarn"));
    ASSERT_TRUE(stalled) << OpenError();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(Region(stalled.get(), 0, 0, 0, 2048, 1536).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3500));
    EXPECT_NE(nullptr, strstr(tarn_get_error(stalled.get()), "timed out"))
        << tarn_get_error(stalled.get());

    // A presigned-looking URL that is refused: its query is in no message.
    EXPECT_FALSE(OpenSlide(nginx->Http("missing.tarn?X-Amz-Signature=SECRETSIG")));
    EXPECT_EQ(std::string::npos, OpenError().find("SECRETSIG")) << OpenError();
    EXPECT_NE(std::string::npos, OpenError().find("404")) << OpenError();
    std::string why;
    if (const S3* s3 = StartS3(&why)) {
        EXPECT_FALSE(OpenSlide(PutReal(*s3, "refused.tarn", "NOSUCHKEY", "very-secret-value")));
        EXPECT_NE(std::string::npos, OpenError().find("access refused")) << OpenError();
        EXPECT_EQ(std::string::npos, OpenError().find("very-secret-value")) << OpenError();
    }
}

}  // namespace
}  // namespace remotetest
