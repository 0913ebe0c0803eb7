#include "event_log.h"

#include "brivant.hpp"
#include "util/json_text.h"
#include "util/time_text.h"

namespace brivant::tool {

void EventLog::note(const std::string& level, const std::string& event, const std::string& text,
                nlohmann::json fields) const {
    if (!json_) {
        console_.error("brivant " + name_ + ": " + text);
        return;
    }
    nlohmann::json line{{"time", isoTimeUtc(std::chrono::system_clock::now())},
                        {"level", level}, {"event", event}, {"message", text}};
    line.update(fields);
    console_.error(jsonText(line));
}

void EventLog::configured(const ConfigEvent& event) const {
    const bool ok = event.result == RC_OK;
    nlohmann::json sent = nlohmann::json::array();
    for (const SentSetting& one : event.sent) {
        sent.push_back({{"setting", one.name}, {"channel", one.channel},
                        {"result", resultName(one.result)}});
    }
    std::string text = "unit " + std::to_string(event.unit) + " " +
                       (ok ? "configured" : "not configured") + " (" + event.why +
                       (event.action.empty() ? "" : " " + event.action) +
                       "): " + resultName(event.result);
    if (!ok && !event.sent.empty()) {
        text += " at " + event.sent.back().name + " of channel " +
                std::to_string(event.sent.back().channel) + "; sent again after a back-off (0.5 s, doubling up to 30 s)";
    }
    note(ok ? "info" : "warning", event.why == "change" ? "changed" : "configured", text,
         {{"unit", event.unit}, {"why", event.why}, {"result", resultName(event.result)},
          {"sent", sent}});
}

void EventLog::unit(const UnitEvent& event) const {
    const std::string id = std::to_string(event.unit);
    if (event.event == "reconnected") {
        note("info", "unit-answers", "unit " + id + " answers again", {{"unit", event.unit}});
        return;
    }
    const std::string why = event.result == RC_ID_NOT_FOUND
                                ? "is not connected (no unit answers with ID " + id + ")"
                                : "is not answering: " + std::string(resultName(event.result));
    note("warning", "unit-not-answering", "unit " + id + " " + why + "; opened again as soon as it answers",
         {{"unit", event.unit}, {"result", resultName(event.result)}});
}

} // namespace brivant::tool
