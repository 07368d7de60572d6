// Requests of `tarn serve`: the raw URL checked and split, the caller's access checked, the route
// chosen, and the answer sent. libmicrohttpd calls these on its worker threads; `cls` is the
// Server.
#pragma once

#include <microhttpd.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarncli::serve {

// A URL taken apart: path segments percent-decoded, and the token query parameter.
struct ParsedUrl {
    std::vector<std::string> segments;  // "/" gives none
    std::string token;
};

// Longest URL accepted, query included.
constexpr size_t kMaxUrlLength = 2048;

// False for a URL no route could take as it is: too long, not starting with '/', a raw space,
// control character or non-ASCII byte, a broken or forbidden escape (an encoded '/' or '\', NUL or
// another control character), or a "." or ".." segment.
bool ParseUrl(std::string_view raw, ParsedUrl* url);

// A tile or level number as Deep Zoom writes it: decimal digits without sign or leading zeros,
// at most 10 of them. False otherwise.
bool ParseIndex(std::string_view text, int64_t* value);

// Records the raw URL (before libmicrohttpd decodes it) and when the request began.
void* BeginRequest(void* cls, const char* uri, MHD_Connection* connection);

MHD_Result AnswerRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                         const char* version, const char* uploadData, size_t* uploadSize,
                         void** context);

// Counts the request in the status and releases what BeginRequest made.
void EndRequest(void* cls, MHD_Connection* connection, void** context,
                MHD_RequestTerminationCode code);

}  // namespace tarncli::serve
