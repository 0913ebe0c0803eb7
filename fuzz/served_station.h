// A station served over the simulated units for the fuzzers of what comes
// from outside: two live units, serve's readers configured by its live
// configuration, the HTTP server bound (on loopback, never listening) so
// that requests can be handed to it directly.
#pragma once

#include <chrono>
#include <cstdlib>
#include <memory>

#include "station/live_station.h"
#include "http/panel_server.h"
#include "platform/sim/sim.h"
#include "station/station_file.h"
#include "service/unit_registry.h"

namespace brivant::fuzz {

struct ServedStation {
    ServedStation() {
        for (int id : {0, 1}) {
            sim::Unit unit;
            unit.idReply = static_cast<std::uint8_t>(id);
            unit.live = true;
            sim::addUnit(unit);
        }
        live = std::make_unique<tool::LiveStation>(
            tool::parseStation("station = \"fuzz\"\n[unit.0]\n[unit.1]\n[unit.3]\n", "fuzz.toml"));
        tool::LiveStation* station = live.get();
        tool::ReaderSettings settings;
        settings.rateHz = 100;
        registry = std::make_unique<tool::UnitRegistry>(
            settings, tool::StationUnits{{0, 1, 3}, [station](std::int16_t id, tool::ConfigureWhy why) {
                                             return station->configure(id, why);
                                         }});
        registry->start();
        server = std::make_unique<tool::PanelServer>(*registry, token(), std::chrono::milliseconds(500),
                                                     live.get());
        server->bind(tool::PanelAddress{});
    }

    static const char* token() { return "0123456789abcdef0123456789abcdef"; }

    std::unique_ptr<tool::LiveStation> live;
    std::unique_ptr<tool::UnitRegistry> registry;
    std::unique_ptr<tool::PanelServer> server;
};

// Made once: the readers and the server live for the whole run, and the
// readers are stopped when libFuzzer ends it, before the simulated
// platform's own statics go.
inline ServedStation& servedStation() {
    static ServedStation* station = [] {
        auto* made = new ServedStation();
        std::atexit([] { servedStation().registry->stop(std::chrono::seconds(5)); });
        return made;
    }();
    return *station;
}

} // namespace brivant::fuzz
