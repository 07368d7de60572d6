// The remote-reading tests' servers for test suites in other languages: starts nginx (http and
// https), the fault proxy and s3rver on loopback, prints where they are as one JSON line, and
// stops them when its standard input closes (or after ten minutes).
//
//   {"root": DIR, "http": PORT, "https": PORT, "ca": FILE, "proxy": PORT,
//    "s3": PORT, "bucket": NAME, "s3root": DIR}        (proxy and s3 0 when they did not start)
#include <poll.h>
#include <unistd.h>

#include <cstdio>

#include "RemoteServers.h"

int main() {
    std::string why;
    const remotetest::Nginx* nginx = remotetest::StartNginx(&why);
    if (nginx == nullptr) {
        fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    const int proxy = remotetest::StartFaultProxy(&why);
    const remotetest::S3* s3 = remotetest::StartS3(&why);
    printf(
        "{\"root\": \"%s\", \"http\": %d, \"https\": %d, \"ca\": \"%s\", \"proxy\": %d, "
        "\"s3\": %d, \"bucket\": \"%s\", \"s3root\": \"%s\"}\n",
        nginx->root.c_str(), nginx->httpPort, nginx->httpsPort, nginx->caFile.c_str(), proxy,
        s3 != nullptr ? s3->port : 0, s3 != nullptr ? s3->bucket.c_str() : "",
        s3 != nullptr ? s3->root.c_str() : "");
    fflush(stdout);
    pollfd input{STDIN_FILENO, POLLIN, 0};
    char byte = 0;
    while (poll(&input, 1, 600'000) > 0 && read(STDIN_FILENO, &byte, 1) > 0) {
    }
    return 0;  // exit stops the servers
}
