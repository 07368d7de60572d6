#include "Remote/AwsSigning.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "Remote/RemoteSettings.h"

namespace tarn::remote {
namespace {

// SHA-256 of an empty body: GET requests carry none.
constexpr const char* kEmptyBodyHash =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Spaces inside a value collapsed to one, as the signature's canonical headers want them.
std::string TrimAll(const std::string& text) {
    std::string out;
    bool space = false;
    for (const char c : Trim(text)) {
        if (c == ' ' || c == '\t') {
            space = true;
            continue;
        }
        if (space) out += ' ';
        space = false;
        out += c;
    }
    return out;
}

std::string Hex(const unsigned char* bytes, size_t size) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out += kHex[bytes[i] >> 4];
        out += kHex[bytes[i] & 15];
    }
    return out;
}

std::string Sha256Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr);
    return Hex(digest, size);
}

std::string Hmac(const std::string& key, const std::string& message) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest, &size);
    return {reinterpret_cast<const char*>(digest), size};
}

std::string HomeFile(const char* variable, const char* underHome) {
    if (const char* path = SettingText(variable)) return path;
    if (const char* home = SettingText("HOME")) return std::string(home) + underHome;
    return "";
}

std::string ProfileName() {
    const char* profile = SettingText("AWS_PROFILE");
    return profile != nullptr ? profile : "default";
}

// The `key = value` pairs of section `section` of an INI file.
std::vector<std::pair<std::string, std::string>> IniSection(const std::string& path,
                                                            const std::string& section) {
    std::vector<std::pair<std::string, std::string>> values;
    std::ifstream file(path);
    std::string line;
    bool inside = false;
    while (std::getline(file, line)) {
        line = Trim(line);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line.front() == '[' && line.back() == ']') {
            inside = Trim(line.substr(1, line.size() - 2)) == section;
            continue;
        }
        const size_t equals = line.find('=');
        if (inside && equals != std::string::npos)
            values.emplace_back(Trim(line.substr(0, equals)), Trim(line.substr(equals + 1)));
    }
    return values;
}

std::string Find(const std::vector<std::pair<std::string, std::string>>& values, const char* key) {
    for (const auto& [name, value] : values)
        if (name == key) return value;
    return "";
}

}  // namespace

bool LoadAwsCredentials(AwsCredentials* credentials) {
    *credentials = AwsCredentials{};
    const char* id = SettingText("AWS_ACCESS_KEY_ID");
    const char* secret = SettingText("AWS_SECRET_ACCESS_KEY");
    if (id != nullptr && secret != nullptr) {
        credentials->accessKeyId = id;
        credentials->secretAccessKey = secret;
        if (const char* token = SettingText("AWS_SESSION_TOKEN")) credentials->sessionToken = token;
        credentials->source = "the environment (AWS_ACCESS_KEY_ID)";
        return true;
    }
    const std::string path = HomeFile("AWS_SHARED_CREDENTIALS_FILE", "/.aws/credentials");
    if (path.empty()) return false;
    const auto values = IniSection(path, ProfileName());
    credentials->accessKeyId = Find(values, "aws_access_key_id");
    credentials->secretAccessKey = Find(values, "aws_secret_access_key");
    credentials->sessionToken = Find(values, "aws_session_token");
    if (credentials->accessKeyId.empty() || credentials->secretAccessKey.empty()) {
        *credentials = AwsCredentials{};
        return false;
    }
    credentials->source = "profile " + ProfileName() + " of the shared credentials file";
    return true;
}

std::string AwsRegion() {
    if (const char* region = SettingText("AWS_REGION")) return region;
    if (const char* region = SettingText("AWS_DEFAULT_REGION")) return region;
    const std::string path = HomeFile("AWS_CONFIG_FILE", "/.aws/config");
    const std::string profile = ProfileName();
    if (!path.empty()) {
        std::string region =
            Find(IniSection(path, profile == "default" ? profile : "profile " + profile), "region");
        if (!region.empty()) return region;
    }
    return "us-east-1";
}

std::string CanonicalQuery(const std::string& query) {
    std::vector<std::pair<std::string, std::string>> pairs;
    size_t start = 0;
    while (start < query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        const std::string pair = query.substr(start, end - start);
        const size_t equals = pair.find('=');
        pairs.emplace_back(pair.substr(0, equals),
                           equals == std::string::npos ? "" : pair.substr(equals + 1));
        start = end + 1;
    }
    std::sort(pairs.begin(), pairs.end());
    std::string out;
    for (const auto& [name, value] : pairs)
        out.append(out.empty() ? "" : "&").append(name).append("=").append(value);
    return out;
}

std::vector<std::string> SignRequest(const SigningRequest& request,
                                     const AwsCredentials& credentials, time_t when) {
    char amzDate[17] = {};
    struct tm utc = {};
    gmtime_r(&when, &utc);
    strftime(amzDate, sizeof amzDate, "%Y%m%dT%H%M%SZ", &utc);
    const std::string date(amzDate, 8);

    std::vector<std::pair<std::string, std::string>> headers = request.headers;
    headers.emplace_back("host", request.host);
    headers.emplace_back("x-amz-content-sha256", kEmptyBodyHash);
    headers.emplace_back("x-amz-date", amzDate);
    if (!credentials.sessionToken.empty())
        headers.emplace_back("x-amz-security-token", credentials.sessionToken);
    std::sort(headers.begin(), headers.end());

    std::string canonicalHeaders;
    std::string signedHeaders;
    for (const auto& [name, value] : headers) {
        canonicalHeaders += name + ":" + TrimAll(value) + "\n";
        signedHeaders += (signedHeaders.empty() ? "" : ";") + name;
    }
    const std::string canonicalRequest = request.method + "\n" + request.canonicalUri + "\n" +
                                         request.canonicalQuery + "\n" + canonicalHeaders + "\n" +
                                         signedHeaders + "\n" + kEmptyBodyHash;
    const std::string scope = date + "/" + request.region + "/" + request.service + "/aws4_request";
    const std::string stringToSign = std::string("AWS4-HMAC-SHA256\n") + amzDate + "\n" + scope +
                                     "\n" + Sha256Hex(canonicalRequest);
    std::string key = Hmac("AWS4" + credentials.secretAccessKey, date);
    key = Hmac(key, request.region);
    key = Hmac(key, request.service);
    key = Hmac(key, "aws4_request");
    const std::string signature = Hmac(key, stringToSign);

    std::vector<std::string> out;
    out.push_back(std::string("x-amz-date: ") + amzDate);
    out.push_back(std::string("x-amz-content-sha256: ") + kEmptyBodyHash);
    if (!credentials.sessionToken.empty())
        out.push_back("x-amz-security-token: " + credentials.sessionToken);
    out.push_back("Authorization: AWS4-HMAC-SHA256 Credential=" + credentials.accessKeyId + "/" +
                  scope + ", SignedHeaders=" + signedHeaders + ", Signature=" +
                  Hex(reinterpret_cast<const unsigned char*>(signature.data()), signature.size()));
    return out;
}

}  // namespace tarn::remote
