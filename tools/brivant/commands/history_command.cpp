// history: the samples serve journaled, as CSV or JSON Lines, read from the
// journal while serve goes on writing it.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>

#include <sys/stat.h>

#include "client/runtime_file.h"
#include "commands/command_arguments.h"
#include "commands/commands.h"
#include "journal/history.h"
#include "station/station_file.h"
#include "util/tool_errors.h"
#include "util/owned_file.h"

namespace brivant::tool {

namespace {

struct HistoryArguments {
    std::optional<std::string> units;
    std::optional<std::string> since;
    std::optional<std::string> until;
    std::string format = "csv";
    std::optional<std::string> output;
    bool overwrite = false;
    std::optional<std::string> journal;
    std::optional<std::string> config;
};

// The journal asked for, or the station's, or the one serve running keeps.
std::string journalPath(const HistoryArguments& args) {
    if (args.journal) {
        return *args.journal;
    }
    if (args.config) {
        const Station station = loadStation(*args.config);
        if (!station.history.enabled) {
            throw UsageError(*args.config + " keeps no journal ([history] enabled = false)");
        }
        return station.history.path.empty() ? journalFileFor(station.name) : station.history.path;
    }
    std::vector<std::string> kept;
    for (const ServeRecord& serve : liveServes()) {
        if (!serve.journal.empty()) {
            kept.push_back(serve.journal);
        }
    }
    if (kept.size() == 1) {
        return kept[0];
    }
    throw UsageError(kept.empty() ? "no running brivant serve keeps a journal; give --journal FILE or "
                                    "--config STATION_FILE"
                                  : "more than one brivant serve keeps a journal; give --journal FILE");
}

int runHistory(const HistoryArguments& args, Console& console) {
    const std::int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    HistoryQuery query;
    if (args.units) {
        query.units = parseUnitList(*args.units);
    }
    if (args.since) {
        query.sinceUs = parseHistoryTime(*args.since, now, "--since");
    }
    if (args.until) {
        query.untilUs = parseHistoryTime(*args.until, now, "--until");
    }
    const HistoryFormat format = args.format == "jsonl" ? HistoryFormat::Jsonl : HistoryFormat::Csv;
    const std::string path = journalPath(args);
    OwnedFile file;
    std::optional<Output> fileOutput;
    if (args.output && *args.output != "-") {
        const std::string& name = *args.output;
        struct stat info {};
        const bool exists = ::stat(name.c_str(), &info) == 0;
        if (exists && S_ISDIR(info.st_mode)) {
            throw UsageError("--output " + name + " is a folder: name a file in it");
        }
        // A pipe, a terminal or a device (/dev/stdout, whatever it stands
        // for) is written to as it is; a file that is there is replaced
        // only when asked.
        const bool device = name.rfind("/dev/", 0) == 0;
        if (exists && S_ISREG(info.st_mode) && !device && !args.overwrite) {
            throw OutputError("cannot write " + name + ": it is there (--overwrite replaces it)");
        }
        file.reset(std::fopen(name.c_str(), "wb"));
        if (!file) {
            throw OutputError("cannot write " + name + ": " + std::strerror(errno));
        }
        fileOutput.emplace(file.get(), name);
    }
    Output& out = fileOutput ? *fileOutput : console.out;
    std::string batch = format == HistoryFormat::Csv ? kHistoryCsvHeader : "";
    try {
        historyRows(path, query, [&](const JournalRow& row) {
            batch += historyLine(row, format);
            if (batch.size() >= 64 * 1024) {
                out.write(batch);
                batch.clear();
            }
            return true;
        });
        out.write(batch);
    } catch (const OutputClosed&) {
        // `history | head`: the reader has what it wanted.
    }
    return kExitOk;
}

} // namespace

void addHistoryCommand(CLI::App& app, CommandContext& context) {
    auto args = std::make_shared<HistoryArguments>();
    CLI::App* history = app.add_subcommand("history", "print the samples brivant serve journaled");
    history->footer("Reads the journal of the running serve (or --journal FILE, or the one the\n"
                    "station file --config names) while serve goes on writing it. A time is\n"
                    "2026-12-09T10:00:00Z (UTC), now, or back from now: -90s, -10m, -2h, -1d.");
    history->add_option("--unit", args->units, "unit IDs, 0 to 15, separated by commas (all when left out)");
    history->add_option("--since", args->since, "from this time on");
    history->add_option("--until", args->until, "before this time");
    history->add_option("--format", args->format, "csv (the default) or jsonl")
        ->check(CLI::IsMember({"csv", "jsonl"}));
    CLI::Option* output =
        history->add_option("--output", args->output, "write to FILE instead of standard output (- for it)");
    history->add_flag("--overwrite", args->overwrite, "replace an --output file that is there")->needs(output);
    CLI::Option* journal = history->add_option("--journal", args->journal, "the journal to read");
    history->add_option("--config", args->config, "the station file whose journal to read")->excludes(journal);
    selectOnParse(history, context, [args, &context] { return runHistory(*args, context.console); });
}

} // namespace brivant::tool
