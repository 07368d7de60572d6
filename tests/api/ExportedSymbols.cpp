// The library exports exactly the intended symbols: the public operations under plain names, the
// others under C++ names that carry their exact parameter types, and nothing else. cJSON's API
// resolves through the library's handle.
#include <cxxabi.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <string>

namespace {

std::string Demangle(const std::string& symbol) {
    int status = 0;
    std::unique_ptr<char, decltype(&free)> text(
        abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status), &free);
    return status == 0 && text ? std::string(text.get()) : symbol;
}

std::string RunCommand(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    pclose(pipe);
    return output;
}

// Defined dynamic symbols, C++ names shown with their parameter types.
std::set<std::string> ExportedSymbols(const std::string& library) {
    std::set<std::string> symbols;
    const std::string listing = RunCommand("nm -D --defined-only '" + library + "'");
    size_t start = 0;
    while (start < listing.size()) {
        size_t end = listing.find('\n', start);
        if (end == std::string::npos) end = listing.size();
        const std::string line = listing.substr(start, end - start);
        start = end + 1;
        const size_t space = line.rfind(' ');
        if (space == std::string::npos) continue;
        symbols.insert(Demangle(line.substr(space + 1)));
    }
    return symbols;
}

std::set<std::string> ExpectedSymbols() {
    std::set<std::string> symbols;
    std::ifstream file(TARN_EXPECTED_SYMBOLS);
    std::string line;
    while (std::getline(file, line))
        if (!line.empty() && line[0] != '#') symbols.insert(line);
    return symbols;
}

TEST(ExportedSymbols, AreExactlyTheIntendedOnes) {
    const std::set<std::string> actual = ExportedSymbols(TARN_LIBRARY_PATH);
    const std::set<std::string> expected = ExpectedSymbols();
    ASSERT_FALSE(expected.empty());
    for (const std::string& name : expected)
        EXPECT_TRUE(actual.count(name))
            << "not exported (or exported under another name): " << name;
    for (const std::string& name : actual)
        EXPECT_TRUE(expected.count(name)) << "exported but not intended: " << name;
}

TEST(ExportedSymbols, LibraryHasASonameAndNeedsCjson) {
    const std::string dynamic = RunCommand("readelf -d '" + std::string(TARN_LIBRARY_PATH) + "'");
    EXPECT_NE(dynamic.find("(SONAME)             Library soname: [libDecodeTarn.so.1]"),
              std::string::npos)
        << dynamic;
    EXPECT_NE(dynamic.find("libcjson.so"), std::string::npos) << dynamic;
}

TEST(ExportedSymbols, CjsonResolvesThroughTheLibraryHandle) {
    void* handle = dlopen(TARN_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    for (const char* name : {"cJSON_Parse", "cJSON_Print", "cJSON_InitHooks", "cJSON_Delete"})
        EXPECT_NE(dlsym(handle, name), nullptr) << name;
    dlclose(handle);
}

}  // namespace
