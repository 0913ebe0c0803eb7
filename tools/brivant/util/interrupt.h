// Ctrl-C and SIGTERM: the handler only raises a flag; watch, log, panel and
// serve look at it between reads and end after writing what they read
// (status 130; serve 0). SIGHUP raises a flag of its own.
#pragma once

#include <chrono>
#include <csignal>

namespace brivant::tool {

using SteadyClock = std::chrono::steady_clock;

// Installs the Ctrl-C handler, and on POSIX ignores SIGPIPE so that writing
// to a closed pipe fails as a write instead of ending the process silently.
void installSignalHandlers();

bool interruptRequested(); // Ctrl-C or SIGTERM
void requestInterrupt();   // as Ctrl-C does; tests use it
void clearInterrupt();
bool terminateRequested(); // SIGTERM

// SIGHUP (POSIX): serve reads its station file again. True once per signal.
bool takeReloadRequest();

// Sleeps until `due`; false when Ctrl-C came first.
bool sleepUntil(SteadyClock::time_point due);

} // namespace brivant::tool
