#include "ServeRoutes.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>

#include "Serve.h"
#include "ServeAssets.h"
#include "ServePages.h"

namespace tarncli::serve {

namespace {

// What one request carries from its first line to its end.
struct Request {
    std::string uri;                 // raw, as the client sent it
    const char* received = nullptr;  // where libmicrohttpd holds it
    Clock::time_point started;
    Route route = Route::Other;
    int status = 0;
    bool headersSeen = false;
    bool waited = false;  // set aside once for a coarse level being built
};

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decodes `text`; `plusIsSpace` for query values. False for a broken escape or any
// control character, encoded or not.
bool Decode(std::string_view text, bool plusIsSpace, std::string* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            const int high = i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
            const int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
            if (high < 0 || low < 0) return false;
            c = static_cast<char>(high * 16 + low);
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            c = ' ';
        }
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) return false;
        *out += c;
    }
    return true;
}

}  // namespace

bool ParseUrl(std::string_view raw, ParsedUrl* url) {
    if (raw.size() > kMaxUrlLength || raw.empty() || raw[0] != '/') return false;
    // Spaces, control characters and bytes beyond ASCII are sent encoded, or not at all.
    for (const char c : raw)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            return false;
    const size_t question = raw.find('?');
    const std::string_view path =
        raw.substr(1, question == std::string_view::npos ? std::string_view::npos : question - 1);
    url->segments.clear();
    if (!path.empty()) {
        for (size_t start = 0;;) {
            const size_t slash = path.find('/', start);
            std::string segment;
            if (!Decode(path.substr(start, slash - start), false, &segment) ||
                segment.find_first_of("/\\") != std::string::npos || segment == "." ||
                segment == "..")
                return false;
            url->segments.push_back(std::move(segment));
            if (slash == std::string_view::npos) break;
            start = slash + 1;
        }
    }
    if (question == std::string_view::npos) return true;
    const std::string_view query = raw.substr(question + 1);
    for (size_t start = 0; start <= query.size();) {
        size_t end = query.find('&', start);
        if (end == std::string_view::npos) end = query.size();
        const std::string_view pair = query.substr(start, end - start);
        const size_t equals = pair.find('=');
        std::string key, value;
        if (!Decode(pair.substr(0, equals), true, &key) ||
            (equals != std::string_view::npos && !Decode(pair.substr(equals + 1), true, &value)))
            return false;
        if (key == "token") url->token = value;
        start = end + 1;
    }
    return true;
}

bool ParseIndex(std::string_view text, int64_t* value) {
    if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0')) return false;
    int64_t parsed = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        parsed = parsed * 10 + (c - '0');
    }
    *value = parsed;
    return true;
}

namespace {

// ---- Answers ----

enum class Caching { None, Revalidate, SlideData, Static };

const char* CacheControl(Caching caching, bool privately) {
    switch (caching) {
        case Caching::None:
            return "no-store";
        case Caching::Revalidate:
            return privately ? "private, no-cache" : "no-cache";
        case Caching::SlideData:
            return privately ? "private, max-age=600" : "max-age=600";
        case Caching::Static:
            return privately ? "private, max-age=3600" : "max-age=3600";
    }
    return "no-store";
}

constexpr const char* kPageSecurityPolicy =
    "default-src 'self'; img-src 'self' data: blob:; style-src 'self' 'unsafe-inline'; "
    "frame-ancestors 'none'; base-uri 'none'; form-action 'none'";

struct Answer {
    int status = MHD_HTTP_OK;
    std::string_view type = "text/plain; charset=utf-8";
    EncodedPtr body;
    Caching caching = Caching::None;
    bool sendEtag = false;
    std::string allow, setCookie;
    int retryAfterSeconds = 0;  // sent when positive
    // Set aside until this level of this slide is built, then answered anew.
    std::shared_ptr<ServedSlide> waitFor;
    int32_t waitLevel = 0;
};

Answer Text(int status, const std::string& text) {
    Answer answer;
    answer.status = status;
    answer.body = MakeEncoded(text + "\n");
    return answer;
}

Answer Content(EncodedPtr body, std::string_view type, Caching caching) {
    Answer answer;
    answer.type = type;
    answer.body = std::move(body);
    answer.caching = caching;
    answer.sendEtag = true;
    return answer;
}

// True when an If-None-Match header names `etag` (or is "*").
bool ClientHas(MHD_Connection* connection, const std::string& etag) {
    const char* header =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_IF_NONE_MATCH);
    if (header == nullptr) return false;
    std::string_view list = header;
    while (!list.empty()) {
        const size_t comma = list.find(',');
        std::string_view item = list.substr(0, comma);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t'))
            item.remove_prefix(1);
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t'))
            item.remove_suffix(1);
        if (item.substr(0, 2) == "W/") item.remove_prefix(2);
        if (item == "*" || item == etag) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

void ReleaseBody(void* body) {
    delete static_cast<EncodedPtr*>(body);
}

MHD_Result Send(const Server& server, MHD_Connection* connection, Request* request, Answer answer) {
    const bool notModified =
        answer.sendEtag && answer.status == MHD_HTTP_OK && ClientHas(connection, answer.body->etag);
    MHD_Response* response = nullptr;
    if (notModified) {
        answer.status = MHD_HTTP_NOT_MODIFIED;
        response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    } else {
        // The response keeps the encoded bytes alive, wherever they came from, without a copy.
        auto* held = new EncodedPtr(answer.body);
        response = MHD_create_response_from_buffer_with_free_callback_cls(
            (*held)->bytes.size(), const_cast<char*>((*held)->bytes.data()), ReleaseBody, held);
        if (response == nullptr) delete held;
    }
    if (response == nullptr) return MHD_NO;
    const auto add = [&](const char* name, std::string_view value) {
        MHD_add_response_header(response, name, std::string(value).c_str());
    };
    if (!notModified) add(MHD_HTTP_HEADER_CONTENT_TYPE, answer.type);
    if (answer.sendEtag) add(MHD_HTTP_HEADER_ETAG, answer.body->etag);
    add(MHD_HTTP_HEADER_CACHE_CONTROL, CacheControl(answer.caching, !server.options.token.empty()));
    add("X-Content-Type-Options", "nosniff");
    add("Referrer-Policy", "no-referrer");
    if (answer.type.substr(0, 9) == "text/html")
        add("Content-Security-Policy", kPageSecurityPolicy);
    if (!answer.allow.empty()) add(MHD_HTTP_HEADER_ALLOW, answer.allow);
    if (!answer.setCookie.empty()) add(MHD_HTTP_HEADER_SET_COOKIE, answer.setCookie);
    if (answer.retryAfterSeconds > 0)
        add(MHD_HTTP_HEADER_RETRY_AFTER, std::to_string(answer.retryAfterSeconds));
    request->status = answer.status;
    const MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
    MHD_destroy_response(response);
    return queued;
}

// ---- Access ----

// Compares without stopping at the first difference, so that timing tells nothing of the token.
bool SameToken(std::string_view given, const std::string& token) {
    unsigned char difference = given.size() == token.size() ? 0 : 1;
    for (size_t i = 0; i < token.size(); ++i)
        difference |= static_cast<unsigned char>(token[i] ^ (i < given.size() ? given[i] : 0));
    return difference == 0;
}

// The token's cookie is named after the server's port: browsers send a host's cookies to every
// port of it, and servers on two ports must not overwrite each other's.
std::string CookieName(MHD_Connection* connection) {
    const MHD_ConnectionInfo* connectionInfo =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_DAEMON);
    const MHD_DaemonInfo* daemonInfo =
        connectionInfo != nullptr
            ? MHD_get_daemon_info(connectionInfo->daemon, MHD_DAEMON_INFO_BIND_PORT)
            : nullptr;
    return "tarn_token_" + std::to_string(daemonInfo != nullptr ? daemonInfo->port : 0);
}

bool HasToken(MHD_Connection* connection, const ParsedUrl& url, const std::string& token) {
    if (!url.token.empty() && SameToken(url.token, token)) return true;
    const char* cookie =
        MHD_lookup_connection_value(connection, MHD_COOKIE_KIND, CookieName(connection).c_str());
    if (cookie != nullptr && SameToken(cookie, token)) return true;
    const char* header = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "X-Tarn-Token");
    if (header != nullptr && SameToken(header, token)) return true;
    const char* authorization =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
    return authorization != nullptr && std::strncmp(authorization, "Bearer ", 7) == 0 &&
           SameToken(authorization + 7, token);
}

// True for a Host header naming a loopback address or localhost (any port), or none at all.
bool LoopbackHost(MHD_Connection* connection) {
    const char* header =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
    if (header == nullptr) return true;
    std::string_view host = header;
    if (host.substr(0, 6) == "[::1]:" || host == "[::1]") return true;
    host = host.substr(0, host.find(':'));
    if (host == "localhost") return true;
    if (host.substr(0, 4) != "127.") return false;
    return host.find_first_not_of("0123456789.") == std::string_view::npos;
}

// ---- Routes ----

Answer NotFound() {
    return Text(MHD_HTTP_NOT_FOUND, "not found");
}

bool EndsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The embedded files the static route may serve, built once: every one but the page templates.
EncodedPtr StaticFile(std::string_view name) {
    static const std::map<std::string, EncodedPtr, std::less<>> files = [] {
        std::map<std::string, EncodedPtr, std::less<>> all;
        for (size_t i = 0; i < kEmbeddedFileCount; ++i)
            if (!EndsWith(kEmbeddedFiles[i].name, ".html"))
                all.emplace(kEmbeddedFiles[i].name,
                            MakeEncoded(std::string(kEmbeddedFiles[i].bytes)));
        return all;
    }();
    const auto it = files.find(name);
    return it != files.end() ? it->second : nullptr;
}

Answer StaticRoute(const std::vector<std::string>& segments, Request* request) {
    request->route = Route::Static;
    std::string name;
    for (size_t i = 1; i < segments.size(); ++i)
        name += (i > 1 ? "/" : "") + segments[i];
    EncodedPtr file = StaticFile(name);
    if (!file) return NotFound();
    return Content(std::move(file), ContentTypeOf(name), Caching::Static);
}

// /deepzoom/<slide>.dzi and /deepzoom/<slide>_files/<level>/<column>_<row>.jpeg
Answer DeepZoomRoute(Server& server, const std::vector<std::string>& segments, Request* request) {
    if (segments.size() == 2 && EndsWith(segments[1], ".dzi")) {
        request->route = Route::Descriptor;
        const auto slide = server.Find(segments[1].substr(0, segments[1].size() - 4));
        if (slide == nullptr) return NotFound();
        return Content(slide->descriptor, "application/xml", Caching::SlideData);
    }
    if (segments.size() != 4 || !EndsWith(segments[1], "_files")) return NotFound();
    request->route = Route::Tile;
    const auto slide = server.Find(segments[1].substr(0, segments[1].size() - 6));
    const std::string& file = segments[3];
    const size_t underscore = file.find('_');
    int64_t level = 0, column = 0, row = 0;
    if (!EndsWith(file, ".jpeg") || underscore == std::string::npos) return NotFound();
    if (!ParseIndex(segments[2], &level) ||
        !ParseIndex(std::string_view(file).substr(0, underscore), &column) ||
        !ParseIndex(std::string_view(file).substr(underscore + 1, file.size() - 5 - underscore - 1),
                    &row))
        return Text(MHD_HTTP_BAD_REQUEST, "levels, columns and rows are plain whole numbers");
    if (slide == nullptr || level > INT32_MAX) return NotFound();
    // A coarse level still being built: wait for it (without holding the worker) up to the
    // request's time, then ask the client to come back. Once built, nothing is checked again.
    if (!slide->coarseBuilt.load(std::memory_order_relaxed)) {
        if (tarn_deepzoom_wait_level(slide->deepzoom, static_cast<int32_t>(level), 0) == 0) {
            if (request->waited) {
                Answer answer =
                    Text(MHD_HTTP_SERVICE_UNAVAILABLE,
                         "this level of the slide is still being built: try again soon");
                answer.retryAfterSeconds = 5;
                return answer;
            }
            Answer answer;
            answer.waitFor = slide;
            answer.waitLevel = static_cast<int32_t>(level);
            return answer;
        }
        if (tarn_deepzoom_get_build_progress(slide->deepzoom) == 1)
            slide->coarseBuilt.store(true, std::memory_order_relaxed);
    }
    const TileResult tile =
        ReadTile(server.tiles, slide->source, static_cast<int32_t>(level), column, row);
    if (tile.outcome == TileOutcome::NotFound) return NotFound();
    if (tile.outcome == TileOutcome::Failed) {
        fprintf(stderr, "tarn: tile %s/%lld/%lld_%lld failed: %s\n", slide->name.c_str(),
                static_cast<long long>(level), static_cast<long long>(column),
                static_cast<long long>(row), tile.error.c_str());
        return Text(MHD_HTTP_INTERNAL_SERVER_ERROR, "this tile cannot be read");
    }
    return Content(tile.tile, "image/jpeg", Caching::SlideData);
}

// /associated/<slide>/<image>.jpeg or .png
Answer AssociatedRoute(Server& server, const std::vector<std::string>& segments, Request* request) {
    request->route = Route::Associated;
    if (segments.size() != 3) return NotFound();
    const auto slide = server.Find(segments[1]);
    const std::string& file = segments[2];
    const bool png = EndsWith(file, ".png");
    if (slide == nullptr || (!png && !EndsWith(file, ".jpeg"))) return NotFound();
    const std::string image = file.substr(0, file.rfind('.'));
    if (std::find(slide->images.begin(), slide->images.end(), image) == slide->images.end())
        return NotFound();
    std::string error;
    EncodedPtr encoded = AssociatedImage(*slide, image, png, &error);
    if (!encoded) {
        fprintf(stderr, "tarn: %s of %s failed: %s\n", image.c_str(), slide->name.c_str(),
                error.c_str());
        return Text(MHD_HTTP_INTERNAL_SERVER_ERROR, "this image cannot be read");
    }
    return Content(std::move(encoded), png ? "image/png" : "image/jpeg", Caching::SlideData);
}

Answer StatusRoute(Server& server, Request* request) {
    request->route = Route::Status;
    const TileCacheStats tiles = server.tiles.Stats();
    tarn_cache_stats library{};
    tarn_cache_get_stats(nullptr, &library);
    const auto object = [](std::initializer_list<std::pair<const char*, uint64_t>> members) {
        std::string text = "{";
        for (const auto& [name, value] : members)
            text += std::string(text.size() > 1 ? ", " : "") + "\"" + name +
                    "\": " + std::to_string(value);
        return text + "}";
    };
    const std::string extra = "\"slides\": " + std::to_string(server.Current().size()) +
                              ", \"tile_cache\": " +
                              object({{"hits", tiles.hits},
                                      {"misses", tiles.misses},
                                      {"bytes", tiles.bytes},
                                      {"capacity", tiles.capacity},
                                      {"entries", tiles.entries}}) +
                              ", \"library_cache\": " +
                              object({{"hits", library.hits},
                                      {"misses", library.misses},
                                      {"bytes", library.bytes},
                                      {"capacity", library.capacity},
                                      {"entries", library.entries}});
    // How far each slide's coarse levels are built (1: built, or none needed).
    std::string builds;
    for (const auto& slide : server.Current()) {
        char progress[32];
        snprintf(progress, sizeof progress, "%.3f",
                 tarn_deepzoom_get_build_progress(slide->deepzoom));
        if (!builds.empty()) builds.append(", ");
        builds.append(JsonQuote(slide->name)).append(": ").append(progress);
    }
    Answer answer = Content(
        MakeEncoded(server.status.Json(extra + ", \"coarse_levels\": {" + builds + "}") + "\n"),
        "application/json", Caching::None);
    answer.sendEtag = false;
    return answer;
}

Answer Dispatch(Server& server, const ParsedUrl& url, Request* request) {
    const std::vector<std::string>& s = url.segments;
    if (s.empty()) {
        request->route = Route::Index;
        return Content(server.IndexPage(), "text/html; charset=utf-8", Caching::Revalidate);
    }
    const std::string& first = s[0];
    if (first == "deepzoom" && s.size() >= 2) return DeepZoomRoute(server, s, request);
    if (first == "view" && s.size() == 2) {
        request->route = Route::Viewer;
        const auto slide = server.Find(s[1]);
        if (slide == nullptr) return NotFound();
        if (!kViewerBuilt) return Text(MHD_HTTP_NOT_IMPLEMENTED, kViewerMissing);
        return Content(slide->viewerPage, "text/html; charset=utf-8", Caching::Revalidate);
    }
    if (first == "properties" && s.size() == 2 && EndsWith(s[1], ".json")) {
        request->route = Route::Properties;
        const auto slide = server.Find(s[1].substr(0, s[1].size() - 5));
        if (slide == nullptr) return NotFound();
        return Content(slide->propertiesJson, "application/json", Caching::SlideData);
    }
    if (first == "associated") return AssociatedRoute(server, s, request);
    if (first == "static" && s.size() >= 2) return StaticRoute(s, request);
    if (first == "favicon.ico" && s.size() == 1) {
        request->route = Route::Favicon;
        return Content(StaticFile("favicon.ico"), "image/x-icon", Caching::Static);
    }
    if (first == "status" && s.size() == 1) return StatusRoute(server, request);
    return NotFound();
}

// libmicrohttpd hands over the request target as a C string in its read buffer, followed there by
// the protocol version: a target that ends before the version starts held a NUL byte, which the C
// string hides. (Checked only where the version lies just after the target in one buffer.)
bool HidesNul(const Request& request, const char* version) {
    if (request.received == nullptr || version == nullptr) return false;
    const char* end = request.received + request.uri.size();
    return version > end + 1 && version - request.received <= 65536;
}

MHD_Result Respond(Server& server, MHD_Connection* connection, const char* method,
                   const char* version, size_t* uploadSize, Request* request) {
    // Other methods are refused at once, without reading a body; the connection then closes.
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
        std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
        *uploadSize = 0;
        Answer answer = Text(MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD are served");
        answer.allow = "GET, HEAD";
        return Send(server, connection, request, std::move(answer));
    }
    // GET and HEAD are answered on the second call, once the whole request is in: an answer
    // queued on the first one would close a keep-alive connection.
    if (!request->headersSeen) {
        request->headersSeen = true;
        server.watch.HeadersDone(connection);
        return MHD_YES;
    }
    *uploadSize = 0;
    ParsedUrl url;
    if (HidesNul(*request, version) || !ParseUrl(request->uri, &url))
        return Send(server, connection, request, Text(MHD_HTTP_BAD_REQUEST, "bad URL"));
    const std::string& token = server.options.token;
    if (!token.empty() && !HasToken(connection, url, token))
        return Send(server, connection, request,
                    Text(MHD_HTTP_UNAUTHORIZED,
                         "this server needs its access token: open the address it printed"));
    if (server.checkHost && !LoopbackHost(connection))
        return Send(server, connection, request,
                    Text(MHD_HTTP_FORBIDDEN, "this server answers to loopback host names only"));
    Answer answer = Dispatch(server, url, request);
    if (answer.waitFor != nullptr) {
        request->waited = true;
        const Clock::time_point until =
            server.watch.RequestDeadline(connection) - std::chrono::seconds(1);
        if (server.waits.Suspend(connection, answer.waitFor, answer.waitLevel, until))
            return MHD_YES;
        answer = Dispatch(server, url, request);  // stopping: answered at once
    }
    // A page opened with the token in its address keeps it as a cookie for what it loads next.
    if (!token.empty() && !url.token.empty() && answer.type.substr(0, 9) == "text/html")
        answer.setCookie =
            CookieName(connection) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict";
    return Send(server, connection, request, std::move(answer));
}

}  // namespace

void* BeginRequest(void*, const char* uri, MHD_Connection*) {
    auto* request = new (std::nothrow) Request;
    if (request == nullptr) return nullptr;
    try {
        request->uri = uri != nullptr ? uri : "";
    } catch (const std::bad_alloc&) {
        request->uri.clear();  // refused as a bad URL
    }
    request->received = uri;
    request->started = Clock::now();
    // libmicrohttpd goes on to split the query at every '&' into records of the connection's
    // small memory pool, which a few hundred parameters exhaust: such a request would then be
    // neither answered nor released. The routes read the query from the copy taken above, so the
    // query left to libmicrohttpd (in its own buffer) is made one parameter.
    if (char* query = uri != nullptr ? std::strchr(const_cast<char*>(uri), '?') : nullptr)
        std::replace(query, query + std::strlen(query), '&', ';');
    return request;
}

MHD_Result AnswerRequest(void* cls, MHD_Connection* connection, const char*, const char* method,
                         const char* version, const char*, size_t* uploadSize, void** context) {
    Server& server = *static_cast<Server*>(cls);
    auto* request = static_cast<Request*>(*context);
    if (request == nullptr) return MHD_NO;  // out of memory: close the connection
    // No exception may cross into libmicrohttpd: running out of memory fails the request.
    try {
        return Respond(server, connection, method, version, uploadSize, request);
    } catch (const std::exception& e) {
        fprintf(stderr, "tarn: %s failed: %s\n", request->uri.c_str(), e.what());
        return MHD_NO;
    }
}

void EndRequest(void* cls, MHD_Connection* connection, void** context, MHD_RequestTerminationCode) {
    static_cast<Server*>(cls)->watch.RequestDone(connection);
    auto* request = static_cast<Request*>(*context);
    if (request == nullptr) return;
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - request->started);
    static_cast<Server*>(cls)->status.Record(request->route, request->status,
                                             static_cast<uint64_t>(micros.count()));
    delete request;
    *context = nullptr;
}

}  // namespace tarncli::serve
