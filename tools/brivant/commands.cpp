// The subcommands of the brivant tool and the dispatch between them.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "brivant.hpp"
#include "cli.h"
#include "numbers.h"

#if defined(_WIN32)
#include <io.h>
#define BRIVANT_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define BRIVANT_ISATTY(fd) isatty(fd)
#endif

namespace brivant::cli {

volatile std::sig_atomic_t interrupted = 0;

namespace {

using Args = std::vector<std::string>; // the words after the command name

struct Command {
    const char* name;
    const char* arguments;
    const char* summary;
    const char* details;
    std::size_t minArgs;
    std::size_t maxArgs;
    int (*run)(const Args&);
};

const char* const kChannelHelp = "CH is the channel, 0 to 2.";

// Sleeps `total`, or less when Ctrl-C comes first; false when it did.
bool sleepUnlessInterrupted(std::chrono::milliseconds total) {
    const auto step = std::chrono::milliseconds(20);
    auto end = std::chrono::steady_clock::now() + total;
    while (!interrupted) {
        auto left = end - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            return true;
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, step));
    }
    return false;
}

std::string hexByte(std::uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

// The unit and channel every setting command starts with. Everything on
// the command line is parsed before the unit is opened, so a typo is told as
// such even when the unit is missing.
struct Target {
    std::int16_t id;
    std::uint8_t channel;
};

Target target(const Args& args) {
    return {parseId(args[0]), parseByte(args[1], "channel")};
}

// What a setting command prints once the unit took it.
int done(Target t, const std::string& what) {
    std::cout << "unit " << t.id << " channel " << static_cast<int>(t.channel) << ": " << what << '\n';
    return 0;
}

std::string joined(const Args& args, std::size_t from) {
    std::string text;
    for (std::size_t i = from; i < args.size(); ++i) {
        text += (i > from ? " " : "") + args[i];
    }
    return text;
}

int readCommand(const Args& args) {
    std::int16_t id = parseId(args[0]);
    if (args.size() == 2) {
        std::uint8_t channel = parseByte(args[1], "channel");
        ChannelCount one = Unit(id).readChannel(channel);
        std::cout << "unit " << id << " channel " << static_cast<int>(channel) << ": count "
                  << one.count << ", status " << hexByte(one.status) << '\n';
        return 0;
    }
    Counts all = Unit(id).readCounts();
    std::cout << "unit " << id << "\nchannel        count  status\n";
    for (std::size_t ch = 0; ch < 3; ++ch) {
        char line[64];
        std::snprintf(line, sizeof line, "%7d  %11ld  %s\n", static_cast<int>(ch),
                      static_cast<long>(all.counts[ch]),
                      hexByte(all.status[ch]).c_str());
        std::cout << line;
    }
    return 0;
}

int watchCommand(const Args& args) {
    std::int16_t id = parseId(args[0]);
    long long intervalMs = 200;
    long long refreshes = -1; // until Ctrl-C
    for (std::size_t i = 1; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) {
            throw UsageError("option " + args[i] + " needs a value");
        }
        if (args[i] == "--interval") {
            intervalMs = parseNumber(args[i + 1], 10, 3600000, "interval");
        } else if (args[i] == "--count") {
            refreshes = parseNumber(args[i + 1], 1, 1000000000, "count");
        } else {
            throw UsageError("unknown option '" + args[i] + "'");
        }
    }
    // On a terminal the line is rewritten in place; in a pipe or file each
    // refresh gets a line of its own.
    const bool inPlace = BRIVANT_ISATTY(1) != 0;
    Unit unit(id);
    for (long long n = 0; refreshes < 0 || n < refreshes; ++n) {
        if (n > 0 && !sleepUnlessInterrupted(std::chrono::milliseconds(intervalMs))) {
            break;
        }
        Counts all = unit.readCounts();
        char line[128];
        std::snprintf(line, sizeof line, "unit %d  ch0 %11ld %s  ch1 %9ld %s  ch2 %9ld %s", id,
                      static_cast<long>(all.counts[0]), hexByte(all.status[0]).c_str(),
                      static_cast<long>(all.counts[1]), hexByte(all.status[1]).c_str(),
                      static_cast<long>(all.counts[2]), hexByte(all.status[2]).c_str());
        std::cout << (inPlace ? "\r" : "") << line << (inPlace ? "" : "\n") << std::flush;
    }
    if (inPlace) {
        std::cout << '\n';
    }
    return 0;
}

int inputInvertCommand(const Args& args) {
    Target t = target(args);
    std::uint8_t s1 = parseByte(args[2], "S1"), s2 = parseByte(args[3], "S2"),
                 s3 = parseByte(args[4], "S3");
    Unit(t.id).setInputInversion(t.channel, s1, s2, s3);
    return done(t, "input inversion set to " + joined(args, 2));
}

int outputInvertCommand(const Args& args) {
    Target t = target(args);
    std::uint8_t s1 = parseByte(args[2], "S1"), s2 = parseByte(args[3], "S2");
    Unit(t.id).setOutputInversion(t.channel, s1, s2);
    return done(t, "output inversion set to " + joined(args, 2));
}

int outputModeCommand(const Args& args) {
    Target t = target(args);
    std::uint8_t s1 = parseByte(args[2], "S1"), s2 = parseByte(args[3], "S2");
    Unit(t.id).setOutputMode(t.channel, s1, s2);
    return done(t, "output mode set to " + joined(args, 2));
}

int clearEventCommand(const Args& args) {
    Target t = target(args);
    std::uint8_t selection = parseByte(args[2], "SEL");
    Unit(t.id).selectClearEvent(t.channel, selection);
    return done(t, "clear event " + args[2] + " selected");
}

int multiplierCommand(const Args& args) {
    Target t = target(args);
    std::uint8_t selection = parseByte(args[2], "SEL");
    Unit(t.id).selectMultiplier(t.channel, selection);
    return done(t, "multiplier " + args[2] + " selected");
}

int limiterCommand(const Args& args) {
    Target t = target(args);
    std::uint8_t s1 = parseByte(args[2], "S1"), s2 = parseByte(args[3], "S2");
    Unit(t.id).setLimiter(t.channel, s1, s2);
    return done(t, "limiter set to " + joined(args, 2));
}

int clearCommand(const Args& args) {
    Target t = target(args);
    Unit(t.id).forceClear(t.channel);
    return done(t, "count cleared");
}

int runCommand(const Args& args) {
    Target t = target(args);
    Unit(t.id).run(t.channel);
    return done(t, "running");
}

int stopCommand(const Args& args) {
    Target t = target(args);
    Unit(t.id).stop(t.channel);
    return done(t, "stopped");
}

int presetCommand(const Args& args) {
    Target t = target(args);
    std::uint32_t first = parseWord(args[2], "FIRST");
    std::uint32_t second = parseWord(args[3], "SECOND");
    Unit(t.id).writePreset(t.channel, first, second);
    char words[40];
    std::snprintf(words, sizeof words, "0x%08lX 0x%08lX", static_cast<unsigned long>(first),
                  static_cast<unsigned long>(second));
    return done(t, std::string("preset words ") + words + " written");
}

int sleepCommand(const Args& args) {
    sleepUnlessInterrupted(std::chrono::milliseconds(parseNumber(args[0], 0, 3600000, "MS")));
    return 0;
}

int batchCommand(const Args& args);
int helpCommand(const Args& args);

const Command kCommands[] = {
    {"read", "ID [CH]", "print the counts and status bytes of a unit, or of one channel",
     "Reads all three channels in one exchange with the unit.", 1, 2, readCommand},
    {"watch", "ID [--interval MS] [--count N]",
     "show the three counts and status bytes, refreshed until Ctrl-C",
     "Refreshes every MS milliseconds (200 by default), N times or until Ctrl-C.\n"
     "On a terminal the line is rewritten in place.",
     1, 5, watchCommand},
    {"input-invert", "ID CH S1 S2 S3", "set the input inversion of a channel",
     "S1, S2 and S3 are 0 or 1.", 5, 5, inputInvertCommand},
    {"output-invert", "ID CH S1 S2", "set the output inversion of a channel",
     "S1 and S2 are 0 or 1.", 4, 4, outputInvertCommand},
    {"output-mode", "ID CH S1 S2", "set the output mode of a channel", "S1 and S2 are 0 or 1.", 4,
     4, outputModeCommand},
    {"clear-event", "ID CH SEL", "select the event that clears a channel's count",
     "SEL is 0, 1 or 2.", 3, 3, clearEventCommand},
    {"multiplier", "ID CH SEL", "select the multiplier of a channel", "SEL is 0, 1 or 2.", 3, 3,
     multiplierCommand},
    {"limiter", "ID CH S1 S2", "set the limiter of a channel", "S1 and S2 are 0 or 1.", 4, 4,
     limiterCommand},
    {"clear", "ID CH", "clear a channel's count now (forced clear)", "", 2, 2, clearCommand},
    {"run", "ID CH", "start a channel counting", "", 2, 2, runCommand},
    {"stop", "ID CH", "stop a channel counting", "", 2, 2, stopCommand},
    {"preset", "ID CH FIRST SECOND", "write the two preset words of a channel",
     "FIRST and SECOND are 32-bit words, decimal or 0x-hex (a negative decimal\n"
     "is taken as its two's complement).",
     4, 4, presetCommand},
    {"batch", "[FILE]", "run commands from FILE, or from standard input, one per line",
     "Each line is a command as it would follow 'brivant'; blank lines and lines\n"
     "starting with # are skipped. Stops at the first command that fails, with\n"
     "its exit status. All commands run in one process, so against the\n"
     "simulated units of the Linux build they see each other's effects.",
     0, 1, batchCommand},
    {"sleep", "MS", "wait MS milliseconds (for batch files)", "", 1, 1, sleepCommand},
    {"help", "[COMMAND]", "show this list, or the help of one command", "", 0, 1, helpCommand},
};

const Command* findCommand(const std::string& name) {
    for (const Command& command : kCommands) {
        if (name == command.name) {
            return &command;
        }
    }
    return nullptr;
}

void printUsage(std::ostream& out) {
    out << "usage: brivant COMMAND ARGS...\n\n"
           "Drives a counter unit through the BRIVANT library. ID is the unit ID (0 to 15).\n"
           "Numbers are decimal or 0x-hex.\n\ncommands:\n";
    for (const Command& command : kCommands) {
        std::string left = std::string(command.name) + " " + command.arguments;
        left.resize(std::max<std::size_t>(left.size() + 1, 38), ' ');
        out << "  " << left << command.summary << '\n';
    }
    out << "\n'brivant COMMAND --help' tells more about one command.\n"
           "Exit status: 0 on success, the library's result code (1 to 9) when it refused\n"
           "or failed, 64 when the command line is wrong.\n";
}

void printCommandHelp(const Command& command) {
    std::cout << "usage: brivant " << command.name << ' ' << command.arguments << "\n\n"
              << command.summary << ".\n";
    std::string arguments = command.arguments;
    if (arguments.find("CH") != std::string::npos) {
        std::cout << kChannelHelp << '\n';
    }
    if (*command.details != '\0') {
        std::cout << command.details << '\n';
    }
}

int helpCommand(const Args& args) {
    if (args.empty()) {
        printUsage(std::cout);
        return 0;
    }
    const Command* command = findCommand(args[0]);
    if (command == nullptr) {
        throw UsageError("no command '" + args[0] + "'");
    }
    printCommandHelp(*command);
    return 0;
}

bool inBatch = false;

int batchCommand(const Args& args) {
    if (inBatch) {
        throw UsageError("batch cannot run inside a batch");
    }
    std::ifstream file;
    if (!args.empty()) {
        file.open(args[0]);
        if (!file) {
            throw UsageError("cannot read '" + args[0] + "'");
        }
    }
    std::istream& in = args.empty() ? std::cin : file;
    inBatch = true;
    int status = 0;
    std::string line;
    while (status == 0 && !interrupted && std::getline(in, line)) {
        std::istringstream words(line);
        Args commandLine;
        for (std::string word; words >> word;) {
            commandLine.push_back(word);
        }
        if (commandLine.empty() || commandLine[0][0] == '#') {
            continue;
        }
        std::cout << "> " << joined(commandLine, 0) << '\n';
        status = run(commandLine);
    }
    inBatch = false;
    return status;
}

int dispatch(const Args& args) {
    if (args.empty()) {
        printUsage(std::cerr);
        return kExitUsage;
    }
    if (args[0] == "--help" || args[0] == "-h") {
        printUsage(std::cout);
        return 0;
    }
    const Command* command = findCommand(args[0]);
    if (command == nullptr) {
        throw UsageError("no command '" + args[0] + "'; 'brivant --help' lists them");
    }
    Args rest(args.begin() + 1, args.end());
    if (std::find(rest.begin(), rest.end(), "--help") != rest.end() ||
        std::find(rest.begin(), rest.end(), "-h") != rest.end()) {
        printCommandHelp(*command);
        return 0;
    }
    if (rest.size() < command->minArgs || rest.size() > command->maxArgs) {
        throw UsageError(std::string(rest.size() < command->minArgs ? "too few" : "too many") +
                         " arguments; usage: brivant " + command->name + ' ' +
                         command->arguments);
    }
    return command->run(rest);
}

} // namespace

int run(const std::vector<std::string>& args) {
    try {
        return dispatch(args);
    } catch (const UsageError& e) {
        std::cerr << "brivant: " << e.what() << '\n';
        return kExitUsage;
    } catch (const Error& e) {
        std::cerr << e.what() << '\n';
        return e.code().value();
    }
}

} // namespace brivant::cli
