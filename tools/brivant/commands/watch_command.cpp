// watch: units' counts refreshed until Ctrl-C or a number of refreshes.
#include <cstdio>
#include <memory>

#include "brivant.hpp"
#include "commands/commands.h"
#include "util/interrupt.h"
#include "commands/command_arguments.h"
#include "commands/sample_log.h"
#include "util/tool_errors.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
#define BRIVANT_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define BRIVANT_ISATTY(fd) isatty(fd)
#endif

namespace brivant::tool {

namespace {

struct WatchArguments {
    std::vector<std::int16_t> units;
    long long intervalMs = 200;
    long long refreshes = -1; // until Ctrl-C
};

std::string watchLine(const SampleRow& row) {
    char line[128];
    if (row.result != RC_OK) {
        std::snprintf(line, sizeof line, "unit %d  %s", row.unit, resultName(row.result));
        return line;
    }
    const Counts& all = row.counts;
    std::snprintf(line, sizeof line, "unit %d  ch0 %11ld 0x%02X  ch1 %9ld 0x%02X  ch2 %9ld 0x%02X",
                  row.unit, static_cast<long>(all.counts[0]), all.status[0],
                  static_cast<long>(all.counts[1]), all.status[1],
                  static_cast<long>(all.counts[2]), all.status[2]);
    return line;
}

// On a terminal the lines are rewritten in place: the cursor goes back up
// over the units' lines, each of which is cleared before it is written.
bool terminalTakesEscapes(std::FILE* file) {
    if (BRIVANT_ISATTY(fileno(file)) == 0) {
        return false;
    }
#if defined(_WIN32)
    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(console, &mode) &&
           SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#else
    return true;
#endif
}

int runWatch(const WatchArguments& args, Console& console) {
    const bool inPlace = terminalTakesEscapes(console.out.file());
    std::vector<SampledUnit> units;
    for (std::int16_t id : args.units) {
        units.push_back(SampledUnit{id, std::nullopt, false});
    }
    const auto start = SteadyClock::now();
    const auto interval = std::chrono::milliseconds(args.intervalMs);
    RunStatus status;
    bool interrupted = false;
    for (long long n = 0; args.refreshes < 0 || n < args.refreshes; ++n) {
        if (!sleepUntil(start + n * interval)) {
            interrupted = true;
            break;
        }
        std::string text;
        if (inPlace && n > 0) {
            text = "\x1b[" + std::to_string(units.size()) + "F";
        }
        for (SampledUnit& sampled : units) {
            SampleRow row = sampleUnit(sampled, start, console);
            status.note(row);
            noteChange(sampled, row, console);
            text += (inPlace ? "\x1b[2K" : "") + watchLine(row) + '\n';
        }
        console.out.write(text);
    }
    return status.exitStatus(interrupted || interruptRequested());
}

} // namespace

void addWatchCommand(CLI::App& app, CommandContext& context) {
    auto args = std::make_shared<WatchArguments>();
    CLI::App* watch = app.add_subcommand(
        "watch", "show units' counts and status bytes, refreshed until Ctrl-C");
    watch->footer("Ends after --count refreshes, or at Ctrl-C with status 130. On a terminal\n"
                  "the lines are rewritten in place. A unit that fails shows its result and\n"
                  "is opened again at each refresh; the exit status is then the result code\n"
                  "of the last failure, as for log.");
    addUnitIds(*watch, args->units);
    watch->add_option("--interval", args->intervalMs, "milliseconds between refreshes (default 200)")
        ->transform(numberFrom(10, 3600000, "interval"))
        ->type_name("MS");
    watch->add_option("--count", args->refreshes, "refresh N times, then end")
        ->transform(numberFrom(1, 1000000000, "count"))
        ->type_name("N");
    selectOnParse(watch, context, [args, &context] { return runWatch(*args, context.console); });
}

} // namespace brivant::tool
