#include "station_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "station/channel_toml.h"
#include "station/history_toml.h"
#include "station/mqtt_toml.h"
#include "station/sparkplug_toml.h"
#include "station/toml_text.h"
#include "util/tool_errors.h"

namespace brivant::tool {

namespace {

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += (text.empty() ? "" : "\n") + line;
    }
    return text;
}

void unitSettings(const toml::table& table, const std::string& where, Problems& problems,
                  UnitSettings& unit) {
    for (auto&& [key, node] : table) {
        if (key.str() != "channel") {
            problems.add(key.source(), "unknown key '" + std::string(key.str()) + "' in " + where +
                                           " (only [" + where + ".channel.N] tables)");
            continue;
        }
        const toml::table* channels = node.as_table();
        if (channels == nullptr) {
            problems.add(node, where + ".channel must be a table of channels 0 to 2");
            continue;
        }
        for (auto&& [chKey, chNode] : *channels) {
            long long ch = 0;
            if (!keyNumber(chKey, kMaxChannel, "channel", problems, ch)) {
                continue;
            }
            const toml::table* settings = chNode.as_table();
            const std::string chWhere = where + ".channel." + std::to_string(ch);
            if (settings == nullptr) {
                problems.add(chNode, chWhere + " must be a table of settings");
                continue;
            }
            readChannel(*settings, chWhere + ".", problems,
                            unit.channels[static_cast<std::size_t>(ch)]);
        }
    }
}

} // namespace

StationFileError::StationFileError(const std::vector<std::string>& list)
    : std::runtime_error(joined(list)), problems(list) {}

namespace {

// The text as TOML; one that is not throws StationFileError with the place.
toml::table parsedToml(const std::string& text, const std::string& file, Problems& problems) {
    try {
        return toml::parse(text, file);
    } catch (const toml::parse_error& error) {
        problems.add(error.source(), std::string(error.description()));
        throw StationFileError(problems.list());
    }
}

} // namespace

Station parseStation(const std::string& text, const std::string& file) {
    Problems problems(file);
    toml::table root = parsedToml(text, file, problems);
    Station station;
    bool named = false;
    toml::source_region sparkplugAt{};
    for (auto&& [key, node] : root) {
        const std::string name(key.str());
        long long value = 0;
        if (name == "station") {
            if (!node.is_string() || node.as_string()->get().empty()) {
                problems.add(node, "station must be the station's name, a string");
                continue;
            }
            station.name = node.as_string()->get();
            named = true;
            // The name goes into MQTT topics, the metrics' labels and log
            // lines: no wildcards, no control characters.
            if (!topicSafe(station.name)) {
                problems.add(node, "station must be a name without +, # or control characters");
            }
        } else if (name == "rate_hz") {
            if (!node.is_number()) {
                problems.add(node, std::string("rate_hz must be a number from 1 to 1000, not ") +
                                       typeName(node));
                continue;
            }
            double rate = node.value<double>().value_or(0);
            if (!(rate >= 1 && rate <= 1000)) {
                char shown[32];
                std::snprintf(shown, sizeof shown, "%g", rate);
                problems.add(node, std::string("rate_hz ") + shown + " is not 1 to 1000");
                continue;
            }
            station.rateHz = rate;
        } else if (name == "listen") {
            if (!node.is_string() || node.as_string()->get().empty()) {
                problems.add(node, "listen must be an address, a string");
                continue;
            }
            station.listen = node.as_string()->get();
        } else if (name == "port") {
            if (integerIn(node, "port", 0, 65535, problems, value)) {
                station.port = static_cast<int>(value);
            }
        } else if (name == "token_file") {
            if (!node.is_string() || node.as_string()->get().empty()) {
                problems.add(node, "token_file must be a file's path, a string");
                continue;
            }
            station.tokenFile = node.as_string()->get();
        } else if (name == "tls_cert_file" || name == "tls_key_file") {
            if (!node.is_string() || node.as_string()->get().empty()) {
                problems.add(node, name + " must be a file's path, a string");
                continue;
            }
            (name == "tls_cert_file" ? station.tlsCertFile : station.tlsKeyFile) = node.as_string()->get();
        } else if (name == "server_names") {
            const toml::array* names = node.as_array();
            if (names == nullptr) {
                problems.add(node, "server_names must be an array of host names");
                continue;
            }
            for (const toml::node& one : *names) {
                const std::string hostName = one.is_string() ? one.as_string()->get() : "";
                if (hostName.empty() || hostName.find_first_of(" /:@[]\t\r\n") != std::string::npos) {
                    problems.add(one, "server_names must hold host names, as \"station4.plant\"");
                    continue;
                }
                station.serverNames.push_back(hostName);
            }
        } else if (name == "mqtt") {
            const toml::table* table = node.as_table();
            if (table == nullptr) {
                problems.add(node, "mqtt must be a table, as [mqtt]");
                continue;
            }
            station.mqtt.emplace();
            readMqtt(*table, problems, *station.mqtt);
        } else if (name == "sparkplug") {
            const toml::table* table = node.as_table();
            if (table == nullptr) {
                problems.add(node, "sparkplug must be a table, as [sparkplug]");
                continue;
            }
            station.sparkplug.emplace();
            readSparkplug(*table, problems, *station.sparkplug);
            sparkplugAt = table->source();
        } else if (name == "history") {
            const toml::table* table = node.as_table();
            if (table == nullptr) {
                problems.add(node, "history must be a table, as [history]");
                continue;
            }
            readHistory(*table, problems, station.history);
        } else if (name == "unit") {
            const toml::table* units = node.as_table();
            if (units == nullptr) {
                problems.add(node, "unit must be a table of units, as [unit.0]");
                continue;
            }
            for (auto&& [idKey, unitNode] : *units) {
                long long id = 0;
                if (!keyNumber(idKey, kMaxUnitId, "unit ID", problems, id)) {
                    continue;
                }
                const toml::table* unit = unitNode.as_table();
                if (unit == nullptr) {
                    problems.add(unitNode, "unit." + std::to_string(id) + " must be a table");
                    continue;
                }
                unitSettings(*unit, "unit." + std::to_string(id), problems,
                             station.units[static_cast<std::int16_t>(id)]);
            }
        } else {
            problems.add(key.source(),
                         "unknown key '" + name +
                             "' (station, rate_hz, listen, port, token_file, tls_cert_file, "
                             "tls_key_file, server_names, mqtt, sparkplug, history, unit)");
        }
    }
    if (!named) {
        problems.add(toml::source_region{{1, 1}, {1, 1}, nullptr},
                     "station = \"NAME\" is missing: the station's name");
    }
    if (station.tlsCertFile.empty() != station.tlsKeyFile.empty()) {
        problems.add(toml::source_region{{1, 1}, {1, 1}, nullptr},
                     "tls_cert_file and tls_key_file go together");
    }
    if (named && station.sparkplug && station.sparkplug->edgeNodeId.empty()) {
        if (const std::string why = sparkplugIdProblem(station.name); !why.empty()) {
            problems.add(sparkplugAt, "the station's name " + why + ", so it cannot be the edge node's ID: "
                                      "set sparkplug.edge_node_id");
        }
    }
    if (!problems.empty()) {
        throw StationFileError(problems.list());
    }
    return station;
}

Station loadStation(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw InputError("cannot read " + path + ": " + std::strerror(errno));
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        throw InputError("cannot read " + path + ": " + std::strerror(errno));
    }
    Station station = parseStation(text.str(), path);
    // A relative journal is beside the station file, wherever serve or
    // `brivant history` runs (a service's working folder is /).
    if (!station.history.path.empty() && !std::filesystem::path(station.history.path).is_absolute()) {
        station.history.path =
            (std::filesystem::absolute(path).parent_path() / station.history.path).lexically_normal().string();
    }
    return station;
}

std::string stationToml(const Station& station) {
    std::ostringstream out;
    char rate[32];
    std::snprintf(rate, sizeof rate, "%g", station.rateHz);
    out << "# The live configuration of brivant serve: the settings last sent to each unit.\n"
        << "station = " << quoted(station.name) << "\n"
        << "rate_hz = " << rate << "\n"
        << "listen = " << quoted(station.listen) << "\n"
        << "port = " << station.port << "\n";
    if (!station.tokenFile.empty()) {
        out << "token_file = " << quoted(station.tokenFile) << "\n";
    }
    if (!station.tlsCertFile.empty()) {
        out << "tls_cert_file = " << quoted(station.tlsCertFile) << "\n"
            << "tls_key_file = " << quoted(station.tlsKeyFile) << "\n";
    }
    if (!station.serverNames.empty()) {
        out << "server_names = [";
        for (std::size_t i = 0; i < station.serverNames.size(); ++i) {
            out << (i > 0 ? ", " : "") << quoted(station.serverNames[i]);
        }
        out << "]\n";
    }
    if (station.mqtt) {
        writeMqtt(out, *station.mqtt);
    }
    if (station.sparkplug) {
        writeSparkplug(out, *station.sparkplug);
    }
    writeHistory(out, station.history);
    for (const auto& [id, unit] : station.units) {
        out << "\n[unit." << id << "]\n";
        for (std::size_t ch = 0; ch < unit.channels.size(); ++ch) {
            out << "\n[unit." << id << ".channel." << ch << "]\n";
            writeChannel(out, unit.channels[ch]);
        }
    }
    return out.str();
}

StationChanges parseChanges(const std::string& text, const std::string& file) {
    Problems problems(file);
    toml::table root = parsedToml(text, file, problems);
    StationChanges changes;
    for (auto&& [key, node] : root) {
        if (key.str() == "station_file") {
            continue; // for the reader's eyes
        }
        const toml::table* units = key.str() == "unit" ? node.as_table() : nullptr;
        if (units == nullptr) {
            problems.add(key.source(), "unknown key '" + std::string(key.str()) + "' (station_file, unit)");
            continue;
        }
        for (auto&& [idKey, unitNode] : *units) {
            long long id = 0;
            const toml::table* unit = unitNode.as_table();
            const toml::table* channels =
                unit != nullptr && unit->get("channel") ? unit->get("channel")->as_table() : nullptr;
            if (!keyNumber(idKey, kMaxUnitId, "unit ID", problems, id) || channels == nullptr) {
                problems.add(unitNode, "unit." + std::string(idKey.str()) + " must hold channel tables");
                continue;
            }
            for (auto&& [chKey, chNode] : *channels) {
                long long ch = 0;
                const toml::table* change = chNode.as_table();
                const std::string where = "unit." + std::to_string(id) + ".channel." + std::string(chKey.str());
                if (!keyNumber(chKey, kMaxChannel, "channel", problems, ch) || change == nullptr ||
                    change->size() != 2 || !change->get_as<toml::table>("set") ||
                    !change->get_as<toml::table>("file")) {
                    problems.add(chNode, where + " must hold the tables set and file");
                    continue;
                }
                ChannelChange one;
                one.unit = static_cast<std::int16_t>(id);
                one.channel = static_cast<std::uint8_t>(ch);
                readChannel(*change->get_as<toml::table>("set"), where + ".set.", problems, one.set);
                readChannel(*change->get_as<toml::table>("file"), where + ".file.", problems, one.file);
                changes.push_back(one);
            }
        }
    }
    if (!problems.empty()) {
        throw StationFileError(problems.list());
    }
    return changes;
}

std::string changesToml(const StationChanges& changes, const std::string& stationPath) {
    std::ostringstream out;
    out << "# The changes made through brivant serve's API, kept by serve on top of its\n"
        << "# station file. serve writes this file; edit the station file instead. For each\n"
        << "# channel: what was set, and what the station file said then. A channel whose\n"
        << "# settings in the station file have changed since is run as the file says.\n"
        << "# Delete this file (serve stopped) to run the station file as written.\n"
        << "station_file = " << quoted(stationPath) << "\n";
    for (const ChannelChange& change : changes) {
        const std::string table = "unit." + std::to_string(change.unit) + ".channel." +
                                  std::to_string(change.channel);
        out << "\n[" << table << ".set]\n";
        writeChannel(out, change.set);
        out << "\n[" << table << ".file]\n";
        writeChannel(out, change.file);
    }
    return out.str();
}

std::vector<std::string> unreadableFiles(const Station& station) {
    std::vector<std::string> problems;
    auto readable = [&](const char* key, const std::string& path) {
        if (path.empty()) {
            return;
        }
        std::ifstream in(path);
        if (!in) {
            problems.push_back(std::string("cannot read ") + key + " " + path + ": " + std::strerror(errno));
        }
    };
    if (station.mqtt) {
        readable("mqtt.password_file", station.mqtt->passwordFile);
        readable("mqtt.ca_file", station.mqtt->caFile);
        readable("mqtt.cert_file", station.mqtt->certFile);
        readable("mqtt.key_file", station.mqtt->keyFile);
    }
    if (station.sparkplug) {
        readable("sparkplug.password_file", station.sparkplug->link.passwordFile);
        readable("sparkplug.ca_file", station.sparkplug->link.caFile);
        readable("sparkplug.cert_file", station.sparkplug->link.certFile);
        readable("sparkplug.key_file", station.sparkplug->link.keyFile);
    }
    readable("tls_cert_file", station.tlsCertFile);
    readable("tls_key_file", station.tlsKeyFile);
    if (!station.tokenFile.empty()) {
        std::ifstream in(station.tokenFile);
        if (!in && errno != ENOENT) {
            problems.push_back("cannot read token_file " + station.tokenFile + ": " + std::strerror(errno));
        }
    }
    return problems;
}

} // namespace brivant::tool
