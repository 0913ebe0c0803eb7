// The panel's HTTP server: the page built into the binary, and the API of
// panel_api.h over the units of a UnitRegistry, behind the RequestGuard.
// Nothing is served from disk.
#pragma once

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

#include "live_station.h"
#include "unit_registry.h"

namespace brivant::tool {

struct PanelAddress {
    std::string listen = "127.0.0.1"; // the address to listen on
    int port = 0;                     // 0: any free port
};

// The address cannot be listened on: the port is taken, or the address is
// not this machine's. The message gives the reason.
struct BindError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

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

    // Binds the address, refusing a port another socket holds; returns the
    // port, or throws BindError.
    int bind(const PanelAddress& address);
    // Serves until stop(); call after bind().
    void serve();
    void stop();

    // "http://127.0.0.1:PORT/?token=TOKEN"
    std::string url() const;
    // "http://127.0.0.1:PORT", for clients
    std::string base() const;
    const std::string& token() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace brivant::tool
