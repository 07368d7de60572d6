// Bytes ready to send, with the strong ETag that names them: what answers carry and what the
// server's cache keeps.
#pragma once

#include <memory>
#include <string>

namespace tarncli::serve::http {

struct Encoded {
    std::string bytes;
    std::string etag;  // quoted, as it goes into the header
};
using EncodedPtr = std::shared_ptr<const Encoded>;

EncodedPtr MakeEncoded(std::string bytes);

}  // namespace tarncli::serve::http
