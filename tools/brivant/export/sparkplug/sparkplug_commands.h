// What a host's command comes to, read apart from the node that acts on
// it: an NCMD's rebirth, a DCMD's setting writes, and why each of the rest
// is refused. Whatever the bytes, the answer is one of these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "export/sparkplug/sparkplug_model.h"

namespace brivant::tool::sparkplug {

struct Refusal {
    std::string kind; // "ncmd-malformed", "ncmd-unknown", "dcmd-malformed", "dcmd-refused": told once each
    std::string text;
};

struct HostCommand {
    bool rebirth = false;
    std::vector<SettingWrite> writes;
    std::vector<Refusal> refused;
};

// An NCMD: Node Control/Rebirth = true (by name or alias); any other metric
// is refused.
HostCommand readNodeCommand(const std::uint8_t* bytes, std::size_t size);
// A DCMD to `unit`: each metric a write of one setting's value, checked as
// the API checks it (settingWrite), or refused.
HostCommand readDeviceCommand(std::int16_t unit, const std::uint8_t* bytes, std::size_t size);

} // namespace brivant::tool::sparkplug
