#include "service.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include <nlohmann/json.hpp>

#include "atomic_file.h"
#include "backend_info.h"
#include "browser_launch.h"
#include "interrupt.h"
#include "json_text.h"
#include "live_station.h"
#include "metrics.h"
#include "panel_server.h"
#include "random_token.h"
#include "runtime_file.h"
#include "sample_log.h"
#include "station_file.h"
#include "tool_errors.h"
#if BRIVANT_WITH_MQTT
#include "mqtt_publisher.h"
#endif

namespace brivant::tool {

namespace {

bool stdoutIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stdout)) != 0;
#else
    return ::isatty(STDOUT_FILENO) != 0;
#endif
}

// serve's lines on standard error: plain words, or one JSON object a line
// for journald and log shippers.
class EventLog {
public:
    EventLog(const Console& console, bool json, std::string name)
        : console_(console), json_(json), name_(std::move(name)) {}

    void note(const std::string& level, const std::string& event, const std::string& text,
              nlohmann::json fields = nlohmann::json::object()) const {
        if (!json_) {
            console_.error("brivant " + name_ + ": " + text);
            return;
        }
        nlohmann::json line{{"time", isoTimeUtc(std::chrono::system_clock::now())},
                            {"level", level}, {"event", event}, {"message", text}};
        line.update(fields);
        console_.error(jsonText(line));
    }

    void configured(const ConfigEvent& event) const {
        const bool ok = event.result == RC_OK;
        nlohmann::json sent = nlohmann::json::array();
        for (const SentSetting& one : event.sent) {
            sent.push_back({{"setting", one.name}, {"channel", one.channel},
                            {"result", resultName(one.result)}});
        }
        std::string text = "unit " + std::to_string(event.unit) + " " +
                           (ok ? "configured" : "not configured") + " (" + event.why +
                           (event.action.empty() ? "" : " " + event.action) +
                           "): " + resultName(event.result);
        if (!ok && !event.sent.empty()) {
            text += " at " + event.sent.back().name + " of channel " +
                    std::to_string(event.sent.back().channel) + "; sent again after a back-off (0.5 s, doubling up to 30 s)";
        }
        note(ok ? "info" : "warning", event.why == "change" ? "changed" : "configured", text,
             {{"unit", event.unit}, {"why", event.why}, {"result", resultName(event.result)},
              {"sent", sent}});
    }

private:
    const Console& console_;
    bool json_;
    std::string name_;
};

std::vector<std::int16_t> idsOf(const Station& station) {
    std::vector<std::int16_t> ids;
    for (const auto& entry : station.units) {
        ids.push_back(entry.first);
    }
    return ids;
}

// SIGHUP: the station file read again. A file with mistakes is refused and
// the running configuration kept. Whatever goes wrong, serve goes on.
void reload(const ServiceOptions& options, LiveStation& live, UnitRegistry& registry,
            const EventLog& log) {
    Station next;
    try {
        next = loadStation(*options.stationPath);
    } catch (const StationFileError& error) {
        log.note("error", "reload-refused",
                 *options.stationPath + " has mistakes; the running configuration is kept:\n" +
                     error.what(),
                 {{"problems", error.problems}});
        return;
    } catch (const std::exception& error) {
        log.note("error", "reload-refused",
                 std::string(error.what()) + "; the running configuration is kept");
        return;
    }
    const LiveStation::Reloaded reloaded = live.reload(next);
    const std::vector<std::int16_t>& changed = reloaded.changed;
    const std::vector<std::string>& notTaken = reloaded.notTaken;
    const std::string& failed = reloaded.failed;
    for (std::int16_t id : changed) {
        if (auto reader = registry.find(id)) {
            reader->reconfigure(ConfigureWhy::Reload);
        }
    }
    std::string text = "read " + *options.stationPath + " again: " + std::to_string(changed.size()) +
                       " unit" + (changed.size() == 1 ? "" : "s") + " to configure again";
    log.note("info", "reloaded", text, {{"units", changed}});
    for (const std::string& channel : reloaded.overruled) {
        log.note("info", "change-replaced",
                 channel + ": edited in " + *options.stationPath +
                     "; the file's settings replace the change made through the API");
    }
    if (!notTaken.empty()) {
        std::string keys;
        for (const std::string& one : notTaken) {
            keys += (keys.empty() ? "" : "; ") + one;
        }
        log.note("warning", "reload-needs-restart",
                 "changed in " + *options.stationPath + " but not applied until serve restarts: " + keys,
                 {{"keys", notTaken}});
    }
    if (!failed.empty()) {
        log.note("error", "changes-not-kept", failed + "; the running configuration is as reloaded");
    }
}

// The API token: a new one each start, or the one kept in the station's
// token file, so that a scrape job can hold it. A token file not there yet
// is made, readable by its owner alone.
std::string serviceToken(const std::optional<Station>& station, const EventLog& log) {
    if (!station || station->tokenFile.empty()) {
        return randomToken();
    }
    const std::string& path = station->tokenFile;
    std::ifstream in(path);
    if (!in) {
        if (errno != ENOENT) {
            throw InputError("cannot read the token file " + path + ": " + std::strerror(errno));
        }
        std::string token = randomToken();
        replaceFile(path, token + "\n", 0600);
        log.note("info", "token-made", "made a new token in " + path);
        return token;
    }
    std::string token;
    std::getline(in, token);
    while (!token.empty() && (token.back() == '\r' || token.back() == ' ')) {
        token.pop_back();
    }
    if (token.size() < 16 || token.find_first_of(" \t") != std::string::npos) {
        throw UsageError("the token file " + path +
                         " must hold a token of at least 16 characters, without spaces, on its "
                         "first line");
    }
    if (othersCanRead(path)) {
        log.note("warning", "token-readable",
                 "the token file " + path + " can be read by every user (chmod o-r it; its group may read it)");
    }
    return token;
}

std::vector<std::int16_t> heldIds(const UnitRegistry& registry) {
    std::vector<std::int16_t> ids;
    for (const auto& reader : registry.readers()) {
        ids.push_back(reader->id());
    }
    return ids;
}

// One station's units have one serve: a second one would fight the first
// for them, and the tool would reach only one of the two.
void refuseSharedUnits(const Station& station) {
    for (const ServeRecord& other : liveServes()) {
        std::string shared;
        for (std::int16_t id : other.units) {
            if (station.units.count(id) != 0) {
                shared += (shared.empty() ? "" : ",") + std::to_string(id);
            }
        }
        if (!shared.empty()) {
            throw UsageError("unit " + shared + " of station " + station.name + " is held by brivant serve (" +
                             (other.station.empty() ? std::string("a panel") : "station " + other.station) +
                             ", pid " + std::to_string(other.pid) + "); stop it first");
        }
    }
}

} // namespace

int runService(const ServiceOptions& options, Console& console) {
    EventLog log(console, options.jsonLog, options.name);
    const std::optional<Station>& station = options.station;
    if (station) {
        refuseSharedUnits(*station);
    }
    const bool tls = station && !station->tlsCertFile.empty();
    if (!loopbackAddress(options.listen)) {
        console.error("brivant: warning: listening on " + options.listen +
                      ", not on loopback only: anyone who can reach it and has the token can "
                      "drive the units");
        if (!tls) {
            log.note("warning", "plain-http",
                     "WARNING: serving plain HTTP on " + options.listen +
                         ": the token and every count cross the network in the clear; set "
                         "tls_cert_file and tls_key_file in the station file");
        }
    }
    ReaderSettings settings;
    settings.rateHz = options.rateHz;
    const std::string token = serviceToken(station, log);
#if BRIVANT_WITH_MQTT
    std::unique_ptr<MqttPublisher> publisher;
    if (station && station->mqtt) {
        publisher = std::make_unique<MqttPublisher>(
            *station, [&log](const std::string& level, const std::string& event,
                             const std::string& text) { log.note(level, event, "mqtt: " + text); });
        settings.listener = publisher->listener();
    }
    MqttPublisher* mqtt = publisher.get();
    // Readers first, then the publisher: their last samples still go out.
    struct StopPublisher {
        std::unique_ptr<MqttPublisher>& publisher;
        ~StopPublisher() {
            if (publisher) {
                publisher->stop();
            }
        }
    };
#else
    if (station && station->mqtt) {
        throw UsageError(options.stationPath.value_or("the station file") +
                         ": [mqtt]: this build of brivant has no MQTT (it was built without "
                         "libmosquitto)");
    }
#endif
    std::unique_ptr<LiveStation> live;
    std::unique_ptr<UnitRegistry> registry;
    if (station) {
        std::optional<std::string> changesPath;
        if (options.save) {
            changesPath = changesFileFor(station->name);
        }
        live = std::make_unique<LiveStation>(*station, changesPath, options.stationPath.value_or(""));
        for (const std::string& note : live->startNotes()) {
            log.note("info", "changes", note);
        }
        if (changesPath) {
            log.note("info", "changes-file",
                     "changes made through the API are kept in " + *changesPath +
                         " (the station file is never written)");
        }
#if BRIVANT_WITH_MQTT
        live->onEvent([&log, mqtt](const ConfigEvent& event) {
            log.configured(event);
            if (mqtt != nullptr) {
                mqtt->configEvent(event);
            }
        });
#else
        live->onEvent([&log](const ConfigEvent& event) { log.configured(event); });
#endif
        LiveStation* liveStation = live.get();
        registry = std::make_unique<UnitRegistry>(
            settings, StationUnits{idsOf(*station), [liveStation](std::int16_t id, ConfigureWhy why) {
                                       return liveStation->configure(id, why);
                                   }});
    } else {
        registry = std::make_unique<UnitRegistry>(settings);
    }
#if BRIVANT_WITH_MQTT
    StopPublisher stopPublisher{publisher};
    if (publisher) {
        UnitRegistry* units = registry.get();
        LiveStation* liveStation = live.get();
        publisher->onCommand([units, liveStation](const std::string& unit, const std::string& channel,
                                                  const std::string& action, const std::string& body,
                                                  int& status) {
            return runChange(*units, liveStation, unit, channel, action, body,
                             std::chrono::seconds(2), status);
        });
        publisher->start();
    }
#endif
    PanelServer server(*registry, token, std::chrono::seconds(2), live.get());
    const std::string stationName = station ? station->name : "";
    server.onMetrics([&registry, stationName
#if BRIVANT_WITH_MQTT
                      , mqtt
#endif
    ] {
        std::vector<UnitView> views;
        for (const auto& reader : registry->readers()) {
            views.push_back(reader->view(std::nullopt));
        }
        std::optional<OutboxTally> outbox;
#if BRIVANT_WITH_MQTT
        if (mqtt != nullptr) {
            outbox = mqtt->tally();
        }
#endif
        return metricsText(stationName, views, outbox);
    });
    PanelAddress address;
    address.listen = options.listen == "localhost" ? "127.0.0.1" : options.listen;
    address.port = options.port;
    if (tls) {
        address.tlsCert = station->tlsCertFile;
        address.tlsKey = station->tlsKeyFile;
    }
    if (station) {
        address.names = station->serverNames;
    }
    try {
        server.bind(address);
    } catch (const BindError& e) {
        registry->stop(std::chrono::seconds(2));
        // A port or address the user named is theirs to change (64); any
        // free port on loopback refused is the system's doing (70).
        if (options.portGiven || options.listen != "127.0.0.1") {
            throw UsageError(e.what());
        }
        throw;
    }
    // The units are opened and configured once the address is ours: a port
    // in use is told before any unit is touched.
    registry->start();
    std::unique_ptr<RuntimeFile> runtime;
    try {
        runtime = std::make_unique<RuntimeFile>(
            ServeRecord{currentPid(), server.base(), server.token(), station ? station->name : "", "",
                        heldIds(*registry), backendName()});
    } catch (const std::runtime_error& e) {
        console.error("brivant: warning: " + std::string(e.what()) +
                      "; other brivant commands will not find this " + options.name);
    }
    try {
        std::string what;
        if (station) {
            what = "station " + station->name + ", " + std::to_string(station->units.size()) +
                   " unit" + (station->units.size() == 1 ? "" : "s");
        } else {
            int found = static_cast<int>(registry->readers().size());
            what = std::to_string(found) + " unit" + (found == 1 ? "" : "s") + " found";
            if (found == 0) {
                console.error(notFoundHint());
            }
        }
        // The token goes only to a person at a terminal (and the panel's
        // browser): a service's output is kept in a journal others read.
        std::string pageLine = server.url() + "\n";
        if (options.name == "serve" && !stdoutIsTerminal()) {
            const std::string where = station && !station->tokenFile.empty() ? station->tokenFile
                                      : runtime                              ? runtime->path()
                                                                             : "";
            pageLine = server.base() + "/\n" +
                   (where.empty() ? std::string("The page's token is not kept anywhere (see the log).\n")
                                  : "The page's token is in " + where + ".\n");
        }
        console.out.write("brivant " + options.name + ": " + what + " (" + backendDescription() +
                          "); open\n" + pageLine + "Ctrl-C ends it.\n");
    } catch (...) {
        registry->stop(std::chrono::seconds(2));
        throw;
    }
    // The listener's thread: it tells when it ends, so that a listener that
    // stops by itself ends serve (its service manager starts it again) and
    // a stop never waits on a client that holds a connection open.
    struct Listening {
        std::mutex lock;
        std::condition_variable ended;
        bool done = false;
        bool failed = false;
    };
    auto listening = std::make_shared<Listening>();
    std::thread serving([&server, listening] {
        bool ok = false;
        try {
            ok = server.serve();
        } catch (...) {
        }
        std::lock_guard<std::mutex> guard(listening->lock);
        listening->done = true;
        listening->failed = !ok;
        listening->ended.notify_all();
    });
    if (options.openBrowser && !openInBrowser(server.url())) {
        console.error("brivant: could not open a browser; open the address above");
    }
    int status = options.interruptStatus;
    while (!interruptRequested()) {
        sleepUntil(SteadyClock::now() + std::chrono::milliseconds(200));
        if (takeReloadRequest() && live) {
            try {
                reload(options, *live, *registry, log);
            } catch (const std::exception& e) {
                log.note("error", "reload-failed", std::string("SIGHUP: ") + e.what());
            }
        }
        std::lock_guard<std::mutex> guard(listening->lock);
        if (listening->done) {
            log.note("error", "listener-stopped",
                     "the HTTP listener on " + server.base() +
                         " stopped; ending so that the service manager starts " + options.name +
                         " again");
            status = kExitSoftware;
            break;
        }
    }
    if (status == options.interruptStatus) {
        log.note("info", "stopping", std::string(terminateRequested() ? "SIGTERM" : "interrupted") +
                                         ": stopping");
    }
    server.stop();
    bool joined = false;
    {
        std::unique_lock<std::mutex> guard(listening->lock);
        joined = listening->ended.wait_for(guard, std::chrono::seconds(2), [&] { return listening->done; });
    }
    if (joined) {
        serving.join();
    } else {
        log.note("warning", "clients-abandoned",
                 "a client still holds a connection; stopping without waiting for it");
    }
    if (runtime) {
        runtime->remove();
    }
    if (!registry->stop(std::chrono::seconds(2)) || !joined) {
        // A unit still inside a call that does not return, or a connection
        // that does not end: the process ends without waiting for them, with
        // its runtime file removed and the broker told.
        if (joined) {
            console.error("brivant: a unit did not answer; leaving without waiting for it");
        }
#if BRIVANT_WITH_MQTT
        if (publisher) {
            publisher->stop();
        }
#endif
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(status);
    }
    return status;
}

} // namespace brivant::tool
