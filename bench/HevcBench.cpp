// HEVC tiles: the library's tile path (decode on the thread's reused decoder, then convert and
// colour-correct the whole tile through a packed table) against libavcodec decoding the same
// stream bare (a reused context, send/receive, no conversion). Goal: the tile path keeps at least
// 0.85 of the bare throughput. Argument 0: x265 default stream (frame at the drain), 1: all-intra.
//
// Hevc/PathVsBare gives the ratio: it alternates short bursts of both on one thread and reports
// bare time / tile-path time, so both see the same load from the rest of the machine.
#include <benchmark/benchmark.h>
#include <time.h>

#include "ColorCorrect/ColorTables.h"
#include "DecodeHevc/HevcDecoder.h"
#include "BareHevc.h"
#include "HevcEncoder.h"

namespace {

constexpr int kTile = 256;

struct HevcFixture {
    tarnwriter::Bytes stream[2];
    const tarn::ColorLut* lut = nullptr;
    tarn::ColorLookup lookup;
};

const HevcFixture& Fixture() {
    static const HevcFixture fixture = [] {
        HevcFixture f;
        // Tissue throughout: pink cytoplasm, purple nuclei, grain.
        const tarnwriter::Image tile = tarnwriter::RenderTissue(4 * kTile, 0, kTile, kTile);
        f.stream[0] = tarnwriter::EncodeHevc(tile, tarnwriter::HevcStream::Default);
        f.stream[1] = tarnwriter::EncodeHevc(tile, tarnwriter::HevcStream::AllIntra);
        f.lut = tarn::AcquireColorLut(tarn::NeutralColorParams());
        f.lookup = tarn::LookupOf(f.lut);
        return f;
    }();
    return fixture;
}

// One tile through the library's path into `out` (BGR24).
bool TilePathOnce(const tarnwriter::Bytes& stream, const tarn::ColorLookup& lookup, uint8_t* out) {
    tarn::YuvView picture;
    if (!tarn::DecodeHevcPicture(stream.data(), stream.size(), kTile, kTile, &picture))
        return false;
    tarn::ConvertYuvRect(picture, lookup, 0, 0, kTile, kTile, tarn::PackedLayout::Bgr24, out,
                         kTile * 3);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
    return true;
}

double ThreadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

void TilePath(benchmark::State& state) {
    const HevcFixture& f = Fixture();
    const tarnwriter::Bytes& stream = f.stream[state.range(0)];
    std::vector<uint8_t> out(kTile * kTile * 3);
    for (auto _ : state) {
        if (!TilePathOnce(stream, f.lookup, out.data())) {
            state.SkipWithError("decode failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BareDecode(benchmark::State& state) {
    tarnbench::BareHevcDecoder bare(Fixture().stream[state.range(0)]);
    if (!bare.ready()) state.SkipWithError("no decoder");
    for (auto _ : state) {
        if (!bare.DecodeOnce()) {
            state.SkipWithError("decode failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void PathVsBare(benchmark::State& state) {
    constexpr int kBurst = 4;
    const HevcFixture& f = Fixture();
    const tarnwriter::Bytes& stream = f.stream[state.range(0)];
    tarnbench::BareHevcDecoder bare(stream);
    if (!bare.ready()) state.SkipWithError("no decoder");
    std::vector<uint8_t> out(kTile * kTile * 3);
    double pathSeconds = 0, bareSeconds = 0;
    for (auto _ : state) {
        const double t0 = ThreadSeconds();
        for (int i = 0; i < kBurst; ++i)
            if (!TilePathOnce(stream, f.lookup, out.data())) state.SkipWithError("decode failed");
        const double t1 = ThreadSeconds();
        for (int i = 0; i < kBurst; ++i)
            if (!bare.DecodeOnce()) state.SkipWithError("decode failed");
        pathSeconds += t1 - t0;
        bareSeconds += ThreadSeconds() - t1;
    }
    const double tiles = static_cast<double>(state.iterations()) * kBurst;
    state.counters["path_us"] = 1e6 * pathSeconds / tiles;
    state.counters["bare_us"] = 1e6 * bareSeconds / tiles;
    state.counters["ratio"] = pathSeconds > 0 ? bareSeconds / pathSeconds : 0;
}

// The conversion alone, on the decoded tile: what the tile path adds to the decode.
void ConvertTile(benchmark::State& state) {
    const HevcFixture& f = Fixture();
    tarn::YuvView picture;
    if (!tarn::DecodeHevcPicture(f.stream[1].data(), f.stream[1].size(), kTile, kTile, &picture)) {
        state.SkipWithError("decode failed");
        return;
    }
    const auto space = static_cast<tarn::PackedLayout>(state.range(0));
    std::vector<uint8_t> out(kTile * kTile * 4);
    for (auto _ : state) {
        tarn::ConvertYuvRect(picture, f.lookup, 0, 0, kTile, kTile, space, out.data(),
                             kTile * static_cast<size_t>(tarn::BytesPerPixel(space)));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kTile * kTile);
}

BENCHMARK(TilePath)->Name("Hevc/TilePath")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BareDecode)->Name("Hevc/BareDecode")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(PathVsBare)->Name("Hevc/PathVsBare")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(ConvertTile)
    ->Name("Hevc/ConvertTile")
    ->Arg(static_cast<int>(tarn::PackedLayout::Bgr24))
    ->Arg(static_cast<int>(tarn::PackedLayout::Bgra))
    ->Unit(benchmark::kMicrosecond);

}  // namespace
