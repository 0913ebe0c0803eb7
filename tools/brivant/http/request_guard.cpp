#include "request_guard.h"

#include <algorithm>
#include <cctype>

#include "util/path_parts.h"
#include "util/random_token.h"

namespace brivant::tool {

const char* const kTokenHeader = "X-Brivant-Token";

namespace {

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// /api/units/ID/channels/CH/ACTION, each part non-empty.
bool isChangePath(const std::string& path) {
    const auto parts = partsAfter(path, "/api/units/");
    return parts && parts->size() == 4 && (*parts)[1] == "channels" &&
           std::none_of(parts->begin(), parts->end(), [](const std::string& p) { return p.empty(); });
}

// /api/units/ID/read
bool isReadPath(const std::string& path) {
    const auto parts = partsAfter(path, "/api/units/");
    return parts && parts->size() == 2 && !(*parts)[0].empty() && (*parts)[1] == "read";
}

} // namespace

RequestGuard::RequestGuard(std::string token, int port, std::vector<std::string> hosts, bool https)
    : token_(std::move(token)), port_(port), hosts_(std::move(hosts)), https_(https) {
    for (std::string& host : hosts_) {
        host = lowered(host);
    }
}

bool RequestGuard::hostAllowed(const std::string& host) const {
    std::string given = lowered(host);
    std::string port = ":" + std::to_string(port_);
    for (const std::string& name : hosts_) {
        bool bracketed = name.find(':') != std::string::npos; // IPv6
        std::string full = bracketed ? "[" + name + "]" : name;
        if (given == full + port || (port_ == (https_ ? 443 : 80) && given == full)) {
            return true;
        }
    }
    return false;
}

std::optional<Refusal> RequestGuard::check(const RequestFacts& request, Route& route) const {
    const std::string& host = request.host;
    if (!hostAllowed(host)) {
        return Refusal{403, "Host '" + host + "' is not this panel's address"};
    }
    if (request.origin && *request.origin != (https_ ? "https://" : "http://") + host) {
        return Refusal{403, "requests from another origin are refused"};
    }
    const std::string& path = request.path;
    if (path == "/") {
        route = Route::Page;
    } else if (path == "/api/units") {
        route = Route::UnitList;
    } else if (path == "/api/config") {
        route = Route::Config;
    } else if (path == "/api/events") {
        route = Route::Events;
    } else if (path == "/api/settings") {
        route = Route::Settings;
    } else if (path == "/api/history") {
        route = Route::History;
    } else if (path == "/metrics") {
        route = Route::Metrics;
    } else if (isChangePath(path)) {
        route = Route::UnitChange;
    } else if (isReadPath(path)) {
        route = Route::UnitRead;
    } else {
        return Refusal{404, "no such page"};
    }
    std::string given = route == Route::Page ? request.tokenParameter : request.tokenHeader;
    const std::string bearer = "bearer ";
    if (given.empty() && route != Route::Page &&
        lowered(request.authorization.substr(0, bearer.size())) == bearer) {
        given = request.authorization.substr(bearer.size());
    }
    if (given.empty()) {
        return Refusal{401, route == Route::Page
                                ? "open the address with ?token= that brivant panel printed"
                                : std::string("the header ") + kTokenHeader +
                                      " (or Authorization: Bearer) is missing"};
    }
    if (!sameToken(given, token_)) {
        return Refusal{403, "wrong token"};
    }
    const bool posted = route == Route::UnitChange || route == Route::UnitRead;
    const std::string wanted = posted ? "POST" : "GET";
    if (request.method != wanted) {
        return Refusal{405, path + " takes " + wanted + " only"};
    }
    if (!posted) {
        return std::nullopt;
    }
    std::string type = lowered(request.contentType);
    if (type.substr(0, type.find(';')) != "application/json") {
        return Refusal{415, "a change needs a JSON body (Content-Type: application/json)"};
    }
    if (request.transferEncoding || !request.contentLength) {
        return Refusal{411, "a change needs a body sized by Content-Length"};
    }
    const std::string& length = *request.contentLength;
    bool digits = !length.empty() && length.size() <= 9 &&
                  std::all_of(length.begin(), length.end(),
                              [](unsigned char c) { return std::isdigit(c) != 0; });
    if (!digits || std::stoul(length) > kMaxBodyBytes) {
        return Refusal{413, "a body may hold at most " + std::to_string(kMaxBodyBytes) + " bytes"};
    }
    return std::nullopt;
}

} // namespace brivant::tool
