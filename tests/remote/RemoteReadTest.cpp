// Reads from nginx over http and https: bytes, round trips, coalescing, the cache, threads, fork.
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <thread>

#include "RemoteTesting.h"

namespace remotetest {
namespace {

using tarn::remote::ReadRemote;
using tarn::remote::RemoteRange;

class RemoteRead : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        nginx = StartNginx(&why);
        REQUIRE_SERVER(nginx, why);
        tarn::remote::SetRemoteCacheCapacity(64 << 20);
    }
    const Nginx* nginx = nullptr;
};

TEST_F(RemoteRead, HttpAndHttpsGiveTheFileBytes) {
    const std::string url = Publish(*nginx, "slide.tarn");
    tarn::remote::RemoteOpenOptions withCa;
    withCa.caBundle = nginx->caFile;
    for (const std::string& address : {url, nginx->Https("slide.tarn")}) {
        RemoteError error;
        Object object = Open(address, &error, withCa);
        ASSERT_TRUE(object) << error.message;
        EXPECT_EQ(Slide().bytes.size(), tarn::remote::RemoteObjectSize(object.get()));
        EXPECT_EQ(0u,
                  std::string(tarn::remote::RemoteObjectKey(object.get())).find(address + "\n\""));
        ExpectReadsMatch(object.get(), Slide().bytes, 200, 1);

        uint8_t byte = 0;
        EXPECT_FALSE(ReadRemote(object.get(), Slide().bytes.size(), &byte, 1, &error));
        EXPECT_EQ(RemoteStatus::kOutOfRange, error.status);
    }
    RemoteError error;
    EXPECT_FALSE(Open(nginx->Http("missing.tarn"), &error));
    EXPECT_EQ(RemoteStatus::kNotFound, error.status);
    EXPECT_FALSE(Open("ftp://127.0.0.1/slide.tarn", &error));
    EXPECT_EQ(RemoteStatus::kBadUrl, error.status);
}

// The reads a slide's open makes, in its order: header, information area, label, macrograph,
// thumbnail, then each layer's record and tile table, whose records follow the tiles before them.
TEST_F(RemoteRead, SlideOpenTakesThreeRoundTrips) {
    const std::string url = Publish(*nginx, "open.tarn");
    const tarnwriter::SlideLayout& layout = Slide().layout;
    const uint64_t before = Requests();
    RemoteError error;
    Object object = Open(url, &error);
    ASSERT_TRUE(object) << error.message;
    std::vector<std::pair<uint64_t, uint64_t>> reads = {{0, 156}, {156, 6808}, {6964, 768}};
    const std::vector<uint64_t> chain = {layout.macroRecords[0], layout.macroRecords[1],
                                         layout.thumbnailRecord, layout.layerRecords[0]};
    for (size_t i = 0; i + 1 < chain.size(); ++i) {
        reads.push_back({chain[i], 123});
        reads.push_back({chain[i], chain[i + 1] - chain[i]});
    }
    for (size_t k = 0; k < layout.layerRecords.size(); ++k) {
        reads.push_back({layout.layerRecords[k], 122});
        reads.push_back({layout.tileTables[k], 4 * layout.tileSizes[k].size()});
    }
    std::vector<uint8_t> bytes;
    for (const auto& [offset, size] : reads) {
        bytes.resize(size);
        ASSERT_TRUE(ReadRemote(object.get(), offset, bytes.data(), size, &error)) << error.message;
        ASSERT_EQ(0, memcmp(bytes.data(), Slide().bytes.data() + offset, size));
    }
    EXPECT_EQ(3u, Requests() - before);
}

TEST_F(RemoteRead, RangesCoalesceAndPrefetchFillsTheCache) {
    const std::string url = Publish(*nginx, "ranges.tarn");
    const tarnwriter::SlideLayout& layout = Slide().layout;
    RemoteError error;
    Object object = Open(url, &error);
    ASSERT_TRUE(object) << error.message;
    // Tiles 2 to 5 of rows 3 and 6 of layer 0: two runs of adjacent tiles, two requests.
    std::vector<RemoteRange> ranges;
    std::vector<std::vector<uint8_t>> tiles;
    for (uint32_t row : {6u, 3u}) {
        for (uint32_t column = 5; column >= 2; --column) {
            const size_t t = row * 12 + column;
            tiles.emplace_back(layout.tileSizes[0][t]);
            ranges.push_back({layout.tileOffsets[0][t], tiles.back().size(), tiles.back().data()});
        }
    }
    tarn::remote::SetRemoteCacheCapacity(0);
    uint64_t before = Requests();
    ASSERT_TRUE(tarn::remote::ReadRemoteRanges(object.get(), ranges.data(), ranges.size(), &error));
    EXPECT_EQ(2u, Requests() - before);
    for (const RemoteRange& range : ranges)
        EXPECT_EQ(0, memcmp(range.dest, Slide().bytes.data() + range.offset, range.size));

    // A prefetch brings them into the cache; the reads that follow need no request.
    tarn::remote::SetRemoteCacheCapacity(64 << 20);
    for (RemoteRange& range : ranges)
        range.dest = nullptr;
    ASSERT_TRUE(tarn::remote::ReadRemoteRanges(object.get(), ranges.data(), ranges.size(), &error));
    before = Requests();
    for (const RemoteRange& range : ranges) {
        std::vector<uint8_t> tile(range.size);
        ASSERT_TRUE(ReadRemote(object.get(), range.offset, tile.data(), tile.size(), &error));
        EXPECT_EQ(0, memcmp(tile.data(), Slide().bytes.data() + range.offset, range.size));
    }
    EXPECT_EQ(0u, Requests() - before);
}

TEST_F(RemoteRead, OneBoundedCacheServesEveryHandleOfAnObject) {
    const std::string url = Publish(*nginx, "cache.tarn");
    RemoteError error;
    Object first = Open(url, &error);
    Object second = Open(url, &error);
    ASSERT_TRUE(first && second) << error.message;
    std::vector<uint8_t> bytes(30'000);
    const uint64_t tail = Slide().bytes.size() - bytes.size();
    ASSERT_TRUE(ReadRemote(first.get(), tail, bytes.data(), bytes.size(), &error));
    uint64_t before = Requests();
    ASSERT_TRUE(ReadRemote(second.get(), tail, bytes.data(), bytes.size(), &error));
    EXPECT_EQ(0u, Requests() - before);

    tarn::remote::SetRemoteCacheCapacity(300'000);
    EXPECT_LE(tarn::remote::ReadRemoteCounters().cacheBytes, 300'000u);
    ExpectReadsMatch(first.get(), Slide().bytes, 60, 2);
    EXPECT_LE(tarn::remote::ReadRemoteCounters().cacheBytes, 300'000u);

    tarn::remote::SetRemoteCacheCapacity(0);
    EXPECT_EQ(0u, tarn::remote::ReadRemoteCounters().cacheBytes);
    before = Requests();
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(ReadRemote(first.get(), tail, bytes.data(), bytes.size(), &error));
    EXPECT_EQ(2u, Requests() - before);
    EXPECT_EQ(0, memcmp(bytes.data(), Slide().bytes.data() + tail, bytes.size()));
}

TEST_F(RemoteRead, HttpsTrustsOnlyTheGivenAuthorityAndNeverRedirectsToHttp) {
    Publish(*nginx, "slide.tarn");
    RemoteError error;
    EXPECT_FALSE(Open(nginx->Https("slide.tarn"), &error));
    EXPECT_EQ(RemoteStatus::kNetwork, error.status);
    EXPECT_NE(std::string::npos, error.message.find("CURL_CA_BUNDLE")) << error.message;

    setenv("CURL_CA_BUNDLE", nginx->caFile.c_str(), 1);
    Object object = Open(nginx->Https("slide.tarn"), &error);
    EXPECT_TRUE(object) << error.message;
    EXPECT_FALSE(Open(nginx->Https("to-http"), &error));
    EXPECT_EQ(RemoteStatus::kBadResponse, error.status);
    // An http URL may be sent on to https.
    object = Open(nginx->Http("to-https"), &error);
    ASSERT_TRUE(object) << error.message;
    ExpectReadsMatch(object.get(), Slide().bytes, 5, 3);
    unsetenv("CURL_CA_BUNDLE");
}

TEST_F(RemoteRead, ThreadsReadOneObjectAtOnce) {
    const std::string url = Publish(*nginx, "threads.tarn");
    RemoteError error;
    Object object = Open(url, &error);
    ASSERT_TRUE(object) << error.message;
    tarn::remote::SetRemoteCacheCapacity(1 << 20);  // small: threads evict each other's bytes
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 6; ++t)
        threads.emplace_back([&, t] { ExpectReadsMatch(object.get(), Slide().bytes, 40, 10 + t); });
    for (std::thread& thread : threads)
        thread.join();
}

TEST_F(RemoteRead, ForkedChildOpensItsOwnConnections) {
    const std::string url = Publish(*nginx, "fork.tarn");
    RemoteError error;
    Object object = Open(url, &error);
    ASSERT_TRUE(object) << error.message;
    tarn::remote::SetRemoteCacheCapacity(0);
    ExpectReadsMatch(object.get(), Slide().bytes, 3, 4);
    const pid_t child = fork();
    if (child == 0) {
        const uint64_t connections = tarn::remote::ReadRemoteCounters().connections;
        std::vector<uint8_t> bytes(1000);
        const bool read = ReadRemote(object.get(), 5000, bytes.data(), bytes.size(), nullptr) &&
                          memcmp(bytes.data(), Slide().bytes.data() + 5000, 1000) == 0;
        _exit(read && tarn::remote::ReadRemoteCounters().connections > connections ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const uint64_t connections = tarn::remote::ReadRemoteCounters().connections;
    ExpectReadsMatch(object.get(), Slide().bytes, 3, 5);
    EXPECT_EQ(connections, tarn::remote::ReadRemoteCounters().connections);
}

// Another file at the URL: the reads that reach the server fail, then every read of the handle.
TEST_F(RemoteRead, ReplacedObjectFailsAndNeverMixesVersions) {
    const std::string url = Publish(*nginx, "swap.tarn");
    RemoteError error;
    Object object = Open(url, &error);
    ASSERT_TRUE(object) << error.message;
    std::string other = Slide().bytes;
    for (size_t i = 0; i < other.size(); i += 1000)
        other[i] = static_cast<char>(~other[i]);
    Publish(*nginx, "swap.tarn", other);
    const utimbuf later = {time(nullptr) + 10, time(nullptr) + 10};
    utime((nginx->root + "/swap.tarn").c_str(), &later);

    std::vector<uint8_t> bytes(100'000);
    EXPECT_FALSE(ReadRemote(object.get(), 2'000'000, bytes.data(), bytes.size(), &error));
    EXPECT_EQ(RemoteStatus::kObjectChanged, error.status) << error.message;
    EXPECT_FALSE(ReadRemote(object.get(), 0, bytes.data(), 100, &error));  // cached, still fails
    EXPECT_FALSE(tarn::remote::RemoteObjectUnchanged(object.get(),
                                                     tarn::remote::RemoteCheck::kKnown, &error));
    Object reopened = Open(url, &error);
    ASSERT_TRUE(reopened) << error.message;
    EXPECT_TRUE(tarn::remote::RemoteObjectUnchanged(reopened.get(),
                                                    tarn::remote::RemoteCheck::kAskServer, &error));
    ExpectReadsMatch(reopened.get(), other, 20, 6);
}

}  // namespace
}  // namespace remotetest
