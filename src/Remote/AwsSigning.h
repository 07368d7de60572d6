// Credentials and AWS Signature Version 4 for S3 requests.
//
// Credentials: AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY and AWS_SESSION_TOKEN when the first two
// are set; else the profile AWS_PROFILE names ("default" without it) in the shared credentials
// file (AWS_SHARED_CREDENTIALS_FILE, else ~/.aws/credentials). Without any, requests go unsigned,
// which public buckets accept. Region: AWS_REGION, AWS_DEFAULT_REGION, the profile's region in
// the config file (AWS_CONFIG_FILE, else ~/.aws/config), else us-east-1.
#pragma once

#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace tarn::remote {

struct AwsCredentials {
    std::string accessKeyId;
    std::string secretAccessKey;
    std::string sessionToken;
    std::string source;  // where they came from, for messages: "environment", "profile default"
};

// False when none were found; `credentials` then stays empty.
bool LoadAwsCredentials(AwsCredentials* credentials);

std::string AwsRegion();

// A request to sign: header names in lower case, values trimmed. Signing adds x-amz-date,
// x-amz-content-sha256 (of an empty body) and x-amz-security-token (with a session token).
struct SigningRequest {
    std::string method = "GET";
    std::string host;            // as the Host header carries it
    std::string canonicalUri;    // the path as sent
    std::string canonicalQuery;  // sorted name=value pairs, percent-encoded
    std::vector<std::pair<std::string, std::string>> headers;  // besides host and the x-amz ones
    std::string region;
    std::string service = "s3";
};

// The headers to send, "Name: value" each, the Authorization header last, for a request made at
// `when` (seconds since the epoch, UTC).
std::vector<std::string> SignRequest(const SigningRequest& request,
                                     const AwsCredentials& credentials, time_t when);

// The query of a URL in canonical form: its name=value pairs sorted, as they are sent.
std::string CanonicalQuery(const std::string& query);

}  // namespace tarn::remote
