// libtarnexport: the registry's descriptions and refusals, the engine's plan order and pyramid,
// a cancel that leaves only whole files, and jobs of several slides.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Engine.h"
#include "Registry.h"
#include "Sources.h"
#include "support/TestFiles.h"
#include "tarn_export.h"

namespace {

namespace fs = std::filesystem;
using namespace tarnexport;

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Relative path -> bytes of every file under a folder, hidden ones included.
std::map<std::string, std::string> Contents(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), folder).string()] = Slurp(entry.path());
    return files;
}

fs::path FreshFolder(const std::string& name) {
    const fs::path folder = fs::path(tarntest::TestDirectory()) / name;
    fs::remove_all(folder);
    return folder;
}

struct SlideCloser {
    void operator()(tarn_slide* slide) const { tarn_close(slide); }
};
using OpenSlide = std::unique_ptr<tarn_slide, SlideCloser>;

struct JobDeleter {
    void operator()(tarn_export_job* job) const { tarn_export_job_destroy(job); }
};
using Job = std::unique_ptr<tarn_export_job, JobDeleter>;

TEST(ExportRegistry, DescribesEachFormatAndRefusesWhatItDoesNotTake) {
    ASSERT_GE(tarn_export_get_format_count(), 2);
    EXPECT_STREQ(tarn_export_get_format_name(0), "tiles");  // the default
    EXPECT_EQ(tarn_export_get_format_name(tarn_export_get_format_count()), nullptr);
    EXPECT_EQ(tarn_export_get_option_count("nope"), -1);
    // Every entry's description is whole, and its defaults are values it takes.
    for (int32_t f = 0; f < tarn_export_get_format_count(); ++f) {
        const char* format = tarn_export_get_format_name(f);
        ASSERT_NE(tarn_export_get_format_help(format), nullptr) << format;
        const Job job(tarn_export_job_create(format));
        ASSERT_TRUE(job);
        for (int32_t i = 0; i < tarn_export_get_option_count(format); ++i) {
            const tarn_export_option* option = tarn_export_get_option(format, i);
            ASSERT_NE(option, nullptr);
            EXPECT_TRUE(option->help != nullptr && *option->help != '\0') << option->name;
            EXPECT_EQ(tarn_export_job_set_option(job.get(), option->name, option->default_value), 0)
                << format << " " << option->name << ": " << tarn_export_get_error(job.get());
        }
        EXPECT_EQ(tarn_export_get_option(format, tarn_export_get_option_count(format)), nullptr);
    }

    EXPECT_EQ(tarn_export_job_create("png"), nullptr);
    EXPECT_NE(std::string(tarn_export_get_error(nullptr)).find("(there are tiles, deepzoom"),
              std::string::npos);
    const Job job(tarn_export_job_create("deepzoom"));
    ASSERT_TRUE(job);
    EXPECT_EQ(tarn_export_get_error(nullptr), nullptr);
    struct Case {
        const char* name;
        const char* value;
        const char* message;  // nullptr: taken
    } const cases[] = {
        {"layer", "1", "the deepzoom format takes no option layer (it takes tile-size, overlap"},
        {"quality", "101", "quality must be a whole number from 1 to 100, not '101'"},
        {"quality", "9x", "not '9x'"},
        {"limit-bounds", "maybe", "limit-bounds is on or off"},
        {"limit-bounds", "yes", nullptr},
        {"quality", "90", nullptr},
    };
    for (const Case& c : cases) {
        const int result = tarn_export_job_set_option(job.get(), c.name, c.value);
        const char* error = tarn_export_get_error(job.get());
        if (c.message == nullptr) {
            EXPECT_EQ(result, 0) << c.name << " " << error;
            EXPECT_EQ(error, nullptr);
        } else {
            EXPECT_EQ(result, -1) << c.name;
            ASSERT_NE(error, nullptr);
            EXPECT_NE(std::string(error).find(c.message), std::string::npos) << error;
        }
    }
    EXPECT_EQ(tarn_export_job_run(job.get()), TARN_EXPORT_FAILED);
    EXPECT_STREQ(tarn_export_get_error(job.get()), "no slide to export");
}

// Records what an ordered writer is handed.
class OrderedWriter : public Writer {
  public:
    TileOrder Order() const override { return TileOrder::Plan; }
    bool Open(std::string* /*error*/) override { return true; }
    PutResult PutTile(const EncodedTile& tile, const Stop& /*stop*/,
                      std::string* /*error*/) override {
        // One at a time: a second thread here at once would trip this.
        EXPECT_FALSE(inside.exchange(true));
        order.push_back(tile.at.index);
        sizes.push_back(tile.size);
        last.assign(tile.data, tile.data + tile.size);
        inside = false;
        return PutResult::Written;
    }
    bool Finish(const Stop& /*stop*/, std::string* /*error*/) override { return true; }
    bool PutAssociated(const AssociatedImage& image, std::string* /*error*/) override {
        images.push_back(image);
        return true;
    }

    std::vector<AssociatedImage> images;
    std::atomic<bool> inside{false};
    std::vector<int64_t> order;
    std::vector<size_t> sizes;
    std::vector<uint8_t> last;  // the last tile's pixels
};

// Every stored level, the coarse levels below, and halved levels below those down to a single
// tile, handed over in plan order by four threads; a halved tile's pixels are the means of its
// source's blocks inside the picture, white past it. The associated images come as pixels and
// stored bytes.
TEST(ExportEngine, AnOrderedWriterGetsAPyramidDownToOneTileInPlanOrder) {
    const tarnwriter::SlideSpec sample = tarnwriter::SampleSpec(6, 4, 1);
    const tarntest::TempFile file(tarnwriter::BuildSlide(sample).bytes);
    const OpenSlide slide(tarn_open(file.c_str()));
    ASSERT_TRUE(slide);
    Plan plan;
    std::string error;
    ASSERT_TRUE(AddPyramid(slide.get(), 64, TileEncoding::Rgb, 75, &plan, &error)) << error;
    ASSERT_TRUE(CheckPlan(plan, &error) && plan.Number(&error)) << error;
    // 1536 x 1024-ish: the stored level, coarse levels down to 256 pixels, then 128 and 64.
    ASSERT_GE(plan.levels.size(), 5U);
    EXPECT_EQ(plan.levels[1].source, PixelSource::CoarseLevel);
    const PlanLevel& bottom = plan.levels.back();
    EXPECT_EQ(bottom.columns * bottom.rows, 1);
    EXPECT_EQ(bottom.scale, 2 * plan.levels[plan.levels.size() - 2].scale);
    for (size_t i = 1; i < plan.levels.size(); ++i) {
        EXPECT_EQ(plan.levels[i].width, (plan.levels[i - 1].width + 1) / 2) << i;
        EXPECT_EQ(plan.levels[i].height, (plan.levels[i - 1].height + 1) / 2) << i;
    }

    OrderedWriter writer;
    StopState stop(nullptr);
    TileCounts counts;
    SlideExport job;
    job.slide = slide.get();
    AddAssociatedImages(slide.get(), true, &plan);
    ASSERT_TRUE(PutAssociatedImages(job, plan, &writer, &error)) << error;
    ASSERT_EQ(writer.images.size(), 3U);
    for (const AssociatedImage& image : writer.images) {
        int64_t w = 0, h = 0;
        tarn_get_associated_image_dimensions(slide.get(), image.name.c_str(), &w, &h);
        EXPECT_TRUE(image.width == w && image.height == h && w > 0) << image.name;
        EXPECT_EQ(image.rgb.size(), static_cast<size_t>(w * h * 3)) << image.name;
        EXPECT_EQ(image.storedCodec, TARN_CODEC_JPEG) << image.name;
        EXPECT_TRUE(image.stored.size() > 2 && image.stored[0] == 0xFF && image.stored[1] == 0xD8);
    }
    ASSERT_EQ(RunPlan(
                  job, plan, &writer, 4, &stop, &counts, [] { return true; }, &error),
              RunResult::Done)
        << error;
    ASSERT_EQ(static_cast<int64_t>(writer.order.size()), plan.TileCount());
    for (size_t i = 0; i < writer.order.size(); ++i)
        ASSERT_EQ(writer.order[i], static_cast<int64_t>(i));
    EXPECT_TRUE(std::all_of(writer.sizes.begin(), writer.sizes.end(),
                            [](size_t size) { return size == 64 * 64 * 3; }));

    // The bottom tile from its source, the last coarse level, by hand.
    int64_t w = 0, h = 0;
    tarn_get_coarse_level_dimensions(slide.get(), bottom.level, &w, &h);
    std::vector<uint8_t> source(static_cast<size_t>(w * h * 3));
    ASSERT_EQ(tarn_read_coarse_region(slide.get(), source.data(), bottom.level, 0, 0, w, h,
                                      TARN_FORMAT_RGB),
              0);
    const int64_t s = bottom.scale;
    std::vector<uint8_t> expected(64 * 64 * 3, 0xFF);
    for (int64_t y = 0; y * s < h; ++y)
        for (int64_t x = 0; x * s < w; ++x)
            for (int c = 0; c < 3; ++c) {
                uint32_t sum = 0, n = 0;
                for (int64_t sy = y * s; sy < std::min(h, (y + 1) * s); ++sy)
                    for (int64_t sx = x * s; sx < std::min(w, (x + 1) * s); ++sx, ++n)
                        sum += source[static_cast<size_t>((sy * w + sx) * 3 + c)];
                expected[static_cast<size_t>((y * 64 + x) * 3 + c)] =
                    static_cast<uint8_t>((sum + n / 2) / n);
            }
    EXPECT_TRUE(writer.last == expected);
}

// Passes tiles on to a format's writer and raises the caller's cancel flag after `after` tiles.
class CancellingWriter : public Writer {
  public:
    CancellingWriter(std::unique_ptr<Writer> inner, int after, int* flag)
        : inner_(std::move(inner)), after_(after), flag_(flag) {}
    bool Open(std::string* error) override { return inner_->Open(error); }
    PutResult PutTile(const EncodedTile& tile, const Stop& stop, std::string* error) override {
        if (++put_ == after_) __atomic_store_n(flag_, 1, __ATOMIC_RELAXED);
        return inner_->PutTile(tile, stop, error);
    }
    bool Finish(const Stop& stop, std::string* error) override {
        return inner_->Finish(stop, error);
    }
    void Abandon() override { inner_->Abandon(); }

  private:
    std::unique_ptr<Writer> inner_;
    const int after_;
    int* flag_;
    std::atomic<int> put_{0};
};

// A cancel mid-way leaves whole tiles under their names and nothing else (the tiles in flight
// are removed, not renamed); a run with resume completes them to an uninterrupted run's bytes.
TEST(ExportEngine, ACancelLeavesOnlyWholeFilesAndResumeCompletesThem) {
    const tarntest::TempFile file(tarnwriter::BuildSlide(tarnwriter::SampleSpec(3, 2, 2)).bytes);
    const fs::path whole = FreshFolder("whole"), cut = FreshFolder("cut");
    const auto exportInto = [&](const fs::path& out, bool resume) {
        const Job job(tarn_export_job_create("tiles"));
        tarn_export_job_add_slide(job.get(), file.c_str());
        tarn_export_job_set_output(job.get(), out.c_str());
        tarn_export_job_set_option(job.get(), "tile-width", "40");
        tarn_export_job_set_option(job.get(), "tile-height", "40");
        tarn_export_job_set_option(job.get(), "resume", resume ? "1" : "0");
        return tarn_export_job_run(job.get());
    };
    ASSERT_EQ(exportInto(whole, false), TARN_EXPORT_DONE);
    const std::map<std::string, std::string> expected = Contents(whole);
    ASSERT_EQ(expected.size(), 19U * 13U);  // 731 x 491 pixels

    const OpenSlide slide(tarn_open(file.c_str()));
    OptionValues options(&kTilesFormat.options);
    std::string error;
    ASSERT_TRUE(options.Set("tiles", "tile-width", "40", &error) &&
                options.Set("tiles", "tile-height", "40", &error));
    SlideExport job{slide.get(), file.path(), "slide", cut.string(), &options};
    Plan plan;
    ASSERT_TRUE(kTilesFormat.plan(job, &plan, &error) && plan.Number(&error)) << error;
    int flag = 0;
    CancellingWriter writer(kTilesFormat.writer(job, plan), 30, &flag);
    ASSERT_TRUE(writer.Open(&error));
    StopState stop(&flag);
    TileCounts counts;
    EXPECT_EQ(RunPlan(
                  job, plan, &writer, 3, &stop, &counts, [] { return true; }, &error),
              RunResult::Cancelled);
    const std::map<std::string, std::string> left = Contents(cut);
    // The tiles being written when the flag went up (the 30th and up to two more) are not kept.
    EXPECT_GE(left.size(), 27U);
    EXPECT_LE(left.size(), 29U);
    for (const auto& [name, bytes] : left) {
        const auto match = expected.find(name);
        ASSERT_NE(match, expected.end()) << name;  // no temporary file
        EXPECT_TRUE(bytes == match->second) << name;
    }
    ASSERT_EQ(exportInto(cut, true), TARN_EXPORT_DONE);
    EXPECT_TRUE(Contents(cut) == expected);
}

struct Events {
    std::vector<std::string> seen;  // "started 0 a", "finished 1 b"
    static int Record(void* context, const tarn_export_progress* p) {
        auto* events = static_cast<Events*>(context);
        if (p->event == TARN_EXPORT_TILES) return 0;
        events->seen.push_back(
            std::string(p->event == TARN_EXPORT_SLIDE_STARTED ? "started " : "finished ") +
            std::to_string(p->slide_index) + " " + p->slide + " " + std::to_string(p->tiles_done) +
            "/" + std::to_string(p->tiles_total));
        return 0;
    }
};

// A caller's open slide and a file in one job: each output under its slide's name, the Deep
// Zoom pyramids side by side, the folders of tiles one per slide; two slides of one name refused.
TEST(ExportApi, SlidesFromHandlesAndFilesGoUnderTheirNames) {
    const tarntest::TempFile file(tarnwriter::BuildSlide(tarnwriter::SampleSpec(2, 2, 2)).bytes);
    const OpenSlide slide(tarn_open(file.c_str()));
    ASSERT_TRUE(slide);
    const std::string stem = fs::path(file.path()).stem().string();
    for (const char* format : {"deepzoom", "tiles"}) {
        const fs::path out = FreshFolder(format);
        const Job job(tarn_export_job_create(format));
        Events events;
        tarn_export_job_set_progress(job.get(), Events::Record, &events);
        ASSERT_EQ(tarn_export_job_add_open_slide(job.get(), slide.get(), "my slide"), 0);
        ASSERT_EQ(tarn_export_job_add_slide(job.get(), file.c_str()), 0);
        ASSERT_EQ(tarn_export_job_set_output(job.get(), out.c_str()), 0);
        ASSERT_EQ(tarn_export_job_run(job.get()), TARN_EXPORT_DONE)
            << tarn_export_get_error(job.get());
        ASSERT_EQ(events.seen.size(), 4U);
        EXPECT_EQ(events.seen[0].substr(0, 20), "started 0 my_slide 0");
        EXPECT_EQ(events.seen[3].substr(0, 12 + file.path().size()),
                  "finished 1 " + file.path() + " ");
        if (std::string(format) == "deepzoom") {
            EXPECT_TRUE(Slurp(out / "my_slide.dzi") == Slurp(out / (stem + ".dzi")));
            EXPECT_TRUE(Contents(out / "my_slide_files") == Contents(out / (stem + "_files")));
        } else {
            EXPECT_FALSE(Contents(out / "my_slide").empty());
            EXPECT_TRUE(Contents(out / "my_slide") == Contents(out / stem));
        }
    }
    const Job twice(tarn_export_job_create(nullptr));
    tarn_export_job_add_slide(twice.get(), file.c_str());
    tarn_export_job_add_slide(twice.get(), file.c_str());
    tarn_export_job_set_output(twice.get(), FreshFolder("twice").c_str());
    EXPECT_EQ(tarn_export_job_run(twice.get()), TARN_EXPORT_FAILED);
    EXPECT_NE(std::string(tarn_export_get_error(twice.get())).find("two slides are named"),
              std::string::npos);
}

}  // namespace
