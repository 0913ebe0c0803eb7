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
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                        s.time.time_since_epoch()).count();
    Json body{{"unit", unit},
              {"run", runId},
              {"n", n},
              {"seq", s.seq},
              {"t", s.t},
              {"time", isoTimeUtc(s.time)},
              {"time_us", us},
              {"result", resultName(s.result)},
              {"code", s.result}};
    if (s.result == RC_OK) {
        body["counts"] = s.counts;
        body["status"] = s.status;
    } else {
        body["counts"] = nullptr;
        body["status"] = nullptr;
    }
    body["configured"] = configured ? Json(*configured) : Json(nullptr);
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
