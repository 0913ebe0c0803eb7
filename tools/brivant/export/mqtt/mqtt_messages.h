// What serve publishes, as JSON payloads:
//   unit/ID/state   {"unit", "run", "n", "seq", "t", "time", "time_us", "result",
//                    "code", "counts", "status", "configured"}
//   unit/ID/event   {"unit", "event", "result", "code", "time", ...}
//   queue           {"depth", "sent", "dropped", "bound", "time"}
// (run, n) names one state for good: a run ID is made at each start of
// serve, and n counts the unit's states in that run from 1.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "export/mqtt/outbox.h"
#include "journal/journal_row.h"
#include "service/unit_reader.h"
#include "station/live_station.h"

namespace brivant::tool {

std::string statePayload(std::int16_t unit, const std::string& runId, std::uint64_t n,
                         const Sample& sample, std::optional<bool> configured);
// A state forwarded from the journal; one made before the link came up says
// "replayed": true.
std::string statePayload(const JournalRow& row, bool replayed);
std::string unitEventPayload(const UnitEvent& event);
std::string configEventPayload(const ConfigEvent& event);
std::string queuePayload(const OutboxTally& tally, std::size_t bound);

} // namespace brivant::tool
