#include "panel_server.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <httplib.h>

#include "backend_info.h"
#include "json_text.h"
#include "brivant.hpp"
#include "number_arguments.h"
#include "panel_api.h"
#include "tool_errors.h"
#include "panel_page.h"
#include "request_guard.h"

namespace brivant::tool {

namespace {

void answerJson(httplib::Response& response, int status, const nlohmann::json& body) {
    response.status = status;
    response.set_content(jsonText(body), "application/json");
}

void refuse(httplib::Response& response, const Refusal& refusal) {
    answerJson(response, refusal.status, nlohmann::json{{"error", refusal.message}});
}

RequestFacts factsOf(const httplib::Request& request) {
    RequestFacts facts;
    facts.method = request.method;
    facts.path = request.path;
    facts.host = request.get_header_value("Host");
    if (request.has_header("Origin")) {
        facts.origin = request.get_header_value("Origin");
    }
    facts.tokenParameter = request.get_param_value("token");
    facts.tokenHeader = request.get_header_value(kTokenHeader);
    facts.authorization = request.get_header_value("Authorization");
    facts.contentType = request.get_header_value("Content-Type");
    if (request.has_header("Content-Length")) {
        facts.contentLength = request.get_header_value("Content-Length");
    }
    facts.transferEncoding = request.has_header("Transfer-Encoding");
    return facts;
}

} // namespace

namespace {

// The unit's counts read now, on its reader's thread, as one command.
void readNow(UnitRegistry& registry, const std::string& unitText, std::chrono::milliseconds deadline,
             httplib::Response& response) {
    std::int16_t id = 0;
    try {
        id = static_cast<std::int16_t>(parseNumber(unitText, 0, kMaxUnitId, "unit ID"));
    } catch (const UsageError& e) {
        throw ApiError(400, e.what());
    }
    auto reader = registry.find(id);
    if (!reader) {
        throw ApiError(404, "unit " + std::to_string(id) + " is not held here");
    }
    struct Reading {
        std::array<std::int32_t, 3> counts{};
        std::array<std::uint8_t, 3> status{};
    };
    auto reading = std::make_shared<Reading>();
    CommandOutcome outcome = reader->command(
        [reading](std::int16_t unit) {
            return Brivant_ReadCount(unit, reading->counts.data(), reading->status.data());
        },
        deadline);
    if (outcome.kind != CommandOutcome::Kind::Done) {
        answerJson(response, 504, outcomeJson(outcome));
        return;
    }
    answerJson(response, 200, readJson(outcome.result, reading->counts, reading->status));
}

} // namespace

struct PanelServer::Impl {
    UnitRegistry& registry;
    std::string token;
    std::chrono::milliseconds commandDeadline;
    LiveStation* station;
    httplib::Server http;
    std::unique_ptr<RequestGuard> guard;
    std::string host;
    int port = 0;
    std::string backend = backendName();
    std::function<std::string()> metrics;
    std::atomic<bool> stopped{false};

    void routes();
};

PanelServer::PanelServer(UnitRegistry& registry, std::string token,
                         std::chrono::milliseconds commandDeadline, LiveStation* station)
    : impl_(new Impl{registry, std::move(token), commandDeadline, station, {}, nullptr, {}, 0,
                     backendName(), {}, {false}}) {}

PanelServer::~PanelServer() {
    stop();
}

void PanelServer::Impl::routes() {
    // Idle keep-alive connections each hold a thread: room for many pages.
    http.new_task_queue = [] { return new httplib::ThreadPool(32); };
    http.set_keep_alive_max_count(10000);
    http.set_keep_alive_timeout(2);
    http.set_payload_max_length(kMaxBodyBytes);
    http.set_default_headers({{"Cache-Control", "no-store"},
                              {"X-Content-Type-Options", "nosniff"},
                              {"Referrer-Policy", "no-referrer"},
                              {"X-Frame-Options", "DENY"}});

    http.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
        Route route = Route::Page;
        if (auto refusal = guard->check(factsOf(request), route)) {
            refuse(response, *refusal);
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    http.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_header("Content-Security-Policy",
                            "default-src 'none'; script-src 'unsafe-inline'; "
                            "style-src 'unsafe-inline'; connect-src 'self'; img-src data:; "
                            "base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
        response.set_content(kPanelPage, kPanelPageSize, "text/html; charset=utf-8");
    });

    http.Get("/api/units", [this](const httplib::Request& request, httplib::Response& response) {
        std::optional<std::uint64_t> after;
        if (request.has_param("after")) {
            const std::string text = request.get_param_value("after");
            char* end = nullptr;
            unsigned long long value = std::strtoull(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || text[0] == '-') {
                refuse(response, {400, "parameter 'after' must be a sample number"});
                return;
            }
            after = value;
        }
        std::vector<UnitView> views;
        for (const auto& reader : registry.readers()) {
            views.push_back(reader->view(after));
        }
        response.status = 200;
        response.set_content(unitsJson(views, registry.settings().rateHz, backend, station), "application/json");
    });

    http.Post(R"(/api/units/([^/]+)/read)",
              [this](const httplib::Request& request, httplib::Response& response) {
                  try {
                      readNow(registry, request.matches[1], commandDeadline, response);
                  } catch (const ApiError& error) {
                      refuse(response, {error.status, error.what()});
                  }
              });

    http.Get("/api/config", [this](const httplib::Request&, httplib::Response& response) {
        if (station == nullptr) {
            refuse(response, {404, "no station: brivant serve --config FILE keeps one"});
            return;
        }
        response.set_content(station->toml(), "application/toml; charset=utf-8");
    });

    http.Get("/api/events", [this](const httplib::Request& request, httplib::Response& response) {
        std::uint64_t after = 0;
        if (request.has_param("after")) {
            const std::string text = request.get_param_value("after");
            char* end = nullptr;
            after = std::strtoull(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || text[0] == '-') {
                refuse(response, {400, "parameter 'after' must be an event number"});
                return;
            }
        }
        std::vector<ConfigEvent> events;
        if (station != nullptr) {
            events = station->events(after);
        }
        response.set_content(eventsJson(events), "application/json");
    });

    http.Post(R"(/api/units/([^/]+)/channels/([^/]+)/([^/]+))",
              [this](const httplib::Request& request, httplib::Response& response) {
                  int status = 200;
                  nlohmann::json body = runChange(registry, station, request.matches[1],
                                                  request.matches[2], request.matches[3],
                                                  request.body, commandDeadline, status);
                  answerJson(response, status, body);
              });

    http.Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
        if (!metrics) {
            refuse(response, {404, "no metrics here"});
            return;
        }
        response.set_content(metrics(), "text/plain; version=0.0.4; charset=utf-8");
    });
}

nlohmann::json runChange(UnitRegistry& registry, LiveStation* station, const std::string& unit,
                         const std::string& channel, const std::string& action,
                         const std::string& body, std::chrono::milliseconds deadline,
                         int& status) {
    try {
        ChangeRequest change = parseChange(unit, channel, action, body);
        auto reader = registry.find(change.unit);
        if (!reader) {
            throw ApiError(404, "unit " + std::to_string(change.unit) + " is not held by this " +
                                    (station != nullptr ? "station" : "panel"));
        }
        const bool stationUnit = station != nullptr && station->unit(change.unit).has_value();
        if (stationUnit && change.update) {
            // A unit that is not there takes nothing, and nothing is kept
            // for it: the station file says what it gets when it comes.
            const UnitView view = reader->view(std::nullopt);
            if (!view.seen || !view.answering) {
                status = 200;
                nlohmann::json answer = outcomeJson({CommandOutcome::Kind::Done, RC_ID_NOT_FOUND});
                answer["message"] = "unit " + std::to_string(change.unit) +
                                    " is not answering (unplugged?); nothing was sent or kept";
                return answer;
            }
        }
        // A station's change is its live configuration from now on,
        // whatever the unit answers: one that fails is configured again,
        // all of it, at its next sample. It is kept before it is sent.
        bool kept = stationUnit && change.update &&
                    station->update(change.unit, change.channel, change.update);
        CommandOutcome outcome = reader->command(change.call, deadline);
        const bool done = outcome.kind == CommandOutcome::Kind::Done;
        if (stationUnit) {
            station->recordChange(change.unit, change.action, change.channel,
                                  done ? outcome.result : RC_COMM_FAILED);
            if (kept && (!done || outcome.result != RC_OK)) {
                reader->reconfigure(ConfigureWhy::Change);
            }
        }
        status = done ? 200 : 504;
        return outcomeJson(outcome);
    } catch (const ApiError& error) {
        status = error.status;
        return nlohmann::json{{"error", error.what()}};
    } catch (const OutputError& error) {
        status = 500;
        return nlohmann::json{{"error", std::string("the change cannot be kept: ") + error.what() +
                                            "; nothing was changed"}};
    } catch (const std::exception& error) {
        status = 500;
        return nlohmann::json{{"error", std::string("the change failed: ") + error.what()}};
    }
}

namespace {

// One listener a port: httplib's own options let a second server bind the
// same port (SO_REUSEPORT), and the kernel would then share the connections
// out between the two. SO_REUSEADDR alone still lets a server start again
// at once on a port whose old connections are closing; Windows's
// SO_EXCLUSIVEADDRUSE keeps any other socket off the port.
void exclusivePort(socket_t sock) {
    int yes = 1;
#if defined(_WIN32)
    setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes),
               sizeof yes);
#else
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
#endif
}

int lastSocketError() {
#if defined(_WIN32)
    return WSAGetLastError();
#else
    return errno;
#endif
}

std::string bindFailure(int error) {
#if defined(_WIN32)
    if (error == WSAEADDRINUSE || error == WSAEACCES) {
        return "the port is in use by another program";
    }
    if (error == WSAEADDRNOTAVAIL) {
        return "the address is not one of this machine's";
    }
    return "socket error " + std::to_string(error);
#else
    if (error == EADDRINUSE) {
        return "the port is in use by another program";
    }
    if (error == EADDRNOTAVAIL) {
        return "the address is not one of this machine's";
    }
    return error != 0 ? std::strerror(error) : "the address could not be used";
#endif
}

} // namespace

// A server that only binds: its socket is closed when it goes (httplib's
// own stop() closes only a socket that is being listened on).
struct BindProbe : httplib::Server {
    ~BindProbe() override {
        socket_t sock = svr_sock_.exchange(INVALID_SOCKET);
        if (sock != INVALID_SOCKET) {
            httplib::detail::close_socket(sock);
        }
    }
};

std::string listenProblem(const PanelAddress& address) {
    if (address.port == 0) {
        return {}; // any free port
    }
    BindProbe probe;
    probe.set_socket_options(exclusivePort);
    errno = 0;
#if defined(_WIN32)
    WSASetLastError(0);
#endif
    if (probe.bind_to_port(address.listen, address.port)) {
        return {};
    }
    return "cannot listen on " + address.listen + " port " + std::to_string(address.port) + ": " +
           bindFailure(lastSocketError());
}

void PanelServer::onMetrics(std::function<std::string()> text) {
    impl_->metrics = std::move(text);
}

int PanelServer::bind(const PanelAddress& address) {
    impl_->host = address.listen;
    impl_->http.set_socket_options(exclusivePort);
    // An answer goes out as headers then body: without TCP_NODELAY on the
    // listening socket (which the connections take from it), Nagle and the
    // client's delayed acknowledgement hold each answer back some 40 ms.
    impl_->http.set_tcp_nodelay(true);
#if defined(_WIN32)
    WSASetLastError(0);
#endif
    errno = 0;
    impl_->port = address.port == 0 ? impl_->http.bind_to_any_port(address.listen)
                                    : (impl_->http.bind_to_port(address.listen, address.port)
                                           ? address.port
                                           : -1);
    if (impl_->port <= 0) {
        const int error = lastSocketError();
        throw BindError("cannot listen on " + address.listen + " port " +
                        std::to_string(address.port) + ": " + bindFailure(error));
    }
    std::vector<std::string> hosts{"127.0.0.1", "localhost"};
    if (address.listen != "127.0.0.1") {
        hosts.push_back(address.listen);
    }
    impl_->guard = std::make_unique<RequestGuard>(impl_->token, impl_->port, hosts);
    impl_->routes();
    return impl_->port;
}

bool PanelServer::serve() {
    const bool listened = impl_->http.listen_after_bind();
    return listened || impl_->stopped;
}

void PanelServer::stop() {
    impl_->stopped = true;
    impl_->http.stop();
}

std::string PanelServer::base() const {
    std::string url = this->url();
    return url.substr(0, url.find("/?token="));
}

const std::string& PanelServer::token() const {
    return impl_->token;
}

std::string PanelServer::url() const {
    bool loopback = impl_->host == "127.0.0.1" || impl_->host == "0.0.0.0" || impl_->host == "::" ||
                    impl_->host == "::1";
    std::string host = impl_->host.find(':') != std::string::npos && impl_->host != "::"
                           ? "[" + impl_->host + "]"
                           : impl_->host;
    if (loopback) {
        host = impl_->host == "::1" ? "[::1]" : "127.0.0.1";
    }
    return "http://" + host + ":" + std::to_string(impl_->port) + "/?token=" + impl_->token;
}

} // namespace brivant::tool
