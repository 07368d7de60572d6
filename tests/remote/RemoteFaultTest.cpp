// Reads through the fault proxy: faults that pass are retried, faults that last fail the call
// cleanly and in time, and a change without an ETag is still caught.
#include <sys/stat.h>
#include <utime.h>

#include <chrono>

#include "RemoteTesting.h"

namespace remotetest {
namespace {

using tarn::remote::ReadRemote;

class RemoteFault : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        nginx = StartNginx(&why);
        REQUIRE_SERVER(nginx, why);
        port = StartFaultProxy(&why);
        REQUIRE_SERVER(port != 0, why);
        Publish(*nginx, "faults.tarn");
        tarn::remote::SetRemoteCacheCapacity(0);  // every read goes through the faults
    }
    void TearDown() override { unsetenv("TARN_REMOTE_TIMEOUT"); }

    std::string Url(const std::string& faults, const std::string& name = "faults.tarn") const {
        return "http://127.0.0.1:" + std::to_string(port) + "/" + faults + "/" + name;
    }

    const Nginx* nginx = nullptr;
    int port = 0;
};

TEST_F(RemoteFault, PassingFaultsAreRetried) {
    for (const char* faults : {"s503=2", "reset=2", "trunc=1", "delay=20"}) {
        const uint64_t before = Requests();
        RemoteError error;
        Object object = Open(Url(faults), &error);
        ASSERT_TRUE(object) << faults << ": " << error.message;
        ExpectReadsMatch(object.get(), Slide().bytes, 4, 7);
        EXPECT_GE(Requests() - before, std::string(faults) == "delay=20" ? 4u : 5u) << faults;
    }
}

// Retried faults that last end with the call's time (short here), named in the message; a wrong
// range is never retried.
TEST_F(RemoteFault, LastingFaultsFailInTime) {
    setenv("TARN_REMOTE_TIMEOUT", "0.4", 1);
    const struct {
        const char* faults;
        RemoteStatus status;
        const char* cause;
    } cases[] = {{"s503=99", RemoteStatus::kTimedOut, "HTTP 503"},
                 {"reset=99", RemoteStatus::kTimedOut, "tries"},
                 {"trunc=99", RemoteStatus::kTimedOut, "cut short"},
                 {"stall", RemoteStatus::kTimedOut, "stalled|timed out"},
                 {"badrange", RemoteStatus::kBadResponse, "another range"}};
    for (const auto& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        RemoteError error;
        EXPECT_FALSE(Open(Url(c.faults), &error)) << c.faults;
        EXPECT_EQ(c.status, error.status) << c.faults << ": " << error.message;
        // A cause may be named in more than one way ("a|b"): a slow machine meets the deadline at
        // another step.
        bool named = false;
        for (std::string causes = c.cause; !named && !causes.empty();) {
            const size_t bar = causes.find('|');
            named = error.message.find(causes.substr(0, bar)) != std::string::npos;
            causes = bar == std::string::npos ? "" : causes.substr(bar + 1);
        }
        EXPECT_TRUE(named) << error.message;
        EXPECT_NE(std::string::npos, error.message.find("faults.tarn")) << error.message;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << c.faults;
    }
}

// Without ETags the answers' Last-Modified and sizes still tell the versions apart.
TEST_F(RemoteFault, ChangesWithoutEtagsAreCaught) {
    const std::string path = nginx->root + "/plain.tarn";
    const time_t past = time(nullptr) - 100;
    const utimbuf then = {past, past};
    for (const bool sameTime : {false, true}) {
        Publish(*nginx, "plain.tarn");
        utime(path.c_str(), &then);
        RemoteError error;
        Object object = Open(Url("noetag", "plain.tarn"), &error);
        ASSERT_TRUE(object) << error.message;
        EXPECT_EQ(std::string::npos,
                  std::string(tarn::remote::RemoteObjectKey(object.get())).find('"'));
        ExpectReadsMatch(object.get(), Slide().bytes, 3, 8);
        // Longer by a byte; with the same modification time only the size tells.
        Publish(*nginx, "plain.tarn", Slide().bytes + "x");
        if (sameTime) utime(path.c_str(), &then);
        std::vector<uint8_t> bytes(1000);
        EXPECT_FALSE(ReadRemote(object.get(), 100'000, bytes.data(), bytes.size(), &error));
        EXPECT_EQ(RemoteStatus::kObjectChanged, error.status) << error.message;
    }
}

}  // namespace
}  // namespace remotetest
