// serve: one process owns a station's units, keeps each one configured as
// its station file says (again after every unplug or power loss), and lets
// the page, the tool and scripts share them through its API.
#include <memory>

#include "commands/commands.h"
#include "journal/journal.h"
#include "export/mqtt/mqtt_publisher.h"
#include "http/panel_server.h"
#include "serve/run_service.h"
#include "station/station_file.h"
#include "util/tool_errors.h"

namespace brivant::tool {

namespace {

struct ServeArguments {
    std::string config;
    std::string check;
    bool save = false;
    std::string logFormat = "text";
};

// What serve would refuse at its start, found without starting it: the
// file's mistakes (64), files it names that cannot be read (66), [mqtt] in
// a build without MQTT, a certificate and key that do not go together and
// a port in use (64).
int checkStation(const std::string& path, Console& console) {
    Station station;
    try {
        station = loadStation(path);
    } catch (const StationFileError& error) {
        for (const std::string& problem : error.problems) {
            console.error(problem);
        }
        return kExitUsage;
    }
    int status = kExitOk;
    const std::vector<std::string> unreadable = unreadableFiles(station);
    for (const std::string& problem : unreadable) {
        console.error(path + ": " + problem);
        status = kExitNoInput;
    }
    // Each pair as serve's HTTPS and the MQTT client would load it, once
    // both files can be read.
    const auto pair = [&](const char* certKey, const std::string& cert, const char* keyKey,
                          const std::string& key) {
        if (cert.empty() || key.empty() || !unreadable.empty()) {
            return;
        }
        if (const std::string problem = tlsPairProblem(cert, key); !problem.empty()) {
            console.error(path + ": " + certKey + " " + cert + " and " + keyKey + " " + key + ": " + problem);
            status = status == kExitOk ? kExitUsage : status;
        }
    };
    pair("tls_cert_file", station.tlsCertFile, "tls_key_file", station.tlsKeyFile);
    if (station.mqtt) {
        pair("mqtt.cert_file", station.mqtt->certFile, "mqtt.key_file", station.mqtt->keyFile);
    }
    if (station.sparkplug) {
        pair("sparkplug.cert_file", station.sparkplug->link.certFile, "sparkplug.key_file",
             station.sparkplug->link.keyFile);
    }
    if (const std::string mqtt = mqttUnsupported(station); !mqtt.empty()) {
        console.error(path + ": " + mqtt);
        status = status == kExitOk ? kExitUsage : status;
    }
    // The station's own [history] path (serve makes the default folders).
    if (station.history.enabled && !station.history.path.empty()) {
        if (const auto problem = journalProblem(station.history.path)) {
            console.error(path + ": " + problem->text);
            status = status == kExitOk ? problem->status : status;
        }
    }
    PanelAddress address;
    address.listen = station.listen;
    address.port = station.port;
    const std::string port = listenProblem(address);
    if (!port.empty()) {
        console.error(path + ": " + port);
        status = status == kExitOk ? kExitUsage : status;
    }
    if (status == kExitOk) {
        console.out.write(path + ": station " + station.name + ", " +
                          std::to_string(station.units.size()) + " unit" +
                          (station.units.size() == 1 ? "" : "s") + "; no mistake found\n");
    }
    return status;
}

int runServe(const ServeArguments& args, Console& console) {
    if (!args.check.empty()) {
        return checkStation(args.check, console);
    }
    if (args.config.empty()) {
        throw UsageError("serve needs --config FILE (a station file; brivant serve --help tells "
                         "its keys), or --check FILE");
    }
    return serveStationFile(args.config, args.save, args.logFormat == "json", console);
}

} // namespace

int serveStationFile(const std::string& config, bool save, bool jsonLog, Console& console,
                     std::function<void()> ready) {
    Station station;
    try {
        station = loadStation(config);
    } catch (const StationFileError& error) {
        for (const std::string& problem : error.problems) {
            console.error(problem);
        }
        return kExitUsage;
    }
    // Files first, then the port: told before any unit is opened.
    const std::vector<std::string> unreadable = unreadableFiles(station);
    if (!unreadable.empty()) {
        throw InputError(config + ": " + unreadable.front());
    }
    ServiceOptions options;
    options.name = "serve";
    options.listen = station.listen;
    options.port = station.port;
    options.portGiven = station.port != 0;
    options.rateHz = station.rateHz;
    options.station = std::move(station);
    options.stationPath = config;
    options.save = save;
    options.jsonLog = jsonLog;
    options.ready = std::move(ready);
    options.interruptStatus = kExitOk; // stopping is serve's normal end
    return runService(options, console);
}

void addServeCommand(CLI::App& app, CommandContext& context) {
    auto args = std::make_shared<ServeArguments>();
    CLI::App* serve = app.add_subcommand(
        "serve", "own a station's units, keep them configured, and share them");
    serve->footer(
        "Holds the units of the station file, configures each one at every open (the\n"
        "first, and again after an unplug, a power loss or a unit that stopped\n"
        "answering) before its next sample, and serves the panel's page and API.\n"
        "Changes made through it are kept as the live configuration (GET /api/config);\n"
        "--save keeps them across restarts in serve's own changes file, never in the\n"
        "station file. Other brivant commands, and the Python\n"
        "package, find it through a file in the user's runtime folder and go through\n"
        "it for its units (--direct skips it). SIGTERM or Ctrl-C stops it (status 0);\n"
        "SIGHUP reads the station file again.\n"
        "Station file (TOML; all but station have defaults):\n"
        "  station = \"bench-1\"   rate_hz = 20   listen = \"127.0.0.1\"   port = 0\n"
        "  [unit.0]  [unit.0.channel.1]  run = true  multiplier = 0  clear_event = 0\n"
        "  input_inversion = [0, 0, 0]  output_inversion = [0, 0]  output_mode = [0, 0]\n"
        "  limiter = [0, 0]  preset = [0, 0]  write_preset = false\n"
        "See examples/station.toml.");
    CLI::Option* config = serve->add_option("--config", args->config, "the station file")
                              ->type_name("FILE");
    serve->add_option("--check", args->check,
                      "check the station file and exit: 0, or 64 with every mistake as "
                      "FILE:LINE:COLUMN")
        ->type_name("FILE")
        ->excludes(config);
    serve->add_flag("--save", args->save,
                    "keep changes across restarts in serve's changes file (in the state folder); "
                    "the station file is never written");
    serve->add_option("--log-format", args->logFormat,
                      "text (default) or json: one JSON object a line on standard error")
        ->check(CLI::Validator(
            [](std::string& text) {
                if (text != "text" && text != "json") {
                    throw UsageError("log format '" + text + "' is not text or json");
                }
                return std::string();
            },
            "text|json"))
        ->type_name("FORMAT");
    selectOnParse(serve, context, [args, &context] {
        refuseInBatch(context, "serve");
        return runServe(*args, context.console);
    });
}

} // namespace brivant::tool
