// One measurement in a fresh process, as a program on the machine would see it: the library is
// loaded as a shared object with its default settings (the table folder, the default tile cache
// and thread count come from the environment the driver gives), OpenSlide through dlopen.
// Prints the figure in microseconds of processor time on one line (wall time on a machine others
// share would mostly measure them; TARN_PROBE_CLOCK=wall gives wall time, for a quiet machine
// or reads over a network, which wait more than they compute); exits non-zero when the
// measurement failed. PATH may be a URL for tarn.
//
//   cold  tarn|openslide PATH COLUMNS ROWS COUNT  COUNT cold 512 x 512 regions (ColdRegions.h)
//   warm  tarn|openslide PATH COLUMNS ROWS COUNT  COUNT reads over 8 regions read 3 times first
//   open  tarn|fixed|openslide PATH COUNT [OTHER] median of COUNT opens + closes, with OTHER
//                                                 held open throughout when given
//   hevc  tarn|bare|fresh PATH PASSES             every tile of layer 0, PASSES times: through
//                                                 tarn.h without cache, bare libavcodec with one
//                                                 context, or with a new context per tile
//   region tarn PATH X Y SIDE                     one SIDE x SIDE region of level 0 at (X, Y),
//                                                 after the open
//   pair  PATH TIFF COLUMNS ROWS COUNT            COUNT cold 512 x 512 regions, each read through
//                                                 tarn.h on PATH then OpenSlide on TIFF, in one
//                                                 process: prints both sides' times
extern "C" {
#include <libavcodec/avcodec.h>
}

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ColdRegions.h"
#include "DecodeTarn.h"
#include "OpenSlideApi.h"
#include "tarn.h"

namespace {

// The process's processor time: what the measured work costs, whatever else the machine runs.
// Wall time on request: what a user waits, page faults and waits for the disk included.
clockid_t ProbeClock() {
    const char* choice = getenv("TARN_PROBE_CLOCK");
    return choice != nullptr && strcmp(choice, "wall") == 0 ? CLOCK_MONOTONIC
                                                            : CLOCK_PROCESS_CPUTIME_ID;
}

struct Clock {
    using time_point = std::chrono::duration<double>;
    static time_point now() {
        static const clockid_t id = ProbeClock();
        timespec t{};
        clock_gettime(id, &t);
        return time_point(static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec));
    }
};
using tarnbench::kColdRegionSide;
using tarnbench::RegionOrigin;

double MicrosSince(Clock::time_point start) {
    return 1e6 * (Clock::now() - start).count();
}

// Reads regions through one reader; false when a read fails.
class Reader {
  public:
    Reader(const std::string& kind, const char* path) : tarn_(kind == "tarn") {
        if (tarn_) {
            slide_ = tarn_open(path);
        } else if (tarnbench::OpenSlideApi().loaded) {
            openslide_ = tarnbench::OpenSlideApi().open(path);
            if (openslide_ != nullptr && tarnbench::OpenSlideApi().error(openslide_) != nullptr) {
                tarnbench::OpenSlideApi().close(openslide_);
                openslide_ = nullptr;
            }
        }
    }
    ~Reader() {
        if (slide_ != nullptr) tarn_close(slide_);
        if (openslide_ != nullptr) tarnbench::OpenSlideApi().close(openslide_);
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    bool open() const { return slide_ != nullptr || openslide_ != nullptr; }

    bool Read(const RegionOrigin& r) {
        if (tarn_)
            return tarn_read_region(slide_, pixels_.data(), r.x, r.y, 0, kColdRegionSide,
                                    kColdRegionSide, TARN_FORMAT_RGBA) == 0;
        tarnbench::OpenSlideApi().readRegion(openslide_, pixels_.data(), r.x, r.y, 0,
                                             kColdRegionSide, kColdRegionSide);
        return tarnbench::OpenSlideApi().error(openslide_) == nullptr;
    }

  private:
    bool tarn_;
    tarn_slide* slide_ = nullptr;
    void* openslide_ = nullptr;
    std::vector<uint32_t> pixels_ =
        std::vector<uint32_t>(size_t{kColdRegionSide} * kColdRegionSide);
};

int Regions(bool warm, const std::string& kind, char** args) {
    const std::vector<RegionOrigin> regions =
        tarnbench::ColdRegions(atoll(args[1]), atoll(args[2]));
    const size_t count = std::min<size_t>(strtoul(args[3], nullptr, 10), regions.size());
    Reader reader(kind, args[0]);
    if (!reader.open()) return 1;
    constexpr size_t kWarmRegions = 8;
    if (warm)
        for (size_t i = 0; i < 3 * kWarmRegions; ++i)
            if (!reader.Read(regions[i % kWarmRegions])) return 1;
    const Clock::time_point start = Clock::now();
    for (size_t i = 0; i < count; ++i)
        if (!reader.Read(regions[warm ? i % kWarmRegions : i])) return 1;
    printf("%.1f\n", MicrosSince(start));
    return 0;
}

// Both readers in one process, taking turns region by region: neither side finds the machine's
// caches warmer than the other.
int Pair(char** args) {
    const std::vector<RegionOrigin> regions =
        tarnbench::ColdRegions(atoll(args[2]), atoll(args[3]));
    const size_t count = std::min<size_t>(strtoul(args[4], nullptr, 10), regions.size());
    Reader tarn("tarn", args[0]), openslide("openslide", args[1]);
    if (!tarn.open() || !openslide.open()) return 1;
    double tarnMicros = 0, openslideMicros = 0;
    for (size_t i = 0; i < count; ++i) {
        Clock::time_point start = Clock::now();
        if (!tarn.Read(regions[i])) return 1;
        tarnMicros += MicrosSince(start);
        start = Clock::now();
        if (!openslide.Read(regions[i])) return 1;
        openslideMicros += MicrosSince(start);
    }
    printf("%.1f %.1f\n", tarnMicros, openslideMicros);
    return 0;
}

// One open and close; false when the open fails.
bool OpenClose(const std::string& kind, const char* path) {
    if (kind == "tarn") {
        tarn_slide* slide = tarn_open(path);
        tarn_close(slide);
        return slide != nullptr;
    }
    if (kind == "fixed") {
        ZyTarnInfo* slide = ZyOpenTarn(path);
        ZyCloseTarn(slide);
        return slide != nullptr;
    }
    const tarnbench::OpenSlideLibrary& api = tarnbench::OpenSlideApi();
    void* slide = api.loaded ? api.open(path) : nullptr;
    const bool opened = slide != nullptr && api.error(slide) == nullptr;
    if (slide != nullptr) api.close(slide);
    return opened;
}

// Opens `path` as `kind` and keeps it open until the process ends; false when it fails.
bool HoldOpen(const std::string& kind, const char* path) {
    if (kind == "tarn") return tarn_open(path) != nullptr;
    if (kind == "fixed") return ZyOpenTarn(path) != nullptr;
    const tarnbench::OpenSlideLibrary& api = tarnbench::OpenSlideApi();
    void* slide = api.loaded ? api.open(path) : nullptr;
    return slide != nullptr && api.error(slide) == nullptr;
}

int Opens(const std::string& kind, int argc, char** args) {
    const int count = atoi(args[1]);
    if (count < 1 || (argc > 2 && !HoldOpen(kind, args[2]))) return 1;
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        const Clock::time_point start = Clock::now();
        if (!OpenClose(kind, args[0])) return 1;
        times.push_back(MicrosSince(start));
    }
    std::nth_element(times.begin(), times.begin() + count / 2, times.end());
    printf("%.1f\n", times[static_cast<size_t>(count / 2)]);
    return 0;
}

int OneRegion(char** args) {
    tarn_slide* slide = tarn_open(args[0]);
    if (slide == nullptr) return 1;
    const int64_t side = atoll(args[3]);
    std::vector<uint32_t> pixels(static_cast<size_t>(side * side));
    const Clock::time_point start = Clock::now();
    const bool ok = tarn_read_region(slide, pixels.data(), atoll(args[1]), atoll(args[2]), 0, side,
                                     side, TARN_FORMAT_RGBA) == 0;
    const double micros = MicrosSince(start);
    tarn_close(slide);
    if (!ok) return 1;
    printf("%.1f\n", micros);
    return 0;
}

// ---- HEVC tiles.

struct StoredTiles {
    std::vector<std::vector<uint8_t>> streams;   // followed by libavcodec's zeroed padding
    std::vector<std::pair<int, int>> positions;  // column and row of each stream
    int columns = 0, rows = 0, tileWidth = 0, tileHeight = 0;
};

bool ReadTiles(const char* path, StoredTiles* tiles) {
    ZyTarnInfo* info = ZyOpenTarn(path);
    FILE* file = fopen(path, "rb");
    bool ok = info != nullptr && file != nullptr;
    if (ok) {
        tiles->columns = static_cast<int>(info->PicInfos[0]->XCount);
        tiles->rows = static_cast<int>(info->PicInfos[0]->YCount);
        tiles->tileWidth = static_cast<int>(info->PicHead->TileWidth);
        tiles->tileHeight = static_cast<int>(info->PicHead->TileHeight);
        for (int t = 0; ok && t < tiles->columns * tiles->rows; ++t) {
            const uint32_t size = info->SliceInfos[0]->Sizes[t];
            if (size == 0) continue;
            std::vector<uint8_t> stream(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
            ok = fseeko(file, static_cast<off_t>(info->SliceInfos[0]->Offsets[t]), SEEK_SET) == 0 &&
                 fread(stream.data(), 1, size, file) == size;
            stream.resize(size);
            tiles->streams.push_back(std::move(stream));
            tiles->positions.emplace_back(t % tiles->columns, t / tiles->columns);
        }
    }
    if (file != nullptr) fclose(file);
    ZyCloseTarn(info);
    return ok;
}

// libavcodec alone, as HevcBench's baseline decodes (BareHevc.h): the packet, then the drain.
bool DecodeBare(AVCodecContext* context, AVPacket* packet, AVFrame* frame,
                const std::vector<uint8_t>& stream) {
    avcodec_flush_buffers(context);
    packet->data = const_cast<uint8_t*>(stream.data());
    packet->size = static_cast<int>(stream.size());
    int received = avcodec_send_packet(context, packet);
    if (received == 0) received = avcodec_receive_frame(context, frame);
    if (received == AVERROR(EAGAIN) && avcodec_send_packet(context, nullptr) == 0)
        received = avcodec_receive_frame(context, frame);
    av_frame_unref(frame);
    return received == 0;
}

AVCodecContext* NewContext() {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    if (context == nullptr) return nullptr;
    context->thread_count = 1;
    if (avcodec_open2(context, codec, nullptr) == 0) return context;
    avcodec_free_context(&context);
    return nullptr;
}

int Hevc(const std::string& kind, char** args) {
    const int passes = atoi(args[1]);
    StoredTiles tiles;
    if (!ReadTiles(args[0], &tiles)) return 1;
    if (kind == "tarn") {
        // Every stored tile whole, as 256 x 256 regions at the tiles' origins (parts past the
        // picture come back transparent, the tile is decoded all the same).
        tarn_slide* slide = tarn_open(args[0]);
        tarn_cache* none = tarn_cache_create(0);
        tarn_set_cache(slide, none);
        tarn_cache_release(none);
        std::vector<uint8_t> pixels(size_t{4} * tiles.tileWidth * tiles.tileHeight);
        const Clock::time_point start = Clock::now();
        bool ok = slide != nullptr;
        for (int pass = 0; ok && pass < passes; ++pass)
            for (size_t i = 0; ok && i < tiles.positions.size(); ++i)
                ok = tarn_read_region(slide, pixels.data(),
                                      int64_t{tiles.positions[i].first} * tiles.tileWidth,
                                      int64_t{tiles.positions[i].second} * tiles.tileHeight, 0,
                                      tiles.tileWidth, tiles.tileHeight, TARN_FORMAT_RGBA) == 0;
        const double micros = MicrosSince(start);
        tarn_close(slide);
        if (!ok) return 1;
        printf("%.1f\n", micros);
        return 0;
    }
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    AVCodecContext* shared = kind == "bare" ? NewContext() : nullptr;
    bool ok = packet != nullptr && frame != nullptr && (kind == "fresh" || shared != nullptr);
    const Clock::time_point start = Clock::now();
    for (int pass = 0; ok && pass < passes; ++pass)
        for (const std::vector<uint8_t>& stream : tiles.streams) {
            AVCodecContext* context = shared != nullptr ? shared : NewContext();
            ok = ok && context != nullptr && DecodeBare(context, packet, frame, stream);
            if (shared == nullptr) avcodec_free_context(&context);
        }
    const double micros = MicrosSince(start);
    avcodec_free_context(&shared);
    av_frame_free(&frame);
    av_packet_free(&packet);
    if (!ok) return 1;
    printf("%.1f\n", micros);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    const std::string what = argv[1], kind = argv[2];
    if (what == "pair" && argc == 7) return Pair(argv + 2);
    if ((what == "cold" || what == "warm") && argc == 7)
        return Regions(what == "warm", kind, argv + 3);
    if (what == "open" && (argc == 5 || argc == 6)) return Opens(kind, argc - 3, argv + 3);
    if (what == "hevc" && argc == 5) return Hevc(kind, argv + 3);
    if (what == "region" && kind == "tarn" && argc == 7) return OneRegion(argv + 3);
    return 2;
}
