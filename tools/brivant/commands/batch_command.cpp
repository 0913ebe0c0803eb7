// batch: commands from a file or standard input, one a line, in one process.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>

#include "commands/command_line.h"
#include "commands/commands.h"
#include "util/interrupt.h"
#include "util/tool_errors.h"
#include "util/owned_file.h"

namespace brivant::tool {

namespace {

struct BatchArguments {
    std::string file = "-";
    bool keepGoing = false;
};

// Reads one line without its end; false at the end of the input. A read
// error throws InputError with the system's reason.
bool readLine(std::FILE* in, const std::string& name, std::string& line) {
    line.clear();
    char chunk[512];
    errno = 0;
    while (std::fgets(chunk, sizeof chunk, in) != nullptr) {
        line += chunk;
        if (!line.empty() && line.back() == '\n') {
            line.pop_back();
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return true;
        }
    }
    if (std::ferror(in)) {
        throw InputError("cannot read " + name + ": " + std::strerror(errno != 0 ? errno : EIO));
    }
    return !line.empty();
}

// The words of a line up to a word that starts with #.
std::vector<std::string> wordsOf(const std::string& line) {
    std::istringstream stream(line);
    std::vector<std::string> words;
    for (std::string word; stream >> word;) {
        if (word[0] == '#') {
            break;
        }
        words.push_back(word);
    }
    return words;
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) {
        text += (text.empty() ? "" : " ") + word;
    }
    return text;
}

int runBatch(const BatchArguments& args, Console& console) {
    const bool fromStdin = args.file == "-";
    const std::string name = fromStdin ? "<stdin>" : args.file;
    OwnedFile opened;
    if (!fromStdin) {
        opened.reset(std::fopen(args.file.c_str(), "r"));
        if (!opened) {
            throw InputError("cannot read " + name + ": " + std::strerror(errno));
        }
    }
    std::FILE* in = fromStdin ? stdin : opened.get();
    int firstFailure = kExitOk;
    std::string line;
    for (int number = 1; !interruptRequested() && readLine(in, name, line); ++number) {
        std::vector<std::string> words = wordsOf(line);
        if (words.empty()) {
            continue;
        }
        // Standard output stays what the commands print (JSON that parses).
        console.error("> " + joined(words));
        int status = runBatchLine(words, console, name + ':' + std::to_string(number) + ": ");
        if (status != kExitOk && firstFailure == kExitOk) {
            firstFailure = status;
        }
        if (status != kExitOk && !args.keepGoing) {
            break;
        }
    }
    // Ctrl-C says more than an earlier line's failure: the batch did not end.
    return interruptRequested() ? kExitInterrupted : firstFailure;
}

} // namespace

void addBatchCommand(CLI::App& app, CommandContext& context) {
    auto args = std::make_shared<BatchArguments>();
    CLI::App* batch = app.add_subcommand(
        "batch", "run commands from a file or standard input, one a line");
    batch->footer(
        "Each line is a command as it would follow 'brivant'. Blank lines and text\n"
        "from a word starting with # are skipped. Stops at the first command that\n"
        "fails, with its exit status, unless --keep-going. All commands run in one\n"
        "process, so against the simulated units of the Linux build they see each\n"
        "other's effects. Each line is echoed to standard error as '> LINE'; panel\n"
        "cannot run inside a batch.");
    batch->add_option("FILE", args->file, "file of commands, - for standard input");
    batch->add_flag("--keep-going", args->keepGoing,
                    "carry on after a failed line; the exit status is the first failure's");
    selectOnParse(batch, context, [args, &context] {
        refuseInBatch(context, "batch");
        return runBatch(*args, context.console);
    });
}

} // namespace brivant::tool
