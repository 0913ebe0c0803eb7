// What the tool's tests share: live simulated units, output captured in a
// temporary file, and a panel served in-process on a loopback port.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "captured_output.h"
#include "station/live_station.h"
#include "http/panel_server.h"
#include "support.h"
#include "service/unit_registry.h"

namespace brivant::test {

// Adds live (counting) units answering K with each of `ids`.
inline void addLiveUnits(std::initializer_list<int> ids) {
    for (int id : ids) {
        sim::Unit unit = unitWithId(id);
        unit.live = true;
        sim::addUnit(unit);
    }
}

// A panel over the simulated units, serving on a free loopback port until
// the object goes; given a station file, serve's: the station's units,
// configured by its live configuration, which the server changes.
class ServedPanel {
public:
    explicit ServedPanel(tool::ReaderSettings settings = {},
                         std::chrono::milliseconds deadline = std::chrono::seconds(2))
        : registry_(std::make_unique<tool::UnitRegistry>(settings, std::chrono::milliseconds(200))) {
        serve(deadline);
    }
    ServedPanel(const std::string& stationToml, tool::ReaderSettings settings,
                std::optional<std::string> changesPath = std::nullopt)
        : live_(std::make_unique<tool::LiveStation>(tool::parseStation(stationToml, "test.toml"),
                                                    std::move(changesPath))) {
        std::vector<std::int16_t> ids;
        for (const auto& entry : live_->snapshot().units) {
            ids.push_back(entry.first);
        }
        tool::LiveStation* live = live_.get();
        registry_ = std::make_unique<tool::UnitRegistry>(
            settings, tool::StationUnits{ids, [live](std::int16_t id, tool::ConfigureWhy why) {
                                             return live->configure(id, why);
                                         }});
        serve(std::chrono::seconds(2));
    }
    ~ServedPanel() {
        server_->stop();
        serving_.join();
        registry_->stop(std::chrono::seconds(5));
    }

    static std::string token() { return "0123456789abcdef0123456789abcdef"; }
    int port() const { return port_; }
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
    tool::UnitRegistry& registry() { return *registry_; }
    tool::LiveStation& live() { return *live_; }

    httplib::Client client() const {
        httplib::Client client("127.0.0.1", port_);
        client.set_connection_timeout(5);
        client.set_read_timeout(10);
        return client;
    }
    // A POST as the page sends it.
    httplib::Result change(const std::string& path, const std::string& body) const {
        return client().Post(path.c_str(), {{"X-Brivant-Token", token()}}, body,
                             "application/json");
    }
    httplib::Result units(const std::string& query = "") const {
        return client().Get(("/api/units" + query).c_str(), {{"X-Brivant-Token", token()}});
    }

private:
    void serve(std::chrono::milliseconds deadline) {
        server_ = std::make_unique<tool::PanelServer>(*registry_, token(), deadline, live_.get());
        registry_->start();
        port_ = server_->bind({});
        serving_ = std::thread([this] { server_->serve(); });
    }

    std::unique_ptr<tool::LiveStation> live_;
    std::unique_ptr<tool::UnitRegistry> registry_;
    std::unique_ptr<tool::PanelServer> server_;
    int port_ = 0;
    std::thread serving_;
};

} // namespace brivant::test
