// The HTTP layer's plain parts: request targets, access, route patterns.
#include <gtest/gtest.h>

#include "http/Access.h"
#include "http/Request.h"
#include "http/Route.h"

namespace tarncli::serve::http {
namespace {

TEST(ParseTarget, SplitsAndDecodesPathAndQuery) {
    HttpRequest request;
    ASSERT_TRUE(
        ParseTarget("/iiif/3/a%20b/full/max/0/default.jpg?x=1&token=a+b&&x=%3D2", &request));
    EXPECT_EQ(request.segments,
              (std::vector<std::string>{"iiif", "3", "a b", "full", "max", "0", "default.jpg"}));
    ASSERT_EQ(request.query.size(), 3u);
    EXPECT_EQ(*QueryValue(request, "x"), "=2");  // the last of a name
    EXPECT_EQ(*QueryValue(request, "token"), "a b");
    EXPECT_EQ(QueryValue(request, "y"), nullptr);
    ASSERT_TRUE(ParseTarget("/", &request));
    EXPECT_TRUE(request.segments.empty() && request.query.empty());
    ASSERT_TRUE(ParseTarget("//a/", &request));
    EXPECT_EQ(request.segments, (std::vector<std::string>{"", "a", ""}));
}

TEST(ParseTarget, RefusesWhatCouldMeanTwoThings) {
    HttpRequest request;
    for (const char* target :
         {"", "a/b", "/a b", "/a/../b", "/a/%2e%2e/b", "/.", "/a%2fb", "/a%5cb", "/a%00", "/a%",
          "/a%zz", "/a?b=%0a", "/caf\xc3\xa9", "/a\x7f"})
        EXPECT_FALSE(ParseTarget(target, &request)) << target;
    EXPECT_TRUE(ParseTarget("/" + std::string(kMaxUrlLength - 1, 'a'), &request));
    EXPECT_FALSE(ParseTarget("/" + std::string(kMaxUrlLength, 'a'), &request));
}

TEST(Access, TakesTheTokenFromAnyOfItsFourPlaces) {
    const std::string token = "s3cret";
    HttpRequest request;
    EXPECT_FALSE(HasToken(request, token));
    ASSERT_TRUE(ParseTarget("/a?token=s3cret", &request));
    EXPECT_TRUE(HasToken(request, token));
    ASSERT_TRUE(ParseTarget("/a?token=s3cre", &request));
    EXPECT_FALSE(HasToken(request, token));
    request.cookieToken = token;
    EXPECT_TRUE(HasToken(request, token));
    request.cookieToken.reset();
    request.tarnToken = token;
    EXPECT_TRUE(HasToken(request, token));
    request.tarnToken.reset();
    for (const char* header : {"Bearer s3cret", "bearer  s3cret ", "BEARER s3cret"}) {
        request.authorization = header;
        EXPECT_TRUE(HasToken(request, token)) << header;
    }
    for (const char* header :
         {"Bearer", "Bearer ", "Basic s3cret", "Bearers3cret", "Bearer s3cre"}) {
        request.authorization = header;
        EXPECT_FALSE(HasToken(request, token)) << header;
    }
}

TEST(Access, KnowsLoopbackHostNames) {
    for (const char* host :
         {"localhost", "localhost:8080", "127.0.0.1", "127.1.2.3:80", "[::1]", "[::1]:8080"})
        EXPECT_TRUE(LoopbackHost(std::string(host))) << host;
    EXPECT_TRUE(LoopbackHost(std::nullopt));
    for (const char* host : {"example.com", "127.0.0.1.example.com", "[::2]", "128.0.0.1", ""})
        EXPECT_FALSE(LoopbackHost(std::string(host))) << host;
}

std::vector<std::string> Split(const char* target) {
    HttpRequest request;
    EXPECT_TRUE(ParseTarget(target, &request));
    return request.segments;
}

TEST(MatchPath, LiteralsCapturesAndRests) {
    std::vector<std::string> captures;
    EXPECT_TRUE(MatchPath("/", Split("/"), &captures));
    EXPECT_FALSE(MatchPath("/", Split("/a"), &captures));
    EXPECT_TRUE(MatchPath("/status", Split("/status"), &captures));
    EXPECT_FALSE(MatchPath("/status", Split("/status/"), &captures));
    ASSERT_TRUE(MatchPath("/deepzoom/{slide}_files/{level}/{tile}.jpeg",
                          Split("/deepzoom/a_files_files/12/3_4.jpeg"), &captures));
    EXPECT_EQ(captures, (std::vector<std::string>{"a_files", "12", "3_4"}));
    EXPECT_FALSE(MatchPath("/deepzoom/{slide}_files/{level}/{tile}.jpeg",
                           Split("/deepzoom/a_files/12/3_4.png"), &captures));
    ASSERT_TRUE(MatchPath("/deepzoom/{slide}.dzi", Split("/deepzoom/.dzi"), &captures));
    EXPECT_EQ(captures, std::vector<std::string>{""});
    ASSERT_TRUE(MatchPath("/static/{name*}", Split("/static/images/a.png"), &captures));
    EXPECT_EQ(captures, std::vector<std::string>{"images/a.png"});
    EXPECT_FALSE(MatchPath("/static/{name*}", Split("/static"), &captures));
}

TEST(FindRoute, TakesTheFirstRowThatMatches) {
    const std::vector<Route> routes = {
        {"/iiif/3/{id}/info.json", nullptr, "info"},
        {"/iiif/3/{id}/{region}/{size}/{rotation}/{file}", nullptr, "image"},
        {"/iiif/3/{id}/{rest*}", nullptr, "other"},
    };
    std::vector<std::string> captures;
    HttpRequest request;
    ASSERT_TRUE(ParseTarget("/iiif/3/s/info.json", &request));
    EXPECT_STREQ(FindRoute(routes, request, &captures)->counter, "info");
    ASSERT_TRUE(ParseTarget("/iiif/3/s/full/max/0/default.jpg", &request));
    EXPECT_STREQ(FindRoute(routes, request, &captures)->counter, "image");
    EXPECT_EQ(captures[4], "default.jpg");
    ASSERT_TRUE(ParseTarget("/iiif/3/s/manifest", &request));
    EXPECT_STREQ(FindRoute(routes, request, &captures)->counter, "other");
    ASSERT_TRUE(ParseTarget("/iiif/2/s/info.json", &request));
    EXPECT_EQ(FindRoute(routes, request, &captures), nullptr);
    EXPECT_TRUE(captures.empty());
}

}  // namespace
}  // namespace tarncli::serve::http
