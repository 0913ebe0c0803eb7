// GET /metrics: the station's units in Prometheus's text format (0.0.4),
// labelled by station, unit and channel. Counts and status bytes are
// gauges (a count can be cleared or preset); exchanges, failures,
// reconnections and configurations are counters from serve's start.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "export/mqtt/outbox.h"
#include "export/sparkplug/sparkplug_node.h"
#include "journal/journal.h"
#include "service/unit_reader.h"

namespace brivant::tool {

// `mqtt` absent: serve publishes nowhere, and no brivant_mqtt_ series are
// written.
// `journal` absent: serve keeps no journal, and no brivant_journal_ series
// are written. `sparkplug` absent: no edge node, no brivant_sparkplug_.
std::string metricsText(const std::string& station, const std::vector<UnitView>& units,
                        const std::optional<OutboxTally>& mqtt,
                        const std::optional<JournalTally>& journal = std::nullopt,
                        const std::optional<SparkplugTally>& sparkplug = std::nullopt);

} // namespace brivant::tool
