// multipart/related bodies, whole or streamed, framed one way for every answer that has parts:
//
//     --BOUNDARY CRLF                       (no preamble: clients find the boundary on line one)
//     Content-Type: TYPE CRLF
//     [Content-Location: URL CRLF]
//     CRLF
//     bytes                                 (the part's, untouched)
//     CRLF --BOUNDARY CRLF ...               (the CRLF before a boundary belongs to the boundary)
//     CRLF --BOUNDARY-- CRLF
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dicomweb/DicomWeb.h"

namespace tarncli::dicomweb {

// A fresh boundary: 32 random hexadecimal digits after "tarn-", which needs no quoting.
std::string NewBoundary();

// The answer's Content-Type: multipart/related; type="PART-TYPE"; boundary=BOUNDARY.
std::string MultipartContentType(std::string_view partType, std::string_view boundary);

// What comes before part `index`'s bytes, and after the last part.
std::string PartHead(std::string_view boundary, size_t index, std::string_view contentType,
                     std::string_view location);
std::string MultipartEnd(std::string_view boundary);

struct Part {
    std::string contentType;
    std::string location;  // empty: no Content-Location
    std::string bytes;
};

// A whole multipart body. Its boundary is drawn anew until no part holds it.
struct MultipartBody {
    std::string contentType;
    std::string body;
};
MultipartBody BuildMultipart(std::string_view partType, const std::vector<Part>& parts);

// One part of a streamed body, made when the stream reaches it.
struct StreamedPart {
    std::string contentType;
    std::string location;
    std::unique_ptr<BodyProducer> body;
};
// Makes part `index`; false with the reason.
using PartMaker = std::function<bool(size_t index, StreamedPart* part, std::string* error)>;

// `count` parts (at least one), made one at a time as the body is read, so that only the part at
// hand is held.
std::unique_ptr<BodyProducer> StreamMultipart(std::string boundary, size_t count, PartMaker make);

}  // namespace tarncli::dicomweb
