// Where a URL's requests go, and what of it may be shown or used as a cache key.
#pragma once

#include <string>

namespace tarn::remote {

struct RemoteTarget {
    std::string requestUrl;  // what requests are sent to
    std::string shownUrl;    // for messages: without user part and query
    std::string keyUrl;      // for the identity key: without user part and signing parameters
    std::string poolKey;     // scheme://host:port, whose requests share connections
    bool https = false;
    bool s3 = false;             // every request is signed for S3
    std::string hostHeader;      // host[:port] as the Host header carries it
    std::string canonicalUri;    // the path as sent (already percent-encoded)
    std::string canonicalQuery;  // the query as signing wants it
    std::string region;          // S3 only
};

// http(s)://[user@]host[:port][/path][?query] or s3://bucket/key. S3 requests go path-style to
// AWS_ENDPOINT_URL_S3 or AWS_ENDPOINT_URL when one is set, else to the bucket's virtual host on
// AWS in the region (path-style when the bucket's name has dots, which a certificate's wildcard
// does not cover). False with `problem` filled for anything else.
bool ParseRemoteUrl(const std::string& url, RemoteTarget* target, std::string* problem);

// Every byte but the unreserved ones (letters, digits, - . _ ~) as %XX; '/' kept when asked.
std::string PercentEncode(const std::string& text, bool keepSlash);

}  // namespace tarn::remote
