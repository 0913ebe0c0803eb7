// What `brivant panel` and `brivant serve` run: the unit readers, the HTTP
// server over them, the runtime file through which the tool finds them, and
// the loop that waits for Ctrl-C, SIGTERM or (with a station file) SIGHUP.
// The panel is the service with no station file that opens a browser.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "util/checked_output.h"
#include "station/station_file.h"

namespace brivant::tool {

struct ServiceOptions {
    std::string name = "panel";          // "panel" or "serve", in messages
    std::string listen = "127.0.0.1";
    int port = 0;
    bool portGiven = false;               // by the user: a port in use is their mistake (64)
    double rateHz = 20;
    bool openBrowser = false;
    std::optional<Station> station;         // serve's, as read from stationPath
    std::optional<std::string> stationPath; // serve --config FILE, read again at SIGHUP
    bool save = false;                    // write changes back to the station file
    bool jsonLog = false;                 // events as JSON lines on standard error
    int interruptStatus = 130;            // the exit status after Ctrl-C or SIGTERM
    // Told once the station is up (its address taken, its runtime file
    // written): a service reports itself running only then.
    std::function<void()> ready;
};

// Runs until Ctrl-C or SIGTERM; returns the exit status.
int runService(const ServiceOptions& options, Console& console);

} // namespace brivant::tool
