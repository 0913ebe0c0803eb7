// The [sparkplug] table of a station file, read and written.
#pragma once

#include <ostream>

#include "station/sparkplug_settings.h"
#include "station/toml_text.h"

namespace brivant::tool {

// Reads the [sparkplug] table; every mistake goes into `problems`. The
// station's name, the node's ID when edge_node_id is not given, is checked
// by the station file's reader once both are known.
void readSparkplug(const toml::table& table, Problems& problems, SparkplugSettings& sparkplug);
void writeSparkplug(std::ostream& out, const SparkplugSettings& sparkplug);

} // namespace brivant::tool
