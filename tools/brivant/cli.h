// The brivant command-line tool: one subcommand per library operation, each
// opening the unit, doing its one thing and closing it again.
#pragma once

#include <csignal>
#include <string>
#include <vector>

namespace brivant::cli {

// Exit statuses: 0 on success, the library's result code (1 to 9) when it
// refused or failed, kExitUsage when the command line is wrong.
constexpr int kExitUsage = 64;

// Set by the Ctrl-C handler; watch and sleep stop when it is.
extern volatile std::sig_atomic_t interrupted;

// Runs one command line given without the program name.
int run(const std::vector<std::string>& args);

} // namespace brivant::cli
