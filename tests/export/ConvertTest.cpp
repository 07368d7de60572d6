// The conversion formats' care for their output, through the DICOM format: the frames dicom/
// defines, byte for byte; an output that exists only once whole, refused when there and replaced
// with overwrite; tiles that cannot be read failing the run, or white and counted.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "dicom/Frames.h"
#include "dicom/Slide.h"
#include "support/TestFiles.h"
#include "tarn_export.h"
#if __has_include(<tiffio.h>)
#include "formats/TiffFile.h"
#endif

namespace {

namespace fs = std::filesystem;

struct JobDeleter {
    void operator()(tarn_export_job* job) const { tarn_export_job_destroy(job); }
};
using Job = std::unique_ptr<tarn_export_job, JobDeleter>;

fs::path FreshFolder(const std::string& name) {
    const fs::path folder = fs::path(tarntest::TestDirectory()) / name;
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

std::set<std::string> Names(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

std::vector<uint8_t> Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The frames of an encapsulated instance file, each item's bytes (pad included).
std::vector<std::vector<uint8_t>> Frames(const std::vector<uint8_t>& file) {
    const uint8_t start[] = {0xE0, 0x7F, 0x10, 0x00, 'O', 'B', 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    auto at = std::find_end(file.begin(), file.end(), std::begin(start), std::end(start));
    std::vector<std::vector<uint8_t>> frames;
    if (at == file.end()) return frames;
    size_t i = static_cast<size_t>(at - file.begin()) + sizeof start + 8;  // past the empty table
    while (i + 8 <= file.size() && file[i + 2] == 0x00 && file[i + 3] == 0xE0) {
        const size_t length =
            file[i + 4] | (file[i + 5] << 8) | (file[i + 6] << 16) | (size_t{file[i + 7]} << 24);
        frames.emplace_back(file.begin() + static_cast<long>(i + 8),
                            file.begin() + static_cast<long>(i + 8 + length));
        i += 8 + length;
    }
    return frames;
}

struct Outcome {
    int result = TARN_EXPORT_FAILED;
    std::string error;
    int64_t damaged = 0;
    bool stagedWhileRunning = false;  // at the start: no final name, a hidden staged one
};

// Converts `slides` to `out` with options given as name/value pairs.
Outcome Convert(const std::vector<std::string>& slides, const fs::path& out,
                const std::vector<std::pair<const char*, const char*>>& options = {},
                bool cancelAtStart = false) {
    const Job job(tarn_export_job_create("dicom"));
    Outcome run;
    if (!job) return run;
    for (const auto& [name, value] : options)
        EXPECT_EQ(tarn_export_job_set_option(job.get(), name, value), 0)
            << tarn_export_get_error(job.get());
    for (const std::string& slide : slides)
        tarn_export_job_add_slide(job.get(), slide.c_str());
    tarn_export_job_set_output(job.get(), out.c_str());
    tarn_export_job_set_threads(job.get(), 3);
    struct Context {
        Outcome* run;
        bool cancel;
    } context{&run, cancelAtStart};
    tarn_export_job_set_progress(
        job.get(),
        [](void* opaque, const tarn_export_progress* p) {
            auto* c = static_cast<Context*>(opaque);
            c->run->damaged = p->tiles_damaged;
            if (p->event != TARN_EXPORT_SLIDE_STARTED) return 0;
            const fs::path output = p->output;
            bool hidden = false;
            for (const auto& entry : fs::directory_iterator(output.parent_path()))
                hidden |= entry.path().filename().string().rfind("." + output.filename().string(),
                                                                 0) == 0;
            c->run->stagedWhileRunning = hidden && !fs::exists(output);
            return c->cancel ? 1 : 0;
        },
        &context);
    run.result = tarn_export_job_run(job.get());
    const char* error = tarn_export_get_error(job.get());
    run.error = error != nullptr ? error : "";
    return run;
}

tarnwriter::Bytes SampleSlide(uint32_t seed = 1) {
    tarnwriter::SlideSpec spec = tarnwriter::SampleSpec(4, 3, 2);
    spec.seed = seed;
    return tarnwriter::BuildSlide(spec).bytes;
}

// Every level of the plan an instance, the label, overview and thumbnail one each, written into
// a hidden folder that takes OUT's name at the end; every frame is the one dicom/ reads for the
// server, with tiles of 256 and of 128 (which adds a level scaled down from the last coarse one).
TEST(Conversion, DicomInstancesHoldTheFramesDicomDefinesAndAppearWhole) {
    const tarntest::TempFile file(SampleSlide());
    const fs::path folder = FreshFolder("dicom-whole");
    for (const char* tile : {"256", "128"}) {
        const fs::path out = folder / (std::string("out-") + tile);
        const Outcome run = Convert({file.path()}, out, {{"tile", tile}, {"quality", "80"}});
        ASSERT_EQ(run.result, TARN_EXPORT_DONE) << run.error;
        EXPECT_TRUE(run.stagedWhileRunning);

        tarn_slide* slide = tarn_open(file.c_str());
        tarn::dicom::DescribeOptions options;
        options.tileSize = static_cast<uint32_t>(std::stoi(tile));
        options.jpegQuality = 80;
        tarn::dicom::SlideDescription description;
        tarn::dicom::PreparedSlide prepared;
        std::string error;
        ASSERT_TRUE(
            tarn::dicom::DescribeSlide(slide, file.c_str(), options, &description, &error) &&
            tarn::dicom::PrepareSlide(description, &prepared, &error))
            << error;
        std::set<std::string> expected{"label.dcm", "overview.dcm", "thumbnail.dcm"};
        for (size_t level = 0; level < description.levels.size(); ++level)
            expected.insert("level-" + std::to_string(level) + ".dcm");
        EXPECT_EQ(Names(out), expected);
        EXPECT_EQ(description.levels.back().scale, std::string(tile) == "128" ? 2 : 1);
        for (size_t i = 0; i < prepared.instances.size(); ++i) {
            const tarn::dicom::Instance& instance = prepared.instances[i];
            const char* const kinds[] = {"", "label.dcm", "overview.dcm", "thumbnail.dcm"};
            const std::string name = instance.kind == tarn::dicom::ImageKind::Volume
                                         ? "level-" + std::to_string(instance.level) + ".dcm"
                                         : kinds[static_cast<int>(instance.kind)];
            const std::vector<std::vector<uint8_t>> frames = Frames(Slurp(out / name));
            ASSERT_EQ(static_cast<int64_t>(frames.size()), instance.grid.FrameCount()) << name;
            std::vector<uint8_t> jpeg;
            for (size_t f = 0; f < frames.size(); ++f) {
                ASSERT_TRUE(tarn::dicom::ReadFrame(slide, prepared, i, static_cast<int64_t>(f),
                                                   &jpeg, &error))
                    << error;
                if (jpeg.size() % 2 != 0) jpeg.push_back(0);
                ASSERT_TRUE(frames[f] == jpeg) << name << " frame " << f;
            }
        }
        tarn_close(slide);
    }
    EXPECT_EQ(Names(folder), (std::set<std::string>{"out-128", "out-256"}));  // nothing staged
}

// An output that is there is refused, before any slide of a job is converted; overwrite replaces
// it whole. Nothing staged stays behind, and the output may not swallow its own slide.
TEST(Conversion, AnExistingOutputIsRefusedUnlessOverwritten) {
    const fs::path folder = FreshFolder("dicom-exists");
    const std::string a = (folder / "a.tarn").string(), b = (folder / "b.tarn").string();
    tarnwriter::WriteFile(a, SampleSlide(1));
    tarnwriter::WriteFile(b, SampleSlide(2));
    const fs::path out = folder / "out";
    fs::create_directories(out / "b");
    std::ofstream(out / "b" / "keep") << "old";
    Outcome run = Convert({a, b}, out);
    EXPECT_EQ(run.result, TARN_EXPORT_FAILED);
    EXPECT_EQ(run.error,
              (out / "b").string() + " exists already: the overwrite option replaces it");
    EXPECT_EQ(Names(out), std::set<std::string>{"b"});  // slide a was not converted either

    run = Convert({a, b}, out, {{"overwrite", "1"}});
    ASSERT_EQ(run.result, TARN_EXPORT_DONE) << run.error;
    EXPECT_EQ(Names(out), (std::set<std::string>{"a", "b"}));
    EXPECT_FALSE(fs::exists(out / "b" / "keep"));
    EXPECT_TRUE(fs::exists(out / "b" / "level-0.dcm"));

    run = Convert({a}, folder, {{"overwrite", "1"}});
    EXPECT_EQ(run.result, TARN_EXPORT_FAILED);
    EXPECT_NE(run.error.find("would replace the slide"), std::string::npos) << run.error;
    EXPECT_TRUE(fs::exists(a));
    EXPECT_EQ(Names(folder), (std::set<std::string>{"a.tarn", "b.tarn", "out"}));
}

// A tile that does not decode fails the conversion and leaves nothing; with skip-damaged it is
// white, counted in the progress and in its instance's ImageComments. A cancel leaves nothing.
TEST(Conversion, DamagedTilesFailOrAreWhiteAndCountedAndACancelLeavesNothing) {
    tarnwriter::SlideFile sample = tarnwriter::BuildSlide(tarnwriter::SampleSpec(4, 3, 2));
    const uint64_t at = sample.layout.tileOffsets[0][5];
    std::fill_n(sample.bytes.begin() + static_cast<long>(at), 64, 0);
    const tarntest::TempFile file(sample.bytes);
    const fs::path folder = FreshFolder("dicom-damaged");

    Outcome run = Convert({file.path()}, folder / "failed");
    EXPECT_EQ(run.result, TARN_EXPORT_FAILED);
    EXPECT_NE(run.error.find("tile (1, 1) of level 0 does not decode"), std::string::npos)
        << run.error;
    run = Convert({file.path()}, folder / "cancelled", {}, true);
    EXPECT_EQ(run.result, TARN_EXPORT_CANCELLED);
    EXPECT_TRUE(run.stagedWhileRunning);
    EXPECT_TRUE(fs::is_empty(folder));

    run = Convert({file.path()}, folder / "out", {{"skip-damaged", "1"}});
    ASSERT_EQ(run.result, TARN_EXPORT_DONE) << run.error;
    EXPECT_EQ(run.damaged, 1);
    const auto comment = [&](const char* name) {
        const std::vector<uint8_t> bytes = Slurp(folder / "out" / name);
        const std::string text(bytes.begin(), bytes.end());
        const size_t found = text.find(std::string("\x20\x00\x00\x40LT", 6));
        return found == std::string::npos ? std::string() : text.substr(found + 8, 96);
    };
    EXPECT_EQ(comment("level-0.dcm").substr(0, 69),
              "1 of 12 frames could not be read from the source slide and are white ");
    EXPECT_EQ(comment("level-1.dcm").substr(0, 43), "Every frame was read from the source slide ");
    // The white frame is a white tile's JPEG.
    std::vector<uint8_t> white;
    std::string error;
    const std::vector<uint8_t> pixels(256 * 256 * 3, 0xFF);
    ASSERT_TRUE(tarn::dicom::EncodeFrameJpeg(pixels.data(), 256, 256, 90, &white, &error));
    if (white.size() % 2 != 0) white.push_back(0);
    EXPECT_TRUE(Frames(Slurp(folder / "out" / "level-0.dcm"))[5] == white);
    EXPECT_EQ(Names(folder), std::set<std::string>{"out"});
}

#if __has_include(<tiffio.h>)
// Classic TIFF addresses 4 GiB: a file that may pass it, by its tiles or by its associated
// images, is a BigTIFF; one that cannot stays classic, which more readers take.
TEST(Conversion, ATiffThatMayPass4GiBIsABigTiff) {
    using namespace tarnexport;
    const auto level = [](int64_t side) {
        return GridLevel(PixelSource::StoredLevel, 0, side, side, 256, 256, TileEncoding::Jpeg, 90);
    };
    EXPECT_FALSE(NeedsBigTiff({level(6144)}, 0));
    EXPECT_TRUE(NeedsBigTiff({level(76800)}, 0));
    // 144 x 144 tiles of 256: 3.8 GiB at 3 bytes a pixel, below the limit until the associated
    // images or one more level are counted.
    EXPECT_FALSE(NeedsBigTiff({level(36864)}, 0));
    EXPECT_TRUE(NeedsBigTiff({level(36864)}, uint64_t{300} << 20));
    EXPECT_TRUE(NeedsBigTiff({level(36864), level(18432)}, 0));
}
#endif

}  // namespace
