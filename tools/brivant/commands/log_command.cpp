// log: samples of one or more units, one row per unit per sample, as CSV or
// JSON Lines, to standard output or into a file.
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include <sys/stat.h>

#include "util/backend_info.h"
#include "client/serve_client.h"
#include "commands/commands.h"
#include "commands/command_arguments.h"
#include "commands/sample_log.h"
#include "util/tool_errors.h"
#include "util/owned_file.h"

namespace brivant::tool {

namespace {

struct LogArguments {
    std::vector<std::int16_t> units;
    long long intervalMs = 1000;
    long long count = 0;
    double durationSeconds = 0;
    std::string format = "csv";
    std::optional<std::string> output;
    bool overwrite = false;
};

// What an existing file already holds: its first line and whether its last
// byte ends a line.
struct FileStart {
    std::string firstLine;
    bool endsLine = true;
};

FileStart readStart(std::FILE* file, const std::string& name) {
    FileStart start;
    std::rewind(file);
    char chunk[4096];
    std::size_t got = std::fread(chunk, 1, sizeof chunk, file);
    if (std::ferror(file)) {
        throw OutputError("cannot read " + name + " to append to it: " + std::strerror(errno));
    }
    start.firstLine.assign(chunk, got);
    start.firstLine = start.firstLine.substr(0, start.firstLine.find('\n'));
    if (!start.firstLine.empty() && start.firstLine.back() == '\r') {
        start.firstLine.pop_back();
    }
    if (std::fseek(file, -1, SEEK_END) == 0) {
        start.endsLine = std::fgetc(file) == '\n';
    }
    std::fseek(file, 0, SEEK_END);
    return start;
}

// Appending must not mix formats: a CSV file starts with the header, a JSON
// Lines file with a record.
void checkSameFormat(const FileStart& start, LogFormat format, const std::string& name) {
    std::string header = kCsvHeader;
    header.pop_back();
    const bool csv = start.firstLine == header;
    const bool json = !start.firstLine.empty() && start.firstLine[0] == '{';
    if (format == LogFormat::Csv && !csv) {
        throw UsageError(name + " does not begin with the CSV header, so CSV is not appended to "
                                "it; --overwrite replaces it");
    }
    if (format == LogFormat::JsonLines && !json) {
        throw UsageError(name + " does not hold JSON Lines, so they are not appended to it; "
                                "--overwrite replaces it");
    }
}

int runLogCommand(const LogArguments& args, Console& console) {
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
    if (args.output && args.output->empty()) {
        throw UsageError("--output needs a file name (- for standard output)");
    }
    if (args.overwrite && (!args.output || *args.output == "-")) {
        throw UsageError("--overwrite needs --output FILE");
    }

    OwnedFile file;
    std::unique_ptr<Output> fileOutput;
    Output* out = &console.out;
    bool header = true;
    bool runMarker = false;
    if (args.output && *args.output != "-") {
        const std::string& name = *args.output;
        // A pipe, a terminal or a device (/dev/stdout) is a stream to write
        // to, not a file whose rows go on.
        struct stat info {};
        const bool exists = ::stat(name.c_str(), &info) == 0;
        const bool regular = !exists || S_ISREG(info.st_mode);
        const char* mode = !regular ? "ab" : args.overwrite ? "wb" : "a+b";
        file.reset(std::fopen(name.c_str(), mode));
        if (!file) {
            throw OutputError("cannot open " + name + ": " + std::strerror(errno));
        }
        fileOutput = std::make_unique<Output>(file.get(), name);
        out = fileOutput.get();
        if (regular) {
            runMarker = true;
            std::fseek(file.get(), 0, SEEK_END);
            if (std::ftell(file.get()) > 0) {
                FileStart start = readStart(file.get(), name);
                checkSameFormat(start, plan.format, name);
                header = false;
                if (!start.endsLine) {
                    out->write("\n");
                }
            }
        }
    }
    if (plan.format == LogFormat::Csv && header) {
        out->write(kCsvHeader);
    }
    if (runMarker) {
        out->write(formatRunStart(plan, std::chrono::system_clock::now(),
                                   ServeClient::backendOf(plan.units)));
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
        "Runs until --count, --duration or Ctrl-C (status 130). Exits 0 when every\n"
        "read succeeded, else with the result code of the last one that failed.\n"
        "--output FILE appends to a file of the same format (or creates it) and marks\n"
        "where each run starts with a RUN_START row (JSON Lines: a run_start record).\n"
        "CSV header:\n" +
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
    log->add_option_function<std::string>(
           "--output", [args](const std::string& name) { args->output = name; },
           "append to FILE, or create it (- for standard output)")
        ->type_name("FILE");
    log->add_flag("--overwrite", args->overwrite, "replace the --output file instead of appending");
    selectOnParse(log, context, [args, &context] { return runLogCommand(*args, context.console); });
}

} // namespace brivant::tool
