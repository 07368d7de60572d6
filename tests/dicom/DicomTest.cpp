// A small Tarn slide as DICOM whole-slide instances, checked by the tools a PACS site uses:
// dicom3tools' dciodvfy (the IOD), DCMTK's dcmftest and dcmdump, and pydicom with PIL.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "TarnWriter.h"
#include "dicom/Frames.h"
#include "dicom/Json.h"
#include "dicom/InstanceBytes.h"
#include "dicom/Slide.h"
#include "dicom/Uids.h"
#include "tarn.h"

namespace {

using tarn::dicom::ImageKind;
using tarn::dicom::PreparedSlide;

constexpr char kMetadata[] = R"({"PatientName": "Müller^Jürgen", "PatientID": "P-17",
    "PatientBirthDate": "19600102", "PatientSex": "M", "StudyDate": "20240131",
    "StudyTime": "101500", "AccessionNumber": "A-17", "StudyID": "S1", "SeriesNumber": 3,
    "Manufacturer": "Example Scanners", "SoftwareVersions": ["2.1", "7"],
    "ContainerIdentifier": "S24-0001-A1", "SpecimenShortDescription": "H&E, skin",
    "LabelText": "S24-0001", "DeviceSerialNumber": null, "FocusMethod": null})";

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

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct OpenSlide {
    tarnwriter::ScratchDirectory folder{"tarn-dicom"};
    std::string path;
    tarn_slide* slide = nullptr;

    explicit OpenSlide(uint32_t seed = 1) {
        // Rendering the tissue is the slow part: each slide is rendered once per run.
        static std::map<uint32_t, tarnwriter::Bytes> rendered;
        if (rendered.count(seed) == 0) {
            tarnwriter::SlideSpec spec = tarnwriter::SampleSpec(4, 3, 2);
            spec.seed = seed;
            rendered[seed] = tarnwriter::BuildSlide(spec).bytes;
        }
        path = folder.path() + "/slide.tarn";
        tarnwriter::WriteFile(path, rendered[seed]);
        slide = tarn_open(path.c_str());
    }
    ~OpenSlide() { tarn_close(slide); }
};

PreparedSlide Prepare(tarn_slide* slide, const std::string& path,
                      const tarn::dicom::DescribeOptions& options) {
    tarn::dicom::SlideDescription description;
    PreparedSlide prepared;
    std::string error;
    EXPECT_TRUE(tarn::dicom::DescribeSlide(slide, path.c_str(), options, &description, &error))
        << error;
    EXPECT_TRUE(tarn::dicom::PrepareSlide(description, &prepared, &error)) << error;
    return prepared;
}

// Writes instance `index` as the converter does: frames read and encoded one at a time.
bool WriteInstance(tarn_slide* slide, const PreparedSlide& prepared, size_t index,
                   const std::string& path, tarn::dicom::OffsetTablePolicy policy,
                   std::string* error) {
    tarn::dicom::InstanceFileWriter writer;
    if (!writer.Begin(prepared, index, path, policy, error)) return false;
    std::vector<uint8_t> jpeg;
    for (int64_t frame = 0; frame < prepared.instances[index].grid.FrameCount(); ++frame) {
        if (!tarn::dicom::ReadFrame(slide, prepared, index, frame, &jpeg, error) ||
            !writer.AddFrame(jpeg.data(), jpeg.size(), error)) {
            return false;
        }
    }
    return writer.Finish(error);
}

std::string KindName(const tarn::dicom::Instance& instance) {
    switch (instance.kind) {
        case ImageKind::Volume:
            return "level-" + std::to_string(instance.level);
        case ImageKind::Label:
            return "label";
        case ImageKind::Overview:
            return "overview";
        case ImageKind::Thumbnail:
            return "thumbnail";
    }
    return "";
}

// Errors dciodvfy reports, and its warnings printed for the test log.
void ExpectValidIod(const std::string& file) {
    int status = 0;
    const std::string report = RunCommand("dciodvfy " + file, &status);
    std::istringstream lines(report);
    std::string line;
    std::string errors;
    while (std::getline(lines, line)) {
        if (line.rfind("Error", 0) == 0) errors += line + "\n";
        if (line.rfind("Warning", 0) == 0)
            std::printf("  dciodvfy %s: %s\n", file.c_str(), line.c_str());
    }
    EXPECT_TRUE(errors.empty()) << file << ":\n" << report;
}

TEST(DicomInstances, EveryInstanceIsValidAndReadable) {
    OpenSlide source;
    ASSERT_NE(source.slide, nullptr);
    tarn::dicom::DescribeOptions options;
    options.metadataJson = kMetadata;
    const PreparedSlide prepared = Prepare(source.slide, source.path, options);
    // Two stored levels, one coarse level of one tile, label, overview and thumbnail.
    ASSERT_EQ(prepared.instances.size(), 6U);
    EXPECT_EQ(prepared.instances[2].grid.FrameCount(), 1);

    const std::string folder = source.folder.path() + "/dicom";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    std::string error;
    for (size_t i = 0; i < prepared.instances.size(); ++i) {
        const std::string file = folder + "/" + KindName(prepared.instances[i]) + ".dcm";
        // The finest level takes the extended table that a 4 GiB instance would.
        const auto policy =
            i == 0 ? tarn::dicom::OffsetTablePolicy::Always : tarn::dicom::OffsetTablePolicy::Auto;
        ASSERT_TRUE(WriteInstance(source.slide, prepared, i, file, policy, &error)) << error;
        ExpectValidIod(file);
        int status = 0;
        const std::string test = RunCommand("dcmftest " + file, &status);
        EXPECT_EQ(test.rfind("yes:", 0), 0U) << test;
    }
    // dicom3tools' entity check: the instances agree on their patient, study and series.
    int entities = 0;
    const std::string entityReport = RunCommand("dcentvfy " + folder + "/*.dcm", &entities);
    EXPECT_EQ(entities, 0);
    EXPECT_EQ(entityReport.find("Error"), std::string::npos) << entityReport;

    // The metadata's UTF-8 names and the measured ratio read back as written.
    int status = 0;
    const std::string dump = RunCommand("dcmdump +U8 " + folder + "/level-0.dcm", &status);
    EXPECT_EQ(status, 0) << dump;
    EXPECT_NE(dump.find("[Müller^Jürgen]"), std::string::npos) << dump;
    EXPECT_NE(dump.find("(7fe0,0001) OV"), std::string::npos);
    EXPECT_EQ(dump.find("0000000000000.00"), std::string::npos) << "ratio left unpatched";

    // DICOM JSON beside the files, for pydicom to load.
    tarn::dicom::JsonOptions jsonOptions;
    jsonOptions.bulkDataUriPrefix = "http://127.0.0.1/bulk";
    std::string json;
    ASSERT_TRUE(tarn::dicom::InstanceJson(prepared, 3, jsonOptions, &json, &error)) << error;
    EXPECT_NE(json.find("\"BulkDataURI\":\"http://127.0.0.1/bulk/00282000\""), std::string::npos)
        << json;
    std::ofstream(folder + "/label.json") << json;

    const std::string check = RunCommand(
        std::string(TARN_DEBIAN_PYTHON) + " " + TARN_DICOM_TEST_DIR "/check_instances.py " + folder,
        &status);
    std::printf("%s", check.c_str());
    EXPECT_EQ(status, 0) << check;
    // TARN_DICOM_KEEP=FOLDER keeps the instances for a look with other tools.
    if (const char* keep = std::getenv("TARN_DICOM_KEEP"))
        RunCommand("cp -r " + folder + " " + keep, &status);
}

TEST(DicomInstances, StreamedInstanceHoldsTheFilesFrames) {
    OpenSlide source;
    const PreparedSlide prepared = Prepare(source.slide, source.path, {});
    const std::string file = source.folder.path() + "/level-1.dcm";
    std::string error;
    ASSERT_TRUE(WriteInstance(source.slide, prepared, 1, file,
                              tarn::dicom::OffsetTablePolicy::Always, &error))
        << error;
    const std::vector<uint8_t> written = ReadBytes(file);

    // The stream knows the frames' lengths ahead, so it writes its extended offset table at
    // once, where the file writer filled its table in afterwards.
    tarn_slide* slide = source.slide;
    auto frames = [&](int64_t frame, std::vector<uint8_t>* jpeg, std::string* why) {
        return tarn::dicom::ReadFrame(slide, prepared, 1, frame, jpeg, why);
    };
    tarn::dicom::StreamOptions options;
    std::vector<uint8_t> jpeg;
    for (int64_t frame = 0; frame < prepared.instances[1].grid.FrameCount(); ++frame) {
        ASSERT_TRUE(frames(frame, &jpeg, &error)) << error;
        options.frameLengths.push_back(jpeg.size());
    }
    tarn::dicom::InstanceStream stream;
    ASSERT_TRUE(stream.Begin(prepared, 1, frames, options, &error)) << error;
    std::vector<uint8_t> streamed;
    uint8_t piece[1000];  // small reads cross every boundary between header, items and end
    int64_t n = 0;
    while ((n = stream.Read(piece, sizeof piece)) > 0)
        streamed.insert(streamed.end(), piece, piece + n);
    ASSERT_EQ(n, 0) << stream.error();

    // Everything from the offset table on is the same; only the ratio (estimated) differs.
    const uint8_t table[] = {0xE0, 0x7F, 0x01, 0x00, 'O', 'V'};
    auto start = [&](const std::vector<uint8_t>& bytes) {
        return std::search(bytes.begin(), bytes.end(), std::begin(table), std::end(table));
    };
    const auto fromWritten = start(written);
    const auto fromStreamed = start(streamed);
    ASSERT_NE(fromWritten, written.end());
    ASSERT_NE(fromStreamed, streamed.end());
    EXPECT_TRUE(std::equal(fromWritten, written.cend(), fromStreamed, streamed.cend()));
    const std::string streamedFile = source.folder.path() + "/streamed.dcm";
    tarnwriter::WriteFile(streamedFile, streamed);
    ExpectValidIod(streamedFile);

    // A source that fails ends the stream with its reason.
    tarn::dicom::InstanceStream failing;
    ASSERT_TRUE(failing.Begin(
        prepared, 1,
        [](int64_t, std::vector<uint8_t>*, std::string* why) {
            *why = "gone";
            return false;
        },
        {}, &error));
    while ((n = failing.Read(piece, sizeof piece)) > 0) {
    }
    EXPECT_EQ(n, -1);
    EXPECT_EQ(failing.error(), "gone");
}

TEST(DicomInstances, UidsFollowTheSlidesContent) {
    OpenSlide first;
    OpenSlide changed(2);
    const PreparedSlide a = Prepare(first.slide, first.path, {});
    const PreparedSlide again = Prepare(first.slide, first.path, {});
    tarn::dicom::DescribeOptions fresh;
    fresh.newUids = true;
    const PreparedSlide renewed = Prepare(first.slide, first.path, fresh);
    const PreparedSlide other = Prepare(changed.slide, changed.path, {});

    EXPECT_EQ(a.uids.study, again.uids.study);
    EXPECT_EQ(a.uids.series, again.uids.series);
    EXPECT_EQ(a.uids.frameOfReference, again.uids.frameOfReference);
    std::set<std::string> seen = {
        a.uids.study,    a.uids.series, a.uids.frameOfReference, a.uids.dimensionOrganization,
        a.uids.specimen, a.uids.pyramid};
    for (size_t i = 0; i < a.instances.size(); ++i) {
        const std::string& uid = a.instances[i].sopInstanceUid;
        EXPECT_EQ(uid, again.instances[i].sopInstanceUid);
        EXPECT_NE(uid, renewed.instances[i].sopInstanceUid);
        EXPECT_NE(uid, other.instances[i].sopInstanceUid);
        EXPECT_EQ(uid.rfind("2.25.", 0), 0U);
        EXPECT_LE(uid.size(), 64U);
        EXPECT_EQ(uid.find_first_not_of("0123456789.", 0), std::string::npos);
        seen.insert(uid);
    }
    EXPECT_EQ(seen.size(), 6 + a.instances.size()) << "two purposes share a UID";
    EXPECT_NE(a.uids.study, renewed.uids.study);
    EXPECT_NE(a.uids.series, other.uids.series);

    // The UUID's version (8) and variant bits are set: 0x80 in byte 6 and 8 of all zeros.
    uint8_t zeros[16] = {};
    EXPECT_EQ(tarn::dicom::UidOfUuid(zeros), "2.25.0");
    uint8_t ones[16];
    std::fill(std::begin(ones), std::end(ones), 0xFF);
    EXPECT_EQ(tarn::dicom::UidOfUuid(ones), "2.25.340282366920938463463374607431768211455");
}

TEST(DicomInstances, MetadataIsCheckedBeforeItReachesAnInstance) {
    OpenSlide source;
    tarn::dicom::SlideDescription description;
    std::string error;
    ASSERT_TRUE(
        tarn::dicom::DescribeSlide(source.slide, source.path.c_str(), {}, &description, &error));
    PreparedSlide prepared;
    const char* refused[] = {
        R"([1, 2])",                         // not an object
        R"({"PatientName": )",               // malformed
        R"({"Rows": 7})",                    // the slide's own geometry
        R"({"NoSuchKeyword": "x"})",         //
        R"({"StudyDate": "2024-01-31"})",    // not a DA
        R"({"PatientSex": "MALE"})",         // not one of its codes
        R"({"PatientID": ["a", "b"]})",      // one value only
        R"({"PatientName": true})",          //
        "{\"PatientName\": \"a\\u0001b\"}",  // a control character
        "{\"PatientComments\": \"\xff\"}",   // not UTF-8
    };
    for (const char* json : refused) {
        description.metadataJson = json;
        EXPECT_FALSE(tarn::dicom::PrepareSlide(description, &prepared, &error)) << json;
        EXPECT_FALSE(error.empty());
    }
    description.metadataJson = R"({"StudyInstanceUID": "1.2.3.4", "PatientName": null})";
    ASSERT_TRUE(tarn::dicom::PrepareSlide(description, &prepared, &error)) << error;
    EXPECT_EQ(prepared.uids.study, "1.2.3.4");

    // A slide without a pixel size needs one given.
    description.metadataJson.clear();
    description.pixelSpacingXMm = 0;
    EXPECT_FALSE(tarn::dicom::PrepareSlide(description, &prepared, &error));
}

TEST(DicomInstances, WriterRefusesWrongFramesAndLeavesNoFile) {
    OpenSlide source;
    const PreparedSlide prepared = Prepare(source.slide, source.path, {});
    const std::string file = source.folder.path() + "/out.dcm";
    std::string error;
    std::vector<uint8_t> jpeg;
    {
        tarn::dicom::InstanceFileWriter writer;
        ASSERT_TRUE(writer.Begin(prepared, 0, file, tarn::dicom::OffsetTablePolicy::Auto, &error));
        // A frame of the label's size, and one with 4:2:0 chroma, are not the level's frames.
        ASSERT_TRUE(tarn::dicom::ReadFrame(source.slide, prepared, 3, 0, &jpeg, &error));
        EXPECT_FALSE(writer.AddFrame(jpeg.data(), jpeg.size(), &error));
        std::vector<uint8_t> tile(256 * 256 * 3, 128);
        const tarnwriter::Bytes subsampled =
            tarnwriter::EncodeJpeg(tarnwriter::Image{256, 256, tile}, 90);
        EXPECT_FALSE(writer.AddFrame(subsampled.data(), subsampled.size(), &error));
        EXPECT_NE(error.find("4:2:2"), std::string::npos) << error;
        const uint8_t notJpeg[] = {1, 2, 3, 4, 5};
        EXPECT_FALSE(writer.AddFrame(notJpeg, sizeof notJpeg, &error));
        ASSERT_TRUE(tarn::dicom::ReadFrame(source.slide, prepared, 0, 0, &jpeg, &error));
        EXPECT_TRUE(writer.AddFrame(jpeg.data(), jpeg.size(), &error)) << error;
        // Too few frames: no instance.
        EXPECT_FALSE(writer.Finish(&error));
    }
    {
        tarn::dicom::InstanceFileWriter writer;
        ASSERT_TRUE(writer.Begin(prepared, 2, file, tarn::dicom::OffsetTablePolicy::Auto, &error));
        ASSERT_TRUE(tarn::dicom::ReadFrame(source.slide, prepared, 2, 0, &jpeg, &error));
        ASSERT_TRUE(writer.AddFrame(jpeg.data(), jpeg.size(), &error));
        EXPECT_FALSE(writer.AddFrame(jpeg.data(), jpeg.size(), &error)) << "past the last frame";
        writer.Abort();
    }
    int status = 0;
    EXPECT_EQ(RunCommand("ls " + source.folder.path(), &status), "slide.tarn\n");
}

}  // namespace

namespace {

TEST(DicomInstances, FrameGeometryAndBulkData) {
    // 1000 x 600 in 256-pixel frames: 4 x 3, the last column and row partial.
    const tarn::dicom::FrameGrid grid = tarn::dicom::GridOf({1000, 600}, 256, 256);
    EXPECT_EQ(grid.columns, 4);
    EXPECT_EQ(grid.rows, 3);
    EXPECT_EQ(tarn::dicom::FrameIndex(grid, 3, 2), 11);
    EXPECT_EQ(tarn::dicom::FrameIndex(grid, 4, 0), -1);
    EXPECT_EQ(tarn::dicom::FrameIndex(grid, 0, -1), -1);
    const tarn::dicom::FramePosition last = tarn::dicom::PositionOf(grid, 11);
    EXPECT_EQ(last.x, 768);
    EXPECT_EQ(last.y, 512);
    EXPECT_EQ(tarn::dicom::PositionOf(grid, 12).x, 0) << "past the last frame";

    OpenSlide source;
    const PreparedSlide prepared = Prepare(source.slide, source.path, {});
    std::string json;
    std::string error;
    // Without a prefix the profile is inline; with one, the URI names what InstanceBulkData gives.
    ASSERT_TRUE(tarn::dicom::InstanceJson(prepared, 0, {}, &json, &error)) << error;
    EXPECT_NE(json.find("\"00282000\":{\"vr\":\"OB\",\"InlineBinary\":"), std::string::npos);
    std::vector<uint8_t> profile;
    ASSERT_TRUE(tarn::dicom::InstanceBulkData(prepared, 0, "00282000", &profile, &error));
    EXPECT_GT(profile.size(), 128U);
    EXPECT_EQ(std::string(profile.begin() + 36, profile.begin() + 40), "acsp");  // ICC signature
    EXPECT_FALSE(tarn::dicom::InstanceBulkData(prepared, 0, "7FE00010", &profile, &error));
    EXPECT_FALSE(tarn::dicom::InstanceJson(prepared, prepared.instances.size(), {}, &json, &error));
}

}  // namespace
