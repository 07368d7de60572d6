// Servers on free loopback ports for the remote-reading tests and benchmark: nginx over http and
// https (a CA and certificate made with openssl), s3rver, and the fault-injecting proxy. Each is
// started once per process on first use, under `timeout` so that it ends even if the process
// dies, and stopped when the process exits.
#pragma once

#include <cstdint>
#include <string>

#include "TarnWriter.h"

namespace remotetest {

// A slide of three layers, 12 x 8 tiles on layer 0, whose tiles are random bytes of 8 to 40 KB
// (nothing here decodes them): the header, records and tables sit where a slide has them.
struct TestSlide {
    std::string bytes;
    tarnwriter::SlideLayout layout;
};
const TestSlide& Slide();

struct Nginx {
    std::string root;  // the folder served, as /NAME
    int httpPort = 0;
    int httpsPort = 0;  // redirects /to-http to the http server's /slide.tarn
    std::string caFile;
    std::string Http(const std::string& name) const;
    std::string Https(const std::string& name) const;
};

// Null with `why` filled when it cannot start.
const Nginx* StartNginx(std::string* why);

// The fault proxy in front of nginx; 0 when it cannot start. URLs:
// http://127.0.0.1:PORT/FAULTS/NAME (see fault_proxy.py).
int StartFaultProxy(std::string* why);

struct S3 {
    int port = 0;
    std::string bucket;  // its folder under `root` holds the objects
    std::string root;
};
// s3rver with one bucket; null when it cannot start.
const S3* StartS3(std::string* why);

// Puts `bytes` into the bucket under `key`.
void PutS3Object(const S3& s3, const std::string& key, const std::string& bytes);

// Writes a file whole (through a new name, so a server never sees it half written).
void WriteFileAtomically(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);

// Whether a missing server fails the test (on CI, which installs everything) or skips it.
bool ServersRequired();

}  // namespace remotetest

// Skips the test when the server did not start, except on CI, where that fails it.
#define REQUIRE_SERVER(server, why)                             \
    do {                                                        \
        if (!(server)) {                                        \
            if (remotetest::ServersRequired()) FAIL() << (why); \
            GTEST_SKIP() << (why);                              \
        }                                                       \
    } while (0)
