// The [history] table of a station file, read and written.
#pragma once

#include <ostream>

#include "station/history_settings.h"
#include "station/toml_text.h"

namespace brivant::tool {

void readHistory(const toml::table& table, Problems& problems, HistorySettings& history);
// The [history] table, header included; nothing when it is all defaults.
void writeHistory(std::ostream& out, const HistorySettings& history);

} // namespace brivant::tool
