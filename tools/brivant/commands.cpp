// The brivant tool's table of commands, its help, batch files and the
// dispatch from a command line to a subcommand.
#include <algorithm>
#include <fstream>
#include <iostream>
#include <sstream>

#include "brivant.hpp"
#include "cli.h"
#include "numbers.h"
#include "subcommands.h"

namespace brivant::cli {

volatile std::sig_atomic_t interrupted = 0;

namespace {

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
