// HEVC tiles: the library's tile path (decode on the thread's reused decoder, then convert and
// colour-correct the whole tile through a packed table) against libavcodec decoding the same
// stream bare (a reused context, send/receive, no conversion). Goal: the tile path keeps at least
// 0.85 of the bare throughput. Argument 0: x265 default stream (frame at the drain), 1: all-intra.
extern "C" {
#include <libavcodec/avcodec.h>
}

#include <benchmark/benchmark.h>

#include "ColorCorrect/ColorTables.h"
#include "DecodeHevc/HevcDecoder.h"
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
        // A stretch of tissue with nuclei, cytoplasm and fibres.
        const tarnwriter::Image tile = tarnwriter::RenderTissue(4 * kTile, 0, kTile, kTile);
        f.stream[0] = tarnwriter::EncodeHevc(tile, tarnwriter::HevcStream::Default);
        f.stream[1] = tarnwriter::EncodeHevc(tile, tarnwriter::HevcStream::AllIntra);
        f.lut = tarn::AcquireColorLut(tarn::NeutralColorParams());
        f.lookup = tarn::LookupOf(f.lut);
        return f;
    }();
    return fixture;
}

void TilePath(benchmark::State& state) {
    const HevcFixture& f = Fixture();
    const tarnwriter::Bytes& stream = f.stream[state.range(0)];
    std::vector<uint8_t> out(kTile * kTile * 3);
    for (auto _ : state) {
        tarn::YuvView picture;
        if (!tarn::DecodeHevcPicture(stream.data(), stream.size(), kTile, kTile, &picture)) {
            state.SkipWithError("decode failed");
            break;
        }
        tarn::ConvertYuvRect(picture, f.lookup, 0, 0, kTile, kTile, CS_BGR24, out.data(),
                             kTile * 3);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(stream.size()));
}

void BareDecode(benchmark::State& state) {
    const tarnwriter::Bytes& stream = Fixture().stream[state.range(0)];
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    if (avcodec_open2(context, codec, nullptr) < 0 ||
        av_new_packet(packet, static_cast<int>(stream.size())) < 0) {
        state.SkipWithError("no decoder");
    } else {
        memcpy(packet->data, stream.data(), stream.size());
        for (auto _ : state) {
            avcodec_flush_buffers(context);
            int received = avcodec_send_packet(context, packet);
            if (received == 0) received = avcodec_receive_frame(context, frame);
            if (received == AVERROR(EAGAIN) && avcodec_send_packet(context, nullptr) == 0)
                received = avcodec_receive_frame(context, frame);
            if (received != 0) {
                state.SkipWithError("decode failed");
                break;
            }
            benchmark::DoNotOptimize(frame->data[0]);
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(stream.size()));
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
}

// The conversion alone, on the decoded tile: what the tile path adds to the decode.
void ConvertTile(benchmark::State& state) {
    const HevcFixture& f = Fixture();
    tarn::YuvView picture;
    if (!tarn::DecodeHevcPicture(f.stream[1].data(), f.stream[1].size(), kTile, kTile, &picture)) {
        state.SkipWithError("decode failed");
        return;
    }
    const auto space = static_cast<_ColorSpace>(state.range(0));
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
BENCHMARK(ConvertTile)
    ->Name("Hevc/ConvertTile")
    ->Arg(CS_BGR24)
    ->Arg(CS_BGRA)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
