// S3: URLs, credentials from the environment and the shared file, refusals explained without
// secrets, reads from s3rver, and signatures equal to botocore's for the same requests.
#include <cstdio>
#include <cstring>

#include "Remote/AwsSigning.h"
#include "Remote/RemoteSettings.h"
#include "Remote/RemoteUrl.h"
#include "RemoteTesting.h"

namespace remotetest {
namespace {

using tarn::remote::ParseRemoteUrl;
using tarn::remote::RemoteTarget;

// The variables these tests set, cleared before and after each.
class S3 : public ::testing::Test {
  protected:
    void SetUp() override { Clear(); }
    void TearDown() override { Clear(); }
    static void Clear() {
        for (const char* name :
             {"AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_SESSION_TOKEN", "AWS_REGION",
              "AWS_DEFAULT_REGION", "AWS_PROFILE", "AWS_SHARED_CREDENTIALS_FILE", "AWS_CONFIG_FILE",
              "AWS_ENDPOINT_URL", "AWS_ENDPOINT_URL_S3"})
            unsetenv(name);
        setenv("HOME", "/nonexistent", 1);
    }
};

// What botocore_sign.py prints for `requests`, one JSON request a line.
std::vector<std::string> Botocore(const std::string& requests) {
    const std::string input = testing::TempDir() + "botocore.json";
    WriteFileAtomically(input, requests);
    const std::string command = std::string(TARN_DEBIAN_PYTHON) + " " + TARN_REMOTE_TEST_DIR +
                                "/botocore_sign.py < " + input;
    std::vector<std::string> lines;
    FILE* pipe = popen(command.c_str(), "r");
    char line[1024];
    while (pipe != nullptr && fgets(line, sizeof line, pipe) != nullptr)
        lines.emplace_back(line, strcspn(line, "\n"));
    EXPECT_TRUE(pipe != nullptr && pclose(pipe) == 0) << "botocore failed";
    return lines;
}

TEST_F(S3, UrlsAndSettingsAreParsed) {
    RemoteTarget target;
    std::string problem;
    setenv("AWS_REGION", "eu-west-3", 1);
    ASSERT_TRUE(ParseRemoteUrl("s3://bucket/dir/a b+c.tarn", &target, &problem));
    EXPECT_EQ("https://bucket.s3.eu-west-3.amazonaws.com/dir/a%20b%2Bc.tarn", target.requestUrl);
    EXPECT_EQ("s3://bucket/dir/a b+c.tarn", target.shownUrl);
    ASSERT_TRUE(ParseRemoteUrl("s3://my.bucket/k", &target, &problem));
    EXPECT_EQ("https://s3.eu-west-3.amazonaws.com/my.bucket/k", target.requestUrl);
    setenv("AWS_ENDPOINT_URL", "http://127.0.0.1:9000/", 1);
    ASSERT_TRUE(ParseRemoteUrl("s3://bucket/k", &target, &problem));
    EXPECT_EQ("http://127.0.0.1:9000/bucket/k", target.requestUrl);
    EXPECT_EQ("127.0.0.1:9000", target.hostHeader);

    // A presigned URL: its signature is in no message and no cache key.
    ASSERT_TRUE(
        ParseRemoteUrl("HTTPS://user:pw@Host.example:443/a/b?v=1&X-Amz-Signature=ab&"
                       "X-Amz-Credential=cd#frag",
                       &target, &problem));
    EXPECT_EQ("https://user:pw@host.example/a/b?v=1&X-Amz-Signature=ab&X-Amz-Credential=cd",
              target.requestUrl);
    EXPECT_EQ("https://host.example/a/b", target.shownUrl);
    EXPECT_EQ("https://host.example/a/b?v=1", target.keyUrl);
    EXPECT_EQ("https://host.example:443", target.poolKey);
    ASSERT_TRUE(ParseRemoteUrl("http://[::1]:8080", &target, &problem));
    EXPECT_EQ("http://[::1]:8080/", target.requestUrl);
    for (const char* bad : {"s3://b/k", "s3://bucket", "s3://bucket/", "http://", "http://h:0/",
                            "http://h:70000/", "http://h/a b", "file:///etc/passwd", "[::1]"})
        EXPECT_FALSE(ParseRemoteUrl(bad, &target, &problem)) << bad;
    EXPECT_TRUE(tarn::remote::IsRemoteUrl("S3://b/k"));
    EXPECT_FALSE(tarn::remote::IsRemoteUrl("/data/http://x"));

    uint64_t bytes = 7;
    EXPECT_TRUE(tarn::remote::ParseByteCount("0", &bytes));
    EXPECT_EQ(0u, bytes);
    for (const char* bad : {"", "-1", "12k", " 5", "99999999999999999999"})
        EXPECT_FALSE(tarn::remote::ParseByteCount(bad, &bytes)) << bad;
    int64_t ms = 0;
    EXPECT_TRUE(tarn::remote::ParseSecondsAsMs("0.25", &ms));
    EXPECT_EQ(250, ms);
    for (const char* bad : {"0", "-2", "nan", "inf", "1e9", "3s"})
        EXPECT_FALSE(tarn::remote::ParseSecondsAsMs(bad, &ms)) << bad;
}

TEST_F(S3, SignaturesMatchBotocore) {
    struct Case {
        const char* endpoint;
        const char* key;
        const char* token;
        std::vector<std::pair<std::string, std::string>> headers;
    };
    const Case cases[] = {
        {"http://127.0.0.1:9000", "slide.tarn", "", {{"range", "bytes=0-1048575"}}},
        {"https://s3.example",
         "dir/a b+(c)~.tarn",
         "tok/en=",
         {{"range", "bytes=5-9"}, {"if-match", "\"abc\""}}},
        {"http://localhost", "x", "", {{"if-unmodified-since", "Tue,  8 Dec 2026 16:13:59 GMT"}}},
    };
    const time_t when = 1'700'000'000;
    std::string input;
    std::vector<std::string> ours;
    for (const Case& c : cases) {
        setenv("AWS_ENDPOINT_URL", c.endpoint, 1);
        setenv("AWS_REGION", "eu-central-1", 1);
        RemoteTarget target;
        std::string problem;
        ASSERT_TRUE(ParseRemoteUrl(std::string("s3://bucket/") + c.key, &target, &problem));
        tarn::remote::AwsCredentials credentials{"AKIDEXAMPLE", "wJalrXUtnFEMI/K7MDENG", c.token,
                                                 ""};
        tarn::remote::SigningRequest request;
        request.host = target.hostHeader;
        request.canonicalUri = target.canonicalUri;
        request.headers = c.headers;
        request.region = target.region;
        ours.push_back(tarn::remote::SignRequest(request, credentials, when).back());
        std::string headers;
        for (const auto& [name, value] : c.headers)
            headers += (headers.empty() ? "\"" : ", \"") + name + "\": \"" +
                       (value[0] == '"' ? "\\\"abc\\\"" : value) + "\"";
        input +=
            "{\"url\": \"" + target.requestUrl + "\", \"headers\": {" + headers +
            "}, \"key\": \"AKIDEXAMPLE\", \"secret\": \"wJalrXUtnFEMI/K7MDENG\", \"token\": \"" +
            c.token + "\", \"region\": \"eu-central-1\", \"time\": " + std::to_string(when) + "}\n";
    }
    const std::vector<std::string> theirs = Botocore(input);
    ASSERT_EQ(ours.size(), theirs.size());
    for (size_t i = 0; i < ours.size(); ++i)
        EXPECT_EQ("Authorization: " + theirs[i], ours[i]);
}

TEST_F(S3, ReadsFromS3rverWithCredentialsOfEitherSource) {
    std::string why;
    const remotetest::S3* s3 = StartS3(&why);
    REQUIRE_SERVER(s3, why);
    PutS3Object(*s3, "dir/a slide.tarn", Slide().bytes);
    setenv("AWS_ENDPOINT_URL", ("http://127.0.0.1:" + std::to_string(s3->port)).c_str(), 1);
    const std::string url = "s3://" + s3->bucket + "/dir/a slide.tarn";

    setenv("AWS_ACCESS_KEY_ID", "S3RVER", 1);
    setenv("AWS_SECRET_ACCESS_KEY", "S3RVER", 1);
    RemoteError error;
    Object object = Open(url, &error);
    ASSERT_TRUE(object) << error.message;
    ExpectReadsMatch(object.get(), Slide().bytes, 30, 9);

    unsetenv("AWS_ACCESS_KEY_ID");
    unsetenv("AWS_SECRET_ACCESS_KEY");
    const std::string file = testing::TempDir() + "aws-credentials";
    WriteFileAtomically(file,
                        "[default]\naws_access_key_id = WRONG\n\n[tarn]\n"
                        "aws_access_key_id = S3RVER\naws_secret_access_key = S3RVER\n");
    setenv("AWS_SHARED_CREDENTIALS_FILE", file.c_str(), 1);
    setenv("AWS_PROFILE", "tarn", 1);
    tarn::remote::SetRemoteCacheCapacity(0);
    object = Open(url, &error);
    ASSERT_TRUE(object) << error.message;
    ExpectReadsMatch(object.get(), Slide().bytes, 5, 10);
    tarn::remote::SetRemoteCacheCapacity(64 << 20);

    // A presigned URL is a plain one; its signature is in no key and no message.
    const std::string path = "http://127.0.0.1:" + std::to_string(s3->port) + "/" + s3->bucket;
    const std::vector<std::string> presigned =
        Botocore("{\"url\": \"" + path +
                 "/dir/a%20slide.tarn\", \"headers\": {}, \"key\": \"S3RVER\", "
                 "\"secret\": \"S3RVER\", \"token\": \"\", \"region\": \"us-east-1\", \"time\": 0, "
                 "\"presign\": true}\n");
    ASSERT_EQ(1u, presigned.size());
    object = Open(presigned[0], &error);
    ASSERT_TRUE(object) << error.message;
    ExpectReadsMatch(object.get(), Slide().bytes, 5, 11);
    EXPECT_EQ(path + "/dir/a%20slide.tarn\n",
              std::string(tarn::remote::RemoteObjectKey(object.get())).substr(0, path.size() + 20));
    const std::string missing = presigned[0].substr(0, presigned[0].find('?')) + "x" +
                                presigned[0].substr(presigned[0].find('?'));
    EXPECT_FALSE(Open(missing, &error));
    EXPECT_EQ(std::string::npos, error.message.find("Signature")) << error.message;
}

TEST_F(S3, RefusedCredentialsAreExplainedWithoutSecrets) {
    std::string why;
    const remotetest::S3* s3 = StartS3(&why);
    REQUIRE_SERVER(s3, why);
    PutS3Object(*s3, "refused.tarn", Slide().bytes);
    setenv("AWS_ENDPOINT_URL", ("http://127.0.0.1:" + std::to_string(s3->port)).c_str(), 1);
    setenv("AWS_ACCESS_KEY_ID", "NOSUCHKEY", 1);
    setenv("AWS_SECRET_ACCESS_KEY", "very-secret-value", 1);
    setenv("AWS_SESSION_TOKEN", "secret-session-token", 1);
    RemoteError error;
    EXPECT_FALSE(Open("s3://" + s3->bucket + "/refused.tarn", &error));
    EXPECT_EQ(RemoteStatus::kAccessDenied, error.status);
    for (const char* expected : {"InvalidAccessKeyId", "AWS_ACCESS_KEY_ID", "refused.tarn"})
        EXPECT_NE(std::string::npos, error.message.find(expected)) << error.message;
    for (const char* secret : {"very-secret", "secret-session", "Signature", "NOSUCHKEY"})
        EXPECT_EQ(std::string::npos, error.message.find(secret)) << error.message;
}

}  // namespace
}  // namespace remotetest
