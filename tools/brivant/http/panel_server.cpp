#include "panel_server.h"

#include <algorithm>
#include <climits>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <httplib.h>
// The server reaches into cpp-httplib's internals (detail::process_server_socket
// and the TLS handshake) to bound each connection, so cpp-httplib's
// implementation is compiled here, once for the whole tool; every other file
// that includes httplib.h sees its declarations alone.
#include <httplib_implementation.inc>

#include "util/backend_info.h"
#include "util/json_text.h"
#include "brivant.hpp"
#include "util/number_text.h"
#include "http/panel_api.h"
#include "util/tool_errors.h"
#include "http/panel_page.h"
#include "http/request_guard.h"
#include "journal/history.h"
#include "service/channel_change.h"
#include "station/channel_table.h"

namespace brivant::tool {

namespace {

void answerJson(httplib::Response& response, int status, const nlohmann::json& body) {
    response.status = status;
    response.set_content(jsonText(body), "application/json");
}

void refuse(httplib::Response& response, const Refusal& refusal) {
    answerJson(response, refusal.status, nlohmann::json{{"error", refusal.message}});
}

constexpr std::size_t kMostHistoryRows = 100000;

// GET /api/history's parameters: unit=0,1 since=T until=T after=ROW
// limit=N; throws UsageError naming the one that is wrong.
HistoryQuery historyQuery(const httplib::Request& request) {
    HistoryQuery query;
    const std::int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    if (request.has_param("unit")) {
        const std::string units = request.get_param_value("unit");
        for (std::size_t at = 0; at <= units.size();) {
            const std::size_t comma = std::min(units.find(',', at), units.size());
            query.units.push_back(static_cast<std::int16_t>(
                parseNumber(units.substr(at, comma - at), 0, kMaxUnitId, "parameter 'unit'")));
            at = comma + 1;
        }
    }
    if (request.has_param("since")) {
        query.sinceUs = parseHistoryTime(request.get_param_value("since"), now, "parameter 'since'");
    }
    if (request.has_param("until")) {
        query.untilUs = parseHistoryTime(request.get_param_value("until"), now, "parameter 'until'");
    }
    if (request.has_param("after")) {
        query.afterId = static_cast<std::uint64_t>(
            parseNumber(request.get_param_value("after"), 0, LLONG_MAX, "parameter 'after'"));
    }
    query.most = kMostHistoryRows;
    if (request.has_param("every")) {
        query.everyUs = 1000 * parseNumber(request.get_param_value("every"), 1, 3600000, "parameter 'every'");
    }
    if (request.has_param("limit")) {
        query.most = static_cast<std::size_t>(parseNumber(request.get_param_value("limit"), 1,
                                                          kMostHistoryRows, "parameter 'limit'"));
    }
    return query;
}

// ?after=N, when given: false (and the request refused) when it is not a
// number, named `what`.
bool afterParameter(const httplib::Request& request, const char* what,
                    std::optional<std::uint64_t>& after, httplib::Response& response) {
    if (!request.has_param("after")) {
        return true;
    }
    const std::string text = request.get_param_value("after");
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || text[0] == '-') {
        refuse(response, {400, std::string("parameter 'after' must be ") + what});
        return false;
    }
    after = value;
    return true;
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

// Connections each hold a worker thread while open, idle keep-alive ones
// and slow senders too. Workers are made as connections come, up to a bound
// far above what pages and scrapers need, so that a hundred idle
// connections or a few dozen clients trickling their headers never leave a
// request waiting; past the bound a connection waits for a free worker.
class ElasticPool : public httplib::TaskQueue {
public:
    explicit ElasticPool(std::size_t most) : most_(most) {}
    ~ElasticPool() override { shutdown(); }

    void enqueue(std::function<void()> job) override {
        std::lock_guard<std::mutex> guard(lock_);
        jobs_.push_back(std::move(job));
        // A worker for every job no idle one will take: one just made counts
        // as idle before it has taken its job, so a burst of connections
        // gets a worker each.
        if (jobs_.size() > idle_ && workers_.size() < most_) {
            workers_.emplace_back([this] { work(); });
            ++idle_;
        }
        wake_.notify_one();
    }

    void shutdown() override {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& worker : workers_) {
            if (worker.joinable()) {
                worker.join();
            }
        }
        workers_.clear();
    }

private:
    void work() {
        std::unique_lock<std::mutex> guard(lock_);
        for (;;) {
            wake_.wait(guard, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty()) {
                return; // stopping, and nothing left
            }
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            --idle_;
            guard.unlock();
            try {
                job();
            } catch (...) {
                // httplib answers a handler's exception itself; nothing
                // else may end a worker
            }
            guard.lock();
            ++idle_;
        }
    }

    const std::size_t most_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> workers_;
    std::size_t idle_ = 0;
    bool stopping_ = false;
};

// httplib's server, with every client connection known while it is open:
// a stop shuts them all (no client delays it), and a connection older than
// its life bound is shut however slowly its client sends.
#if BRIVANT_WITH_TLS
// A TLS 1.2+ server context for the certificate (chain) and key, or null
// with `why` saying which of the two is at fault and OpenSSL's reason.
SSL_CTX* serverTls(const std::string& cert, const std::string& key, std::string& why) {
    ERR_clear_error();
    SSL_CTX* tls = SSL_CTX_new(TLS_server_method());
    const char* fault = nullptr;
    if (tls == nullptr || SSL_CTX_set_min_proto_version(tls, TLS1_2_VERSION) != 1) {
        fault = "cannot make a TLS context";
    } else if (SSL_CTX_use_certificate_chain_file(tls, cert.c_str()) != 1) {
        fault = "the certificate file holds no PEM certificate it can use";
    } else if (SSL_CTX_use_PrivateKey_file(tls, key.c_str(), SSL_FILETYPE_PEM) != 1) {
        // Also where the key is good but not the certificate's own.
        fault = "the key file holds no PEM private key of the certificate";
    } else if (SSL_CTX_check_private_key(tls) != 1) {
        fault = "the key does not match the certificate";
    }
    if (fault == nullptr) {
        SSL_CTX_set_options(tls, SSL_OP_NO_COMPRESSION | SSL_OP_NO_SESSION_RESUMPTION_ON_RENEGOTIATION);
        return tls;
    }
    char reason[256] = "unknown reason";
    if (const unsigned long code = ERR_peek_last_error(); code != 0) {
        ERR_error_string_n(code, reason, sizeof reason);
    }
    ERR_clear_error();
    SSL_CTX_free(tls);
    why = std::string(fault) + " (" + reason + ")";
    return nullptr;
}
#endif

class GuardedServer : public httplib::Server {
public:
    ~GuardedServer() override {
#if BRIVANT_WITH_TLS
        if (tls_ != nullptr) {
            SSL_CTX_free(tls_);
        }
#endif
    }

#if BRIVANT_WITH_TLS
    // Serves HTTPS from now on, TLS 1.2 or newer; throws BindError naming
    // the files when they cannot be used.
    void useTls(const std::string& cert, const std::string& key) {
        std::string why;
        tls_ = serverTls(cert, key, why);
        if (tls_ == nullptr) {
            throw BindError("cannot serve HTTPS with tls_cert_file " + cert + " and tls_key_file " + key +
                            ": " + why);
        }
    }
#endif
    // Shuts every open client connection (at stop), or only those open for
    // longer than `life`.
    void closeConnections(std::optional<std::chrono::seconds> life = std::nullopt) {
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> guard(openLock_);
        for (const auto& [sock, since] : open_) {
            if (!life || now - since > *life) {
                httplib::detail::shutdown_socket(sock);
            }
        }
    }

    std::string answerRaw(const std::string& request) {
        httplib::detail::BufferStream stream;
        stream.write(request.data(), request.size());
        bool closed = false;
        process_request(stream, true, closed, nullptr);
        return stream.get_buffer().substr(request.size());
    }

private:
    bool process_and_close_socket(socket_t sock) override {
        {
            std::lock_guard<std::mutex> guard(openLock_);
            open_[sock] = std::chrono::steady_clock::now();
        }
        bool done = false;
#if BRIVANT_WITH_TLS
        if (tls_ != nullptr) {
            done = serveTls(sock);
            forget(sock);
            return done;
        }
#endif
        try {
            done = httplib::detail::process_server_socket(
                svr_sock_, sock, keep_alive_max_count_, keep_alive_timeout_sec_, read_timeout_sec_,
                read_timeout_usec_, write_timeout_sec_, write_timeout_usec_,
                [this](httplib::Stream& stream, bool closeConnection, bool& connectionClosed) {
                    return process_request(stream, closeConnection, connectionClosed, nullptr);
                });
        } catch (...) {
        }
        forget(sock);
        return done;
    }

    // Forgotten before it is closed: its number may be another connection's
    // the moment it is.
    void forget(socket_t sock) {
        {
            std::lock_guard<std::mutex> guard(openLock_);
            open_.erase(sock);
        }
        httplib::detail::shutdown_socket(sock);
        httplib::detail::close_socket(sock);
    }

#if BRIVANT_WITH_TLS
    // As httplib's SSLServer serves a connection, with our context.
    bool serveTls(socket_t sock) {
        bool done = false;
        try {
            SSL* ssl = httplib::detail::ssl_new(
                sock, tls_, tlsLock_,
                [&](SSL* accepting) {
                    return httplib::detail::ssl_connect_or_accept_nonblocking(
                        sock, accepting, SSL_accept, read_timeout_sec_, read_timeout_usec_);
                },
                [](SSL*) { return true; });
            if (ssl == nullptr) {
                return false; // the handshake failed: a client that does not trust us, say
            }
            done = httplib::detail::process_server_socket_ssl(
                svr_sock_, ssl, sock, keep_alive_max_count_, keep_alive_timeout_sec_, read_timeout_sec_,
                read_timeout_usec_, write_timeout_sec_, write_timeout_usec_,
                [this, ssl](httplib::Stream& stream, bool closeConnection, bool& connectionClosed) {
                    return process_request(stream, closeConnection, connectionClosed,
                                           [&](httplib::Request& request) { request.ssl = ssl; });
                });
            httplib::detail::ssl_delete(tlsLock_, ssl, done);
        } catch (...) {
        }
        return done;
    }

    SSL_CTX* tls_ = nullptr;
    std::mutex tlsLock_;
#endif

    std::mutex openLock_;
    std::map<socket_t, std::chrono::steady_clock::time_point> open_;
};

constexpr std::size_t kMostWorkers = 256;
constexpr std::size_t kRequestsPerConnection = 100;
constexpr auto kConnectionLife = std::chrono::seconds(30);

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
    GuardedServer http;
    std::unique_ptr<RequestGuard> guard;
    std::string host;
    int port = 0;
    std::string backend = backendName();
    std::function<std::string()> metrics;
    std::atomic<bool> stopped{false};
    bool https = false;
    std::string journal; // the journal GET /api/history reads; empty: none

    void routes();
};

PanelServer::PanelServer(UnitRegistry& registry, std::string token,
                         std::chrono::milliseconds commandDeadline, LiveStation* station)
    : impl_(new Impl{registry, std::move(token), commandDeadline, station, {}, nullptr, {}, 0,
                     backendName(), {}, {false}, false, {}}) {}

PanelServer::~PanelServer() {
    stop();
}

void PanelServer::Impl::routes() {
    // Idle keep-alive connections each hold a thread: room for many pages,
    // and each connection's life bounded (a polling page opens a new one
    // every 100 requests; a client that sends too slowly is cut off).
    http.new_task_queue = [] { return new ElasticPool(kMostWorkers); };
    http.set_keep_alive_max_count(kRequestsPerConnection);
    http.set_keep_alive_timeout(2);
    http.set_read_timeout(5);
    http.set_write_timeout(5);
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
        if (!afterParameter(request, "a sample number", after, response)) {
            return;
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
        std::optional<std::uint64_t> after;
        if (!afterParameter(request, "an event number", after, response)) {
            return;
        }
        std::vector<ConfigEvent> events;
        if (station != nullptr) {
            events = station->events(after.value_or(0));
        }
        response.set_content(eventsJson(events), "application/json");
    });

    http.Get("/api/settings", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(settingsTableJson(), "application/json");
    });

    http.Get("/api/history", [this](const httplib::Request& request, httplib::Response& response) {
        if (journal.empty()) {
            refuse(response, {404, "no journal: brivant serve keeps one for a station"});
            return;
        }
        HistoryQuery query;
        try {
            query = historyQuery(request);
        } catch (const UsageError& error) {
            refuse(response, {400, error.what()});
            return;
        }
        // A journal that cannot be read is an error, never a 200 with
        // words in its body: it is opened before the answer begins.
        try {
            HistoryQuery opening = query;
            opening.most = 0;
            historyRows(journal, opening, [](const JournalRow&) { return false; });
        } catch (const std::exception& error) {
            refuse(response, {503, error.what()});
            return;
        }
        // One JSON object a line, streamed as the journal is read; a
        // request takes at most kMostHistoryRows, and a last line says
        // where to go on from when more rows are there.
        response.set_chunked_content_provider(
            "application/x-ndjson",
            [path = journal, query](std::size_t, httplib::DataSink& sink) {
                std::uint64_t last = 0;
                std::string batch;
                bool open = true;
                bool more = false;
                std::size_t handed = 0;
                HistoryQuery oneMore = query;
                oneMore.most = query.most + 1;
                try {
                    historyRows(path, oneMore, [&](const JournalRow& row) {
                        if (handed == query.most) {
                            more = true;
                            return false;
                        }
                        ++handed;
                        batch += historyLine(row, HistoryFormat::Jsonl);
                        last = row.id;
                        if (batch.size() >= 64 * 1024) {
                            open = sink.write(batch.data(), batch.size());
                            batch.clear();
                        }
                        return open;
                    });
                } catch (const std::exception&) {
                    // The answer has begun: it ends without its last chunk,
                    // which every client takes for an error.
                    return false;
                }
                if (open && more) {
                    batch += "{\"more\":true,\"after\":" + std::to_string(last) + "}\n";
                }
                if (open && !batch.empty()) {
                    sink.write(batch.data(), batch.size());
                }
                sink.done();
                return true;
            });
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

std::string tlsPairProblem(const std::string& cert, const std::string& key) {
#if BRIVANT_WITH_TLS
    std::string why;
    if (SSL_CTX* tls = serverTls(cert, key, why)) {
        SSL_CTX_free(tls);
    }
    return why;
#else
    (void)cert;
    (void)key;
    return "this build of brivant has no TLS";
#endif
}

void PanelServer::journalAt(std::string path) {
    impl_->journal = std::move(path);
}

void PanelServer::onMetrics(std::function<std::string()> text) {
    impl_->metrics = std::move(text);
}

bool loopbackAddress(const std::string& address) {
    return address == "127.0.0.1" || address == "localhost" || address == "::1";
}

namespace {

// This machine's host name and the addresses it resolves to: the names a
// station off loopback answers to unless server_names says otherwise.
std::vector<std::string> ownNames() {
    std::vector<std::string> names;
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') {
        return names;
    }
    names.push_back(host);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &found) == 0) {
        for (addrinfo* at = found; at != nullptr; at = at->ai_next) {
            char text[INET6_ADDRSTRLEN] = {};
            if (::getnameinfo(at->ai_addr, static_cast<socklen_t>(at->ai_addrlen), text, sizeof text,
                              nullptr, 0, NI_NUMERICHOST) == 0 &&
                std::find(names.begin(), names.end(), text) == names.end()) {
                names.push_back(text);
            }
        }
        ::freeaddrinfo(found);
    }
    return names;
}

} // namespace

int PanelServer::bind(const PanelAddress& address) {
    impl_->host = address.listen;
    impl_->https = !address.tlsCert.empty();
    if (impl_->https) {
#if BRIVANT_WITH_TLS
        impl_->http.useTls(address.tlsCert, address.tlsKey);
#else
        throw BindError("this build of brivant has no TLS: tls_cert_file cannot be served");
#endif
    }
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
    std::vector<std::string> names = address.names;
    if (names.empty() && !loopbackAddress(address.listen)) {
        names = ownNames();
    }
    hosts.insert(hosts.end(), names.begin(), names.end());
    impl_->guard = std::make_unique<RequestGuard>(impl_->token, impl_->port, hosts, impl_->https);
    impl_->routes();
    return impl_->port;
}

bool PanelServer::serve() {
    // Cuts off connections older than their life, whatever their client does.
    std::mutex lock;
    std::condition_variable wake;
    bool listening = true;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> guard(lock);
        while (!wake.wait_for(guard, std::chrono::seconds(1), [&] { return !listening; })) {
            impl_->http.closeConnections(kConnectionLife);
        }
    });
    bool listened = false;
    try {
        listened = impl_->http.listen_after_bind();
    } catch (...) {
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        listening = false;
    }
    wake.notify_all();
    watchdog.join();
    return listened || impl_->stopped;
}

void PanelServer::stop() {
    impl_->stopped = true;
    impl_->http.stop();
    // No client holds a worker past the stop.
    impl_->http.closeConnections();
}

std::string PanelServer::answerRaw(const std::string& request) {
    return impl_->http.answerRaw(request);
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
    return (impl_->https ? "https://" : "http://") + host + ":" + std::to_string(impl_->port) +
           "/?token=" + impl_->token;
}

} // namespace brivant::tool
