// Colour tables shared through the table folder: written once and mapped after, files that must
// not be trusted, damaged bodies, concurrent writers, the folder's cap and where the folder is.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "ColorCorrect/ColorLut.h"
#include "ColorCorrect/TableFiles.h"
#include "Common/ThreadCap.h"
#include "DecodeHevc/HevcDecoder.h"
#include "support/TableFolder.h"
#include "support/TestFiles.h"

namespace {

namespace fs = std::filesystem;
using tarn::ColorLut;
using tarn::ColorParams;
using tarntest::ScopedEnvironment;

ColorParams WithGamma(float gamma) {
    ColorParams params = tarn::NeutralColorParams();
    params.gamma = gamma;
    params.hsvScale[1] = 1.2f;  // (200, 100, 50) maps to (200, 79, 19) at gamma 1
    return params;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    return names;
}

bool MappedInThisProcess(const std::string& path) {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);)
        if (line.find(path) != std::string::npos) return line.find(" r--s ") != std::string::npos;
    return false;
}

// The table of `params` straight from the folder, bypassing the registry; null when refused.
ColorLut* MapFromFolder(const ColorParams& params) {
    tarn::CacheFolder folder;
    return tarn::FindCacheFolder(&folder) ? tarn::MapTableFile(folder, params) : nullptr;
}

bool Maps(const ColorParams& params) {
    ColorLut* lut = MapFromFolder(params);
    tarn::FreeColorLut(lut);
    return lut != nullptr;
}

// Builds the table of `params` in this process and waits until the folder has it.
void PutInFolder(const ColorParams& params) {
    tarn::ReleaseColorLut(tarn::AcquireColorLut(params));
    tarn::WaitForColorLutWrites();
}

void Patch(const std::string& path, off_t offset, const void* bytes, size_t size) {
    const int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, bytes, size, offset), static_cast<ssize_t>(size));
    close(fd);
}

using TableFolder = tarntest::TableFolderTest;

TEST_F(TableFolder, BuiltOnceThenMappedSharedReadOnlyAndKeptWhileTheFileStays) {
    const ColorParams params = WithGamma(1.0f);
    const std::string path = TablePath(params);
    const uint64_t builds = tarn::ColorLutBuildCount();
    const ColorLut* built = tarn::AcquireColorLut(params);
    ASSERT_NE(built, nullptr);
    EXPECT_FALSE(built->fromFile);
    tarn::WaitForColorLutWrites();
    EXPECT_EQ(FolderEntries(folder()), std::vector<std::string>{fs::path(path).filename()});
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600U);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), tarn::kTableFileBytes);

    // The same bytes come back, and the planes, linked when first asked for, point into them.
    ColorLut* mapped = MapFromFolder(params);
    ASSERT_NE(mapped, nullptr);
    EXPECT_EQ(memcmp(mapped->packed, built->packed, tarn::kLutBodyBytes), 0);
    const tarn::PlaneTable* view = tarn::ExportedTable(mapped);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->plane[1][200][100][50], 79);
    EXPECT_EQ(view->plane[2][0][0][255], 255);
    tarn::FreeColorLut(mapped);

    tarn::ReleaseColorLut(built);  // the folder has it: not kept
    const ColorLut* again = tarn::AcquireColorLut(params);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(again->fromFile);
    EXPECT_EQ(tarn::ColorLutBuildCount(), builds + 1);
    EXPECT_TRUE(MappedInThisProcess(path));
    EXPECT_EQ(tarn::LookupOf(again).packed[(200 << 16) | (100 << 8) | 50] & 0xFFFFFF,
              (200u << 16) | (79u << 8) | 19u);

    // Released, the mapping stays for the next acquire while the folder holds that file.
    tarn::ReleaseColorLut(again);
    EXPECT_TRUE(MappedInThisProcess(path));
    const ColorLut* kept = tarn::AcquireColorLut(params);
    EXPECT_EQ(kept, again);
    tarn::ReleaseColorLut(kept);

    // A file put in its place (another process wrote it anew) is mapped instead.
    const std::string copy = folder() + "/copy";
    fs::copy_file(path, copy);
    ASSERT_EQ(rename(copy.c_str(), path.c_str()), 0);
    const ColorLut* replaced = tarn::AcquireColorLut(params);
    ASSERT_NE(replaced, nullptr);
    EXPECT_TRUE(replaced->fromFile);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(replaced->fileInode, st.st_ino);
    tarn::ReleaseColorLut(replaced);

    // Evicted from the folder: neither the kept mapping nor a file, so it is built again.
    ASSERT_EQ(unlink(path.c_str()), 0);
    const ColorLut* rebuilt = tarn::AcquireColorLut(params);
    ASSERT_NE(rebuilt, nullptr);
    EXPECT_FALSE(rebuilt->fromFile);
    EXPECT_EQ(tarn::ColorLutBuildCount(), builds + 2);
    tarn::ReleaseColorLut(rebuilt);
    tarn::WaitForColorLutWrites();
    tarn::TrimColorLutCache();
    EXPECT_FALSE(MappedInThisProcess(path));
}

// Each damage is made, checked and undone on the one file; the last one stays and the next
// acquire replaces the file.
TEST_F(TableFolder, FilesThatCannotBeTrustedAreNeverUsed) {
    const ColorParams params = WithGamma(1.25f);
    PutInFolder(params);
    const std::string path = TablePath(params);
    ASSERT_TRUE(Maps(params));
    const off_t size = static_cast<off_t>(tarn::kTableFileBytes);
    const uint32_t otherVersion = tarn::kTableFormatVersion + 1;
    const uint32_t version = tarn::kTableFormatVersion;
    const float otherGamma = 1.5f;  // a file of other parameters under this name
    constexpr off_t kVersionAt = 8, kGammaAt = 56;
    struct Damage {
        const char* name;
        std::function<void()> make, undo;
    };
    std::vector<Damage> damages = {
        {"truncated", [&] { ASSERT_EQ(truncate(path.c_str(), size - 1), 0); },
         [&] {
             ASSERT_EQ(truncate(path.c_str(), size), 0);
             Patch(path, size - 1, "\xff", 1);  // blue of white stays 255
         }},
        {"longer", [&] { ASSERT_EQ(truncate(path.c_str(), size + 1), 0); },
         [&] { ASSERT_EQ(truncate(path.c_str(), size), 0); }},
        {"bad magic", [&] { Patch(path, 0, "X", 1); }, [&] { Patch(path, 0, "T", 1); }},
        {"other version", [&] { Patch(path, kVersionAt, &otherVersion, 4); },
         [&] { Patch(path, kVersionAt, &version, 4); }},
        {"other parameters", [&] { Patch(path, kGammaAt, &otherGamma, 4); },
         [&] { Patch(path, kGammaAt, &params.gamma, 4); }},
        {"group-writable", [&] { chmod(path.c_str(), 0620); }, [&] { chmod(path.c_str(), 0600); }},
        {"world-writable", [&] { chmod(path.c_str(), 0602); }, [&] { chmod(path.c_str(), 0600); }},
        {"symbolic link",
         [&] {
             ASSERT_EQ(rename(path.c_str(), (path + ".real").c_str()), 0);
             ASSERT_EQ(symlink((path + ".real").c_str(), path.c_str()), 0);
         },
         [&] { ASSERT_EQ(rename((path + ".real").c_str(), path.c_str()), 0); }},
    };
    if (geteuid() == 0)  // only root can hand a file to another user
        damages.push_back({"another user's", [&] { ASSERT_EQ(chown(path.c_str(), 65534, -1), 0); },
                           [&] { ASSERT_EQ(chown(path.c_str(), 0, -1), 0); }});
    for (const Damage& damage : damages) {
        damage.make();
        EXPECT_FALSE(Maps(params)) << damage.name;
        damage.undo();
        EXPECT_TRUE(Maps(params)) << "after undoing " << damage.name;
    }

    damages[4].make();
    const uint64_t builds = tarn::ColorLutBuildCount();
    PutInFolder(params);
    EXPECT_EQ(tarn::ColorLutBuildCount(), builds + 1);
    EXPECT_TRUE(Maps(params));  // replaced
}

// Whatever a file's body holds, decoders store colours: the packed entries' top byte never
// reaches a pixel, and every other bit pattern is a colour.
TEST_F(TableFolder, DamagedBodyStillGivesOnlyColours) {
    const ColorParams params = WithGamma(0.9f);
    PutInFolder(params);
    const std::string path = TablePath(params);
    {
        const int fd = open(path.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        void* map = mmap(nullptr, tarn::kTableFileBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ASSERT_NE(map, MAP_FAILED);
        auto* packed = reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(map) + 4096);
        std::mt19937 random(5);
        for (size_t i = 0; i < tarn::kLutEntries; ++i)
            packed[i] = i % 7 == 0 ? static_cast<uint32_t>(random()) : packed[i] | 0xFF000000u;
        munmap(map, tarn::kTableFileBytes);
        close(fd);
    }
    const ColorLut* lut = tarn::AcquireColorLut(params);
    ASSERT_TRUE(lut != nullptr && lut->fromFile);
    const tarn::ColorLookup damaged = tarn::LookupOf(lut);
    std::vector<uint32_t> clean(damaged.packed, damaged.packed + tarn::kLutEntries);
    for (uint32_t& entry : clean)
        entry &= 0xFFFFFF;
    tarn::ColorLookup masked;
    masked.packed = clean.data();

    std::mt19937 random(9);
    std::vector<uint8_t> pixels(4 * 1001);
    for (uint8_t& byte : pixels)
        byte = static_cast<uint8_t>(random());
    for (const auto& [from, to] :
         std::initializer_list<std::pair<int, int>>{{3, 3}, {3, 4}, {4, 3}, {4, 4}}) {
        std::vector<uint8_t> got(4 * 1001), want(4 * 1001);
        tarn::CorrectPixels(damaged, pixels.data(), from, got.data(), to, 1001);
        tarn::CorrectPixels(masked, pixels.data(), from, want.data(), to, 1001);
        EXPECT_EQ(got, want) << from << " to " << to;
    }

    const int w = 37, h = 9;
    tarn::YuvView picture;
    for (int p = 0; p < 3; ++p) {
        picture.plane[p] = pixels.data() + p * 1000;
        picture.stride[p] = p == 0 ? w : (w + 1) / 2;
    }
    picture.width = w;
    picture.height = h;
    using tarn::PackedLayout;
    for (const PackedLayout layout : {PackedLayout::Bgr24, PackedLayout::Rgb24, PackedLayout::Bgra,
                                      PackedLayout::Rgba, PackedLayout::Argb, PackedLayout::Abgr}) {
        std::vector<uint8_t> got(w * h * 4), want(w * h * 4);
        const size_t stride = static_cast<size_t>(w) * tarn::BytesPerPixel(layout);
        tarn::ConvertYuvRect(picture, damaged, 0, 0, w, h, layout, got.data(), stride);
        tarn::ConvertYuvRect(picture, masked, 0, 0, w, h, layout, want.data(), stride);
        EXPECT_EQ(got, want) << "layout " << static_cast<int>(layout);
    }
    tarn::ReleaseColorLut(lut);
}

// The second child is kept to one thread, so it writes before its acquire returns.
TEST_F(TableFolder, TwoProcessesCreatingTheSameTableBothSucceed) {
    const ColorParams params = WithGamma(1.0f);
    const std::string path = TablePath(params);
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    pid_t children[2];
    for (int i = 0; i < 2; ++i) {
        children[i] = fork();
        ASSERT_GE(children[i], 0);
        if (children[i] == 0) {
            close(start[1]);
            char go;
            (void)!read(start[0], &go, 1);  // returns when the parent closes its end
            if (i == 1) tarn::SetThreadCap(1);
            const ColorLut* lut = tarn::AcquireColorLut(params);
            bool right = lut != nullptr && tarn::ExportedTable(lut)->plane[1][200][100][50] == 79;
            if (i == 1) right = right && access(path.c_str(), F_OK) == 0;
            tarn::WaitForColorLutWrites();
            _exit(right ? 0 : 1);
        }
    }
    close(start[0]);
    close(start[1]);
    for (const pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(FolderEntries(folder()), std::vector<std::string>{fs::path(path).filename()});
    const uint64_t builds = tarn::ColorLutBuildCount();
    const ColorLut* lut = tarn::AcquireColorLut(params);
    ASSERT_NE(lut, nullptr);
    EXPECT_TRUE(lut->fromFile);
    EXPECT_EQ(tarn::ColorLutBuildCount(), builds);
    tarn::ReleaseColorLut(lut);
}

// A child forked while the parent writes a table in the background has no writer: it must not
// wait for one (as it would at exit).
TEST_F(TableFolder, ChildForkedDuringAWriteNeverWaitsForIt) {
    const ColorParams params = WithGamma(1.15f);
    const ColorLut* lut = tarn::AcquireColorLut(params);
    ASSERT_NE(lut, nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        tarn::ReleaseColorLut(tarn::AcquireColorLut(params));  // shares the inherited table
        tarn::ReleaseColorLut(lut);
        tarn::WaitForColorLutWrites();  // what exit() would do too
        _exit(0);                       // exit() would also remove the parent's test directory
    }
    int status = 0;
    for (int waited = 0; waited < 200 && waitpid(child, &status, WNOHANG) == 0; ++waited)
        usleep(100 * 1000);
    if (waitpid(child, &status, WNOHANG) == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        ADD_FAILURE() << "the child hangs";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    tarn::ReleaseColorLut(lut);
}

// Tables are stood in for by sparse files of the right size and name, aged by hand.
TEST_F(TableFolder, CapEvictsTheLeastRecentlyUsedTablesOfThisUser) {
    const ColorParams used = WithGamma(1.1f);
    PutInFolder(used);
    const time_t now = time(nullptr);
    auto place = [&](const std::string& path, time_t age, off_t size) {
        if (!fs::exists(path)) std::ofstream{path};
        ASSERT_EQ(truncate(path.c_str(), size), 0);
        const timespec times[2] = {{now - age, 0}, {now - age, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    };
    const off_t table = static_cast<off_t>(tarn::kTableFileBytes);
    const std::string usedPath = TablePath(used), older = TablePath(WithGamma(2.1f)),
                      newer = TablePath(WithGamma(2.2f)), stale = folder() + "/.tmp-colour-table-a",
                      live = folder() + "/.tmp-colour-table-b", other = folder() + "/notes";
    place(usedPath, 1000, table);
    place(older, 500, table);
    place(newer, 100, table);
    place(stale, 7200, table);
    place(live, 0, table);
    place(other, 9000, table);
    tarn::ReleaseColorLut(tarn::AcquireColorLut(used));  // used now: the newest

    // Three tables, the write under way in `live` and this write: one table too many.
    const ScopedEnvironment cap("TARN_CACHE_DIR_LIMIT", std::to_string(4 * table).c_str());
    const ColorParams added = WithGamma(1.2f);
    PutInFolder(added);
    EXPECT_FALSE(fs::exists(older));
    EXPECT_FALSE(fs::exists(stale));
    for (const std::string& kept : {usedPath, newer, TablePath(added), live, other})
        EXPECT_TRUE(fs::exists(kept)) << kept;

    // A cap below one table: nothing is written, nothing evicted.
    const ScopedEnvironment tiny("TARN_CACHE_DIR_LIMIT", "100M");
    const ColorParams unwritten = WithGamma(1.3f);
    PutInFolder(unwritten);
    EXPECT_FALSE(fs::exists(TablePath(unwritten)));
    EXPECT_TRUE(fs::exists(newer));
}

using TableFolderLocation = tarntest::FreshTables;

TEST_F(TableFolderLocation, FollowsTheEnvironmentAndFallsBackToMemory) {
    const std::string base = tarntest::TestDirectory() + "/location";
    ScopedEnvironment dir("TARN_CACHE_DIR", nullptr), xdg("XDG_CACHE_HOME", nullptr),
        home("HOME", nullptr), cap("TARN_CACHE_DIR_LIMIT", nullptr);
    auto where = [] {
        tarn::CacheFolder folder;
        return tarn::FindCacheFolder(&folder) ? std::string(folder.path) : std::string("off");
    };
    auto limit = [](const char* value) {
        const ScopedEnvironment set("TARN_CACHE_DIR_LIMIT", value);
        tarn::CacheFolder folder;
        return tarn::FindCacheFolder(&folder) ? folder.limit : 0;
    };
    EXPECT_EQ(where(), "off");
    {
        const ScopedEnvironment set("HOME", (base + "/home").c_str());
        EXPECT_EQ(where(), base + "/home/.cache/tarn");
        const ScopedEnvironment relative("XDG_CACHE_HOME", "relative");
        EXPECT_EQ(where(), base + "/home/.cache/tarn");
        const ScopedEnvironment absolute("XDG_CACHE_HOME", (base + "/xdg").c_str());
        EXPECT_EQ(where(), base + "/xdg/tarn");
        const ScopedEnvironment named("TARN_CACHE_DIR", (base + "/a/b").c_str());
        EXPECT_EQ(where(), base + "/a/b");
        const ScopedEnvironment off("TARN_CACHE_DIR", "");
        EXPECT_EQ(where(), "off");
    }
    for (const char* made : {"/home", "/home/.cache", "/home/.cache/tarn", "/a", "/a/b"}) {
        struct stat st;
        ASSERT_EQ(stat((base + made).c_str(), &st), 0) << made;
        EXPECT_EQ(st.st_mode & 0777, 0700U) << made;
    }

    const ScopedEnvironment named("TARN_CACHE_DIR", (base + "/a/b").c_str());
    EXPECT_EQ(limit(nullptr), tarn::kDefaultFolderLimit);
    EXPECT_EQ(limit("123"), 123U);
    EXPECT_EQ(limit("5G"), uint64_t{5} << 30);
    EXPECT_EQ(limit("12X"), tarn::kDefaultFolderLimit);
    EXPECT_EQ(limit("-1"), tarn::kDefaultFolderLimit);

    // A folder that cannot be made, or cannot be written: tables are built in memory.
    std::ofstream{base + "/file"};
    for (const std::string& unusable : {base + "/file/tables", std::string("/proc/self")}) {
        const ScopedEnvironment set("TARN_CACHE_DIR", unusable.c_str());
        Reset();
        const uint64_t builds = tarn::ColorLutBuildCount();
        const ColorLut* lut = tarn::AcquireColorLut(WithGamma(1.0f));
        ASSERT_NE(lut, nullptr) << unusable;
        EXPECT_EQ(tarn::ColorLutBuildCount(), builds + 1);
        tarn::ReleaseColorLut(lut);
        tarn::WaitForColorLutWrites();
    }
}

}  // namespace
