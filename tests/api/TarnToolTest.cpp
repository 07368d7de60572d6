// The tarn command: every subcommand's output, exit codes and messages.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

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

// Starts the tool with the arguments, its output discarded and the stop signals at their
// default action whatever the test runner set; the process id, or -1.
pid_t StartTarn(const std::vector<std::string>& arguments) {
    std::vector<std::string> words{TARN_TOOL_PATH};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&defaults, signal);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return pid;
}

// The wait status of a process StartTarn started; -1 if it did not start.
int WaitFor(pid_t pid) {
    if (pid <= 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// File name -> bytes of every file in a directory, hidden ones included.
std::map<std::string, std::string> Contents(const fs::path& directory) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(directory))
        files[entry.path().filename().string()] = Slurp(entry.path());
    return files;
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
    const ToolRun properties = Tarn("info " + slide_ + " --properties");
    EXPECT_EQ(properties.status, 0);
    for (const char* text : {"openslide.vendor = tarn\n", "openslide.level[1].downsample = 2\n",
                             "tarn.layer[1].XCount = "})
        EXPECT_NE(properties.output.find(text), std::string::npos) << text << properties.output;
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

// Any layer is cut as layer 0 is: each file holds the library's region of that layer.
TEST_F(TarnTool, ExportCutsAnyLayer) {
    const fs::path out = directory_ / "layer1";
    const ToolRun run = Tarn("export " + slide_ + " " + out.string() +
                             " --layer 1 --tile-width 200 --tile-height 150 --quiet");
    ASSERT_EQ(run.status, 0) << run.output;
    ZyTarnInfo* slide = ZyOpenTarn(slide_.c_str());
    ASSERT_NE(slide, nullptr);
    char* info = GetLayerInfo(slide, 1);
    int gridWidth = 0, gridHeight = 0, boundWidth = 0, boundHeight = 0;
    ASSERT_EQ(sscanf(info, "LayerWidth=%d|LayerHeight=%d|BoundWidth=%d|BoundHeight=%d", &gridWidth,
                     &gridHeight, &boundWidth, &boundHeight),
              4);
    Dispose(info);
    const int columns = (gridWidth - boundWidth + 199) / 200;
    const int rows = (gridHeight - boundHeight + 149) / 150;
    EXPECT_EQ(static_cast<int>(std::distance(fs::directory_iterator(out), {})), columns * rows);
    for (int c = 0; c < columns; ++c)
        for (int r = 0; r < rows; ++r) {
            int size = 0;
            unsigned char* jpeg = GetRoiSliceJpeg(slide, 1, c * 200, r * 150, 200, 150, &size);
            ASSERT_NE(jpeg, nullptr);
            const std::string name = std::to_string(c) + "_" + std::to_string(r) + "_200_150.jpeg";
            EXPECT_EQ(Slurp(out / name), std::string(reinterpret_cast<char*>(jpeg), size)) << name;
            Dispose(jpeg);
        }
    ZyCloseTarn(slide);
}

// Tiles larger than the layer's grid, which the library's region refuses, come as that region
// would: the part inside the grid, on white. A rerun replaces the files; --resume keeps them.
TEST_F(TarnTool, ExportCutsTilesLargerThanTheGridAndResumes) {
    const fs::path out = directory_ / "tall";
    const std::string command = "export " + slide_ + " " + out.string() +
                                " --tile-width 300 --tile-height 1000 --threads 1000000";
    ToolRun run = Tarn(command);
    ASSERT_EQ(run.status, 0) << run.output;
    // At most 4 threads per processor, however many are asked for.
    const size_t threads = run.output.rfind(", ");
    ASSERT_NE(threads, std::string::npos) << run.output;
    EXPECT_LE(atol(run.output.c_str() + threads + 2), 4L * std::thread::hardware_concurrency());

    ZyTarnInfo* slide = ZyOpenTarn(slide_.c_str());
    ASSERT_NE(slide, nullptr);
    constexpr int kGridWidth = 5 * 256, kGridHeight = 3 * 256;
    for (int c = 0; c < 5; ++c) {  // 1243 pixels wide: the last tile holds 80 columns of the grid
        const int x = c * 300, width = std::min(300, kGridWidth - x);
        unsigned char* inside = GetRoiSliceBgr(slide, 0, x, 0, width, kGridHeight);
        ASSERT_NE(inside, nullptr);
        std::vector<unsigned char> tile(300 * 1000 * 3, 0xFF);
        for (size_t row = 0; row < kGridHeight; ++row)
            memcpy(&tile[row * 300 * 3], inside + row * width * 3, static_cast<size_t>(width) * 3);
        Dispose(inside);
        unsigned char* jpeg = nullptr;
        const int size = ZyEncodeJpeg(tile.data(), &jpeg, 75, 300, 1000, JCS_EXT_BGR);
        ASSERT_GT(size, 0);
        EXPECT_TRUE(Slurp(out / (std::to_string(c) + "_0_300_1000.jpeg")) ==
                    std::string(reinterpret_cast<char*>(jpeg), static_cast<size_t>(size)))
            << c;
        Dispose(jpeg);
    }
    ZyCloseTarn(slide);
    EXPECT_EQ(Contents(out).size(), 5U);

    const fs::path planted = out / "2_0_300_1000.jpeg";
    const std::string whole = Slurp(planted);
    std::ofstream(planted, std::ios::binary) << "planted";
    run = Tarn(command + " --resume");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("wrote 0 tiles to " + out.string() + " (5 already there)"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(Slurp(planted), "planted");
    ASSERT_EQ(Tarn(command + " --quiet").status, 0);
    EXPECT_TRUE(Slurp(planted) == whole);
}

// Stopped by a signal at a random moment, an export leaves only whole tiles under their final
// names and nothing else; --resume then completes it to the bytes of an uninterrupted export.
TEST_F(TarnTool, InterruptedExportLeavesWholeTilesAndResumes) {
    const auto exportInto = [&](const fs::path& out, bool resume) {
        std::vector<std::string> args{"export", slide_,          out.string(), "--tile-width",
                                      "32",     "--tile-height", "32",         "--quiet"};
        if (resume) args.emplace_back("--resume");
        return StartTarn(args);
    };
    const fs::path reference = directory_ / "uninterrupted";
    ASSERT_EQ(WaitFor(exportInto(reference, false)), 0);
    const std::map<std::string, std::string> expected = Contents(reference);
    ASSERT_EQ(expected.size(), 39U * 24U);  // 1243 x 747 pixels

    // The moment is drawn as a number of files to wait for, which a loaded machine cannot shift.
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<long> moment(1, static_cast<long>(expected.size()) * 4 / 5);
    int midway = 0;
    for (int run = 0; run < 3; ++run) {
        const int signal = run % 2 == 0 ? SIGINT : SIGTERM;
        const long files = moment(random);
        SCOPED_TRACE("signal " + std::to_string(signal) + " after " + std::to_string(files) +
                     " files");
        const fs::path out = directory_ / ("interrupted" + std::to_string(run));
        const pid_t pid = exportInto(out, false);
        ASSERT_GT(pid, 0);
        int status = -1;
        for (std::error_code error;;) {
            if (std::distance(fs::directory_iterator(out, error), {}) >= files) {
                kill(pid, signal);
                status = WaitFor(pid);
                break;
            }
            if (waitpid(pid, &status, WNOHANG) == pid) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        // Ended by the signal, or done before it came.
        EXPECT_TRUE(status == 0 || (WIFSIGNALED(status) && WTERMSIG(status) == signal)) << status;
        const std::map<std::string, std::string> left = Contents(out);
        for (const auto& [name, bytes] : left) {
            const auto match = expected.find(name);
            ASSERT_NE(match, expected.end()) << name;
            EXPECT_TRUE(bytes == match->second) << name;
        }
        if (left.size() < expected.size()) ++midway;
        ASSERT_EQ(WaitFor(exportInto(out, true)), 0);
        EXPECT_TRUE(Contents(out) == expected);
    }
    EXPECT_GT(midway, 0) << "no signal landed in the middle of an export";
}

// Every file under a folder by relative path, hidden ones included.
std::map<std::string, std::string> Tree(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), folder).string()] = Slurp(entry.path());
    return files;
}

// Every spelling of a Deep Zoom export writes the same files: SLIDE OUT with --format deepzoom
// or --deepzoom, and the old order, --deepzoom DIRECTORY SLIDE, into a new or an existing folder.
TEST_F(TarnTool, ExportTakesTheOldAndTheNewArgumentOrder) {
    const std::string base = (directory_ / "order-").string();
    fs::create_directories(base + "old-existing");
    const std::vector<std::pair<std::string, std::string>> spellings = {
        {"new", "export --format deepzoom " + slide_ + " " + base + "new"},
        {"flag", "export " + slide_ + " " + base + "flag --deepzoom"},
        {"old", "export --deepzoom " + base + "old " + slide_},
        {"old-existing", "export --deepzoom " + base + "old-existing " + slide_},
        {"old-equals", "export --deepzoom=" + base + "old-equals " + slide_},
    };
    for (const auto& [name, command] : spellings) {
        const ToolRun run = Tarn(command + " --quiet --tile-size 200");
        EXPECT_EQ(run.status, 0) << command << "\n" << run.output;
    }
    const std::map<std::string, std::string> expected = Tree(base + "new");
    EXPECT_EQ(expected.count("sample.dzi"), 1U);
    EXPECT_GT(expected.size(), 20U);
    for (const auto& [name, command] : spellings)
        EXPECT_TRUE(Tree(base + name) == expected) << command;
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
        {"info " + directory_.string(), 1, "is a directory"},
        {"info /dev/null", 1, "/dev/null is not a regular file"},
        {"info " + slide_ + "/x", 1, "Not a directory"},
        {"tile " + slide_ + " --layer 5 --output " + out, 1, "no such layer"},
        {"tile " + slide_ + " --column 99 --output " + out, 1, "cannot read tile 99,0"},
        {"tile " + slide_ + " --layer x --output " + out, 2, "--layer must be a whole number"},
        {"tile " + slide_ + " --output out.gif", 2, "--output must name"},
        {"region " + slide_ + " --x 99999 --output " + out, 1, "cannot read that region"},
        {"image " + slide_ + " photo --output " + out, 2, "label, macrograph or thumbnail"},
        {"export " + slide_ + " " + slide_, 1, "is not a directory"},
        {"export /nonexistent.tarn " + (directory_ / "never").string(), 1,
         "cannot open /nonexistent.tarn"},
        {"export " + bound + " " + (directory_ / "bound").string() + " --tile-width 1", 1,
         "its bound area (1281 x 21) covers its grid"},
        {"sample " + (directory_ / "no/such/dir.tarn").string(), 1, "cannot write the sample"},
        {"sample " + (directory_ / "x.tarn").string() + " --columns 400 --rows 400", 2,
         "would hold 210000 tiles"},
        {"export --bogus", 2, "unknown option --bogus"},
        {"export " + slide_ + " " + (directory_ / "l5").string() + " --layer 5", 1,
         "has no layer 5 (it has 2 layers)"},
        {"export --deepzoom " + (directory_ / "dz").string() + " " + slide_ + " " + slide_, 2,
         "expected one slide after --deepzoom"},
        {"export --deepzoom " + (directory_ / "dz").string() + " " + slide_ + " --layer 1", 2,
         "--layer does not go with --deepzoom"},
        {"export " + slide_ + " " + (directory_ / "q").string() + " --quality 9", 2,
         "--quality does not go with --format tiles (tiles takes --layer, --tile-width, "
         "--tile-height, --resume; --quality goes with deepzoom"},
        {"export --format deepzoom " + slide_ + " " + (directory_ / "w").string() +
             " --tile-width 5",
         2, "--tile-width does not go with --format deepzoom"},
        {"export --format png " + slide_ + " " + (directory_ / "t").string(), 2,
         "no export format is named png (there are tiles, deepzoom"},
        {"export --deepzoom --format tiles " + slide_ + " " + (directory_ / "t").string(), 2,
         "--deepzoom is --format deepzoom"},
        {"export " + slide_, 2, "expected SLIDE and OUT"},
        {"export --format deepzoom " + slide_ + " " + (directory_ / "t").string() + " --overlap -1",
         2, "--overlap must be a whole number from 0 to 8192, not '-1'"},
    };
    for (const Case& c : cases) {
        const ToolRun run = Tarn(c.args);
        EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.output;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << c.args << "\n" << run.output;
    }
    // A slide that does not open leaves no output directory behind.
    EXPECT_FALSE(fs::exists(directory_ / "never"));
    for (const char* command : {"info", "tile", "region", "image", "export", "sample", "serve"}) {
        const ToolRun run = Tarn(std::string(command) + " --help");
        EXPECT_EQ(run.status, 0) << command;
        EXPECT_NE(run.output.find("usage: tarn " + std::string(command)), std::string::npos);
    }
}

}  // namespace

#endif
