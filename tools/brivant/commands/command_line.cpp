#include "command_line.h"

#include <cctype>
#include <cstdlib>
#include <memory>

#include <CLI/CLI.hpp>

#include "util/backend_info.h"
#include "brivant.hpp"
#include "commands/commands.h"
#include "util/interrupt.h"
#include "commands/command_arguments.h"
#include "client/serve_client.h"
#include "util/tool_errors.h"
#include "commands/version_info.h"
#include "station/station_file.h"

namespace brivant::tool {

void selectOnParse(CLI::App* command, CommandContext& context, std::function<int()> run) {
    command->callback([&context, run = std::move(run)] { context.selected = run; });
}

void refuseInBatch(const CommandContext& context, const std::string& command) {
    if (context.inBatch) {
        throw UsageError(command + " cannot run inside a batch");
    }
}

namespace {

const char* const kDescription =
    "Drives a counter unit through the BRIVANT library. ID is a unit ID (0 to 15),\n"
    "CH a channel (0 to 2); numbers are decimal or 0x-hex.\n"
    "Exit status: 0 on success, the library's result code (1 to 9) when it refused\n"
    "or failed, 64 for a wrong command line, 66 for an input that cannot be read,\n"
    "74 when output cannot be written, 70 when the system refuses something else,\n"
    "130 after Ctrl-C.";

void addSleepCommand(CLI::App& app, CommandContext& context) {
    auto ms = std::make_shared<long long>(0);
    CLI::App* sleep = app.add_subcommand("sleep", "wait MS milliseconds (for batch files)");
    sleep->add_option("MS", *ms, "milliseconds, 0 to 3600000")
        ->required()
        ->transform(numberFrom(0, 3600000, "MS"));
    selectOnParse(sleep, context, [ms] {
        bool done = sleepUntil(SteadyClock::now() + std::chrono::milliseconds(*ms));
        return done ? kExitOk : kExitInterrupted;
    });
}

void addHelpCommand(CLI::App& app, CommandContext& context) {
    auto topic = std::make_shared<std::string>();
    CLI::App* help = app.add_subcommand("help", "show the list of commands, or one command's help");
    help->add_option("COMMAND", *topic, "the command to tell about");
    selectOnParse(help, context, [topic, &app, &context] {
        if (topic->empty()) {
            // app.help() would show the help of the command being run: help's.
            context.console.out.write(
                app.get_formatter()->make_help(&app, "brivant", CLI::AppFormatMode::Normal));
            return kExitOk;
        }
        CLI::App* command = nullptr;
        try {
            command = app.get_subcommand(*topic);
        } catch (const CLI::OptionNotFound&) {
            throw UsageError("no command '" + *topic + "'; 'brivant --help' lists them");
        }
        context.console.out.write(command->help("brivant"));
        return kExitOk;
    });
}

std::unique_ptr<CLI::App> makeApp(CommandContext& context) {
    auto app = std::make_unique<CLI::App>(kDescription, "brivant");
    app->set_version_flag("-V,--version", [] { return versionText(); },
                          "print the tool's version and the library's");
    app->set_help_flag("-h,--help", "print this help, or a command's with COMMAND --help");
    app->require_subcommand(0, 1);
#ifndef _WIN32
    // The Linux library drives real units unless told otherwise; this must
    // come before the first command that reaches the library.
    app->add_flag_callback(
        "--simulate", [] { setenv("BRIVANT_BACKEND", "sim", 1); },
        "use the simulated units 0, 1 and 5 instead of real ones (BRIVANT_BACKEND=sim)");
    app->fallthrough(); // also after the command's name: brivant list --simulate
#endif
    app->add_flag_callback(
        "--direct", [] { ServeClient::enable(false); },
        "open units here even when a running brivant serve holds them (it then keeps them)");
    app->allow_extras();
    app->get_formatter()->column_width(30);
    app->get_formatter()->label("SUBCOMMAND", "COMMAND");
    app->get_formatter()->label("SUBCOMMANDS", "COMMANDS");
    app->get_formatter()->label("Subcommands", "Commands");
    addUnitCommands(*app, context);
    addWatchCommand(*app, context);
    addListCommand(*app, context);
    addLogCommand(*app, context);
    addPanelCommand(*app, context);
    addServeCommand(*app, context);
#if defined(_WIN32)
    addServiceCommand(*app, context);
#endif
    addHistoryCommand(*app, context);
    addBatchCommand(*app, context);
#ifndef _WIN32
    addUdevProbeCommand(*app, context);
#endif
    addSleepCommand(*app, context);
    addHelpCommand(*app, context);
    for (CLI::App* command : app->get_subcommands({})) {
        command->allow_extras(); // told below in the tool's own words
    }
    return app;
}

// What CLI11 left over: an option no command has, or a word too many.
void refuseLeftovers(const CLI::App& app) {
    const CLI::App* where = &app;
    for (const CLI::App* command : app.get_subcommands()) {
        where = command;
    }
    // An option the command does not know falls through to the tool's own
    // options (--simulate), and stays with the tool when those lack it too.
    std::vector<std::string> left = where->remaining();
    if (left.empty()) {
        left = app.remaining();
    }
    if (left.empty()) {
        return;
    }
    const std::string& first = left.front();
    if (first.size() > 1 && first[0] == '-' && !std::isdigit(static_cast<unsigned char>(first[1]))) {
        throw UsageError("unknown option " + first.substr(0, first.find('=')));
    }
    if (where == &app) {
        throw UsageError("no command '" + first + "'; 'brivant --help' lists them");
    }
    throw UsageError("unexpected argument '" + first + "'; 'brivant " + where->get_name() +
                     " --help' tells its arguments");
}

// A flag given a value (--json=no) would be taken by CLI11 as true or false;
// the tool's flags take none.
void refuseFlagValues(const std::vector<std::string>& args, const CLI::App& app) {
    std::vector<const CLI::App*> commands{&app};
    for (const CLI::App* command : app.get_subcommands({})) {
        commands.push_back(command);
    }
    for (const std::string& arg : args) {
        std::size_t equals = arg.find('=');
        if (arg.rfind("--", 0) != 0 || equals == std::string::npos) {
            continue;
        }
        const std::string name = arg.substr(0, equals);
        bool flag = false, takesValue = false;
        for (const CLI::App* command : commands) {
            for (const CLI::Option* option : command->get_options()) {
                if (option->check_lname(name.substr(2))) {
                    (option->get_items_expected_max() == 0 ? flag : takesValue) = true;
                }
            }
        }
        if (flag && !takesValue) {
            throw UsageError("option " + name + " takes no value");
        }
    }
}

// CLI11's own messages for the cases the tool does not word itself.
std::string parseErrorText(const CLI::ParseError& error) {
    std::string text = error.what();
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

int runParsed(const std::vector<std::string>& args, Console& console, bool inBatch,
              const std::string& where) {
    CommandContext context{console, inBatch, {}};
    std::unique_ptr<CLI::App> app = makeApp(context);
    try {
        try {
            refuseFlagValues(args, *app);
            std::vector<std::string> reversed(args.rbegin(), args.rend());
            app->parse(reversed);
            refuseLeftovers(*app);
        } catch (const CLI::CallForHelp&) {
            const CLI::App* shown = app.get();
            for (const CLI::App* command : app->get_subcommands()) {
                shown = command;
            }
            console.out.write(shown == app.get() ? shown->help() : shown->help("brivant"));
            return kExitOk;
        } catch (const CLI::CallForVersion& version) {
            console.out.write(version.what());
            return kExitOk;
        } catch (const CLI::ArgumentMismatch& error) {
            std::string text = parseErrorText(error);
            std::string name = text.substr(0, text.find(':'));
            if (text.find("At Most") != std::string::npos) {
                throw UsageError("option " + name + " is given more than once");
            }
            throw UsageError("option " + name + " needs a value");
        } catch (const CLI::ParseError& error) {
            std::string text = parseErrorText(error);
            for (const CLI::App* command : app->get_subcommands()) {
                text += "; 'brivant " + command->get_name() + " --help' tells its arguments";
            }
            throw UsageError(text);
        }
        if (!context.selected) {
            console.error(app->help());
            return kExitUsage;
        }
        // Once, before the command: after parsing, where --simulate is seen.
        if (!inBatch && !backendWarning().empty()) {
            console.error(backendWarning());
        }
        return context.selected();
    } catch (const UsageError& error) {
        console.error(where + "brivant: " + error.what());
        return kExitUsage;
    } catch (const StationFileError& error) {
        // A station file's mistakes are the user's to mend, each at its place.
        for (const std::string& problem : error.problems) {
            console.error(where + problem);
        }
        return kExitUsage;
    } catch (const InputError& error) {
        console.error(where + "brivant: " + error.what());
        return kExitNoInput;
    } catch (const OutputError& error) {
        console.error(where + "brivant: " + error.what());
        return kExitOutput;
    } catch (const Error& error) {
        console.error(where + error.what());
        if (error.code().value() == RC_ID_NOT_FOUND) {
            console.error(notFoundHint());
        }
        return error.code().value();
    } catch (const std::exception& error) {
        // What the system refused besides files and output (no random bytes
        // for the panel's token, no thread): the software exit status.
        console.error(where + "brivant: " + error.what());
        return kExitSoftware;
    }
}

} // namespace

int runCommandLine(const std::vector<std::string>& args, Console& console) {
    return runParsed(args, console, false, "");
}

int runBatchLine(const std::vector<std::string>& args, Console& console, const std::string& where) {
    return runParsed(args, console, true, where);
}

} // namespace brivant::tool
