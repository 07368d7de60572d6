// DICOMweb answers over small slides, without a server: searches and their matching, metadata and
// bulk data, frames, whole instances (the converter's files, streamed), rendered images, and the
// framing of every multipart answer.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "TarnWriter.h"
#include "dicom/Frames.h"
#include "dicom/Json.h"
#include "dicom/InstanceBytes.h"
#include "dicomweb/DicomWeb.h"
#include "dicomweb/MediaTypes.h"
#include "dicomweb/Multipart.h"
#include "dicomweb/Query.h"
#include "dicomweb/Render.h"
#include "tarn.h"

namespace {

using tarncli::dicomweb::Answer;
using tarncli::dicomweb::Request;
using tarncli::dicomweb::Service;
using tarncli::dicomweb::Slide;

constexpr char kBase[] = "http://127.0.0.1:8080/dicomweb";
constexpr char kSharedStudy[] = "1.2.826.0.1.3680043.10.1234.1";
constexpr char kViewerFrames[] =
    "multipart/related; type=\"application/octet-stream\"; transfer-syntax=*";
constexpr char kOrthancRetrieve[] = "multipart/related; type=application/dicom; transfer-syntax=*";

using Json = std::unique_ptr<cJSON, void (*)(cJSON*)>;

Json Parse(const std::string& text) {
    return Json(cJSON_ParseWithLength(text.data(), text.size()), cJSON_Delete);
}

// The first value of attribute `tag` of a DICOM JSON object, as text ("" when absent).
std::string Value(const cJSON* object, const char* tag) {
    const cJSON* values =
        cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(object, tag), "Value");
    const cJSON* first = cJSON_GetArrayItem(values, 0);
    if (cJSON_IsString(first)) return first->valuestring;
    if (cJSON_IsNumber(first)) return std::to_string(static_cast<int64_t>(first->valuedouble));
    const cJSON* name = cJSON_GetObjectItemCaseSensitive(first, "Alphabetic");
    return cJSON_IsString(name) ? name->valuestring : "";
}

// Three slides: A and C in one study (their metadata names it), B in its own; C reads B's file
// with fresh UIDs, as a second copy of a slide would be served.
struct Slides {
    tarnwriter::ScratchDirectory folder{"tarn-dicomweb"};
    tarn_slide* first = nullptr;
    tarn_slide* second = nullptr;
    std::vector<Slide> all;

    Slides() {
        static const tarnwriter::Bytes a =
            tarnwriter::BuildSlide(tarnwriter::SampleSpec(4, 3, 2)).bytes;
        static const tarnwriter::Bytes b = [] {
            tarnwriter::SlideSpec spec = tarnwriter::SampleSpec(2, 2, 1);
            spec.seed = 2;
            return tarnwriter::BuildSlide(spec).bytes;
        }();
        tarnwriter::WriteFile(folder.path() + "/a.tarn", a);
        tarnwriter::WriteFile(folder.path() + "/b.tarn", b);
        first = tarn_open((folder.path() + "/a.tarn").c_str());
        second = tarn_open((folder.path() + "/b.tarn").c_str());
        const std::string shared = std::string("\"StudyInstanceUID\": \"") + kSharedStudy + "\"";
        Add(first, "a.tarn",
            "{" + shared + R"(, "PatientName": "Müller^Jürgen", "PatientID": "P-17",
               "StudyDate": "20240131", "StudyTime": "101500", "SeriesNumber": 3,
               "ContainerIdentifier": "S24-0001-A1"})",
            false);
        Add(second, "b.tarn", R"({"PatientName": "Doe^Jane", "PatientID": "P-2"})", false);
        Add(second, "b.tarn", "{" + shared + R"(, "PatientName": "Müller^Jürgen"})", true);
    }
    ~Slides() {
        tarn_close(first);
        tarn_close(second);
    }

    void Add(tarn_slide* slide, const char* name, const std::string& metadata, bool newUids) {
        tarn::dicom::DescribeOptions options;
        options.metadataJson = metadata;
        options.newUids = newUids;
        tarn::dicom::SlideDescription description;
        auto prepared = std::make_shared<tarn::dicom::PreparedSlide>();
        std::string error;
        const std::string path = folder.path() + "/" + name;
        ASSERT_TRUE(tarn::dicom::DescribeSlide(slide, path.c_str(), options, &description, &error))
            << error;
        ASSERT_TRUE(tarn::dicom::PrepareSlide(description, prepared.get(), &error)) << error;
        all.push_back({prepared, slide, nullptr});
    }

    const tarn::dicom::PreparedSlide& A() const { return *all[0].prepared; }
    std::string SeriesPath(size_t k = 0) const {
        return "studies/" + all[k].prepared->uids.study + "/series/" + all[k].prepared->uids.series;
    }
    std::string InstancePath(size_t instance, size_t k = 0) const {
        return SeriesPath(k) + "/instances/" + all[k].prepared->instances[instance].sopInstanceUid;
    }
};

Request Get(const std::string& path, const std::string& accept = "",
            std::vector<std::pair<std::string, std::string>> query = {}) {
    Request request;
    size_t start = 0;
    while (start < path.size()) {
        const size_t slash = std::min(path.find('/', start), path.size());
        request.path.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    request.query = std::move(query);
    request.accept = accept;
    request.baseUrl = kBase;
    return request;
}

// The whole body, pulled through the producer in small reads that cross every boundary.
std::string Drain(Answer* answer, int64_t* last = nullptr) {
    if (!answer->producer) return answer->body;
    std::string body;
    uint8_t piece[997];
    int64_t n = 0;
    while ((n = answer->producer->Read(piece, sizeof piece)) > 0)
        body.append(reinterpret_cast<const char*>(piece), static_cast<size_t>(n));
    if (last != nullptr) *last = n;
    EXPECT_TRUE(last != nullptr || n == 0) << answer->producer->error();
    return body;
}

struct SplitPart {
    std::map<std::string, std::string> headers;
    std::string bytes;
};

// Splits a multipart/related body by the boundary its Content-Type names, checking the framing:
// no preamble, CRLF before every boundary, the closing delimiter last.
std::vector<SplitPart> SplitMultipart(const std::string& contentType, const std::string& body) {
    const size_t at = contentType.find("boundary=");
    EXPECT_NE(at, std::string::npos) << contentType;
    EXPECT_EQ(contentType.rfind("multipart/related; type=", 0), 0U) << contentType;
    const std::string boundary = "--" + contentType.substr(at + 9);
    std::vector<SplitPart> parts;
    EXPECT_EQ(body.rfind(boundary + "\r\n", 0), 0U) << "a preamble";
    size_t start = boundary.size() + 2;
    const std::string closing = "\r\n" + boundary + "--\r\n";
    EXPECT_EQ(body.size() >= closing.size() ? body.substr(body.size() - closing.size()) : "",
              closing);
    while (start < body.size()) {
        const size_t end = body.find("\r\n" + boundary, start);
        if (end == std::string::npos) break;
        const size_t blank = body.find("\r\n\r\n", start);
        SplitPart part;
        size_t line = start;
        while (line < blank) {
            const size_t eol = body.find("\r\n", line);
            const std::string header = body.substr(line, eol - line);
            const size_t colon = header.find(": ");
            part.headers[header.substr(0, colon)] = header.substr(colon + 2);
            line = eol + 2;
        }
        part.bytes = body.substr(blank + 4, end - blank - 4);
        parts.push_back(part);
        start = end + 2 + boundary.size() + 2;
    }
    return parts;
}

std::string Header(const Answer& answer, const std::string& name) {
    for (const auto& [key, value] : answer.headers) {
        if (key == name) return value;
    }
    return "";
}

std::string Frame(const Slides& slides, size_t instance, int64_t frame) {
    std::vector<uint8_t> jpeg;
    std::string error;
    EXPECT_TRUE(tarn::dicom::ReadFrame(slides.first, slides.A(), instance, frame, &jpeg, &error));
    return std::string(jpeg.begin(), jpeg.end());
}

TEST(DicomWebSearch, StudiesSeriesAndInstancesMatchAndPage) {
    Slides slides;
    const Service service({});
    auto search = [&](const std::string& path,
                      std::vector<std::pair<std::string, std::string>> query = {}) {
        Answer answer = service.Handle(Get(path, "", std::move(query)), slides.all);
        if (answer.status == 204) return Json(cJSON_CreateArray(), cJSON_Delete);
        EXPECT_EQ(answer.status, 200) << path << ": " << answer.body;
        EXPECT_EQ(answer.contentType, "application/dicom+json");
        Json json = Parse(answer.body);
        EXPECT_TRUE(cJSON_IsArray(json.get())) << answer.body;
        return json;
    };
    Json studies = search("studies");
    ASSERT_EQ(cJSON_GetArraySize(studies.get()), 2);
    const cJSON* shared = cJSON_GetArrayItem(studies.get(), 0);
    EXPECT_EQ(Value(shared, "0020000D"), kSharedStudy);
    EXPECT_EQ(Value(shared, "00100010"), "Müller^Jürgen");
    EXPECT_EQ(Value(shared, "00080061"), "SM");
    EXPECT_EQ(Value(shared, "00201206"), "2");
    EXPECT_EQ(Value(shared, "00201208"), std::to_string(slides.A().instances.size() +
                                                        slides.all[2].prepared->instances.size()));
    EXPECT_EQ(Value(shared, "00081190"), std::string(kBase) + "/studies/" + kSharedStudy);
    EXPECT_NE(cJSON_GetObjectItemCaseSensitive(shared, "00080050"), nullptr) << "Type 2, empty";

    // Matching: wildcards without regard to case, UID lists, date ranges, codes.
    const std::string other = slides.all[1].prepared->uids.study;
    EXPECT_EQ(cJSON_GetArraySize(search("studies", {{"PatientName", "m*LLER^*"}}).get()), 1);
    EXPECT_EQ(cJSON_GetArraySize(search("studies", {{"00100010", "doe^jan?"}}).get()), 1);
    EXPECT_EQ(cJSON_GetArraySize(
                  search("studies", {{"StudyInstanceUID", other + "," + kSharedStudy}}).get()),
              2);
    EXPECT_EQ(cJSON_GetArraySize(search("studies", {{"StudyDate", "20240101-20240131"}}).get()), 1);
    EXPECT_EQ(
        cJSON_GetArraySize(
            search("studies", {{"ModalitiesInStudy", "SM"}, {"fuzzymatching", "true"}}).get()),
        2);
    EXPECT_EQ(service.Handle(Get("studies", "", {{"ModalitiesInStudy", "CT"}}), slides.all).status,
              204);
    Json paged = search("studies", {{"limit", "1"}, {"offset", "1"}});
    ASSERT_EQ(cJSON_GetArraySize(paged.get()), 1);
    EXPECT_EQ(Value(cJSON_GetArrayItem(paged.get(), 0), "0020000D"), other);

    // Series of a study; at the top level, with their study's attributes.
    Json series = search(std::string("studies/") + kSharedStudy + "/series");
    ASSERT_EQ(cJSON_GetArraySize(series.get()), 2);
    EXPECT_EQ(Value(cJSON_GetArrayItem(series.get(), 0), "00080060"), "SM");
    EXPECT_EQ(Value(cJSON_GetArrayItem(series.get(), 0), "00200011"), "3");
    EXPECT_EQ(Value(cJSON_GetArrayItem(series.get(), 0), "00201209"),
              std::to_string(slides.A().instances.size()));
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(series.get(), 0), "00100010"),
              nullptr);
    Json top = search("series", {{"SeriesInstanceUID", slides.A().uids.series}});
    ASSERT_EQ(cJSON_GetArraySize(top.get()), 1);
    EXPECT_EQ(Value(cJSON_GetArrayItem(top.get(), 0), "00100020"), "P-17");

    // Instances, with the attributes whole-slide viewers read, and more on request.
    Json instances = search(slides.SeriesPath() + "/instances");
    ASSERT_EQ(cJSON_GetArraySize(instances.get()), static_cast<int>(slides.A().instances.size()));
    const cJSON* level0 = cJSON_GetArrayItem(instances.get(), 0);
    EXPECT_EQ(Value(level0, "00080018"), slides.A().instances[0].sopInstanceUid);
    EXPECT_EQ(Value(level0, "00080016"), "1.2.840.10008.5.1.4.1.1.77.1.6");
    EXPECT_EQ(Value(level0, "00080008"), "ORIGINAL");
    EXPECT_EQ(Value(level0, "00280008"), "12");
    EXPECT_EQ(Value(level0, "00280010"), "256");
    EXPECT_EQ(Value(level0, "00480006"), std::to_string(slides.A().instances[0].grid.total.width));
    EXPECT_EQ(Value(level0, "00081190"), std::string(kBase) + "/" + slides.InstancePath(0));
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(level0, "00400512"), nullptr);
    Json more = search(slides.SeriesPath() + "/instances",
                       {{"includefield", "ContainerIdentifier,00480105"},
                        {"SOPInstanceUID", slides.A().instances[1].sopInstanceUid}});
    ASSERT_EQ(cJSON_GetArraySize(more.get()), 1);
    EXPECT_EQ(Value(cJSON_GetArrayItem(more.get(), 0), "00400512"), "S24-0001-A1");
    EXPECT_NE(cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(more.get(), 0), "00480105"),
              nullptr);
    Json all = search("instances", {{"includefield", "all"}, {"InstanceNumber", "2"}});
    EXPECT_EQ(cJSON_GetArraySize(all.get()), 3);
    EXPECT_NE(cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(all.get(), 0), "52009229"),
              nullptr);

    // Unknown parents give no results; refusals.
    EXPECT_EQ(service.Handle(Get("studies/1.2.3/series"), slides.all).status, 204);
    EXPECT_EQ(service.Handle(Get("studies/1.2.3/series/1.2.4/instances"), slides.all).status, 204);
    EXPECT_EQ(service.Handle(Get("studies", "", {{"PatientNam", "x"}}), slides.all).status, 400);
    EXPECT_EQ(service.Handle(Get("studies", "", {{"limit", "-1"}}), slides.all).status, 400);
    EXPECT_EQ(service.Handle(Get("studies", "", {{"00400275.00401001", "x"}}), slides.all).status,
              400);
    EXPECT_EQ(
        service
            .Handle(Get("studies", "multipart/related; type=\"application/dicom+xml\""), slides.all)
            .status,
        406);

    // The server's bounds: results cut with a warning; empty results as [] when asked.
    tarncli::dicomweb::Options bounded;
    bounded.maxResults = 1;
    bounded.emptySearchIsNoContent = false;
    const Service small(bounded);
    Answer cut = small.Handle(Get("studies"), slides.all);
    EXPECT_EQ(cJSON_GetArraySize(Parse(cut.body).get()), 1);
    EXPECT_EQ(Header(cut, "Warning").rfind("299 ", 0), 0U);
    Answer none = small.Handle(Get("studies/1.2.3/series"), slides.all);
    EXPECT_EQ(none.status, 200);
    EXPECT_EQ(none.body, "[]");
}

TEST(DicomWebSearch, MatchingRulesAndMediaRanges) {
    using tarncli::dicomweb::Matches;
    Json person = Parse(R"({"vr":"PN","Value":[{"Alphabetic":"Doe^Jane","Ideographic":"X^Y"}]})");
    EXPECT_TRUE(Matches(person.get(), "DOE^*"));
    EXPECT_TRUE(Matches(person.get(), "x^y"));
    EXPECT_FALSE(Matches(person.get(), "Doe"));
    EXPECT_TRUE(Matches(nullptr, "")) << "universal matching";
    EXPECT_FALSE(Matches(nullptr, "x"));
    Json empty = Parse(R"({"vr":"LO"})");
    EXPECT_FALSE(Matches(empty.get(), "*")) << "no value to match";
    Json time = Parse(R"({"vr":"TM","Value":["101500.25"]})");
    EXPECT_TRUE(Matches(time.get(), "10"));
    EXPECT_TRUE(Matches(time.get(), "1000-1016"));
    EXPECT_TRUE(Matches(time.get(), "-10:15"));
    EXPECT_FALSE(Matches(time.get(), "1016-"));
    Json number = Parse(R"({"vr":"IS","Value":[12]})");
    EXPECT_TRUE(Matches(number.get(), "12"));
    EXPECT_FALSE(Matches(number.get(), "12x"));
    Json codes = Parse(R"({"vr":"CS","Value":["DERIVED","PRIMARY"]})");
    EXPECT_TRUE(Matches(codes.get(), "CT\\PRIMARY"));
    Json long_text = Parse(R"({"vr":"LO","Value":["aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab"]})");
    EXPECT_FALSE(Matches(long_text.get(), "*a*a*a*a*a*a*a*a*a*a*a*a*c"))
        << "no backtracking blow-up";

    using tarncli::dicomweb::Negotiate;
    using tarncli::dicomweb::ParseAccept;
    const std::vector<tarncli::dicomweb::Offer> frames = {
        {"multipart/related", "application/octet-stream"}, {"multipart/related", "image/jpeg"}};
    EXPECT_EQ(Negotiate(ParseAccept(""), frames), 0);
    EXPECT_EQ(Negotiate(ParseAccept(kViewerFrames), frames), 0);
    EXPECT_EQ(Negotiate(ParseAccept("multipart/related; type=\"image/jpeg\"; "
                                    "transfer-syntax=1.2.840.10008.1.2.4.50"),
                        frames),
              1);
    EXPECT_EQ(Negotiate(ParseAccept("multipart/related; type=\"application/octet-stream\"; "
                                    "transfer-syntax=1.2.840.10008.1.2.1"),
                        frames),
              -1)
        << "no transcoding";
    EXPECT_EQ(Negotiate(ParseAccept("multipart/related; type=\"application/octet-stream\";q=0.5, "
                                    "multipart/related; type=\"image/jpeg\", image/png;q=0"),
                        frames),
              1);
    EXPECT_EQ(Negotiate(ParseAccept("image/webp, text/html;q=x"), frames), -1);
}

TEST(DicomWebRetrieve, MetadataPointsAtBulkDataThatAnswers) {
    Slides slides;
    const Service service({});
    Answer metadata = service.Handle(Get(slides.SeriesPath() + "/metadata"), slides.all);
    ASSERT_EQ(metadata.status, 200) << metadata.body;
    EXPECT_EQ(metadata.contentType, "application/dicom+json");
    Json array = Parse(metadata.body);
    ASSERT_EQ(cJSON_GetArraySize(array.get()), static_cast<int>(slides.A().instances.size()));
    const cJSON* label = cJSON_GetArrayItem(array.get(), 3);
    EXPECT_EQ(Value(label, "00080018"), slides.A().instances[3].sopInstanceUid);
    const cJSON* path =
        cJSON_GetArrayItem(cJSON_GetObjectItemCaseSensitive(
                               cJSON_GetObjectItemCaseSensitive(label, "00480105"), "Value"),
                           0);
    const cJSON* icc = cJSON_GetObjectItemCaseSensitive(path, "00282000");
    const cJSON* uri = cJSON_GetObjectItemCaseSensitive(icc, "BulkDataURI");
    ASSERT_TRUE(cJSON_IsString(uri));
    const std::string bulk =
        std::string(kBase) + "/" + slides.InstancePath(3) + "/bulkdata/00282000";
    EXPECT_EQ(uri->valuestring, bulk);

    // The metadata of an instance is its own object; a one-frame instance states the ratio its
    // file does.
    Answer one = service.Handle(Get(slides.InstancePath(3) + "/metadata"), slides.all);
    Json single = Parse(one.body);
    ASSERT_EQ(cJSON_GetArraySize(single.get()), 1);
    const std::string jpeg = Frame(slides, 3, 0);
    char expected[32];
    std::snprintf(expected, sizeof expected, "%.2f",
                  tarn::dicom::MeasuredCompressionRatio(slides.A().instances[3], jpeg.size()));
    const cJSON* ratio = cJSON_GetArrayItem(
        cJSON_GetObjectItemCaseSensitive(
            cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(single.get(), 0), "00282112"),
            "Value"),
        0);
    ASSERT_TRUE(cJSON_IsNumber(ratio));
    EXPECT_NEAR(ratio->valuedouble, std::stod(expected), 1e-9);

    // The bulk data URI, as a viewer asks for it, and as bytes alone.
    std::vector<uint8_t> profile;
    std::string error;
    ASSERT_TRUE(tarn::dicom::InstanceBulkData(slides.A(), 3, "00282000", &profile, &error));
    const std::string route = bulk.substr(std::string(kBase).size() + 1);
    Answer answer = service.Handle(
        Get(route, "multipart/related; type=\"application/octet-stream\""), slides.all);
    ASSERT_EQ(answer.status, 200);
    const std::vector<SplitPart> parts = SplitMultipart(answer.contentType, answer.body);
    ASSERT_EQ(parts.size(), 1U);
    EXPECT_EQ(parts[0].headers.at("Content-Type"), "application/octet-stream");
    EXPECT_EQ(parts[0].headers.at("Content-Location"), bulk);
    EXPECT_EQ(parts[0].bytes, std::string(profile.begin(), profile.end()));
    Answer raw = service.Handle(Get(route, "application/octet-stream"), slides.all);
    EXPECT_EQ(raw.contentType, "application/octet-stream");
    EXPECT_EQ(raw.body, parts[0].bytes);
    EXPECT_EQ(service.Handle(Get(slides.InstancePath(3) + "/bulkdata/7FE00010"), slides.all).status,
              404);

    // Hidden label and overview are unknown everywhere.
    tarncli::dicomweb::Options hide;
    hide.hideLabel = true;
    const Service hiding(hide);
    Json hidden = Parse(hiding.Handle(Get(slides.SeriesPath() + "/metadata"), slides.all).body);
    EXPECT_EQ(cJSON_GetArraySize(hidden.get()), static_cast<int>(slides.A().instances.size()) - 2);
    EXPECT_EQ(hiding.Handle(Get(slides.InstancePath(3) + "/metadata"), slides.all).status, 404);
    EXPECT_EQ(hiding.Handle(Get(route), slides.all).status, 404);
    EXPECT_EQ(hiding.Handle(Get(slides.InstancePath(4) + "/rendered"), slides.all).status, 404);
}

TEST(DicomWebRetrieve, FramesAreTheInstancesFrames) {
    Slides slides;
    tarncli::dicomweb::Options options;
    options.maxFrames = 3;
    const Service service(options);
    const std::string frames = slides.InstancePath(0) + "/frames/";
    Answer answer = service.Handle(Get(frames + "12,1", kViewerFrames), slides.all);
    ASSERT_EQ(answer.status, 200) << answer.body;
    EXPECT_NE(answer.contentType.find("type=\"application/octet-stream\""), std::string::npos);
    std::vector<SplitPart> parts = SplitMultipart(answer.contentType, answer.body);
    ASSERT_EQ(parts.size(), 2U);
    EXPECT_EQ(parts[0].headers.at("Content-Type"),
              "application/octet-stream; transfer-syntax=1.2.840.10008.1.2.4.50");
    EXPECT_EQ(parts[0].headers.at("Content-Location"), std::string(kBase) + "/" + frames + "12");
    EXPECT_EQ(parts[0].bytes, Frame(slides, 0, 11));
    EXPECT_EQ(parts[1].bytes, Frame(slides, 0, 0));

    for (const char* accept : {"image/jpeg", "multipart/related; type=\"image/jpeg\""}) {
        Answer jpeg = service.Handle(Get(frames + "2", accept), slides.all);
        parts = SplitMultipart(jpeg.contentType, jpeg.body);
        ASSERT_EQ(parts.size(), 1U) << accept;
        EXPECT_EQ(parts[0].headers.at("Content-Type").rfind("image/jpeg", 0), 0U);
        EXPECT_EQ(parts[0].bytes, Frame(slides, 0, 1));
    }
    EXPECT_EQ(service.Handle(Get(frames + "1", "image/png"), slides.all).status, 406);
    EXPECT_EQ(service.Handle(Get(frames + "13"), slides.all).status, 404);
    for (const char* list : {"0", "1,,2", "01", "1,2,3,4", "x"})
        EXPECT_EQ(service.Handle(Get(frames + list), slides.all).status, 400) << list;
}

TEST(DicomWebRetrieve, StreamedInstancesAreTheConvertersFiles) {
    Slides slides;
    const Service service({});
    std::string error;
    // Every instance alone, as the converter writes it.
    std::vector<std::string> files;
    for (size_t i = 0; i < slides.A().instances.size(); ++i) {
        const std::string path = slides.folder.path() + "/" + std::to_string(i) + ".dcm";
        tarn::dicom::InstanceFileWriter writer;
        ASSERT_TRUE(
            writer.Begin(slides.A(), i, path, tarn::dicom::OffsetTablePolicy::Auto, &error));
        for (int64_t f = 0; f < slides.A().instances[i].grid.FrameCount(); ++f) {
            const std::string jpeg = Frame(slides, i, f);
            ASSERT_TRUE(writer.AddFrame(reinterpret_cast<const uint8_t*>(jpeg.data()), jpeg.size(),
                                        &error));
        }
        ASSERT_TRUE(writer.Finish(&error)) << error;
        const tarnwriter::Bytes bytes = tarnwriter::ReadFile(path);
        files.emplace_back(bytes.begin(), bytes.end());

        Answer alone = service.Handle(Get(slides.InstancePath(i), "application/dicom"), slides.all);
        ASSERT_EQ(alone.status, 200);
        ASSERT_TRUE(alone.producer);
        EXPECT_EQ(alone.contentType, "application/dicom; transfer-syntax=1.2.840.10008.1.2.4.50");
        EXPECT_TRUE(Drain(&alone) == files.back()) << "instance " << i;
    }

    // The series as Orthanc retrieves it: one part per instance, each the file.
    Answer series = service.Handle(Get(slides.SeriesPath(), kOrthancRetrieve), slides.all);
    ASSERT_EQ(series.status, 200);
    ASSERT_TRUE(series.producer);
    const std::vector<SplitPart> parts = SplitMultipart(series.contentType, Drain(&series));
    ASSERT_EQ(parts.size(), files.size());
    for (size_t i = 0; i < parts.size(); ++i) {
        EXPECT_EQ(parts[i].headers.at("Content-Type"),
                  "application/dicom; transfer-syntax=1.2.840.10008.1.2.4.50");
        EXPECT_EQ(parts[i].headers.at("Content-Location"),
                  std::string(kBase) + "/" + slides.InstancePath(i));
        EXPECT_TRUE(parts[i].bytes == files[i]) << "part " << i;
    }

    // The shared study holds both its series; a refused transfer syntax is 406.
    Answer study = service.Handle(Get(std::string("studies/") + kSharedStudy), slides.all);
    EXPECT_EQ(SplitMultipart(study.contentType, Drain(&study)).size(),
              files.size() + slides.all[2].prepared->instances.size());
    EXPECT_EQ(service
                  .Handle(Get(slides.SeriesPath(),
                              "multipart/related; type=\"application/dicom\"; "
                              "transfer-syntax=1.2.840.10008.1.2.1"),
                          slides.all)
                  .status,
              406);
    EXPECT_EQ(service.Handle(Get(slides.SeriesPath(), "application/dicom"), slides.all).status,
              406);

    // A frame that cannot be read fails the stream, never ends it as if complete.
    tarncli::dicomweb::Options failing;
    failing.frames = [](const Slide&, size_t, int64_t frame, std::vector<uint8_t>*,
                        std::string* why) {
        *why = "frame " + std::to_string(frame) + " is gone";
        return false;
    };
    Answer broken = Service(failing).Handle(Get(slides.SeriesPath()), slides.all);
    ASSERT_TRUE(broken.producer);
    int64_t last = 0;
    Drain(&broken, &last);
    EXPECT_EQ(last, -1);
    EXPECT_NE(broken.producer->error().find("is gone"), std::string::npos);
}

TEST(DicomWebRender, ThumbnailsFramesAndViewports) {
    Slides slides;
    tarncli::dicomweb::Options options;
    options.maxRenderedPixels = 600 * 600;
    const Service service(options);
    const size_t thumbnail = slides.A().instances.size() - 1;

    // The series' and the study's thumbnail is the thumbnail instance's stored frame.
    for (const std::string& path :
         {slides.SeriesPath() + "/rendered", slides.SeriesPath() + "/thumbnail",
          std::string("studies/") + kSharedStudy + "/thumbnail",
          slides.InstancePath(0) + "/thumbnail"}) {
        Answer answer = service.Handle(Get(path, "image/*"), slides.all);
        ASSERT_EQ(answer.status, 200) << path;
        EXPECT_EQ(answer.contentType, "image/jpeg");
        EXPECT_TRUE(answer.body == Frame(slides, thumbnail, 0)) << path;
    }

    // What the microscopy viewer asks of its label: PNG in a viewport.
    Answer label = service.Handle(
        Get(slides.InstancePath(3) + "/rendered", "image/png", {{"viewport", "100,100"}}),
        slides.all);
    ASSERT_EQ(label.status, 200) << label.body;
    EXPECT_EQ(label.contentType, "image/png");
    ASSERT_GT(label.body.size(), 24U);
    EXPECT_EQ(label.body.substr(1, 3), "PNG");
    const auto be32 = [&](size_t at) {
        return (uint32_t{static_cast<uint8_t>(label.body[at])} << 24) |
               (uint32_t{static_cast<uint8_t>(label.body[at + 1])} << 16) |
               (uint32_t{static_cast<uint8_t>(label.body[at + 2])} << 8) |
               static_cast<uint8_t>(label.body[at + 3]);
    };
    EXPECT_EQ(be32(16), 100U);  // the label is 200 x 100
    EXPECT_EQ(be32(20), 50U);

    // The finest level is beyond the bound whole, and rendered in a viewport from a coarser one.
    EXPECT_EQ(service.Handle(Get(slides.InstancePath(0) + "/rendered"), slides.all).status, 400);
    Answer level = service.Handle(
        Get(slides.InstancePath(0) + "/rendered", "", {{"viewport", "200,200"}, {"quality", "80"}}),
        slides.all);
    ASSERT_EQ(level.status, 200) << level.body;
    tarnwriter::Bytes pixels;
    uint32_t width = 0;
    uint32_t height = 0;
    ASSERT_TRUE(tarnwriter::DecodeJpeg(reinterpret_cast<const uint8_t*>(level.body.data()),
                                       level.body.size(), &pixels, &width, &height));
    const tarn::dicom::PixelSize total = slides.A().instances[0].grid.total;
    EXPECT_EQ(width, 200U);
    EXPECT_EQ(height, static_cast<uint32_t>((total.height * 200 + total.width / 2) / total.width));

    // A frame rendered: its stored JPEG, or decoded into PNG.
    Answer frame = service.Handle(Get(slides.InstancePath(1) + "/frames/2/rendered"), slides.all);
    EXPECT_TRUE(frame.body == Frame(slides, 1, 1));
    EXPECT_EQ(
        service.Handle(Get(slides.InstancePath(1) + "/frames/2/rendered", "image/png"), slides.all)
            .contentType,
        "image/png");
    EXPECT_EQ(
        service.Handle(Get(slides.InstancePath(1) + "/frames/1,2/rendered"), slides.all).status,
        400);
    EXPECT_EQ(
        service.Handle(Get(slides.InstancePath(3) + "/rendered", "image/gif"), slides.all).status,
        406);
    EXPECT_EQ(service
                  .Handle(Get(slides.InstancePath(3) + "/rendered", "", {{"viewport", "0,5"}}),
                          slides.all)
                  .status,
              400);

    // Scaling averages what each output pixel covers.
    const std::vector<uint8_t> square = {0, 0, 0, 100, 100, 100, 200, 200, 200, 40, 40, 40};
    EXPECT_EQ(tarncli::dicomweb::Resize(square.data(), 2, 2, 1, 1),
              (std::vector<uint8_t>{85, 85, 85}));
    int64_t w = 0;
    int64_t h = 0;
    tarncli::dicomweb::FitWithin(1000, 10, 50, 50, &w, &h);
    EXPECT_EQ(w, 50);
    EXPECT_EQ(h, 1);
}

TEST(DicomWebRoutes, MethodsPathsAndFraming) {
    Slides slides;
    const Service service({});
    Request post = Get("studies");
    post.method = "POST";
    Answer refused = service.Handle(post, slides.all);
    EXPECT_EQ(refused.status, 405);
    EXPECT_EQ(Header(refused, "Allow"), "GET, HEAD");
    for (const std::string& path :
         {std::string(""), std::string("study"), std::string("studies/1.2.3"),
          std::string("studies/1.2.3/metadata"), slides.SeriesPath() + "/nothing",
          slides.SeriesPath() + "/instances/1.2.3", slides.InstancePath(0) + "/frames",
          "studies/" + slides.A().uids.study + "/series/" + slides.all[1].prepared->uids.series}) {
        EXPECT_EQ(service.Handle(Get(path), slides.all).status, 404) << path;
    }
    EXPECT_EQ(Header(service.Handle(Get("studies"), slides.all), "Vary"), "Accept");

    // Parts with and without a location, one of them empty.
    const std::vector<tarncli::dicomweb::Part> parts = {{"text/plain", "", "--tarn-"},
                                                        {"text/plain", "x", ""}};
    const tarncli::dicomweb::MultipartBody body =
        tarncli::dicomweb::BuildMultipart("text/plain", parts);
    const std::vector<SplitPart> split = SplitMultipart(body.contentType, body.body);
    ASSERT_EQ(split.size(), 2U);
    EXPECT_EQ(split[0].bytes, "--tarn-");
    EXPECT_EQ(split[1].headers.at("Content-Location"), "x");
    EXPECT_EQ(split[1].bytes, "");
}

}  // namespace
