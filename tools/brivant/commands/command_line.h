// The brivant command line: parsing with CLI11, help and version, and the
// exit status of each kind of failure.
#pragma once

#include <string>
#include <vector>

#include "util/checked_output.h"

namespace brivant::tool {

// Runs one command line given without the program name; returns the exit
// status: 0, the library's result code, or one of tool_errors.h.
int runCommandLine(const std::vector<std::string>& args, Console& console);

// One line of a batch: as runCommandLine, with every error message starting
// with `where` ("FILE:LINE: "); a batch inside a batch is refused.
int runBatchLine(const std::vector<std::string>& args, Console& console, const std::string& where);

} // namespace brivant::tool
