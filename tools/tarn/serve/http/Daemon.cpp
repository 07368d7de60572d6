#include "http/Daemon.h"

#include <microhttpd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "http/Access.h"

namespace tarncli::serve::http {

struct Daemon {
    MHD_Daemon* mhd = nullptr;
    Site* site = nullptr;
};

namespace {

struct Handled;

// What one request carries from its first line to its end.
struct Exchange {
    std::string uri;                 // raw, as the client sent it
    const char* received = nullptr;  // where libmicrohttpd holds it
    Clock::time_point started;
    const Route* route = nullptr;  // once its handler ran
    int status = 0;
    bool headersSeen = false;
    bool parsed = false;  // `request`, `matched` and `captures` are filled
    HttpRequest request;
    const Route* matched = nullptr;
    std::vector<std::string> captures;
    Clock::time_point waitUntil{};     // set by the first deferral: no waiting past it
    std::shared_ptr<Handled> handled;  // the handler's answer, while the request holds it
};

// A handler's answer, made on one of the handler threads.
struct Handled {
    Answer answer;
    bool mayWait = false;  // what the handler was told
    bool failed = false;   // it threw: the connection is closed
};

std::optional<std::string> Header(MHD_Connection* connection, const char* name,
                                  MHD_ValueKind kind = MHD_HEADER_KIND) {
    const char* value = MHD_lookup_connection_value(connection, kind, name);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

int PortOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* connectionInfo =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_DAEMON);
    const MHD_DaemonInfo* daemonInfo =
        connectionInfo != nullptr
            ? MHD_get_daemon_info(connectionInfo->daemon, MHD_DAEMON_INFO_BIND_PORT)
            : nullptr;
    return daemonInfo != nullptr ? daemonInfo->port : 0;
}

void ReadHeaders(MHD_Connection* connection, bool tokenRequired, HttpRequest* request) {
    request->host = Header(connection, MHD_HTTP_HEADER_HOST);
    request->accept = Header(connection, MHD_HTTP_HEADER_ACCEPT);
    request->range = Header(connection, MHD_HTTP_HEADER_RANGE);
    request->ifRange = Header(connection, MHD_HTTP_HEADER_IF_RANGE);
    request->ifNoneMatch = Header(connection, MHD_HTTP_HEADER_IF_NONE_MATCH);
    request->authorization = Header(connection, MHD_HTTP_HEADER_AUTHORIZATION);
    request->origin = Header(connection, MHD_HTTP_HEADER_ORIGIN);
    request->tarnToken = Header(connection, "X-Tarn-Token");
    request->corsMethod = Header(connection, MHD_HTTP_HEADER_ACCESS_CONTROL_REQUEST_METHOD);
    if (tokenRequired)
        request->cookieToken =
            Header(connection, TokenCookieName(PortOf(connection)).c_str(), MHD_COOKIE_KIND);
}

// libmicrohttpd hands over the request target as a C string in its read buffer, followed there by
// the protocol version: a target that ends before the version starts held a NUL byte, which the C
// string hides. (Checked only where the version lies just after the target in one buffer.)
bool HidesNul(const Exchange& exchange, const char* version) {
    if (exchange.received == nullptr || version == nullptr) return false;
    const char* end = exchange.received + exchange.uri.size();
    return version > end + 1 && version - exchange.received <= 65536;
}

// ---- Sending ----

void ReleaseBody(void* body) {
    delete static_cast<EncodedPtr*>(body);
}

struct StreamHold {
    std::shared_ptr<const Stream> stream;
    ConnectionWatch* watch;
    WatchedConnection* watched;  // the connection outlives every call of its answer's reader
};

ssize_t ReadPiece(void* cls, uint64_t offset, char* buffer, size_t room) {
    auto* hold = static_cast<StreamHold*>(cls);
    // libmicrohttpd asks for a piece once the client took the last one: that is the client's
    // progress, and the piece's making (a frame encoded, a coarse level waited for) does not
    // count against the client.
    hold->watch->Progress(hold->watched);
    int64_t written = -1;
    try {
        written = hold->stream->next(offset, buffer, room);
    } catch (const std::exception& e) {
        fprintf(stderr, "tarn: a streamed answer failed: %s\n", e.what());
    }
    if (written == 0) return MHD_CONTENT_READER_END_OF_STREAM;
    if (written < 0 || static_cast<uint64_t>(written) > room)
        return MHD_CONTENT_READER_END_WITH_ERROR;
    hold->watch->Progress(hold->watched);
    return static_cast<ssize_t>(written);
}

void ReleaseStream(void* cls) {
    delete static_cast<StreamHold*>(cls);
}

MHD_Response* MakeResponse(Site& site, MHD_Connection* connection, const Answer& answer,
                           const Outgoing& out) {
    if (!out.hasBody || (answer.body == nullptr && answer.stream == nullptr))
        return MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    if (answer.stream != nullptr) {
        auto* hold = new StreamHold{answer.stream, &site.watch, ConnectionWatch::Of(connection)};
        const uint64_t size =
            answer.stream->size == Stream::kUnknownSize ? MHD_SIZE_UNKNOWN : answer.stream->size;
        MHD_Response* response =
            MHD_create_response_from_callback(size, 64 * 1024, ReadPiece, hold, ReleaseStream);
        if (response == nullptr) delete hold;
        return response;
    }
    // The response keeps the encoded bytes alive, wherever they came from, without a copy.
    auto* held = new EncodedPtr(answer.body);
    MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
        out.length, const_cast<char*>((*held)->bytes.data() + out.first), ReleaseBody, held);
    if (response == nullptr) delete held;
    return response;
}

MHD_Result Send(Site& site, MHD_Connection* connection, Exchange* exchange, const Answer& answer,
                const CorsAnswer& cors = CorsAnswer{}) {
    const Outgoing out = Finish(answer, exchange->request, !site.token.empty(), cors);
    MHD_Response* response = MakeResponse(site, connection, answer, out);
    if (response == nullptr) return MHD_NO;
    for (const auto& [name, value] : out.headers)
        MHD_add_response_header(response, name.c_str(), value.c_str());
    exchange->status = out.status;
    const MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned>(out.status), response);
    MHD_destroy_response(response);
    return queued;
}

Answer OnlyGetAndHead() {
    Answer answer = Text(405, "only GET and HEAD are served");
    answer.allow = "GET, HEAD";
    return answer;
}

// ---- Answering ----

// The route's answer, set aside while it defers and time is left.
void Handle(const Route& route, Exchange* exchange, Handled* handled) {
    try {
        handled->answer =
            route.handler(Call{exchange->request, exchange->captures, handled->mayWait});
    } catch (const std::exception& e) {
        fprintf(stderr, "tarn: %s failed: %s\n", exchange->uri.c_str(), e.what());
        handled->failed = true;
    }
}

// Hands the handler to a handler thread, the connection suspended until it answers; false when
// the threads are stopping (the caller answers itself).
bool HandOver(Site& site, MHD_Connection* connection, Exchange* exchange,
              std::shared_ptr<Handled> handled) {
    const Route* route = exchange->matched;
    return site.handlers.Post(
        [route, exchange, connection, handled] {
            Handle(*route, exchange, handled.get());
            MHD_resume_connection(connection);
        },
        [connection, exchange, &handled] {
            MHD_suspend_connection(connection);
            exchange->handled = handled;
        });
}

MHD_Result Run(Site& site, MHD_Connection* connection, Exchange* exchange, const CorsAnswer& cors) {
    const Route& route = *exchange->matched;
    exchange->route = &route;
    const Clock::time_point now = Clock::now();
    if (exchange->handled == nullptr) {  // not asked yet: ask on a handler thread
        auto handled = std::make_shared<Handled>();
        handled->mayWait = exchange->waitUntil == Clock::time_point{} || now < exchange->waitUntil;
        if (HandOver(site, connection, exchange, handled)) return MHD_YES;
        Handle(route, exchange, handled.get());
        exchange->handled = std::move(handled);
    }
    const std::shared_ptr<Handled> handled = std::move(exchange->handled);
    if (handled->failed) return MHD_NO;
    Answer answer = std::move(handled->answer);
    if (answer.defer.ready) {
        if (!handled->mayWait) {
            answer = Busy("not ready: try again soon", 5);
        } else {
            Clock::time_point until =
                std::min(answer.defer.until,
                         site.watch.RequestDeadline(connection) - std::chrono::seconds(1));
            if (exchange->waitUntil != Clock::time_point{})
                until = std::min(until, exchange->waitUntil);
            else
                exchange->waitUntil = until;
            if (now < until &&
                site.deferrals.Suspend(connection, std::move(answer.defer.ready), until))
                return MHD_YES;
            exchange->waitUntil = now;  // no time left, or stopping: asked again, not waiting
            return Run(site, connection, exchange, cors);
        }
    }
    // A page opened with the token in its address keeps it as a cookie for what it loads next.
    const std::string* query = QueryValue(exchange->request, "token");
    if (!site.token.empty() && query != nullptr && !query->empty() &&
        answer.type.substr(0, 9) == "text/html")
        answer.setCookie = TokenCookie(PortOf(connection), site.token);
    return Send(site, connection, exchange, answer, cors);
}

MHD_Result Respond(Site& site, MHD_Connection* connection, const char* method, const char* version,
                   size_t* uploadSize, Exchange* exchange) {
    // Other methods are refused at once, without reading a body; the connection then closes.
    const Method verb = MethodOf(method);
    if (verb == Method::Other) {
        *uploadSize = 0;
        return Send(site, connection, exchange, OnlyGetAndHead());
    }
    // The rest are answered on the second call, once the whole request is in: an answer queued
    // on the first one would close a keep-alive connection.
    if (!exchange->headersSeen) {
        exchange->headersSeen = true;
        site.watch.HeadersDone(connection);
        return MHD_YES;
    }
    *uploadSize = 0;
    HttpRequest& request = exchange->request;
    if (!exchange->parsed) {
        if (HidesNul(*exchange, version) || !ParseTarget(exchange->uri, &request))
            return Send(site, connection, exchange, Text(400, "bad URL"));
        request.method = verb;
        ReadHeaders(connection, !site.token.empty(), &request);
        exchange->matched = FindRoute(site.routes, request, &exchange->captures);
        exchange->parsed = true;
    }
    const Route* route = exchange->matched;
    const CorsAnswer cors =
        route != nullptr ? CorsFor(site.cors, route->crossOrigin, request.origin) : CorsAnswer{};
    const bool hostRefused = site.loopbackHostsOnly && !LoopbackHost(request.host);
    // A preflight carries no token: it only asks whether the real request may be sent.
    if (verb == Method::Options) {
        if (route == nullptr || !CorsApplies(site.cors, route->crossOrigin) || hostRefused)
            return Send(site, connection, exchange, OnlyGetAndHead());
        return Send(site, connection, exchange, Preflight(cors), cors);
    }
    if (!site.token.empty() && (route == nullptr || route->needsToken) &&
        !HasToken(request, site.token))
        return Send(site, connection, exchange,
                    Text(401, "this server needs its access token: open the address it printed"),
                    cors);
    if (hostRefused)
        return Send(site, connection, exchange,
                    Text(403, "this server answers to loopback host names only"), cors);
    if (route == nullptr) return Send(site, connection, exchange, NotFound());
    return Run(site, connection, exchange, cors);
}

// Records the raw URL (before libmicrohttpd decodes it) and when the request began.
void* BeginRequest(void*, const char* uri, MHD_Connection*) {
    auto* exchange = new (std::nothrow) Exchange;
    if (exchange == nullptr) return nullptr;
    try {
        exchange->uri = uri != nullptr ? uri : "";
    } catch (const std::bad_alloc&) {
        exchange->uri.clear();  // refused as a bad URL
    }
    exchange->received = uri;
    exchange->started = Clock::now();
    // libmicrohttpd goes on to split the query at every '&' into records of the connection's
    // small memory pool, which a few hundred parameters exhaust: such a request would then be
    // neither answered nor released. The query is read from the copy taken above, so the query
    // left to libmicrohttpd (in its own buffer) is made one parameter.
    if (char* query = uri != nullptr ? std::strchr(const_cast<char*>(uri), '?') : nullptr)
        std::replace(query, query + std::strlen(query), '&', ';');
    return exchange;
}

MHD_Result AnswerRequest(void* cls, MHD_Connection* connection, const char*, const char* method,
                         const char* version, const char*, size_t* uploadSize, void** context) {
    Site& site = *static_cast<Site*>(cls);
    auto* exchange = static_cast<Exchange*>(*context);
    if (exchange == nullptr) return MHD_NO;  // out of memory: close the connection
    // No exception may cross into libmicrohttpd: running out of memory fails the request.
    try {
        return Respond(site, connection, method, version, uploadSize, exchange);
    } catch (const std::exception& e) {
        fprintf(stderr, "tarn: %s failed: %s\n", exchange->uri.c_str(), e.what());
        return MHD_NO;
    }
}

// Counts the request and releases what BeginRequest made.
void EndRequest(void* cls, MHD_Connection* connection, void** context, MHD_RequestTerminationCode) {
    Site& site = *static_cast<Site*>(cls);
    site.watch.RequestDone(connection);
    auto* exchange = static_cast<Exchange*>(*context);
    if (exchange == nullptr) return;
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - exchange->started);
    if (site.record)
        site.record(exchange->route, exchange->status, static_cast<uint64_t>(micros.count()));
    delete exchange;
    *context = nullptr;
}

}  // namespace

Daemon* StartDaemon(Site* site, const ListenOptions& o) {
    auto* daemon = new (std::nothrow) Daemon{nullptr, site};
    if (daemon == nullptr) return nullptr;
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
    if (o.ipv6) flags |= MHD_USE_IPv6;
    MHD_OptionItem options[] = {
        {MHD_OPTION_SOCK_ADDR, 0, const_cast<sockaddr_storage*>(&o.address)},
        {MHD_OPTION_THREAD_POOL_SIZE, o.threads, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, o.maxConnections, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, o.timeoutSeconds, nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, o.maxPerAddress, nullptr},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&ConnectionWatch::Notify),
         &site->watch},
        {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&BeginRequest), site},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&EndRequest), site},
        {MHD_OPTION_END, 0, nullptr},
    };
    if (!site->handlers.Start(o.threads)) {
        delete daemon;
        errno = EAGAIN;
        return nullptr;
    }
    daemon->mhd = MHD_start_daemon(flags, 0, nullptr, nullptr, &AnswerRequest, site,
                                   MHD_OPTION_ARRAY, options, MHD_OPTION_END);
    if (daemon->mhd == nullptr) {
        const int saved = errno;
        site->handlers.Stop();
        delete daemon;
        errno = saved;
        return nullptr;
    }
    return daemon;
}

int DaemonPort(const Daemon* daemon) {
    const MHD_DaemonInfo* bound = MHD_get_daemon_info(daemon->mhd, MHD_DAEMON_INFO_BIND_PORT);
    return bound != nullptr ? bound->port : 0;
}

void StopDaemon(Daemon* daemon) {
    if (daemon == nullptr) return;
    daemon->site->deferrals.Stop();
    daemon->site->handlers.Stop();  // every handed-over request answered and resumed
    MHD_stop_daemon(daemon->mhd);
    delete daemon;
}

}  // namespace tarncli::serve::http
