// panel: a live control panel for every present unit, in the browser.
#include <memory>

#include "commands/commands.h"
#include "commands/command_arguments.h"
#include "serve/run_service.h"

namespace brivant::tool {

namespace {

struct PanelArguments {
    int port = 0;
    std::string listen = "127.0.0.1";
    double rateHz = 20;
    bool noBrowser = false;
};

int runPanel(const PanelArguments& args, Console& console) {
    ServiceOptions options;
    options.name = "panel";
    options.listen = args.listen;
    options.port = args.port;
    options.portGiven = args.port != 0;
    options.rateHz = args.rateHz;
    options.openBrowser = !args.noBrowser;
    return runService(options, console);
}

} // namespace

void addPanelCommand(CLI::App& app, CommandContext& context) {
    auto args = std::make_shared<PanelArguments>();
    CLI::App* panel = app.add_subcommand("panel", "a live control panel of every unit, in the browser");
    panel->footer(
        "Prints http://127.0.0.1:PORT/?token=TOKEN and opens it. The page shows each\n"
        "unit's counts, rates, status bits and last minute, and offers every action on\n"
        "each channel. One thread per unit reads it --rate times a second, however\n"
        "many pages are open. Every request needs the token; only this machine can\n"
        "connect unless --listen names another address. Ctrl-C ends it (status 130).");
    panel->add_option("--port", args->port, "port to listen on (default: any free one)")
        ->transform(numberFrom(0, 65535, "port"))
        ->type_name("N");
    panel->add_option("--listen", args->listen, "address to listen on (default 127.0.0.1)")
        ->type_name("ADDR");
    panel->add_option("--rate", args->rateHz, "reads of each unit per second (default 20)")
        ->transform(numberFrom(1, 1000, "rate"))
        ->type_name("HZ");
    panel->add_flag("--no-browser", args->noBrowser, "only print the address");
    selectOnParse(panel, context, [args, &context] {
        refuseInBatch(context, "panel");
        return runPanel(*args, context.console);
    });
}

} // namespace brivant::tool
