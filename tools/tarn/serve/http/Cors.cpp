#include "http/Cors.h"

namespace tarncli::serve::http {

namespace {

bool ValidOrigin(std::string_view origin) {
    for (const std::string_view scheme : {"http://", "https://"}) {
        if (origin.substr(0, scheme.size()) != scheme) continue;
        std::string_view rest = origin.substr(scheme.size());
        std::string_view host = rest;
        std::string_view port;
        if (!rest.empty() && rest.front() == '[') {
            const size_t close = rest.find(']');
            if (close == std::string_view::npos) return false;
            host = rest.substr(1, close - 1);
            if (host.empty() ||
                host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos)
                return false;
            rest.remove_prefix(close + 1);
            if (!rest.empty() && rest.front() != ':') return false;
            port = rest.empty() ? rest : rest.substr(1);
            if (!rest.empty() && port.empty()) return false;
        } else {
            const size_t colon = rest.find(':');
            host = rest.substr(0, colon);
            if (colon != std::string_view::npos) {
                port = rest.substr(colon + 1);
                if (port.empty()) return false;
            }
            if (host.empty() || host.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                                                       "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") !=
                                    std::string_view::npos)
                return false;
        }
        return port.size() <= 5 && port.find_first_not_of("0123456789") == std::string_view::npos;
    }
    return false;
}

}  // namespace

bool ValidCorsOrigins(std::string_view text) {
    if (text == "*") return true;
    if (text.empty() || text.size() > 1024) return false;
    for (size_t start = 0;;) {
        const size_t comma = text.find(',', start);
        if (!ValidOrigin(text.substr(start, comma - start))) return false;
        if (comma == std::string_view::npos) return true;
        start = comma + 1;
    }
}

CorsPolicy MakeCorsPolicy(const std::string* given, bool tokenRequired) {
    CorsPolicy policy;
    if (given != nullptr) {
        policy.origins = *given;
        policy.configured = true;
    } else if (!tokenRequired) {
        policy.origins.assign(1,
                              '*');  // not = "*", which g++ 12 at -O3 takes for an overlapping copy
    }
    return policy;
}

bool CorsApplies(const CorsPolicy& policy, CrossOrigin route) {
    if (policy.origins.empty()) return false;
    switch (route) {
        case CrossOrigin::No:
            return false;
        case CrossOrigin::WhenConfigured:
            return policy.configured;
        case CrossOrigin::Yes:
            return true;
    }
    return false;
}

CorsAnswer CorsFor(const CorsPolicy& policy, CrossOrigin route,
                   const std::optional<std::string>& origin) {
    CorsAnswer answer;
    if (!CorsApplies(policy, route)) return answer;
    if (policy.origins == "*") {
        answer.allowOrigin = policy.origins;
        return answer;
    }
    // Named origins: the one that asks is echoed when it is among them. Caches must keep the
    // answers to different origins apart, or to none.
    answer.varyOrigin = true;
    if (!origin) return answer;
    const std::string_view origins = policy.origins;
    for (size_t start = 0;;) {
        const size_t comma = origins.find(',', start);
        if (origins.substr(start, comma - start) == *origin) {
            answer.allowOrigin = *origin;
            return answer;
        }
        if (comma == std::string_view::npos) return answer;
        start = comma + 1;
    }
}

}  // namespace tarncli::serve::http
