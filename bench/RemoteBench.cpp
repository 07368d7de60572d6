// Remote reads beside local ones, in the same run: cold reads of tile-sized ranges (8 to 40 KB at
// random offsets of a 64 MiB object, the block cache off so that every read goes to the server)
// over loopback nginx against pread of the same file, one range at a time and as regions (three
// rows of three adjacent tiles, read as one call), and the same through the fault proxy adding
// 20 ms to every answer. Run with --benchmark_enable_random_interleaving=true and repetitions, and
// compare medians.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "Remote/RemoteObject.h"
#include "RemoteServers.h"

namespace {

using tarn::remote::RemoteObject;
using tarn::remote::RemoteRange;

constexpr uint64_t kObjectBytes = uint64_t{64} << 20;
constexpr uint64_t kRowBytes = uint64_t{4} << 20;  // a region's rows lie this far apart

struct Bench {
    std::string path;
    std::string http;
    std::string slow;  // through the proxy, 20 ms late
    bool ready = false;
};

const Bench& Setup() {
    static const Bench bench = [] {
        Bench b;
        std::string why;
        const remotetest::Nginx* nginx = remotetest::StartNginx(&why);
        const int proxy = nginx == nullptr ? 0 : remotetest::StartFaultProxy(&why);
        if (proxy == 0) return b;
        std::string bytes(kObjectBytes, '\0');
        std::mt19937_64 random(11);
        for (size_t i = 0; i + 8 <= bytes.size(); i += 8) {
            const uint64_t word = random();
            memcpy(&bytes[i], &word, 8);
        }
        b.path = nginx->root + "/bench.bin";
        remotetest::WriteFileAtomically(b.path, bytes);
        b.http = nginx->Http("bench.bin");
        b.slow = "http://127.0.0.1:" + std::to_string(proxy) + "/delay=20/bench.bin";
        b.ready = true;
        return b;
    }();
    return bench;
}

// Tile-sized ranges: `count` per call, in rows of three adjacent ones.
std::vector<RemoteRange> NextRanges(std::mt19937_64& random, int count,
                                    std::vector<uint8_t>& buffer) {
    std::vector<RemoteRange> ranges;
    uint64_t offset = random() % (kObjectBytes - 3 * kRowBytes);
    size_t used = 0;
    for (int i = 0; i < count; ++i) {
        if (i > 0 && i % 3 == 0) offset += kRowBytes;
        const uint64_t size = 8'000 + random() % 32'000;
        ranges.push_back({offset, size, buffer.data() + used});
        offset += size;
        used += size;
    }
    return ranges;
}

// Argument: ranges per call, 1 (single tiles) or 9 (a region).
void BM_RemoteLocalPread(benchmark::State& state) {
    const Bench& bench = Setup();
    if (!bench.ready) return state.SkipWithError("nginx or the proxy did not start");
    const int fd = open(bench.path.c_str(), O_RDONLY);
    std::vector<uint8_t> buffer(9 * 40'000);
    std::mt19937_64 random(1);
    int64_t bytes = 0;
    for (auto _ : state) {
        for (const RemoteRange& range :
             NextRanges(random, static_cast<int>(state.range(0)), buffer)) {
            if (pread(fd, range.dest, range.size, static_cast<off_t>(range.offset)) !=
                static_cast<ssize_t>(range.size))
                state.SkipWithError("short read");
            bytes += static_cast<int64_t>(range.size);
        }
    }
    close(fd);
    state.SetBytesProcessed(bytes);
}

void ReadRemotely(benchmark::State& state, const std::string& url) {
    if (!Setup().ready) return state.SkipWithError("nginx or the proxy did not start");
    tarn::remote::RemoteError error;
    RemoteObject* object = tarn::remote::OpenRemoteObject(url, {}, &error);
    if (object == nullptr) return state.SkipWithError(error.message.c_str());
    tarn::remote::SetRemoteCacheCapacity(0);
    std::vector<uint8_t> buffer(9 * 40'000);
    std::mt19937_64 random(1);
    int64_t bytes = 0;
    for (auto _ : state) {
        std::vector<RemoteRange> ranges =
            NextRanges(random, static_cast<int>(state.range(0)), buffer);
        const bool read =
            ranges.size() == 1
                ? tarn::remote::ReadRemote(object, ranges[0].offset, ranges[0].dest, ranges[0].size,
                                           &error)
                : tarn::remote::ReadRemoteRanges(object, ranges.data(), ranges.size(), &error);
        if (!read) state.SkipWithError(error.message.c_str());
        for (const RemoteRange& range : ranges)
            bytes += static_cast<int64_t>(range.size);
    }
    tarn::remote::SetRemoteCacheCapacity(uint64_t{64} << 20);
    tarn::remote::CloseRemoteObject(object);
    state.SetBytesProcessed(bytes);
}

void BM_RemoteNginx(benchmark::State& state) {
    ReadRemotely(state, Setup().http);
}

void BM_RemoteNginx20ms(benchmark::State& state) {
    ReadRemotely(state, Setup().slow);
}

// Opening: the one request for the leading mebibyte, on loopback and 20 ms away.
void BM_RemoteOpen(benchmark::State& state) {
    const Bench& bench = Setup();
    if (!bench.ready) return state.SkipWithError("nginx or the proxy did not start");
    const std::string& url = state.range(0) == 0 ? bench.http : bench.slow;
    for (auto _ : state) {
        tarn::remote::RemoteError error;
        RemoteObject* object = tarn::remote::OpenRemoteObject(url, {}, &error);
        if (object == nullptr) state.SkipWithError(error.message.c_str());
        tarn::remote::CloseRemoteObject(object);
    }
}

BENCHMARK(BM_RemoteLocalPread)->Arg(1)->Arg(9)->UseRealTime();
BENCHMARK(BM_RemoteNginx)->Arg(1)->Arg(9)->UseRealTime();
BENCHMARK(BM_RemoteNginx20ms)->Arg(1)->Arg(9)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemoteOpen)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
