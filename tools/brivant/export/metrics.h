// GET /metrics: the station's units in Prometheus's text format (0.0.4),
// labelled by station, unit and channel. Counts and status bytes are
// gauges (a count can be cleared or preset); exchanges, failures,
// reconnections and configurations are counters from serve's start.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "unit_reader.h"

namespace brivant::tool {

// The MQTT outbox, as the metrics and the queue topic show it.
struct OutboxTally {
    bool connected = false;
    std::uint64_t depth = 0;   // messages waiting
    std::uint64_t sent = 0;    // acknowledged by the broker (QoS 1) or written (QoS 0)
    std::uint64_t dropped = 0; // the oldest, pushed out of a full queue
};

// `mqtt` absent: serve publishes nowhere, and no brivant_mqtt_ series are
// written.
std::string metricsText(const std::string& station, const std::vector<UnitView>& units,
                        const std::optional<OutboxTally>& mqtt);

} // namespace brivant::tool
