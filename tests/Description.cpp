// The slide and layer descriptions.
#include <gtest/gtest.h>

#include <string>

#include "DecodeTarn.h"
#include "TarnWriter.h"
#include "support/Slides.h"
#include "support/TestFiles.h"

using tarntest::OpenSlide;
using tarntest::TempFile;
using tarnwriter::Bytes;
using tarnwriter::SlideSpec;

namespace {

std::string Take(char* text) {
    std::string s = text != nullptr ? text : "<null>";
    Dispose(text);
    return s;
}

// Small tiles keep the example's five layers cheap; the header's tile size is patched afterwards.
Bytes ExampleSlide() {
    SlideSpec spec;
    spec.tileWidth = 8;
    spec.tileHeight = 8;
    spec.quality = 80;
    spec.mpp = 0.25;
    spec.appMag = 40;
    spec.imageWidth = 100000;
    spec.imageHeight = 80000;
    spec.ratio = 4.0F;
    spec.label = tarnwriter::JpegImage(tarnwriter::RenderTissue(0, 0, 500, 480));
    spec.macrograph = tarnwriter::JpegImage(tarnwriter::RenderTissue(0, 0, 1500, 480, 8.0));
    spec.thumbnail = tarnwriter::EncodeJpeg(tarnwriter::RenderTissue(0, 0, 1024, 768, 64.0));
    spec.thumbWidth = 1024;
    spec.thumbHeight = 768;
    spec.layers.resize(5);
    Bytes bytes = tarnwriter::BuildSlide(spec).bytes;
    tarnwriter::PutU32(bytes, 50, 256);
    tarnwriter::PutU32(bytes, 54, 256);
    return bytes;
}

TEST(Description, ExampleText) {
    const TempFile file(ExampleSlide());
    OpenSlide slide(file);
    ASSERT_TRUE(slide);
    EXPECT_EQ(Take(GetDescription(slide.get())),
              "CompressionType=Jpeg|Quality=80|MPP=0.250000um/pixel|AppMag=40|ImageWidth=100000|"
              "ImageHeight=80000|TileWidth=256|TileHeight=256|Layer=5|Ratio=4.000|ThumbWidth=1024|"
              "ThumbHeight=768|LabelWidth=500|LabelHeight=480|MacroWidth=1500|MacroHeight=480");
    EXPECT_EQ(GetDescription(nullptr), nullptr);
}

TEST(Description, HeaderValuesAsPrinted) {
    SlideSpec spec = tarnwriter::SampleSpec(1, 1, 1);
    spec.labels = false;
    spec.personInfo = false;
    spec.quality = 200;
    spec.ratio = 2.0F;
    spec.compressionType = 7;  // undefined for tiles, still described
    const TempFile file(tarnwriter::BuildSlide(spec).bytes);
    OpenSlide slide(file);
    ASSERT_TRUE(slide);
    const std::string text = Take(GetDescription(slide.get()));
    EXPECT_NE(text.find("CompressionType=Hevc|Quality=200|"), std::string::npos) << text;
    EXPECT_NE(text.find("|Ratio=2.000|"), std::string::npos) << text;
    // No label/macrograph pair: their sizes print as 0.
    EXPECT_NE(text.find("|LabelWidth=0|LabelHeight=0|MacroWidth=0|MacroHeight=0"),
              std::string::npos)
        << text;
}

TEST(Description, OversizedMppIsNotWrittenPastTheBuffer) {
    Bytes bytes = tarnwriter::BuildSlide(tarnwriter::SampleSpec(1, 1, 1)).bytes;
    tarnwriter::PutF64(bytes, 76, 1e300);
    const TempFile file(bytes);
    OpenSlide slide(file);
    ASSERT_TRUE(slide);
    EXPECT_EQ(GetDescription(slide.get()), nullptr);
}

TEST(LayerInfo, GridSizesAndRange) {
    SlideSpec spec = tarnwriter::SampleSpec(1, 1, 1);
    spec.layers[0] = {};
    spec.layers[0].xCount = 3;
    spec.layers[0].yCount = 2;
    spec.layers[0].boundWidth = 100;
    spec.layers.push_back(spec.layers[0]);
    spec.layers[1].xCount = 1;
    spec.layers[1].yCount = 1;
    spec.layers[1].boundWidth = 0;
    const tarnwriter::SlideFile built = tarnwriter::BuildSlide(spec);
    Bytes bytes = built.bytes;
    // A bound of 2^31 or more prints negative, as every value is printed signed.
    tarnwriter::PutU32(bytes, built.layout.layerRecords[1] + 54, 0x80000005U);
    const TempFile file(bytes);
    OpenSlide slide(file);
    ASSERT_TRUE(slide);
    EXPECT_EQ(Take(GetLayerInfo(slide.get(), 0)),
              "LayerWidth=768|LayerHeight=512|BoundWidth=100|BoundHeight=0|XCount=3|YCount=2");
    EXPECT_EQ(Take(GetLayerInfo(slide.get(), 1)),
              "LayerWidth=256|LayerHeight=256|BoundWidth=0|BoundHeight=-2147483643|XCount=1|"
              "YCount=1");
    EXPECT_EQ(GetLayerInfo(slide.get(), 2), nullptr);
    EXPECT_EQ(GetLayerInfo(slide.get(), -1), nullptr);
    EXPECT_EQ(GetLayerInfo(nullptr, 0), nullptr);
    Dispose(nullptr);
}

}  // namespace
