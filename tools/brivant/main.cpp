// brivant: drive a counter unit from a terminal. `brivant --help` lists the
// commands.
#include <csignal>
#include <string>
#include <vector>

#include "cli.h"

namespace {

extern "C" void onInterrupt(int) {
    brivant::cli::interrupted = 1;
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGINT, onInterrupt);
    std::vector<std::string> args(argv + 1, argv + argc);
    return brivant::cli::run(args);
}
