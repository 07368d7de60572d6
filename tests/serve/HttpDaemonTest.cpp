// The HTTP layer on loopback with routes of its own: streamed answers and the client that stops
// reading them, deferred answers, and preflights that need no token.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "http/Daemon.h"

namespace tarncli::serve::http {
namespace {

using namespace std::chrono_literals;

constexpr unsigned kRequestSeconds = 2;

struct Released {
    std::atomic<bool>* flag;
    ~Released() { flag->store(true); }
};

// An answer of `pieces` pieces of 1000 digits each; endless when `pieces` is 0.
Answer Numbers(uint64_t pieces, std::atomic<bool>* released) {
    auto tracker = std::make_shared<Released>(Released{released});
    auto stream = std::make_shared<Stream>();
    stream->next = [pieces, tracker](uint64_t offset, char* buffer, size_t room) -> int64_t {
        if (pieces != 0 && offset >= pieces * 1000) return 0;
        const size_t length = std::min<size_t>(room, 1000 - offset % 1000);
        for (size_t i = 0; i < length; ++i)
            buffer[i] = static_cast<char>('0' + (offset + i) % 10);
        return static_cast<int64_t>(length);
    };
    Answer answer;
    answer.type = "application/octet-stream";
    answer.stream = std::move(stream);
    return answer;
}

class HttpDaemon : public ::testing::Test {
  protected:
    void SetUp() override {
        site.token = "t";
        const std::string any = "*";
        site.cors = MakeCorsPolicy(&any, true);
        site.routes = {
            {"/numbers/{count}",
             [this](const Call& call) { return Numbers(std::stoull(call.captures[0]), &released); },
             "numbers"},
            {"/later",
             [this](const Call& call) {
                 if (ready.load()) return Text(200, "ready");
                 if (!call.mayWait) return Busy("not yet", 1);
                 return Later([this] { return ready.load(); }, Clock::time_point::max());
             },
             "later"},
            {"/open", [](const Call&) { return Text(200, "open"); }, "open", CrossOrigin::Yes},
            {"/closed", [](const Call&) { return Text(200, "closed"); }, "closed"},
        };
        ListenOptions listen;
        auto* address = reinterpret_cast<sockaddr_in*>(&listen.address);
        address->sin_family = AF_INET;
        address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        listen.threads = 2;
        listen.timeoutSeconds = kRequestSeconds;
        daemon = StartDaemon(&site, listen);
        ASSERT_NE(daemon, nullptr);
        port = DaemonPort(daemon);
    }
    void TearDown() override { StopDaemon(daemon); }

    int Connect(int receiveBuffer = 0) const {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer > 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        timeval wait{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        return fd;
    }

    // Everything the server sends until it closes (at most `limit` bytes).
    static std::string ReadAll(int fd, size_t limit = size_t{64} << 20) {
        std::string data;
        char buffer[65536];
        while (data.size() < limit) {
            const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) break;
            data.append(buffer, static_cast<size_t>(got));
        }
        return data;
    }

    std::string Get(const std::string& method, const std::string& path,
                    const std::string& headers = "Authorization: Bearer t\r\n") const {
        const int fd = Connect();
        const std::string request = method + " " + path +
                                    " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                                    headers + "\r\n";
        EXPECT_EQ(send(fd, request.data(), request.size(), 0),
                  static_cast<ssize_t>(request.size()));
        std::string answer = ReadAll(fd);
        close(fd);
        return answer;
    }

    Site site{1, kRequestSeconds};
    Daemon* daemon = nullptr;
    int port = 0;
    std::atomic<bool> released{false}, ready{false};
};

// The body of a chunked answer.
std::string Dechunk(const std::string& answer) {
    size_t at = answer.find("\r\n\r\n");
    if (at == std::string::npos) return "(no head)";
    std::string body;
    for (at += 4;;) {
        const size_t end = answer.find("\r\n", at);
        if (end == std::string::npos) return "(cut)";
        const size_t size = std::stoul(answer.substr(at, end - at), nullptr, 16);
        if (size == 0) return body;
        body += answer.substr(end + 2, size);
        at = end + 2 + size + 2;
    }
}

TEST_F(HttpDaemon, StreamsABodyMadeInPieces) {
    const std::string answer = Get("GET", "/numbers/300");
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 200");
    EXPECT_NE(answer.find("Transfer-Encoding: chunked"), std::string::npos);
    const std::string body = Dechunk(answer);
    ASSERT_EQ(body.size(), 300000u);
    for (size_t i = 0; i < body.size(); i += 997)
        ASSERT_EQ(body[i], '0' + static_cast<int>(i % 10)) << i;
    EXPECT_TRUE(released.load());
}

TEST_F(HttpDaemon, DropsAClientThatStopsReadingAStream) {
    const int fd = Connect(16384);
    const std::string request =
        "GET /numbers/0 HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer t\r\n\r\n";
    ASSERT_EQ(send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    std::this_thread::sleep_for(std::chrono::seconds(kRequestSeconds) + 600ms);
    // Dropped: what was sent before ends, although the stream has no end.
    const std::string answer = ReadAll(fd);
    close(fd);
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 200");
    EXPECT_LT(answer.size(), size_t{64} << 20);
    for (int i = 0; i < 100 && !released.load(); ++i)
        std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(released.load());  // and the stream let go
}

TEST_F(HttpDaemon, KeepsAStreamsClientThatReadsSlowlyButSteadily) {
    const int fd = Connect(16384);
    const std::string request =
        "GET /numbers/0 HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer t\r\n\r\n";
    ASSERT_EQ(send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    // Longer than a request may take, but never long without taking a piece: the answer goes on
    // (were it cut, what the sockets hold would drain well before the end).
    const auto until = Clock::now() + std::chrono::seconds(kRequestSeconds) + 1500ms;
    bool open = true;
    char buffer[16384];
    while (open && Clock::now() < until) {
        open = recv(fd, buffer, sizeof buffer, 0) > 0;
        std::this_thread::sleep_for(1ms);
    }
    close(fd);
    EXPECT_TRUE(open);
}

TEST_F(HttpDaemon, DeferredAnswersWaitWithoutAWorker) {
    std::thread later([this] {
        std::this_thread::sleep_for(300ms);
        ready.store(true);
    });
    // Both workers' worth of requests wait; another request is answered meanwhile.
    std::thread waiting[2];
    std::string answers[2];
    for (int i = 0; i < 2; ++i)
        waiting[i] = std::thread([this, &answers, i] { answers[i] = Get("GET", "/later"); });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(Get("GET", "/closed").substr(0, 12), "HTTP/1.1 200");
    EXPECT_FALSE(ready.load());
    for (std::thread& thread : waiting)
        thread.join();
    later.join();
    for (const std::string& answer : answers)
        EXPECT_NE(answer.find("\r\n\r\nready"), std::string::npos) << answer;
}

TEST_F(HttpDaemon, DeferredAnswersGiveUpWithinTheRequestTime) {
    const auto started = Clock::now();
    const std::string answer = Get("GET", "/later");
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 503");
    EXPECT_NE(answer.find("Retry-After: 1"), std::string::npos);
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(kRequestSeconds));
}

TEST_F(HttpDaemon, PreflightsNeedNoToken) {
    const std::string preflight =
        Get("OPTIONS", "/open",
            "Origin: https://viewer.example\r\nAccess-Control-Request-Method: GET\r\n"
            "Access-Control-Request-Headers: authorization\r\n");
    EXPECT_EQ(preflight.substr(0, 12), "HTTP/1.1 204");
    EXPECT_NE(preflight.find("Access-Control-Allow-Origin: *"), std::string::npos);
    EXPECT_NE(preflight.find("Access-Control-Allow-Headers: Authorization"), std::string::npos);
    // The request itself needs it, and its refusal can be read by the page.
    const std::string refused = Get("GET", "/open", "Origin: https://viewer.example\r\n");
    EXPECT_EQ(refused.substr(0, 12), "HTTP/1.1 401");
    EXPECT_NE(refused.find("Access-Control-Allow-Origin: *"), std::string::npos);
    EXPECT_EQ(Get("GET", "/open").substr(0, 12), "HTTP/1.1 200");
    // Routes for same-origin pages only take no preflight.
    const std::string closed = Get("OPTIONS", "/closed", "Origin: https://viewer.example\r\n");
    EXPECT_EQ(closed.substr(0, 12), "HTTP/1.1 405");
    EXPECT_EQ(closed.find("Access-Control"), std::string::npos);
}

}  // namespace
}  // namespace tarncli::serve::http
