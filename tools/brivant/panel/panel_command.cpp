// panel: a live control panel for every present unit, in the browser.
#include <memory>
#include <thread>

#include "backend_info.h"
#include "browser_launch.h"
#include "commands.h"
#include "interrupt.h"
#include "number_arguments.h"
#include "panel_server.h"
#include "random_token.h"
#include "tool_errors.h"

namespace brivant::tool {

namespace {

struct PanelArguments {
    int port = 0;
    std::string listen = "127.0.0.1";
    double rateHz = 20;
    bool noBrowser = false;
};

int runPanel(const PanelArguments& args, Console& console) {
    if (args.listen != "127.0.0.1" && args.listen != "localhost" && args.listen != "::1") {
        console.error("brivant: warning: listening on " + args.listen +
                      ", not on loopback only: anyone who can reach it and has the token can "
                      "drive the units");
    }
    ReaderSettings settings;
    settings.rateHz = args.rateHz;
    UnitRegistry registry(settings);
    registry.start();
    PanelServer server(registry, randomToken());
    PanelAddress address;
    address.listen = args.listen == "localhost" ? "127.0.0.1" : args.listen;
    address.port = args.port;
    try {
        server.bind(address);
    } catch (const BindError& e) {
        registry.stop(std::chrono::seconds(2));
        // A port or address the user named is theirs to change (64); any
        // free port on loopback refused is the system's doing (70).
        if (args.port != 0 || args.listen != "127.0.0.1") {
            throw UsageError(e.what());
        }
        throw;
    }
    try {
        int found = static_cast<int>(registry.readers().size());
        console.out.write("brivant panel: " + std::to_string(found) + " unit" +
                          (found == 1 ? "" : "s") + " found (" + backendDescription() +
                          "); open\n" + server.url() + "\nCtrl-C ends it.\n");
        if (found == 0) {
            console.error(notFoundHint());
        }
    } catch (...) {
        registry.stop(std::chrono::seconds(2));
        throw;
    }
    std::thread serving([&server] { server.serve(); });
    if (!args.noBrowser && !openInBrowser(server.url())) {
        console.error("brivant: could not open a browser; open the address above");
    }
    while (!interruptRequested()) {
        sleepUntil(SteadyClock::now() + std::chrono::milliseconds(200));
    }
    server.stop();
    serving.join();
    if (!registry.stop(std::chrono::seconds(2))) {
        // A unit still inside a call that does not return: the process ends
        // without waiting for it.
        console.error("brivant: a unit did not answer; leaving without waiting for it");
        std::fflush(stdout);
        std::_Exit(kExitInterrupted);
    }
    return kExitInterrupted;
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
        ->transform(numberFrom(1, 100, "rate"))
        ->type_name("HZ");
    panel->add_flag("--no-browser", args->noBrowser, "only print the address");
    selectOnParse(panel, context, [args, &context] {
        refuseInBatch(context, "panel");
        return runPanel(*args, context.console);
    });
}

} // namespace brivant::tool
