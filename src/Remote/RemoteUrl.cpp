#include "Remote/RemoteUrl.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "Remote/AwsSigning.h"
#include "Remote/RemoteObject.h"
#include "Remote/RemoteSettings.h"

namespace tarn::remote {
namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    const std::string start = text.substr(0, std::char_traits<char>::length(prefix));
    return Lower(start) == prefix;
}

// Query parameters that carry a presigned URL's credentials, signature and validity: they name
// no other object, so they stay out of the identity key.
bool IsSigningParameter(const std::string& name) {
    const std::string lower = Lower(name);
    return lower.rfind("x-amz-", 0) == 0 || lower == "signature" || lower == "awsaccesskeyid" ||
           lower == "expires";
}

std::string WithoutSigningParameters(const std::string& query) {
    std::string kept;
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        const std::string pair = query.substr(start, end - start);
        if (!pair.empty() && !IsSigningParameter(pair.substr(0, pair.find('=')))) {
            if (!kept.empty()) kept += '&';
            kept += pair;
        }
        start = end + 1;
    }
    return kept;
}

bool Refuse(std::string* problem, const std::string& text) {
    *problem = text;
    return false;
}

struct HttpParts {
    bool https = false;
    std::string userPart;  // "user:password@" or empty
    std::string host;      // lower case; [v6] with its brackets
    int port = 0;
    std::string path;   // from the first '/', "/" when absent
    std::string query;  // after '?', without it
};

bool SplitHttpUrl(const std::string& url, HttpParts* parts, std::string* problem) {
    for (const unsigned char c : url) {
        if (c <= ' ' || c == 0x7F) {
            return Refuse(problem,
                          "the URL holds spaces or control characters (percent-encode them)");
        }
    }
    size_t at = 0;
    if (StartsWithNoCase(url, "https://")) {
        parts->https = true;
        at = 8;
    } else if (StartsWithNoCase(url, "http://")) {
        at = 7;
    } else {
        return Refuse(problem, "not an http, https or s3 URL");
    }
    std::string rest = url.substr(at);
    rest = rest.substr(0, rest.find('#'));
    const size_t authorityEnd = std::min(rest.find('/'), rest.find('?'));
    std::string authority = rest.substr(0, authorityEnd);
    std::string tail = authorityEnd == std::string::npos ? "" : rest.substr(authorityEnd);
    const size_t userEnd = authority.rfind('@');
    if (userEnd != std::string::npos) {
        parts->userPart = authority.substr(0, userEnd + 1);
        authority = authority.substr(userEnd + 1);
    }
    std::string portText;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos) {
            return Refuse(problem, "the URL's IPv6 host lacks its ']'");
        }
        parts->host = authority.substr(0, close + 1);
        const std::string after = authority.substr(close + 1);
        if (!after.empty() && after[0] != ':') {
            return Refuse(problem, "the URL's host is malformed");
        }
        if (!after.empty()) portText = after.substr(1);
    } else {
        const size_t colon = authority.find(':');
        parts->host = authority.substr(0, colon);
        if (colon != std::string::npos) portText = authority.substr(colon + 1);
    }
    parts->host = Lower(parts->host);
    if (parts->host.empty() || parts->host == "[]") {
        return Refuse(problem, "the URL has no host");
    }
    parts->port = parts->https ? 443 : 80;
    if (!portText.empty()) {
        // At most five digits, so strtol cannot overflow (and std::stoi's helpers would be
        // exported by some builds).
        const long port = portText.size() <= 5 &&
                                  std::all_of(portText.begin(), portText.end(),
                                              [](unsigned char c) { return std::isdigit(c) != 0; })
                              ? strtol(portText.c_str(), nullptr, 10)
                              : 0;
        if (port < 1 || port > 65535)
            return Refuse(problem, "the URL's port is not a number from 1 to 65535");
        parts->port = static_cast<int>(port);
    }
    const size_t question = tail.find('?');
    parts->path = tail.substr(0, question);
    if (parts->path.empty()) parts->path.push_back('/');
    if (question != std::string::npos) parts->query = tail.substr(question + 1);
    return true;
}

// The Host header's value: the port only where it is not the scheme's own.
std::string HostHeader(const HttpParts& parts) {
    const bool defaultPort = parts.port == (parts.https ? 443 : 80);
    return defaultPort ? parts.host : parts.host + ":" + std::to_string(parts.port);
}

void FillHttpTarget(const HttpParts& parts, RemoteTarget* target) {
    const std::string scheme = parts.https ? "https://" : "http://";
    const std::string origin = scheme + HostHeader(parts);
    const std::string query = parts.query.empty() ? "" : "?" + parts.query;
    target->https = parts.https;
    target->requestUrl = scheme + parts.userPart + HostHeader(parts) + parts.path + query;
    target->shownUrl = origin + parts.path;
    const std::string keptQuery = WithoutSigningParameters(parts.query);
    target->keyUrl = origin + parts.path + (keptQuery.empty() ? "" : "?" + keptQuery);
    target->poolKey = scheme + parts.host + ":" + std::to_string(parts.port);
    target->hostHeader = HostHeader(parts);
    target->canonicalUri = parts.path;
    target->canonicalQuery = CanonicalQuery(parts.query);
}

bool ValidBucket(const std::string& bucket) {
    return bucket.size() >= 3 && bucket.size() <= 63 &&
           std::all_of(bucket.begin(), bucket.end(), [](unsigned char c) {
               return std::isalnum(c) != 0 || c == '.' || c == '-' || c == '_';
           });
}

bool ParseS3Url(const std::string& url, RemoteTarget* target, std::string* problem) {
    const std::string rest = url.substr(5);
    const size_t slash = rest.find('/');
    const std::string bucket = rest.substr(0, slash);
    const std::string key = slash == std::string::npos ? "" : rest.substr(slash + 1);
    if (!ValidBucket(bucket) || key.empty()) {
        return Refuse(
            problem,
            "an s3 URL is s3://bucket/key, with a bucket name of 3 to 63 letters, digits, "
            "dots, hyphens or underscores");
    }
    if (key.find('\0') != std::string::npos) {
        return Refuse(problem, "the object key holds a NUL character");
    }
    const std::string region = AwsRegion();
    const std::string encodedKey = PercentEncode(key, true);
    std::string endpoint;
    if (const char* text = SettingText("AWS_ENDPOINT_URL_S3"))
        endpoint = text;
    else if (const char* general = SettingText("AWS_ENDPOINT_URL"))
        endpoint = general;

    std::string requestUrl;
    if (!endpoint.empty()) {
        while (!endpoint.empty() && endpoint.back() == '/')
            endpoint.pop_back();
        requestUrl = endpoint + "/" + bucket + "/" + encodedKey;
    } else if (bucket.find('.') == std::string::npos) {
        requestUrl = "https://" + bucket + ".s3." + region + ".amazonaws.com/" + encodedKey;
    } else {
        requestUrl = "https://s3." + region + ".amazonaws.com/" + bucket + "/" + encodedKey;
    }
    HttpParts parts;
    if (!SplitHttpUrl(requestUrl, &parts, problem) || !parts.query.empty() ||
        !parts.userPart.empty()) {
        return Refuse(problem,
                      "the S3 endpoint (AWS_ENDPOINT_URL) is not a plain http or https URL");
    }
    FillHttpTarget(parts, target);
    target->s3 = true;
    target->region = region;
    target->shownUrl = "s3://" + bucket + "/" + key;
    // The endpoint belongs to the identity: the same bucket and key elsewhere is another object.
    target->keyUrl = target->requestUrl;
    return true;
}

}  // namespace

std::string PercentEncode(const std::string& text, bool keepSlash) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const unsigned char c : text) {
        if (std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~' ||
            (keepSlash && c == '/')) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

bool IsRemoteUrl(const char* path) {
    if (path == nullptr) return false;
    const std::string text(path, strnlen(path, 8));
    return StartsWithNoCase(text, "http://") || StartsWithNoCase(text, "https://") ||
           StartsWithNoCase(text, "s3://");
}

bool ParseRemoteUrl(const std::string& url, RemoteTarget* target, std::string* problem) {
    *target = RemoteTarget{};
    if (StartsWithNoCase(url, "s3://")) return ParseS3Url(url, target, problem);
    HttpParts parts;
    if (!SplitHttpUrl(url, &parts, problem)) return false;
    FillHttpTarget(parts, target);
    return true;
}

}  // namespace tarn::remote
