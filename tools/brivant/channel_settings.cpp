#include "channel_settings.h"

#include "brivant.h"

namespace brivant::tool {

std::string boundText(long long high) {
    return high == 1 ? "0 or 1" : "0 to " + std::to_string(high);
}

bool ChannelSettings::operator==(const ChannelSettings& other) const {
    return run == other.run && multiplier == other.multiplier && clearEvent == other.clearEvent &&
           inputInversion == other.inputInversion && outputInversion == other.outputInversion &&
           outputMode == other.outputMode && limiter == other.limiter && preset == other.preset &&
           writePreset == other.writePreset;
}

std::int16_t sendSettings(std::int16_t id, std::uint8_t ch, const ChannelSettings& s,
                          std::vector<SentSetting>& sent) {
    const std::uint32_t words[2] = {s.preset[0], s.preset[1]};
    const std::vector<std::pair<const char*, std::function<std::int16_t()>>> calls = {
        {"input_inversion",
         [&] { return Brivant_InputInverter(id, ch, s.inputInversion[0], s.inputInversion[1],
                                            s.inputInversion[2]); }},
        {"output_inversion",
         [&] { return Brivant_OutputInverter(id, ch, s.outputInversion[0], s.outputInversion[1]); }},
        {"output_mode", [&] { return Brivant_OutputMode(id, ch, s.outputMode[0], s.outputMode[1]); }},
        {"clear_event", [&] { return Brivant_SelClearEvent(id, ch, s.clearEvent); }},
        {"multiplier", [&] { return Brivant_SelMultiplier(id, ch, s.multiplier); }},
        {"limiter", [&] { return Brivant_SetLimitter(id, ch, s.limiter[0], s.limiter[1]); }},
        {"preset", [&] { return Brivant_WritePresetData(id, ch, words); }},
        {"run", [&] { return Brivant_RunStop(id, ch, s.run ? 1 : 0); }},
    };
    for (const auto& [name, call] : calls) {
        if (std::string(name) == "preset" && !s.writePreset) {
            continue;
        }
        std::int16_t rc = call();
        sent.push_back({name, ch, rc});
        if (rc != RC_OK) {
            return rc;
        }
    }
    return RC_OK;
}

} // namespace brivant::tool
