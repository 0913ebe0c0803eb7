// The typed arguments of the commands, built on util/number_text.h. Each
// argument is checked by the tool itself and named with its range in the
// message ("channel 3 is not 0 to 2"), before any unit is opened.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "station/channel_table.h"
#include "util/number_text.h"

namespace brivant::tool {

// A CLI11 transform that checks a number the way parseNumber does and hands
// it on in decimal, so that the option's typed value receives it.
CLI::Validator numberFrom(long long low, long long high, const std::string& what);
CLI::Validator word32(const std::string& what);

// The arguments most commands share.
CLI::Option* addUnitId(CLI::App& command, std::int16_t& id);
CLI::Option* addChannel(CLI::App& command, int& channel);
// One or more unit IDs separated by commas, none empty and none twice.
std::vector<std::int16_t> parseUnitList(const std::string& text);
CLI::Option* addUnitIds(CLI::App& command, std::vector<std::int16_t>& ids);


} // namespace brivant::tool
