#include "http/Encoded.h"

#include <cstdint>
#include <cstdio>
#include <utility>

namespace tarncli::serve::http {

namespace {

// 64-bit FNV-1a: strong enough to tell two renderings of a tile apart, and cheap next to the
// encoding it follows.
uint64_t Fnv1a(const std::string& bytes) {
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

}  // namespace

EncodedPtr MakeEncoded(std::string bytes) {
    auto encoded = std::make_shared<Encoded>();
    char etag[24];
    snprintf(etag, sizeof etag, "\"%016llx\"", static_cast<unsigned long long>(Fnv1a(bytes)));
    encoded->etag = etag;
    encoded->bytes = std::move(bytes);
    return encoded;
}

}  // namespace tarncli::serve::http
