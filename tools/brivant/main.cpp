// brivant: see, record and drive counter units from a terminal or a browser.
// `brivant --help` lists the commands.
#include <cstdio>
#include <string>
#include <vector>

#include "util/checked_output.h"
#include "commands/command_line.h"
#include "util/interrupt.h"
#include "client/serve_client.h"

int main(int argc, char** argv) {
    brivant::tool::installSignalHandlers();
    // A unit that a running serve holds is reached through it (--direct: not).
    brivant::tool::ServeClient::enable(true);
    std::vector<std::string> args(argv + 1, argv + argc);
    brivant::tool::Output out(stdout, "standard output");
    brivant::tool::Console console{out};
    return brivant::tool::runCommandLine(args, console);
}
