// log: samples of one or more units, one row per unit per sample, as CSV or
// JSON Lines, to standard output or appended to a file.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "commands.h"
#include "number_arguments.h"
#include "sample_log.h"
#include "tool_errors.h"

namespace brivant::tool {

namespace {

struct LogArguments {
    std::vector<std::int16_t> units;
    long long intervalMs = 1000;
    long long count = 0;
    double durationSeconds = 0;
    std::string format = "csv";
    std::string output;
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

int runLogCommand(const LogArguments& args, Console& console) {
    for (auto it = args.units.begin(); it != args.units.end(); ++it) {
        if (std::find(args.units.begin(), it, *it) != it) {
            throw UsageError("unit ID " + std::to_string(*it) + " is given twice");
        }
    }
    LogPlan plan;
    plan.units = args.units;
    plan.interval = std::chrono::milliseconds(args.intervalMs);
    if (args.count > 0) {
        plan.count = args.count;
    }
    if (args.durationSeconds > 0) {
        plan.duration = std::chrono::duration<double>(args.durationSeconds);
    }
    plan.format = args.format == "jsonl" ? LogFormat::JsonLines : LogFormat::Csv;

    std::unique_ptr<std::FILE, FileCloser> file;
    std::unique_ptr<Output> fileOutput;
    Output* out = &console.out;
    bool newFile = true;
    if (!args.output.empty()) {
        file.reset(std::fopen(args.output.c_str(), "ab"));
        if (!file) {
            throw OutputError("cannot open " + args.output + ": " + std::strerror(errno));
        }
        std::fseek(file.get(), 0, SEEK_END);
        newFile = std::ftell(file.get()) == 0;
        fileOutput = std::make_unique<Output>(file.get(), args.output);
        out = fileOutput.get();
    }
    if (plan.format == LogFormat::Csv && newFile) {
        out->write(kCsvHeader);
    }
    return runLog(plan, *out, console);
}

CLI::Validator positiveSeconds() {
    return CLI::Validator(
        [](std::string& text) {
            char* end = nullptr;
            double value = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !(value > 0) || value > 1e9) {
                throw UsageError("duration '" + text + "' is not a number of seconds above 0");
            }
            return std::string();
        },
        "SECONDS");
}

} // namespace

void addLogCommand(CLI::App& app, CommandContext& context) {
    auto args = std::make_shared<LogArguments>();
    CLI::App* log = app.add_subcommand(
        "log", "record samples of units as CSV or JSON Lines");
    log->footer(
        "One row per unit per sample, written whole and flushed. Sample k is due at\n"
        "k x --interval on a steady clock. A failed read writes a row with its result\n"
        "and empty counts, and the unit is opened again at each following sample.\n"
        "Runs until --count, --duration or Ctrl-C (status 130). CSV header:\n" +
        std::string(kCsvHeader));
    addUnitIds(*log, args->units);
    log->add_option("--interval", args->intervalMs,
                    "milliseconds between samples, 0 for as fast as the units answer (default 1000)")
        ->transform(numberFrom(0, 3600000, "interval"))
        ->type_name("MS");
    CLI::Option* count = log->add_option("--count", args->count, "take N samples, then end")
                             ->transform(numberFrom(1, 1000000000000, "count"))
                             ->type_name("N");
    log->add_option("--duration", args->durationSeconds, "run S seconds, then end")
        ->check(positiveSeconds())
        ->type_name("S")
        ->excludes(count);
    log->add_option("--format", args->format, "csv (default) or jsonl (JSON Lines)")
        ->check(CLI::Validator(
            [](std::string& text) {
                if (text != "csv" && text != "jsonl") {
                    throw UsageError("format '" + text + "' is not csv or jsonl");
                }
                return std::string();
            },
            "csv|jsonl"))
        ->type_name("FORMAT");
    log->add_option("--output", args->output,
                    "append to FILE (the CSV header only when the file is new)")
        ->type_name("FILE");
    selectOnParse(log, context, [args, &context] { return runLogCommand(*args, context.console); });
}

} // namespace brivant::tool
