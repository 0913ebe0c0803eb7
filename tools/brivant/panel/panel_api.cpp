#include "panel_api.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "brivant.hpp"
#include "json_text.h"
#include "number_arguments.h"
#include "sample_log.h"
#include "tool_errors.h"

namespace brivant::tool {

const std::vector<std::string> kActions = {
    "run", "stop", "clear", "preset", "multiplier", "clear-event",
    "input-inversion", "output-inversion", "output-mode", "limiter"};

namespace {

using Json = nlohmann::json;

// A path part as a number from low to high; 400 naming `what` otherwise.
long long pathNumber(const std::string& text, long long low, long long high, const char* what) {
    try {
        return parseNumber(text, low, high, what);
    } catch (const UsageError& e) {
        throw ApiError(400, e.what());
    }
}

// The body's fields, each checked once: the body is an object, every field
// asked for is there, no other field is.
class Fields {
public:
    Fields(const std::string& body, std::vector<std::string> names) {
        try {
            json_ = Json::parse(body);
        } catch (const Json::parse_error& e) {
            throw ApiError(400, std::string("the body is not JSON: ") + e.what());
        }
        if (!json_.is_object()) {
            throw ApiError(400, "the body must be a JSON object");
        }
        for (const auto& item : json_.items()) {
            if (std::find(names.begin(), names.end(), item.key()) == names.end()) {
                throw ApiError(400, "unknown field '" + item.key() + "'");
            }
        }
        for (const std::string& name : names) {
            if (!json_.contains(name)) {
                throw ApiError(400, "missing field '" + name + "'");
            }
        }
    }

    std::uint8_t setting(const std::string& name, int high) const {
        const Json& value = json_.at(name);
        if (!value.is_number_integer() || value.get<long long>() < 0 || value.get<long long>() > high) {
            throw ApiError(400, "field '" + name + "' must be " + boundText(high));
        }
        return static_cast<std::uint8_t>(value.get<long long>());
    }

    // A word is taken as the tool takes one: -2147483648 to 4294967295, a
    // negative number standing for its two's complement, or a string of one
    // in decimal or 0x-hex.
    std::uint32_t word(const std::string& name) const {
        const Json& value = json_.at(name);
        const std::string wanted = "field '" + name +
                                   "' must be a 32-bit word: -2147483648 to 4294967295 (a negative "
                                   "value is taken as its two's complement), or a string of one "
                                   "in decimal or 0x-hex";
        if (value.is_number_unsigned() && value.get<unsigned long long>() <= 0xFFFFFFFFull) {
            return static_cast<std::uint32_t>(value.get<unsigned long long>());
        }
        if (value.is_number_integer() && !value.is_number_unsigned() &&
            value.get<long long>() >= kMinWord && value.get<long long>() <= kMaxWord) {
            return static_cast<std::uint32_t>(value.get<long long>());
        }
        if (value.is_string()) {
            try {
                return parseWord(value.get<std::string>(), name);
            } catch (const UsageError&) {
            }
        }
        throw ApiError(400, wanted);
    }

private:
    Json json_;
};

} // namespace

ChangeRequest parseChange(const std::string& unitText, const std::string& channelText,
                          const std::string& action, const std::string& body) {
    ChangeRequest change;
    change.unit = static_cast<std::int16_t>(pathNumber(unitText, 0, kMaxUnitId, "unit ID"));
    auto ch = static_cast<std::uint8_t>(pathNumber(channelText, 0, kMaxChannel, "channel"));
    change.channel = ch;
    change.action = action;
    using Call = std::function<std::int16_t(std::int16_t)>;
    using Update = std::function<void(ChannelSettings&)>;
    Call call;
    Update update;
    if (action == "run" || action == "stop") {
        Fields(body, {});
        std::uint8_t run = action == "run" ? 1 : 0;
        call = [ch, run](std::int16_t id) { return Brivant_RunStop(id, ch, run); };
        update = [run](ChannelSettings& s) { s.run = run == 1; };
    } else if (action == "clear") {
        Fields(body, {});
        call = [ch](std::int16_t id) { return Brivant_ForcedClear(id, ch); };
    } else if (action == "preset") {
        Fields fields(body, {"first", "second"});
        std::uint32_t words[2] = {fields.word("first"), fields.word("second")};
        call = [ch, first = words[0], second = words[1]](std::int16_t id) {
            const std::uint32_t data[2] = {first, second};
            return Brivant_WritePresetData(id, ch, data);
        };
        // Written once by hand, the words are written again at each
        // configuration, so a unit that comes back has them too.
        update = [first = words[0], second = words[1]](ChannelSettings& s) {
            s.preset = {first, second};
            s.writePreset = true;
        };
    } else if (action == "multiplier" || action == "clear-event") {
        Fields fields(body, {"selection"});
        std::uint8_t selection = fields.setting("selection", kMaxSelection);
        bool multiplier = action == "multiplier";
        call = [ch, selection, multiplier](std::int16_t id) {
            return multiplier ? Brivant_SelMultiplier(id, ch, selection)
                              : Brivant_SelClearEvent(id, ch, selection);
        };
        update = [selection, multiplier](ChannelSettings& s) {
            (multiplier ? s.multiplier : s.clearEvent) = selection;
        };
    } else if (action == "input-inversion") {
        Fields fields(body, {"s1", "s2", "s3"});
        std::uint8_t s1 = fields.setting("s1", kMaxOnOff), s2 = fields.setting("s2", kMaxOnOff),
                     s3 = fields.setting("s3", kMaxOnOff);
        call = [=](std::int16_t id) { return Brivant_InputInverter(id, ch, s1, s2, s3); };
        update = [=](ChannelSettings& s) { s.inputInversion = {s1, s2, s3}; };
    } else if (action == "output-inversion" || action == "output-mode" || action == "limiter") {
        Fields fields(body, {"s1", "s2"});
        std::uint8_t s1 = fields.setting("s1", kMaxOnOff), s2 = fields.setting("s2", kMaxOnOff);
        auto function = action == "output-inversion" ? Brivant_OutputInverter
                        : action == "output-mode"    ? Brivant_OutputMode
                                                     : Brivant_SetLimitter;
        call = [=](std::int16_t id) { return function(id, ch, s1, s2); };
        auto member = action == "output-inversion" ? &ChannelSettings::outputInversion
                      : action == "output-mode"    ? &ChannelSettings::outputMode
                                                   : &ChannelSettings::limiter;
        update = [=](ChannelSettings& s) { s.*member = {s1, s2}; };
    } else {
        throw ApiError(404, "no action '" + action + "'");
    }
    change.update = std::move(update);
    change.call = std::move(call);
    return change;
}

namespace {

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

// A channel's live settings, in the station file's words.
Json settingsJson(const ChannelSettings& s) {
    return Json{{"run", s.run},
                {"multiplier", s.multiplier},
                {"clear_event", s.clearEvent},
                {"input_inversion", numbers(s.inputInversion)},
                {"output_inversion", numbers(s.outputInversion)},
                {"output_mode", numbers(s.outputMode)},
                {"limiter", numbers(s.limiter)},
                {"preset", Json::array({s.preset[0], s.preset[1]})},
                {"write_preset", s.writePreset}};
}

} // namespace

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

Json outcomeJson(const CommandOutcome& outcome) {
    switch (outcome.kind) {
    case CommandOutcome::Kind::Done:
        return Json{{"result", resultName(outcome.result)},
                    {"code", outcome.result},
                    {"message", resultMeaning(outcome.result)}};
    case CommandOutcome::Kind::NotSent:
        return Json{{"error", "the unit is busy with a call that has not returned; nothing was sent"},
                    {"sent", false}};
    case CommandOutcome::Kind::NoAnswer:
        break;
    }
    return Json{{"error", "sent, and the unit had not answered by the deadline"}, {"sent", true}};
}

} // namespace brivant::tool
