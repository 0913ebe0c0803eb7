// watch: one unit's counts refreshed until Ctrl-C or a number of refreshes.
#include <cstdio>
#include <memory>

#include "brivant.hpp"
#include "commands.h"
#include "interrupt.h"
#include "number_arguments.h"
#include "tool_errors.h"

#if defined(_WIN32)
#include <io.h>
#define BRIVANT_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define BRIVANT_ISATTY(fd) isatty(fd)
#endif

namespace brivant::tool {

namespace {

struct WatchArguments {
    std::int16_t id = 0;
    long long intervalMs = 200;
    long long refreshes = -1; // until Ctrl-C
};

int runWatch(const WatchArguments& args, Console& console) {
    // On a terminal the line is rewritten in place; in a pipe or file each
    // refresh gets a line of its own.
    const bool inPlace = BRIVANT_ISATTY(fileno(console.out.file())) != 0;
    Unit unit(args.id);
    auto start = SteadyClock::now();
    const auto interval = std::chrono::milliseconds(args.intervalMs);
    bool wroteInPlace = false;
    int status = kExitOk;
    for (long long n = 0; args.refreshes < 0 || n < args.refreshes; ++n) {
        if (!sleepUntil(start + n * interval)) {
            status = kExitInterrupted;
            break;
        }
        Counts all = unit.readCounts();
        char line[128];
        std::snprintf(line, sizeof line, "unit %d  ch0 %11ld 0x%02X  ch1 %9ld 0x%02X  ch2 %9ld 0x%02X",
                      args.id, static_cast<long>(all.counts[0]), all.status[0],
                      static_cast<long>(all.counts[1]), all.status[1],
                      static_cast<long>(all.counts[2]), all.status[2]);
        console.out.write(std::string(inPlace ? "\r" : "") + line + (inPlace ? "" : "\n"));
        wroteInPlace = inPlace;
    }
    if (wroteInPlace) {
        console.out.write("\n");
    }
    return status;
}

} // namespace

void addWatchCommand(CLI::App& app, CommandContext& context) {
    auto args = std::make_shared<WatchArguments>();
    CLI::App* watch = app.add_subcommand(
        "watch", "show a unit's counts and status bytes, refreshed until Ctrl-C");
    watch->footer("Ends after --count refreshes, or at Ctrl-C with status 130. On a terminal\n"
                  "the line is rewritten in place.");
    addUnitId(*watch, args->id);
    watch->add_option("--interval", args->intervalMs, "milliseconds between refreshes (default 200)")
        ->transform(numberFrom(10, 3600000, "interval"))
        ->type_name("MS");
    watch->add_option("--count", args->refreshes, "refresh N times, then end")
        ->transform(numberFrom(1, 1000000000, "count"))
        ->type_name("N");
    selectOnParse(watch, context, [args, &context] { return runWatch(*args, context.console); });
}

} // namespace brivant::tool
