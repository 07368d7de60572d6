// The Accept header and the choice among the media types an answer can take.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarncli::dicomweb {

// The transfer syntax of every frame served: JPEG Baseline (Process 1).
inline constexpr char kJpegTransferSyntax[] = "1.2.840.10008.1.2.4.50";

// One media range of an Accept header: type and subtype in lower case, parameters with names in
// lower case and values unquoted.
struct MediaRange {
    std::string type;  // "multipart/related", "image/*", "*/*"
    std::vector<std::pair<std::string, std::string>> parameters;
    double q = 1;

    // The value of parameter `name`, or NULL.
    const std::string* Parameter(std::string_view name) const;
};

// The ranges of an Accept header, in its order; "*/*" for an absent or empty header. Ranges that
// do not parse are left out.
std::vector<MediaRange> ParseAccept(std::string_view header);

// An answer's possible form: its media type, and for multipart/related the type of its parts.
struct Offer {
    std::string type;     // "multipart/related", "image/jpeg", "application/dicom+json"
    std::string related;  // the parts' type for multipart/related, else empty
};

// The index of the offer taken: the ranges are tried from the highest q down (in header order for
// equal q, q=0 never), each against the offers in order. A range's transfer-syntax, where it has
// one, must be "*" or the frames' own. -1 when no range takes any offer (406).
int Negotiate(const std::vector<MediaRange>& ranges, const std::vector<Offer>& offers);

}  // namespace tarncli::dicomweb
