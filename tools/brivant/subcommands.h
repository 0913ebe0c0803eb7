// The subcommands that act on a unit, each given the words after its name
// (already counted against the command table) and returning the exit status.
// A refusal of the library is thrown as brivant::Error, a bad word as
// UsageError.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace brivant::cli {

using Args = std::vector<std::string>;

int readCommand(const Args& args);
int watchCommand(const Args& args);
int inputInvertCommand(const Args& args);
int outputInvertCommand(const Args& args);
int outputModeCommand(const Args& args);
int clearEventCommand(const Args& args);
int multiplierCommand(const Args& args);
int limiterCommand(const Args& args);
int clearCommand(const Args& args);
int runCommand(const Args& args);
int stopCommand(const Args& args);
int presetCommand(const Args& args);
int sleepCommand(const Args& args);

// Sleeps `total`, or less when Ctrl-C comes first; false when it did.
bool sleepUnlessInterrupted(std::chrono::milliseconds total);

// args[from] onwards, separated by spaces.
std::string joined(const Args& args, std::size_t from);

} // namespace brivant::cli
