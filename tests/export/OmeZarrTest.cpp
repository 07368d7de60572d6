// The ome-zarr format, read back by Debian's python3-zarr and Dask (check_ome_zarr.py): every
// level and associated image with its declared shape and scale, pixels exactly as the library
// gives them, PSNR against level 0's means; and a cancel that leaves no image passing for whole.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "Engine.h"
#include "Registry.h"
#include "support/TestFiles.h"
#include "tarn_export.h"

namespace {

namespace fs = std::filesystem;
using namespace tarnexport;

struct SlideCloser {
    void operator()(tarn_slide* slide) const { tarn_close(slide); }
};
using OpenSlide = std::unique_ptr<tarn_slide, SlideCloser>;

struct JobDeleter {
    void operator()(tarn_export_job* job) const { tarn_export_job_destroy(job); }
};
using Job = std::unique_ptr<tarn_export_job, JobDeleter>;

std::string RunCommand(const std::string& command, int* status) {
    std::string output;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        *status = -1;
        return output;
    }
    char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    *status = pclose(pipe);
    return output;
}

fs::path FreshFolder(const std::string& name) {
    fs::path folder = fs::path(tarntest::TestDirectory()) / name;
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

struct Pixels {
    int64_t width = 0;
    int64_t height = 0;
    std::vector<uint8_t> rgb;
};

Pixels Read(int64_t width, int64_t height, const std::function<int(uint8_t*)>& read) {
    Pixels pixels{width, height, std::vector<uint8_t>(static_cast<size_t>(width * height * 3))};
    EXPECT_EQ(read(pixels.rgb.data()), 0);
    return pixels;
}

// Each pixel the mean of the s x s source pixels it covers inside the picture, rounded.
Pixels BoxMeans(const Pixels& source, int64_t s) {
    Pixels out{(source.width + s - 1) / s, (source.height + s - 1) / s, {}};
    out.rgb.resize(static_cast<size_t>(out.width * out.height * 3));
    for (int64_t y = 0; y < out.height; ++y)
        for (int64_t x = 0; x < out.width; ++x)
            for (int c = 0; c < 3; ++c) {
                uint32_t sum = 0, n = 0;
                for (int64_t sy = y * s; sy < std::min(source.height, (y + 1) * s); ++sy)
                    for (int64_t sx = x * s; sx < std::min(source.width, (x + 1) * s); ++sx, ++n)
                        sum += source.rgb[static_cast<size_t>((sy * source.width + sx) * 3 + c)];
                out.rgb[static_cast<size_t>((y * out.width + x) * 3 + c)] =
                    static_cast<uint8_t>((sum + n / 2) / n);
            }
    return out;
}

std::string Raw(const fs::path& folder, const std::string& name, const Pixels& pixels) {
    std::ofstream(folder / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(pixels.rgb.data()),
               static_cast<std::streamsize>(pixels.rgb.size()));
    return name;
}

struct Expected {
    std::string name;  // the slide's, in the metadata
    int64_t chunk = 0;
    std::string compressor;
    double mpp = 0;
    std::vector<std::string> associated;
    size_t levels = 0;
};

// The references of every level and image, and the manifest check_ome_zarr.py reads; then runs
// it on `output`. Each level's pixels are its source's as the library reads them (the stored or
// coarse level, or its box means below the coarse levels); its scale is mpp x 2^k.
void CheckWithZarr(tarn_slide* slide, const fs::path& output, const Expected& expected) {
    if (std::string(TARN_DEBIAN_PYTHON).empty()) GTEST_SKIP() << "no Debian python3";
    const fs::path refs = FreshFolder(output.filename().string() + "-refs");
    Plan plan;
    std::string error;
    ASSERT_TRUE(AddPyramid(slide, expected.chunk, TileEncoding::Rgb, 90, &plan, &error)) << error;
    ASSERT_EQ(plan.levels.size(), expected.levels);
    int64_t w0 = 0, h0 = 0;
    tarn_get_level_dimensions(slide, 0, &w0, &h0);
    const Pixels full = Read(w0, h0, [&](uint8_t* dest) {
        return tarn_read_region(slide, dest, 0, 0, 0, w0, h0, TARN_FORMAT_RGB);
    });
    std::ostringstream levels;
    levels.precision(17);
    for (size_t k = 0; k < plan.levels.size(); ++k) {
        const PlanLevel& level = plan.levels[k];
        int64_t w = 0, h = 0;
        const bool coarse = level.source == PixelSource::CoarseLevel;
        if (coarse)
            tarn_get_coarse_level_dimensions(slide, level.level, &w, &h);
        else
            tarn_get_level_dimensions(slide, level.level, &w, &h);
        Pixels exact = Read(w, h, [&](uint8_t* dest) {
            return coarse ? tarn_read_coarse_region(slide, dest, level.level, 0, 0, w, h,
                                                    TARN_FORMAT_RGB)
                          : tarn_read_level_region(slide, dest, level.level, 0, 0, w, h,
                                                   TARN_FORMAT_RGB);
        });
        if (level.scale > 1) exact = BoxMeans(exact, level.scale);
        const Pixels means = BoxMeans(full, int64_t{1} << k);
        const double scale = expected.mpp * static_cast<double>(int64_t{1} << k);
        levels << (k > 0 ? ",\n" : "") << "{\"width\": " << exact.width
               << ", \"height\": " << exact.height << ", \"scale\": [1, " << scale << ", " << scale
               << "], \"exact\": \"" << Raw(refs, std::to_string(k) + ".raw", exact)
               << "\", \"mean\": \"" << Raw(refs, std::to_string(k) + "-means.raw", means)
               << "\", \"mean_width\": " << means.width << ", \"mean_height\": "
               << means.height
               // Level 0 is its own mean; the others are the slide's own renderings of the
               // tissue (stored levels, and what is made from them) or kept as JPEG: a chunk out
               // of place would take them far below.
               << ", \"least_psnr\": " << (k == 0 ? 99 : 25) << "}";
    }
    std::string images;
    for (const std::string& name : expected.associated) {
        int64_t w = 0, h = 0;
        tarn_get_associated_image_dimensions(slide, name.c_str(), &w, &h);
        const Pixels image = Read(w, h, [&](uint8_t* dest) {
            return tarn_read_associated_image(slide, name.c_str(), dest, TARN_FORMAT_RGB);
        });
        images += std::string(images.empty() ? "" : ",\n") + "{\"name\": \"" + name +
                  "\", \"width\": " + std::to_string(w) + ", \"height\": " + std::to_string(h) +
                  ", \"exact\": \"" + Raw(refs, name + ".raw", image) + "\"}";
    }
    std::ofstream(refs / "manifest.json")
        << "{\"output\": \"" << output.string() << "\", \"name\": \"" << expected.name
        << "\", \"chunk\": " << expected.chunk << ", \"compressor\": \"" << expected.compressor
        << "\",\n\"levels\": [" << levels.str() << "],\n\"associated\": [" << images << "]}\n";
    int status = 0;
    const std::string check = RunCommand(std::string(TARN_DEBIAN_PYTHON) + " " +
                                             TARN_EXPORT_TEST_DIR "/check_ome_zarr.py " +
                                             (refs / "manifest.json").string(),
                                         &status);
    std::printf("%s", check.c_str());
    EXPECT_EQ(status, 0) << check;
}

int Convert(const std::vector<std::string>& slides, const fs::path& output,
            const std::vector<std::pair<const char*, const char*>>& options) {
    const Job job(tarn_export_job_create("ome-zarr"));
    for (const std::string& slide : slides)
        EXPECT_EQ(tarn_export_job_add_slide(job.get(), slide.c_str()), 0);
    EXPECT_EQ(tarn_export_job_set_output(job.get(), output.c_str()), 0);
    for (const auto& [name, value] : options)
        EXPECT_EQ(tarn_export_job_set_option(job.get(), name, value), 0)
            << tarn_export_get_error(job.get());
    const int result = tarn_export_job_run(job.get());
    EXPECT_EQ(result, TARN_EXPORT_DONE) << tarn_export_get_error(job.get());
    return result;
}

// Stored levels, coarse levels and a level halved below them, with an empty stored tile (white
// chunks, left out) and chunks at the edges; the label, macrograph and thumbnail beside them.
TEST(OmeZarr, ZarrAndDaskReadEveryLevelAndImageAsTheLibraryGivesThem) {
    tarnwriter::SlideSpec spec = tarnwriter::SampleSpec(5, 4, 2);
    spec.layers[0].emptyTiles = {0};
    spec.gamma = 1.2F;  // colour-corrected pixels differ from the stored ones
    const tarntest::TempFile file(tarnwriter::BuildSlide(spec).bytes);
    const fs::path output = FreshFolder("zarr") / "slide.ome.zarr";
    ASSERT_EQ(Convert({file.path()}, output, {{"tile", "128"}}), TARN_EXPORT_DONE);
    // 1243 x 1003 from layer 0's empty tile of 256 pixels: four white chunks of 128.
    EXPECT_FALSE(fs::exists(output / "0/0/0/0"));
    EXPECT_TRUE(fs::exists(output / "0/0/0/2"));
    const OpenSlide slide(tarn_open(file.c_str()));
    CheckWithZarr(slide.get(), output,
                  {fs::path(file.path()).stem().string(),
                   128,
                   "zstd",
                   0.25,
                   {"label", "macro", "thumbnail"},
                   5});
}

// Several slides into a folder, each OUT/<name>.ome.zarr; without label and macrograph, at the
// pixel size given, in zlib.
TEST(OmeZarr, SlidesIntoAFolderWithoutLabelsAtAGivenPixelSizeInZlib) {
    const tarntest::TempFile first(tarnwriter::BuildSlide(tarnwriter::SampleSpec(2, 2, 1)).bytes);
    tarnwriter::SlideSpec spec = tarnwriter::SampleSpec(3, 2, 1);
    spec.seed = 5;
    const tarntest::TempFile second(tarnwriter::BuildSlide(spec).bytes);
    const fs::path out = FreshFolder("zarrs");
    ASSERT_EQ(
        Convert({first.path(), second.path()}, out,
                {{"tile", "200"}, {"no-label", "1"}, {"mpp", "0.5"}, {"compression", "zlib"}}),
        TARN_EXPORT_DONE);
    const std::string name = fs::path(second.path()).stem().string();
    EXPECT_TRUE(fs::is_regular_file(out / (fs::path(first.path()).stem().string() + ".ome.zarr") /
                                    ".zgroup"));
    const OpenSlide slide(tarn_open(second.c_str()));
    // 743 x 491: the stored level, two coarse levels (to 186 x 123).
    CheckWithZarr(slide.get(), out / (name + ".ome.zarr"),
                  {name, 200, "zlib", 0.5, {"thumbnail"}, 3});
}

// Raises the caller's cancel flag after `after` chunks.
class CancellingWriter : public Writer {
  public:
    CancellingWriter(std::unique_ptr<Writer> inner, int after, int* flag)
        : inner_(std::move(inner)), after_(after), flag_(flag) {}
    bool Open(std::string* error) override { return inner_->Open(error); }
    bool PutAssociated(const AssociatedImage& image, std::string* error) override {
        return inner_->PutAssociated(image, error);
    }
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

// A cancel mid-way leaves no root .zgroup (zarr opens no image there) and no temporary file, and
// takes the .zgroup of an earlier whole image away: its chunks are being replaced.
TEST(OmeZarr, ACancelLeavesNoImageThatPassesForWhole) {
    const tarntest::TempFile file(tarnwriter::BuildSlide(tarnwriter::SampleSpec(3, 2, 1)).bytes);
    const fs::path output = FreshFolder("cancelled") / "slide.ome.zarr";
    ASSERT_EQ(Convert({file.path()}, output, {{"tile", "64"}}), TARN_EXPORT_DONE);
    ASSERT_TRUE(fs::is_regular_file(output / ".zgroup"));

    const OpenSlide slide(tarn_open(file.c_str()));
    OptionValues options(&kOmeZarrFormat.options);
    std::string error;
    ASSERT_TRUE(options.Set("ome-zarr", "tile", "64", &error)) << error;
    SlideExport job{slide.get(), file.path(), "slide", output.string(), &options};
    Plan plan;
    ASSERT_TRUE(kOmeZarrFormat.plan(job, &plan, &error) && plan.Number(&error)) << error;
    int flag = 0;
    CancellingWriter writer(kOmeZarrFormat.writer(job, plan), 20, &flag);
    ASSERT_TRUE(writer.Open(&error)) << error;
    ASSERT_TRUE(PutAssociatedImages(job, plan, &writer, &error)) << error;
    StopState stop(&flag);
    TileCounts counts;
    EXPECT_EQ(RunPlan(
                  job, plan, &writer, 2, &stop, &counts, [] { return true; }, &error),
              RunResult::Cancelled);
    writer.Abandon();
    EXPECT_FALSE(fs::exists(output / ".zgroup"));
    for (const auto& entry : fs::recursive_directory_iterator(output))
        EXPECT_EQ(entry.path().filename().string().find(".part"), std::string::npos)
            << entry.path();
}

}  // namespace
