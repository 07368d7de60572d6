// The tarn command: every subcommand's output, exit codes and messages.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "DecodeTarn.h"
#include "DecodeTarnCxx.h"

#ifdef TARN_TOOL_PATH

namespace {

namespace fs = std::filesystem;

struct ToolRun {
    int status = -1;
    std::string output;  // stdout and stderr together
};

ToolRun Tarn(const std::string& arguments) {
    ToolRun run;
    FILE* pipe = popen((std::string(TARN_TOOL_PATH) + " " + arguments + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.output.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class TarnTool : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        directory_ = fs::temp_directory_path() / ("tarn-tool-" + std::to_string(getpid()));
        fs::create_directories(directory_);
        slide_ = (directory_ / "sample.tarn").string();
        const ToolRun run = Tarn("sample " + slide_ + " --columns 5 --rows 3 --layers 2");
        ASSERT_EQ(run.status, 0) << run.output;
    }
    static void TearDownTestSuite() { fs::remove_all(directory_); }

    static fs::path directory_;
    static std::string slide_;
};

fs::path TarnTool::directory_;
std::string TarnTool::slide_;

TEST_F(TarnTool, InfoShowsDescriptionAndLayers) {
    const ToolRun run = Tarn("info " + slide_);
    EXPECT_EQ(run.status, 0);
    for (const char* text :
         {"CompressionType  Jpeg", "Layer            2", "layer 1", "XCount           5"})
        EXPECT_NE(run.output.find(text), std::string::npos) << text << "\n" << run.output;
}

TEST_F(TarnTool, ExportMatchesTheLibrarysSequentialExport) {
    const fs::path mine = directory_ / "tool", library = directory_ / "library";
    fs::create_directories(library);
    const ToolRun run = Tarn("export " + slide_ + " " + mine.string() +
                             " --tile-width 300 --tile-height 200 --quiet");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(run.output.empty()) << run.output;
    ASSERT_EQ(GetAllSliceJpeg(const_cast<char*>(slide_.c_str()),
                              const_cast<char*>(library.string().c_str()), 300, 200),
              1);
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(library)) {
        ++files;
        const fs::path other = mine / entry.path().filename();
        ASSERT_TRUE(fs::exists(other)) << other;
        EXPECT_EQ(Slurp(entry.path()), Slurp(other)) << other;
    }
    EXPECT_EQ(files, static_cast<size_t>(std::distance(fs::directory_iterator(mine), {})));
    EXPECT_EQ(files, 5U * 4U);  // 1243 x 747 pixels in 300 x 200 tiles
}

TEST_F(TarnTool, WritesTilesRegionsAndImages) {
    const std::string base = (directory_ / "out").string();
    for (const std::string& args :
         {"tile " + slide_ + " --layer 0 --column 4 --row 2 --output " + base + "-tile.jpg",
          "tile " + slide_ + " --layer 1 --column 0 --row 0 --output " + base + "-tile.png",
          "region " + slide_ + " --layer 0 --x 100 --y 50 --width 400 --height 300 --output " +
              base + "-region.png",
          "region " + slide_ + " --x 0 --y 0 --width 64 --height 64 --output " + base + "-r.jpeg",
          "image " + slide_ + " label --output " + base + "-label.jpg",
          "image " + slide_ + " thumbnail --output " + base + "-thumb.png"}) {
        const ToolRun run = Tarn(args);
        EXPECT_EQ(run.status, 0) << args << "\n" << run.output;
        EXPECT_NE(run.output.find("wrote "), std::string::npos) << run.output;
    }
    EXPECT_EQ(Slurp(base + "-tile.png").substr(1, 3), "PNG");
    EXPECT_EQ(Slurp(base + "-label.jpg").substr(0, 2), "\xFF\xD8");
}

TEST_F(TarnTool, FailuresExplainThemselves) {
    struct Case {
        std::string args;
        int status;
        const char* message;
    };
    const std::string out = (directory_ / "x.png").string();
    // A header whose layer 0 bound area is wider than the grid leaves no picture to cut.
    const std::string bound = (directory_ / "bound.tarn").string();
    {
        std::string bytes = Slurp(slide_);
        FILE* stream = fopen(slide_.c_str(), "rb");
        ZyPicHead head{};
        const int64_t layer0 = ZyGetLayerOffset(stream, &head, 0);
        fclose(stream);
        ASSERT_GT(layer0, 0);
        const uint32_t tooWide = 5 * 256 + 1;
        memcpy(&bytes[static_cast<size_t>(layer0) + 50], &tooWide, 4);
        std::ofstream(bound, std::ios::binary) << bytes;
    }
    const Case cases[] = {
        {"", 2, "usage: tarn"},
        {"frobnicate", 2, "unknown command"},
        {"info", 2, "expected 1 argument"},
        {"info /nonexistent.tarn", 1, "cannot open /nonexistent.tarn"},
        {"info " + directory_.string(), 1, "not a readable Tarn slide"},
        {"tile " + slide_ + " --layer 5 --output " + out, 1, "no such layer"},
        {"tile " + slide_ + " --column 99 --output " + out, 1, "cannot read tile 99,0"},
        {"tile " + slide_ + " --layer x --output " + out, 2, "--layer must be a whole number"},
        {"tile " + slide_ + " --output out.gif", 2, "--output must name"},
        {"region " + slide_ + " --x 99999 --output " + out, 1, "cannot read that region"},
        {"image " + slide_ + " photo --output " + out, 2, "label, macrograph or thumbnail"},
        {"export " + slide_ + " " + slide_, 1, "is not a directory"},
        {"export " + slide_ + " " + (directory_ / "wide").string() + " --tile-width 5000", 1,
         "cannot read tile 0,0"},
        {"export " + bound + " " + (directory_ / "bound").string() + " --tile-width 1", 1,
         "bound area larger than its grid"},
        {"sample " + (directory_ / "no/such/dir.tarn").string(), 1, "cannot write the sample"},
        {"export --bogus", 2, "unknown option --bogus"},
    };
    for (const Case& c : cases) {
        const ToolRun run = Tarn(c.args);
        EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.output;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << c.args << "\n" << run.output;
    }
    for (const char* command : {"info", "tile", "region", "image", "export", "sample"}) {
        const ToolRun run = Tarn(std::string(command) + " --help");
        EXPECT_EQ(run.status, 0) << command;
        EXPECT_NE(run.output.find("usage: tarn " + std::string(command)), std::string::npos);
    }
}

}  // namespace

#endif
