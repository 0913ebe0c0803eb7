#include "run_service.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include <sys/stat.h>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include <nlohmann/json.hpp>

#include "brivant.h"
#include "client/runtime_file.h"
#include "export/metrics.h"
#include "export/mqtt/mqtt_messages.h"
#include "export/mqtt/mqtt_publisher.h"
#include "export/sparkplug/sparkplug_node.h"
#include "http/panel_server.h"
#include "journal/journal.h"
#include "serve/browser_launch.h"
#include "serve/event_log.h"
#include "serve/service_token.h"
#include "serve/station_reload.h"
#include "service/channel_change.h"
#include "station/live_station.h"
#include "util/backend_info.h"
#include "util/interrupt.h"
#include "util/random_token.h"
#include "util/tool_errors.h"

namespace brivant::tool {

namespace {

bool stdoutIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stdout)) != 0;
#else
    return ::isatty(STDOUT_FILENO) != 0;
#endif
}

std::vector<std::int16_t> idsOf(const Station& station) {
    std::vector<std::int16_t> ids;
    for (const auto& entry : station.units) {
        ids.push_back(entry.first);
    }
    return ids;
}

std::int64_t microsecondsOf(std::chrono::system_clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
}

// The station's journal, when it keeps one: in the station file's place or
// the state folder, begun before the first sample.
std::unique_ptr<Journal> openJournal(const std::optional<Station>& station, double rateHz,
                                     const EventLog& log) {
    if (!station || !station->history.enabled) {
        return nullptr;
    }
    if (!journalBuiltIn()) {
        log.note("warning", "journal-unavailable",
                 "this build of brivant keeps no journal ([history] is not applied)");
        return nullptr;
    }
    HistorySettings history = station->history;
    if (history.path.empty()) {
        history.path = journalFileFor(station->name);
    }
    // Ten seconds of every unit's samples wait in memory for the disk.
    const double perSecond = rateHz * static_cast<double>(std::max<std::size_t>(1, station->units.size()));
    history.memoryRows = std::max<std::size_t>(10000, static_cast<std::size_t>(perSecond * 10));
    history.forwarded = station->mqtt.has_value() || station->sparkplug.has_value();
    auto journal = std::make_unique<Journal>(
        history, randomToken().substr(0, 16),
        [&log](const std::string& level, const std::string& event, const std::string& text) {
            log.note(level, event, text);
        });
    for (const std::string& note : journal->notes()) {
        log.note("warning", "journal-moved-aside", note);
    }
    log.note("info", "journal",
             "every sample is kept in " + journal->path() + " (committed every " +
                 std::to_string(history.syncMs) + " ms; kept " + durationText(history.keepSeconds) +
                 ", at most " + std::to_string(history.maxMb) + " MB)");
    journal->start();
    return journal;
}

// What the readers tell: into the journal first, then to the links.
std::shared_ptr<const ReaderListener> readerListener(const EventLog& log, Journal* journal,
                                                     std::vector<std::shared_ptr<const ReaderListener>> links) {
    links.erase(std::remove(links.begin(), links.end(), nullptr), links.end());
    auto listener = std::make_shared<ReaderListener>();
    const bool anySample =
        std::any_of(links.begin(), links.end(), [](const auto& link) { return bool(link->sample); });
    if (journal != nullptr || anySample) { // else no call a sample
        listener->sample = [journal, links](std::int16_t id, const Sample& sample, std::optional<bool> configured) {
            if (journal != nullptr) {
                journal->record(id, sample, configured);
            }
            for (const auto& link : links) {
                if (link->sample) {
                    link->sample(id, sample, configured);
                }
            }
        };
    }
    // The log too: a unit of the station that is not there is named.
    listener->event = [&log, journal, links](const UnitEvent& event) {
        log.unit(event);
        if (journal != nullptr) {
            journal->recordEvent(event.unit, microsecondsOf(event.time), event.event, unitEventPayload(event));
        }
        for (const auto& link : links) {
            if (link->event) {
                link->event(event);
            }
        }
    };
    return listener;
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
    if (const std::string mqtt = station ? mqttUnsupported(*station) : ""; !mqtt.empty()) {
        throw UsageError(options.stationPath.value_or("the station file") + ": " + mqtt);
    }
    // The journal first and last: it is made before the readers take a
    // sample, and stopped after the publisher has taken what it forwards.
    std::unique_ptr<Journal> journal = openJournal(station, settings.rateHz, log);
    std::unique_ptr<MqttPublisher> publisher;
    if (station && station->mqtt) {
        publisher = std::make_unique<MqttPublisher>(
            *station, [&log](const std::string& level, const std::string& event,
                             const std::string& text) { log.note(level, event, "mqtt: " + text); });
        if (journal) {
            publisher->forwardFrom(*journal);
        }
    }
    std::unique_ptr<SparkplugNode> node;
    if (station && station->sparkplug) {
        node = std::make_unique<SparkplugNode>(
            *station, [&log](const std::string& level, const std::string& event, const std::string& text) {
                log.note(level, event, "sparkplug: " + text);
            });
        if (journal) {
            node->forwardFrom(*journal);
        }
    }
    MqttPublisher* mqtt = publisher.get();
    SparkplugNode* sparkplug = node.get();
    settings.listener = readerListener(log, journal.get(),
                                       {publisher ? publisher->listener() : nullptr, node ? node->listener() : nullptr});
    // Readers first, then the links: their last samples still go out.
    struct StopPublisher {
        std::unique_ptr<MqttPublisher>& publisher;
        std::unique_ptr<SparkplugNode>& node;
        ~StopPublisher() {
            if (publisher) {
                publisher->stop();
            }
            if (node) {
                node->stop();
            }
        }
    };
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
        if (!changesPath) {
            // Changes a serve with --save kept are not applied by one
            // without it: said once, so that nobody wonders where they went.
            const std::string saved = changesFileFor(station->name);
            struct stat facts {};
            if (::stat(saved.c_str(), &facts) == 0) {
                log.note("warning", "changes-not-applied",
                         "changes saved through the API are kept in " + saved +
                             " and are not applied: serve applies them with --save");
            }
        }
        if (changesPath) {
            log.note("info", "changes-file",
                     "changes made through the API are kept in " + *changesPath +
                         " (the station file is never written)");
        }
        live->onEvent([&log, mqtt, sparkplug, journalOf = journal.get()](const ConfigEvent& event) {
            log.configured(event);
            if (journalOf != nullptr) {
                journalOf->recordEvent(event.unit, microsecondsOf(event.time),
                                       event.result == RC_OK ? "configured" : "failed",
                                       configEventPayload(event));
            }
            if (mqtt != nullptr) {
                mqtt->configEvent(event);
            }
            if (sparkplug != nullptr) {
                sparkplug->configEvent(event);
            }
        });
        LiveStation* liveStation = live.get();
        registry = std::make_unique<UnitRegistry>(
            settings, StationUnits{idsOf(*station), [liveStation](std::int16_t id, ConfigureWhy why) {
                                       return liveStation->configure(id, why);
                                   }});
    } else {
        registry = std::make_unique<UnitRegistry>(settings);
    }
    StopPublisher stopPublisher{publisher, node};
    UnitRegistry* units = registry.get();
    LiveStation* liveStation = live.get();
    const CommandRunner runner = [units, liveStation](const std::string& unit, const std::string& channel,
                                                      const std::string& action, const std::string& body,
                                                      int& status) {
        return runChange(*units, liveStation, unit, channel, action, body, std::chrono::seconds(2), status);
    };
    if (publisher) {
        publisher->onCommand(runner);
        publisher->start();
    }
    if (node) {
        node->onCommand(runner, [liveStation](std::int16_t id) {
            return liveStation != nullptr ? liveStation->unit(id) : std::nullopt;
        });
        node->start();
    }
    PanelServer server(*registry, token, std::chrono::seconds(2), live.get());
    const std::string stationName = station ? station->name : "";
    if (journal) {
        server.journalAt(journal->path());
    }
    server.onMetrics([&registry, stationName, mqtt, sparkplug, journalOf = journal.get()] {
        std::vector<UnitView> views;
        for (const auto& reader : registry->readers()) {
            views.push_back(reader->view(std::nullopt));
        }
        std::optional<OutboxTally> outbox;
        if (mqtt != nullptr) {
            outbox = mqtt->tally();
        }
        std::optional<JournalTally> kept;
        if (journalOf != nullptr) {
            kept = journalOf->tally();
        }
        std::optional<SparkplugTally> edge;
        if (sparkplug != nullptr) {
            edge = sparkplug->tally();
        }
        return metricsText(stationName, views, outbox, kept, edge);
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
                        heldIds(*registry), backendName(), journal ? journal->path() : ""});
    } catch (const std::runtime_error& e) {
        console.error("brivant: warning: " + std::string(e.what()) +
                      "; other brivant commands will not find this " + options.name);
    }
    if (options.ready) {
        options.ready();
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
                reloadStation(*options.stationPath, *live, *registry, log);
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
        if (publisher) {
            publisher->stop();
        }
        if (node) {
            node->stop();
        }
        if (journal) {
            journal->stop();
        }
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(status);
    }
    return status;
}

} // namespace brivant::tool
