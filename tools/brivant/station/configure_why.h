// Why a unit's settings are sent to it: each configuration is told as an
// event with its reason.
#pragma once

namespace brivant::tool {

enum class ConfigureWhy {
    Start,     // the first time it is opened
    Reconnect, // opened again after a failure: unplugged, powered off, silent
    Change,    // a change to it failed, so all of its settings go again
    Reload,    // the station file was read again
};
const char* whyName(ConfigureWhy why); // "start", "reconnect", "change", "reload"

} // namespace brivant::tool
