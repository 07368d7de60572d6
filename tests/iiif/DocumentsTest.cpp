// info.json, the manifest and what the route asks of them: valid JSON with the fields viewers
// read, scale factors and sizes that match the slide's cheap pictures.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <memory>

#include "iiif/Documents.h"
#include "iiif/Service.h"

namespace tarncli::iiif {
namespace {

using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

Json Parse(const std::string& text) {
    return Json(cJSON_Parse(text.c_str()), cJSON_Delete);
}

const cJSON* Field(const cJSON* object, const char* name) {
    const cJSON* field = cJSON_GetObjectItemCaseSensitive(object, name);
    EXPECT_NE(field, nullptr) << name;
    return field;
}

std::string Text(const cJSON* object, const char* name) {
    const cJSON* field = Field(object, name);
    return cJSON_IsString(field) ? field->valuestring : "<not a string>";
}

double Number(const cJSON* object, const char* name) {
    const cJSON* field = Field(object, name);
    return cJSON_IsNumber(field) ? field->valuedouble : -1;
}

std::string Print(const cJSON* value) {
    char* text = cJSON_PrintUnformatted(value);
    std::string out = text != nullptr ? text : "";
    cJSON_free(text);
    return out;
}

// A slide of the sample's shape: two stored levels halving, one coarse level below them.
SlideFacts SampleFacts() {
    SlideFacts facts;
    facts.width = 987;
    facts.height = 747;
    facts.tileWidth = facts.tileHeight = 256;
    facts.sources = {{false, 0, 1, 987, 747, 256, 256},
                     {false, 1, 2, 493, 373, 256, 256},
                     {true, 1, 4, 247, 187, 256, 256}};
    facts.mppX = facts.mppY = 0.25;
    facts.objectivePower = 40;
    return facts;
}

TEST(IiifDocuments, InfoJsonDescribesTheService) {
    const std::string text =
        InfoJson(SampleFacts(), "http://host:1/iiif/a\"b", Limits{}, {"profileLinkHeader"});
    const Json info = Parse(text);
    ASSERT_NE(info, nullptr) << text;
    EXPECT_EQ(Text(info.get(), "@context"), "http://iiif.io/api/image/3/context.json");
    EXPECT_EQ(Text(info.get(), "id"), "http://host:1/iiif/a\"b");
    EXPECT_EQ(Text(info.get(), "type"), "ImageService3");
    EXPECT_EQ(Text(info.get(), "protocol"), "http://iiif.io/api/image");
    EXPECT_EQ(Text(info.get(), "profile"), "level2");
    EXPECT_EQ(Number(info.get(), "width"), 987);
    EXPECT_EQ(Number(info.get(), "height"), 747);
    EXPECT_EQ(Number(info.get(), "maxArea"), 4096 * 4096);
    EXPECT_EQ(Number(info.get(), "maxWidth"), 16384);
    EXPECT_EQ(Number(info.get(), "maxHeight"), 16384);
    EXPECT_EQ(Print(Field(info.get(), "tiles")),
              R"([{"width":256,"height":256,"scaleFactors":[1,2,4]}])");
    EXPECT_EQ(Print(Field(info.get(), "sizes")),
              R"([{"width":247,"height":187},{"width":493,"height":373},)"
              R"({"width":987,"height":747}])");
    EXPECT_EQ(Print(Field(info.get(), "extraQualities")), R"(["bitonal"])");
    EXPECT_EQ(Print(Field(info.get(), "extraFeatures")), R"(["mirroring","profileLinkHeader"])");
}

TEST(IiifDocuments, AnnouncesOnlyCheapScalesAndSizes) {
    SlideFacts facts = SampleFacts();
    // Levels stepping by 3 are read at their scale, but are no power of two.
    facts.sources[1].downsample = 3;
    facts.sources[2].downsample = 6;
    EXPECT_EQ(ScaleFactors(facts), std::vector<int64_t>{1});
    // Sizes beyond the limits are not offered; tiles shrink to fit them.
    const Limits limits{300 * 300, 400, 400};
    EXPECT_EQ(CheapSizes(facts, limits), (std::vector<std::pair<int64_t, int64_t>>{{247, 187}}));
    EXPECT_EQ(TileSize(facts, Limits{100 * 100, 200, 150}), (std::pair<int64_t, int64_t>{100, 75}));
    facts.tileWidth = 4096;
    EXPECT_EQ(TileSize(facts, Limits{}), (std::pair<int64_t, int64_t>{512, 512}));
}

TEST(IiifDocuments, ManifestPaintsOneCanvasWithTheService) {
    const ManifestIds ids{"http://h/iiif/s/manifest.json", "http://h/iiif/s", "s"};
    const std::string text = ManifestJson(SampleFacts(), ids, Limits{});
    const Json manifest = Parse(text);
    ASSERT_NE(manifest, nullptr) << text;
    EXPECT_EQ(Text(manifest.get(), "@context"), "http://iiif.io/api/presentation/3/context.json");
    EXPECT_EQ(Text(manifest.get(), "id"), ids.manifest);
    EXPECT_EQ(Text(manifest.get(), "type"), "Manifest");
    EXPECT_EQ(Print(Field(manifest.get(), "label")), R"({"none":["s"]})");
    EXPECT_EQ(cJSON_GetArraySize(Field(manifest.get(), "metadata")), 3);

    const cJSON* thumbnail = cJSON_GetArrayItem(Field(manifest.get(), "thumbnail"), 0);
    ASSERT_NE(thumbnail, nullptr);
    EXPECT_EQ(Text(thumbnail, "id"), "http://h/iiif/s/full/493,373/0/default.jpg");
    EXPECT_EQ(Number(thumbnail, "width"), 493);

    const cJSON* canvas = cJSON_GetArrayItem(Field(manifest.get(), "items"), 0);
    ASSERT_NE(canvas, nullptr);
    EXPECT_EQ(cJSON_GetArraySize(Field(manifest.get(), "items")), 1);
    EXPECT_EQ(Text(canvas, "type"), "Canvas");
    EXPECT_EQ(Number(canvas, "width"), 987);
    EXPECT_EQ(Number(canvas, "height"), 747);
    const cJSON* page = cJSON_GetArrayItem(Field(canvas, "items"), 0);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(Text(page, "type"), "AnnotationPage");
    const cJSON* annotation = cJSON_GetArrayItem(Field(page, "items"), 0);
    ASSERT_NE(annotation, nullptr);
    EXPECT_EQ(Text(annotation, "type"), "Annotation");
    EXPECT_EQ(Text(annotation, "motivation"), "painting");
    EXPECT_EQ(Text(annotation, "target"), Text(canvas, "id"));
    const cJSON* body = Field(annotation, "body");
    EXPECT_EQ(Text(body, "type"), "Image");
    EXPECT_EQ(Text(body, "format"), "image/jpeg");
    EXPECT_EQ(Print(Field(body, "service")),
              R"([{"id":"http://h/iiif/s","type":"ImageService3","profile":"level2"}])");
}

TEST(IiifDocuments, QuotesAnyTextAsValidJson) {
    EXPECT_EQ(JsonString("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\u000a\\u0001\"");
    EXPECT_EQ(JsonString("caf\xc3\xa9"), "\"caf\xc3\xa9\"");
    // A lone continuation byte, an overlong form, a surrogate, a cut sequence.
    EXPECT_EQ(JsonString("\x80|\xc0\xaf|\xed\xa0\x80|\xe2\x82"),
              "\"\\ufffd|\\ufffd\\ufffd|\\ufffd\\ufffd\\ufffd|\\ufffd\\ufffd\"");
}

TEST(IiifService, AnswersInfoJsonAsTheClientAccepts) {
    const struct {
        const char* accept;
        bool jsonLd;
    } cases[] = {
        {"", false},
        {"application/json", false},
        {"application/ld+json", true},
        {"APPLICATION/LD+JSON", true},
        {"text/html, application/ld+json;profile=\"http://iiif.io/api/image/3/context.json\"",
         true},
        {"application/ld+json; q=0.9, */*;q=0.1", true},
        {"application/ld+json;q=0", false},
        {"application/ld+json ; q=0.000, application/json", false},
        {"application/ld+jsonx", false},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(InfoContentType(c.accept), c.jsonLd ? kJsonLdInfoType : "application/json")
            << c.accept;
}

TEST(IiifService, NamesTheResources) {
    using V = std::vector<std::string>;
    EXPECT_EQ(ClassifyPath(V{}), Resource::Base);
    EXPECT_EQ(ClassifyPath(V{"info.json"}), Resource::Info);
    EXPECT_EQ(ClassifyPath(V{"manifest.json"}), Resource::Manifest);
    EXPECT_EQ(ClassifyPath(V{"full", "max", "0", "default.jpg"}), Resource::Image);
    EXPECT_EQ(ClassifyPath(V{"canvas", "1"}), Resource::NotFound);
    EXPECT_EQ(ClassifyPath(V{"info.jso"}), Resource::NotFound);
    const ServiceUris uris = MakeServiceUris("http://h:8", "slide_1");
    EXPECT_EQ(uris.service, "http://h:8/iiif/3/slide_1");
    EXPECT_EQ(uris.info, "http://h:8/iiif/3/slide_1/info.json");
    EXPECT_EQ(uris.manifest, "http://h:8/iiif/3/slide_1/manifest.json");
}

}  // namespace
}  // namespace tarncli::iiif
