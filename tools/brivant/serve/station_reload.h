#pragma once

#include <string>

#include "serve/event_log.h"
#include "service/unit_registry.h"
#include "station/live_station.h"

namespace brivant::tool {

// SIGHUP: the station file read again. A file with mistakes is refused and
// the running configuration kept. Whatever goes wrong, serve goes on.
void reloadStation(const std::string& stationPath, LiveStation& live, UnitRegistry& registry,
                   const EventLog& log);

} // namespace brivant::tool
