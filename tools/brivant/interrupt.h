// Ctrl-C: the handler only raises a flag; watch, log and panel look at it
// between reads and end with status 130 after writing what they read.
#pragma once

#include <chrono>
#include <csignal>

namespace brivant::tool {

using SteadyClock = std::chrono::steady_clock;

// Installs the Ctrl-C handler, and on POSIX ignores SIGPIPE so that writing
// to a closed pipe fails as a write instead of ending the process silently.
void installSignalHandlers();

bool interruptRequested();
void requestInterrupt();   // as Ctrl-C does; tests use it
void clearInterrupt();

// Sleeps until `due`; false when Ctrl-C came first.
bool sleepUntil(SteadyClock::time_point due);

} // namespace brivant::tool
