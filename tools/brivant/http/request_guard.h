// The panel drives hardware, so a web page the user happens to visit must
// not reach it. Every request passes these checks before anything else is
// done with it, its body included:
//   - the Host header names this panel (loopback name or address, or the
//     address given with --listen) with its port, against DNS rebinding;
//   - an Origin header, when sent, is this panel's own;
//   - the token: in the page's URL (?token=), in the header X-Brivant-Token
//     for the API, or as "Authorization: Bearer TOKEN" (a Prometheus scrape
//     job's credentials);
//   - the method the route takes: GET for the page, the unit list, the
//     configuration and its events and the metrics, POST for a change or a
//     read;
//   - a change has a JSON body (Content-Type application/json) of at most
//     16 KiB, sized by Content-Length.
// No CORS header is ever sent, so other origins cannot read an answer or
// send the token header.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace brivant::tool {

constexpr std::size_t kMaxBodyBytes = 16 * 1024;
extern const char* const kTokenHeader; // X-Brivant-Token

struct Refusal {
    int status;
    std::string message;
};

// GET: the page, the unit list, the live configuration (TOML) and the
// configuration events; POST with a JSON body: a change, and a read made
// now on the unit's own thread.
enum class Route { Page, UnitList, Config, Events, Settings, History, Metrics, UnitChange, UnitRead };

// What the checks look at in a request, taken from it before its body is read.
struct RequestFacts {
    std::string method;
    std::string path;
    std::string host;                 // the Host header
    std::optional<std::string> origin;
    std::string tokenParameter;       // ?token=
    std::string tokenHeader;          // X-Brivant-Token
    std::string authorization;        // the Authorization header
    std::string contentType;
    std::optional<std::string> contentLength;
    bool transferEncoding = false;    // a Transfer-Encoding header is there
};

class RequestGuard {
public:
    // `hosts`: the names and addresses the panel is reached by (without port);
    // `https`: it is reached over TLS (a page's Origin is https://...).
    RequestGuard(std::string token, int port, std::vector<std::string> hosts, bool https = false);

    // The route of an accepted request, or why it is refused.
    std::optional<Refusal> check(const RequestFacts& request, Route& route) const;

private:
    bool hostAllowed(const std::string& host) const;

    std::string token_;
    int port_;
    std::vector<std::string> hosts_;
    bool https_ = false;
};

} // namespace brivant::tool
