// A channel's settings as TOML: one `key = value` line a setting of the
// channel table, read with every mistake told and written whole.
#pragma once

#include <ostream>
#include <string>

#include "station/channel_table.h"
#include "station/toml_text.h"

namespace brivant::tool {

// Reads `table` into `settings`; `where` names it in messages
// ("unit.0.channel.1.").
void readChannel(const toml::table& table, const std::string& where, Problems& problems,
                 ChannelSettings& settings);

// Every setting of the channel, one line each.
void writeChannel(std::ostream& out, const ChannelSettings& settings);

} // namespace brivant::tool
