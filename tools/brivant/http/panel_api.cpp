#include "panel_api.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "brivant.hpp"
#include "station/channel_table.h"
#include "util/json_text.h"
#include "util/number_text.h"
#include "util/time_text.h"

namespace brivant::tool {

namespace {

using Json = nlohmann::json;

void appendNumber(std::string& out, double value, const char* format) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    char text[48];
    std::snprintf(text, sizeof text, format, value);
    out += text;
}

// Names, result names and ISO times hold no character JSON must escape.
void appendString(std::string& out, const std::string& text) {
    out += '"';
    out += text;
    out += '"';
}

template <typename T, std::size_t N>
void appendArray(std::string& out, const std::array<T, N>& values) {
    out += '[';
    for (std::size_t i = 0; i < N; ++i) {
        out += (i > 0 ? "," : "") + std::to_string(values[i]);
    }
    out += ']';
}

void appendSample(std::string& out, const Sample& sample) {
    out += "{\"seq\":" + std::to_string(sample.seq) + ",\"t\":";
    appendNumber(out, sample.t, "%.6f");
    out += ",\"time\":";
    appendString(out, isoTimeUtc(sample.time));
    out += ",\"result\":";
    appendString(out, resultName(sample.result));
    if (sample.result == RC_OK) {
        out += ",\"counts\":";
        appendArray(out, sample.counts);
        out += ",\"status\":";
        appendArray(out, sample.status);
    }
    out += '}';
}

} // namespace

namespace {

template <std::size_t N>
Json numbers(const std::array<std::uint8_t, N>& values) {
    Json out = Json::array();
    for (std::uint8_t value : values) {
        out.push_back(value);
    }
    return out;
}

Json settingJson(const ChannelSetting& setting, const SettingValues& values) {
    if (setting.kind == SettingKind::Switch) {
        return values[0] != 0;
    }
    if (setting.kind == SettingKind::Selection) {
        return values[0];
    }
    return Json(std::vector<std::uint32_t>(values.begin(), values.begin() + setting.count));
}

// A channel's live settings, in the station file's words.
Json settingsJson(const ChannelSettings& s) {
    Json out = Json::object();
    for (const ChannelSetting& setting : channelTable()) {
        out[setting.key] = settingJson(setting, setting.get(s));
    }
    return out;
}

const char* kindName(SettingKind kind) {
    switch (kind) {
    case SettingKind::Switch: return "switch";
    case SettingKind::Selection: return "selection";
    case SettingKind::OnOff: return "on-off";
    case SettingKind::Words: break;
    }
    return "words";
}

} // namespace

std::string settingsTableJson() {
    Json settings = Json::array();
    for (const ChannelSetting& setting : channelTable()) {
        Json row{{"key", setting.key},
                 {"kind", kindName(setting.kind)},
                 {"values", setting.count},
                 {"default", settingJson(setting, setting.get(ChannelSettings{}))}};
        if (setting.kind == SettingKind::Words) {
            row["low"] = kMinWord;
            row["high"] = kMaxWord;
        } else {
            row["low"] = 0;
            row["high"] = setting.high;
        }
        row["frame"] = setting.frame != 0 ? Json(std::string(1, setting.frame)) : Json(nullptr);
        row["action"] = setting.action != nullptr ? Json(setting.action) : Json(nullptr);
        row["fields"] = Json(std::vector<std::string>(setting.fields.begin(), setting.fields.end()));
        row["help"] = setting.help != nullptr ? Json(setting.help) : Json(nullptr);
        settings.push_back(row);
    }
    Json actions = Json::array();
    for (const ChannelAction& action : channelActions()) {
        actions.push_back({{"action", action.action},
                           {"help", action.help},
                           {"sets", action.setting != nullptr ? Json(action.setting) : Json(nullptr)},
                           {"value", action.value}});
    }
    return jsonText(Json{{"settings", settings}, {"actions", actions}});
}

std::string eventsJson(const std::vector<ConfigEvent>& events) {
    Json list = Json::array();
    for (const ConfigEvent& event : events) {
        Json sent = Json::array();
        for (const SentSetting& one : event.sent) {
            sent.push_back({{"setting", one.name}, {"channel", one.channel},
                            {"result", resultName(one.result)}});
        }
        Json item{{"seq", event.seq}, {"time", isoTimeUtc(event.time)}, {"unit", event.unit},
                  {"why", event.why}, {"result", resultName(event.result)},
                  {"code", event.result}, {"sent", sent}};
        if (!event.action.empty()) {
            item["action"] = event.action;
        }
        list.push_back(item);
    }
    return jsonText(Json{{"events", list}});
}

Json readJson(std::int16_t result, const std::array<std::int32_t, 3>& counts,
              const std::array<std::uint8_t, 3>& status) {
    Json out{{"result", resultName(result)}, {"code", result}, {"message", resultMeaning(result)}};
    if (result == RC_OK) {
        out["counts"] = Json::array({counts[0], counts[1], counts[2]});
        out["status"] = numbers(status);
    }
    return out;
}

std::string unitsJson(const std::vector<UnitView>& units, double rateHz,
                      const std::string& backend, const LiveStation* station) {
    std::string out = "{\"backend\":";
    appendString(out, backend);
    if (station) {
        out += ",\"station\":" + jsonText(Json(station->snapshot().name));
    }
    out += ",\"rate_hz\":";
    appendNumber(out, rateHz, "%.9g");
    out += ",\"units\":[";
    for (std::size_t u = 0; u < units.size(); ++u) {
        const UnitView& unit = units[u];
        out += (u > 0 ? ",{\"id\":" : "{\"id\":") + std::to_string(unit.id);
        out += unit.answering ? ",\"answering\":true" : ",\"answering\":false";
        out += ",\"silent_since\":";
        if (unit.silentSince) {
            appendString(out, isoTimeUtc(*unit.silentSince));
        } else {
            out += "null";
        }
        out += ",\"last_result\":";
        appendString(out, resultName(unit.lastResult));
        out += unit.seen ? ",\"seen\":true" : ",\"seen\":false";
        out += ",\"configured\":";
        out += !unit.configured ? "null" : *unit.configured ? "true" : "false";
        out += ",\"settings\":";
        std::optional<UnitSettings> settings = station ? station->unit(unit.id) : std::nullopt;
        if (settings) {
            Json channels = Json::array();
            for (const ChannelSettings& channel : settings->channels) {
                channels.push_back(settingsJson(channel));
            }
            out += jsonText(channels);
        } else {
            out += "null";
        }
        out += ",\"latest\":";
        if (unit.latest) {
            appendSample(out, *unit.latest);
        } else {
            out += "null";
        }
        out += ",\"rate\":[";
        for (std::size_t ch = 0; ch < unit.rate.size(); ++ch) {
            out += ch > 0 ? "," : "";
            if (unit.rate[ch]) {
                appendNumber(out, *unit.rate[ch], "%.9g");
            } else {
                out += "null";
            }
        }
        out += "],\"samples\":[";
        for (std::size_t i = 0; i < unit.samples.size(); ++i) {
            out += i > 0 ? "," : "";
            appendSample(out, unit.samples[i]);
        }
        out += "]}";
    }
    out += "]}";
    return out;
}

} // namespace brivant::tool
