#pragma once

#include <optional>
#include <string>

#include "serve/event_log.h"
#include "station/station_file.h"

namespace brivant::tool {

// The API token: a new one each start, or the one kept in the station's
// token file, so that a scrape job can hold it. A token file not there yet
// is made, readable by its owner alone.
std::string serviceToken(const std::optional<Station>& station, const EventLog& log);

} // namespace brivant::tool
