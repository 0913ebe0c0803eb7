#include "channel_change.h"

#include <algorithm>

#include "brivant.hpp"
#include "util/number_text.h"
#include "util/tool_errors.h"

namespace brivant::tool {

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

    std::uint8_t setting(const std::string& name, long long high) const {
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
    const auto ch = static_cast<std::uint8_t>(pathNumber(channelText, 0, kMaxChannel, "channel"));
    change.channel = ch;
    change.action = action;
    if (const ChannelAction* plain = actionByName(action)) {
        Fields(body, {});
        if (const ChannelSetting* setting = plain->setting ? settingByKey(plain->setting) : nullptr) {
            const SettingValues values{plain->value, 0, 0};
            change.call = [setting, ch, values](std::int16_t id) { return setting->send(id, ch, values); };
            change.update = [setting, values](ChannelSettings& s) { setting->set(s, values); };
        } else {
            change.call = [send = plain->send, ch](std::int16_t id) { return send(id, ch); };
        }
        return change;
    }
    const ChannelSetting* setting = settingByAction(action);
    if (setting == nullptr) {
        throw ApiError(404, "no action '" + action + "'");
    }
    Fields fields(body, std::vector<std::string>(setting->fields.begin(), setting->fields.end()));
    SettingValues values{};
    for (std::size_t i = 0; i < setting->count; ++i) {
        values[i] = setting->kind == SettingKind::Words ? fields.word(setting->fields[i])
                                                        : fields.setting(setting->fields[i], setting->high);
    }
    change.call = [setting, ch, values](std::int16_t id) { return setting->send(id, ch, values); };
    // A setting with a gate (the preset words) is sent again at each
    // configuration once it has been set by hand.
    const ChannelSetting* gate = setting->gate ? settingByKey(setting->gate) : nullptr;
    change.update = [setting, gate, values](ChannelSettings& s) {
        setting->set(s, values);
        if (gate != nullptr) {
            gate->set(s, SettingValues{1, 0, 0});
        }
    };
    return change;
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

nlohmann::json runChange(UnitRegistry& registry, LiveStation* station, const std::string& unit,
                         const std::string& channel, const std::string& action,
                         const std::string& body, std::chrono::milliseconds deadline,
                         int& status) {
    try {
        ChangeRequest change = parseChange(unit, channel, action, body);
        auto reader = registry.find(change.unit);
        if (!reader) {
            throw ApiError(404, "unit " + std::to_string(change.unit) + " is not held by this " +
                                    (station != nullptr ? "station" : "panel"));
        }
        const bool stationUnit = station != nullptr && station->unit(change.unit).has_value();
        if (stationUnit && change.update) {
            // A unit that is not there takes nothing, and nothing is kept
            // for it: the station file says what it gets when it comes.
            const UnitView view = reader->view(std::nullopt);
            if (!view.seen || !view.answering) {
                status = 200;
                nlohmann::json answer = outcomeJson({CommandOutcome::Kind::Done, RC_ID_NOT_FOUND});
                answer["message"] = "unit " + std::to_string(change.unit) +
                                    " is not answering (unplugged?); nothing was sent or kept";
                return answer;
            }
        }
        // A station's change is its live configuration from now on,
        // whatever the unit answers: one that fails is configured again,
        // all of it, at its next sample. It is kept before it is sent.
        bool kept = stationUnit && change.update &&
                    station->update(change.unit, change.channel, change.update);
        CommandOutcome outcome = reader->command(change.call, deadline);
        const bool done = outcome.kind == CommandOutcome::Kind::Done;
        if (stationUnit) {
            station->recordChange(change.unit, change.action, change.channel,
                                  done ? outcome.result : RC_COMM_FAILED);
            if (kept && (!done || outcome.result != RC_OK)) {
                reader->reconfigure(ConfigureWhy::Change);
            }
        }
        status = done ? 200 : 504;
        return outcomeJson(outcome);
    } catch (const ApiError& error) {
        status = error.status;
        return nlohmann::json{{"error", error.what()}};
    } catch (const OutputError& error) {
        status = 500;
        return nlohmann::json{{"error", std::string("the change cannot be kept: ") + error.what() +
                                            "; nothing was changed"}};
    } catch (const std::exception& error) {
        status = 500;
        return nlohmann::json{{"error", std::string("the change failed: ") + error.what()}};
    }
}

} // namespace brivant::tool
