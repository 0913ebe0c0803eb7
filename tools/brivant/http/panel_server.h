// The panel's HTTP server: the page built into the binary, and the API of
// panel_api.h over the units of a UnitRegistry, behind the RequestGuard.
// Nothing is served from disk.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "station/live_station.h"
#include "service/unit_registry.h"

namespace brivant::tool {

struct PanelAddress {
    std::string listen = "127.0.0.1"; // the address to listen on
    int port = 0;                     // 0: any free port
    std::string tlsCert;              // both set: HTTPS with this certificate (chain) and key, PEM
    std::string tlsKey;
    std::vector<std::string> names;   // Host names accepted besides the address; none off
                                      // loopback: the host name and its addresses
};

// True for the addresses that only this machine reaches.
bool loopbackAddress(const std::string& address);

// The address cannot be listened on: the port is taken, or the address is
// not this machine's. The message gives the reason.
struct BindError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Why a certificate (chain) and private key, PEM, cannot be used together
// (not a certificate, not a key, not the certificate's key), else empty.
std::string tlsPairProblem(const std::string& cert, const std::string& key);

// Whether the address can be listened on now, without keeping it: the
// reason when it cannot (the port is in use, the address not this
// machine's), else empty.
std::string listenProblem(const PanelAddress& address);

class PanelServer {
public:
    // With `station`, changes go into its live configuration, and the
    // configuration and its events are served.
    PanelServer(UnitRegistry& registry, std::string token,
                std::chrono::milliseconds commandDeadline = std::chrono::seconds(2),
                LiveStation* station = nullptr);
    ~PanelServer();
    PanelServer(const PanelServer&) = delete;
    PanelServer& operator=(const PanelServer&) = delete;

    // GET /metrics answers with what `text` makes (Prometheus's text format);
    // without it the route is 404. Set it before bind().
    void onMetrics(std::function<std::string()> text);
    // GET /api/history reads the journal at `path`; without it the route is
    // 404. Set it before bind().
    void journalAt(std::string path);

    // Binds the address, refusing a port another socket holds; returns the
    // port, or throws BindError.
    int bind(const PanelAddress& address);
    // Serves until stop(); call after bind(). False when the listener ended
    // by itself (its socket failed) rather than through stop().
    bool serve();
    void stop();

    // Answers one request given as the bytes a client sends, as if over a
    // connection, and returns the bytes of the answer: the fuzzer's way in.
    // Call after bind().
    std::string answerRaw(const std::string& request);

    // "http://127.0.0.1:PORT/?token=TOKEN" (https:// with TLS)
    std::string url() const;
    // "http://127.0.0.1:PORT", for clients
    std::string base() const;
    const std::string& token() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace brivant::tool
