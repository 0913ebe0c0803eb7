#include "mqtt_messages.h"

#include <nlohmann/json.hpp>

#include "brivant.hpp"
#include "util/json_text.h"
#include "util/time_text.h"

namespace brivant::tool {

namespace {

using Json = nlohmann::json;

std::string eventPayload(std::int16_t unit, Json body) {
    body["unit"] = unit;
    if (!body.contains("time")) {
        body["time"] = isoTimeUtc(std::chrono::system_clock::now());
    }
    return jsonText(body);
}

} // namespace

std::string statePayload(std::int16_t unit, const std::string& runId, std::uint64_t n,
                         const Sample& s, std::optional<bool> configured) {
    JournalRow row;
    row.timeUs = std::chrono::duration_cast<std::chrono::microseconds>(s.time.time_since_epoch()).count();
    row.unit = unit;
    row.run = runId;
    row.n = n;
    row.seq = s.seq;
    row.t = s.t;
    row.result = s.result;
    row.counts = s.counts;
    row.status = s.status;
    row.configured = configured;
    return statePayload(row, false);
}

std::string statePayload(const JournalRow& row, bool replayed) {
    const auto time = std::chrono::system_clock::time_point(std::chrono::microseconds(row.timeUs));
    Json body{{"unit", row.unit},
              {"run", row.run},
              {"n", row.n},
              {"seq", row.seq},
              {"t", row.t},
              {"time", isoTimeUtc(time)},
              {"time_us", row.timeUs},
              {"result", resultName(row.result)},
              {"code", row.result}};
    if (row.result == RC_OK) {
        body["counts"] = row.counts;
        body["status"] = row.status;
    } else {
        body["counts"] = nullptr;
        body["status"] = nullptr;
    }
    body["configured"] = row.configured ? Json(*row.configured) : Json(nullptr);
    if (replayed) {
        body["replayed"] = true;
    }
    return jsonText(body);
}

std::string unitEventPayload(const UnitEvent& e) {
    return eventPayload(e.unit, Json{{"event", e.event},
                                     {"result", resultName(e.result)},
                                     {"code", e.result},
                                     {"time", isoTimeUtc(e.time)}});
}

std::string configEventPayload(const ConfigEvent& e) {
    Json body{{"event", e.result == RC_OK ? "configured" : "failed"},
              {"why", e.why},
              {"result", resultName(e.result)},
              {"code", e.result},
              {"time", isoTimeUtc(e.time)}};
    if (!e.action.empty()) {
        body["action"] = e.action;
    }
    if (e.result != RC_OK && !e.sent.empty()) {
        body["setting"] = e.sent.back().name;
        body["channel"] = e.sent.back().channel;
    }
    return eventPayload(e.unit, body);
}

std::string queuePayload(const OutboxTally& tally, std::size_t bound) {
    return jsonText(Json{{"depth", tally.depth}, {"sent", tally.sent}, {"dropped", tally.dropped},
                         {"bound", bound}, {"time", isoTimeUtc(std::chrono::system_clock::now())}});
}

} // namespace brivant::tool
