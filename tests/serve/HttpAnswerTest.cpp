// The HTTP layer's answers as plain values: ETag and 304, byte ranges, cross-origin headers.
#include <gtest/gtest.h>

#include "http/Answer.h"
#include "http/Cors.h"

namespace tarncli::serve::http {
namespace {

std::string HeaderOf(const Outgoing& out, const std::string& name) {
    for (const auto& [key, value] : out.headers)
        if (key == name) return value;
    return "(none)";
}

TEST(Finish, AnswersNotModifiedToAClientHoldingTheBody) {
    const Answer answer = Content(MakeEncoded("tile bytes"), "image/jpeg", Caching::SlideData);
    const std::string etag = answer.body->etag;
    HttpRequest request;
    Outgoing out = Finish(answer, request, false, {});
    EXPECT_EQ(out.status, 200);
    EXPECT_EQ(out.length, 10u);
    // The order of today's headers is kept: type, tag, caching, then the security headers.
    ASSERT_GE(out.headers.size(), 5u);
    EXPECT_EQ(out.headers[0], (std::pair<std::string, std::string>{"Content-Type", "image/jpeg"}));
    EXPECT_EQ(out.headers[1].first, "ETag");
    EXPECT_EQ(HeaderOf(out, "Cache-Control"), "max-age=600");
    EXPECT_EQ(HeaderOf(Finish(answer, request, true, {}), "Cache-Control"), "private, max-age=600");
    EXPECT_EQ(HeaderOf(out, "Content-Security-Policy"), "(none)");  // pages only
    for (const std::string& held : {etag, "W/" + etag, "\"x\", " + etag, std::string("*")}) {
        request.ifNoneMatch = held;
        out = Finish(answer, request, false, {});
        EXPECT_EQ(out.status, 304) << held;
        EXPECT_FALSE(out.hasBody);
        EXPECT_EQ(HeaderOf(out, "Content-Type"), "(none)");
        EXPECT_EQ(HeaderOf(out, "ETag"), etag);
    }
    request.ifNoneMatch = "\"other\"";
    EXPECT_EQ(Finish(answer, request, false, {}).status, 200);
    Answer failed = Text(500, "no");
    failed.sendEtag = true;
    request.ifNoneMatch = "*";
    EXPECT_EQ(Finish(failed, request, false, {}).status, 500);  // only a 200 becomes a 304
}

TEST(RangeOf, OneRangeOrTheWholeBody) {
    const auto is = [](ByteRange r, ByteRange::Kind kind, uint64_t first, uint64_t length) {
        return r.kind == kind &&
               (kind != ByteRange::Part || (r.first == first && r.length == length));
    };
    EXPECT_TRUE(is(RangeOf("bytes=0-9", 100), ByteRange::Part, 0, 10));
    EXPECT_TRUE(is(RangeOf("bytes=90-", 100), ByteRange::Part, 90, 10));
    EXPECT_TRUE(is(RangeOf("bytes=90-1000", 100), ByteRange::Part, 90, 10));
    EXPECT_TRUE(is(RangeOf("bytes=-30", 100), ByteRange::Part, 70, 30));
    EXPECT_TRUE(is(RangeOf("bytes=-300", 100), ByteRange::Part, 0, 100));
    EXPECT_TRUE(is(RangeOf("bytes=100-", 100), ByteRange::Unsatisfiable, 0, 0));
    EXPECT_TRUE(is(RangeOf("bytes=-0", 100), ByteRange::Unsatisfiable, 0, 0));
    for (const char* whole : {"bytes=0-1,5-6", "items=0-1", "bytes=5-1", "bytes=a-", "bytes=-",
                              "bytes=99999999999999999999-"})
        EXPECT_TRUE(is(RangeOf(whole, 100), ByteRange::Whole, 0, 0)) << whole;
}

TEST(Finish, ServesRangesOnlyWhereTheAnswerAllowsThem) {
    Answer answer = Content(MakeEncoded("0123456789"), "application/dicom", Caching::None);
    HttpRequest request;
    request.range = "bytes=2-4";
    EXPECT_EQ(Finish(answer, request, false, {}).status, 200);
    answer.ranges = true;
    Outgoing out = Finish(answer, request, false, {});
    EXPECT_EQ(out.status, 206);
    EXPECT_EQ(out.first, 2u);
    EXPECT_EQ(out.length, 3u);
    EXPECT_EQ(HeaderOf(out, "Content-Range"), "bytes 2-4/10");
    EXPECT_EQ(HeaderOf(out, "Accept-Ranges"), "bytes");
    request.ifRange = "\"stale\"";  // the client's copy is another version: send it whole
    EXPECT_EQ(Finish(answer, request, false, {}).status, 200);
    request.ifRange = answer.body->etag;
    EXPECT_EQ(Finish(answer, request, false, {}).status, 206);
    request.range = "bytes=10-";
    out = Finish(answer, request, false, {});
    EXPECT_EQ(out.status, 416);
    EXPECT_FALSE(out.hasBody);
    EXPECT_EQ(HeaderOf(out, "Content-Range"), "bytes */10");
}

TEST(Cors, RoutesDeclareHowOpenTheyAreAndThePolicyNamesOrigins) {
    const std::string page = "https://viewer.example";
    const CorsPolicy byDefault = MakeCorsPolicy(nullptr, false);
    const CorsPolicy withToken = MakeCorsPolicy(nullptr, true);
    const std::string named = page + ",http://127.0.0.1:9000";
    const CorsPolicy configured = MakeCorsPolicy(&named, true);
    EXPECT_EQ(CorsFor(byDefault, CrossOrigin::Yes, page).allowOrigin, "*");
    EXPECT_FALSE(CorsFor(byDefault, CrossOrigin::WhenConfigured, page).Open());
    EXPECT_FALSE(CorsFor(withToken, CrossOrigin::Yes, page).Open());
    EXPECT_FALSE(CorsFor(configured, CrossOrigin::No, page).Open());
    const CorsAnswer echoed = CorsFor(configured, CrossOrigin::WhenConfigured, page);
    EXPECT_EQ(echoed.allowOrigin, page);
    EXPECT_TRUE(echoed.varyOrigin);
    const CorsAnswer other = CorsFor(configured, CrossOrigin::Yes, std::string("https://evil"));
    EXPECT_FALSE(other.Open());
    EXPECT_TRUE(other.varyOrigin);  // a cache must not hand this answer to the named origin
    EXPECT_FALSE(CorsFor(configured, CrossOrigin::Yes, std::nullopt).Open());

    const Outgoing out = Finish(Text(200, "x"), HttpRequest{}, false, echoed);
    EXPECT_EQ(HeaderOf(out, "Access-Control-Allow-Origin"), page);
    EXPECT_EQ(HeaderOf(out, "Vary"), "Origin");
    const Outgoing preflight = Finish(Preflight(echoed), HttpRequest{}, false, echoed);
    EXPECT_EQ(preflight.status, 204);
    EXPECT_FALSE(preflight.hasBody);
    EXPECT_NE(HeaderOf(preflight, "Access-Control-Allow-Headers").find("Authorization"),
              std::string::npos);
}

TEST(Cors, ValidOrigins) {
    for (const char* origins :
         {"*", "https://a.example", "http://127.0.0.1:8080", "http://[::1]:80,https://b-c.example"})
        EXPECT_TRUE(ValidCorsOrigins(origins)) << origins;
    for (const char* origins : {"", "a.example", "https://", "https://a.example/", "ftp://a",
                                "https://a.example:", "https://a.example:123456", "*,https://a",
                                "https://a,", "https://a\r\nX: y", "http://[::1"})
        EXPECT_FALSE(ValidCorsOrigins(origins)) << origins;
}

}  // namespace
}  // namespace tarncli::serve::http
