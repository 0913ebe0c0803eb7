// A host's command as the node reads it, from anyone allowed to publish on
// its NCMD and DCMD topics. The first byte picks the topic (even: NCMD;
// odd: a DCMD to unit byte/2 % 16), the rest is the payload. Whatever it
// holds, the answer is a rebirth, writes the unit can take, or refusals
// that say why; never a crash.
#include <cstddef>
#include <cstdint>
#include <string>

#include "export/sparkplug/sparkplug_commands.h"
#include "fuzz_require.h"

using namespace brivant::tool;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool toNode = (data[0] & 1) == 0;
    const auto unit = static_cast<std::int16_t>((data[0] >> 1) % 16);
    const sparkplug::HostCommand command = toNode ? sparkplug::readNodeCommand(data + 1, size - 1)
                                                  : sparkplug::readDeviceCommand(unit, data + 1, size - 1);
    for (const sparkplug::Refusal& refusal : command.refused) {
        require(!refusal.kind.empty() && !refusal.text.empty(), "a refusal says what and why");
    }
    require(!toNode || command.writes.empty(), "an NCMD writes no setting");
    require(toNode || !command.rebirth, "a DCMD asks no rebirth");
    for (const sparkplug::SettingWrite& write : command.writes) {
        require(write.setting != nullptr && write.channel >= 0 && write.channel <= 2, "a write names a channel");
        require(write.index < write.setting->count, "a write names one of the setting's values");
        require(write.setting->action != nullptr || std::string(write.setting->key) == "run",
                "a write changes what the API can change");
        const long long high = write.setting->kind == SettingKind::Words ? 0xFFFFFFFFLL : write.setting->high;
        require(static_cast<long long>(write.value) <= high, "a write is within the setting's bounds");
    }
    return 0;
}
