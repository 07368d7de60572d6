// What the remote-reading tests share: handles that close themselves, request counts, and reads
// compared byte for byte with the local bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Remote/RemoteObject.h"
#include "RemoteServers.h"

namespace remotetest {

using tarn::remote::RemoteError;
using tarn::remote::RemoteObject;
using tarn::remote::RemoteStatus;

using Object = std::unique_ptr<RemoteObject, decltype(&tarn::remote::CloseRemoteObject)>;

inline Object Open(const std::string& url, RemoteError* error,
                   const tarn::remote::RemoteOpenOptions& options = {}) {
    return {tarn::remote::OpenRemoteObject(url, options, error), &tarn::remote::CloseRemoteObject};
}

inline uint64_t Requests() {
    return tarn::remote::ReadRemoteCounters().requests;
}

// `count` reads of random ranges (the first and last bytes, empty and whole-object ranges among
// them), each compared with the same bytes of `local`.
inline void ExpectReadsMatch(RemoteObject* object, const std::string& local, int count,
                             uint32_t seed) {
    std::mt19937_64 random(seed);
    std::vector<uint8_t> bytes;
    for (int i = 0; i < count; ++i) {
        uint64_t offset = random() % local.size();
        uint64_t size = std::min<uint64_t>(random() % 50'000, local.size() - offset);
        if (i == 0) offset = 0, size = local.size();
        if (i == 1) offset = local.size() - 1, size = 1;
        if (i == 2) size = 0;
        bytes.assign(size + 1, 0xEE);
        RemoteError error;
        ASSERT_TRUE(tarn::remote::ReadRemote(object, offset, bytes.data(), size, &error))
            << error.message;
        ASSERT_EQ(0, memcmp(bytes.data(), local.data() + offset, size)) << offset << "+" << size;
        ASSERT_EQ(0xEE, bytes[size]) << "wrote past the range";
    }
}

// The test slide published under `name` in nginx's folder; its URL over http.
inline std::string Publish(const Nginx& nginx, const std::string& name,
                           const std::string& bytes = Slide().bytes) {
    WriteFileAtomically(nginx.root + "/" + name, bytes);
    return nginx.Http(name);
}

}  // namespace remotetest
