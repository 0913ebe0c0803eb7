// The brivant commands. Each add...Command function describes one command's
// arguments to CLI11 once, and what runs when that command is given.
#pragma once

#include <functional>

#include <CLI/CLI.hpp>

#include "util/checked_output.h"

namespace brivant::tool {

struct CommandContext {
    Console& console;
    bool inBatch = false;
    // Set when parsing picks a command; returns the exit status.
    std::function<int()> selected;
};

// Makes `run` what the command line runs when `command` is the one given.
void selectOnParse(CLI::App* command, CommandContext& context, std::function<int()> run);

// Long-running commands (a batch, a server) cannot be one line of a batch:
// the lines after them would never run. Throws UsageError in a batch.
void refuseInBatch(const CommandContext& context, const std::string& command);

void addUnitCommands(CLI::App& app, CommandContext& context); // read and the settings
void addWatchCommand(CLI::App& app, CommandContext& context);
void addListCommand(CLI::App& app, CommandContext& context);
void addLogCommand(CLI::App& app, CommandContext& context);
void addBatchCommand(CLI::App& app, CommandContext& context);
void addPanelCommand(CLI::App& app, CommandContext& context);
void addServeCommand(CLI::App& app, CommandContext& context);
// serve over a station file, as `serve --config` and the Windows service run it.
// `ready`: told once serve is up (the Windows service reports itself
// running then).
int serveStationFile(const std::string& config, bool save, bool jsonLog, Console& console,
                     std::function<void()> ready = {});
void addServiceCommand(CLI::App& app, CommandContext& context); // the Windows service
void addHistoryCommand(CLI::App& app, CommandContext& context);
#ifndef _WIN32
void addUdevProbeCommand(CLI::App& app, CommandContext& context); // for the udev rule
#endif

} // namespace brivant::tool
