#include "station_file.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#define TOML_EXCEPTIONS 1
#include <toml++/toml.h>

#include "number_arguments.h"
#include "tool_errors.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace brivant::tool {

namespace {

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += (text.empty() ? "" : "\n") + line;
    }
    return text;
}

// Collects the file's mistakes with their places.
class Problems {
public:
    explicit Problems(std::string file) : file_(std::move(file)) {}

    void add(const toml::source_region& where, const std::string& what) {
        found_.push_back({where.begin.line, where.begin.column, what});
    }
    void add(const toml::node& node, const std::string& what) { add(node.source(), what); }
    bool empty() const { return found_.empty(); }

    // In the order of the file.
    std::vector<std::string> list() const {
        std::vector<Found> sorted = found_;
        std::stable_sort(sorted.begin(), sorted.end(), [](const Found& a, const Found& b) {
            return a.line != b.line ? a.line < b.line : a.column < b.column;
        });
        std::vector<std::string> out;
        for (const Found& f : sorted) {
            out.push_back(file_ + ':' + std::to_string(f.line) + ':' + std::to_string(f.column) +
                          ": " + f.what);
        }
        return out;
    }

private:
    struct Found {
        toml::source_index line;
        toml::source_index column;
        std::string what;
    };
    std::string file_;
    std::vector<Found> found_;
};

const char* typeName(const toml::node& node) {
    switch (node.type()) {
    case toml::node_type::string: return "a string";
    case toml::node_type::integer: return "an integer";
    case toml::node_type::floating_point: return "a number with a fraction";
    case toml::node_type::boolean: return "true or false";
    case toml::node_type::array: return "an array";
    case toml::node_type::table: return "a table";
    default: return "a date or time";
    }
}

// `key = value` where the value is an integer from low to high.
bool integerIn(const toml::node& node, const std::string& key, long long low, long long high,
               Problems& problems, long long& out) {
    if (!node.is_integer()) {
        problems.add(node, key + " must be an integer from " + std::to_string(low) + " to " +
                               std::to_string(high) + ", not " + typeName(node));
        return false;
    }
    out = node.as_integer()->get();
    if (out < low || out > high) {
        problems.add(node, key + " " + std::to_string(out) + " is not " + std::to_string(low) +
                               " to " + std::to_string(high));
        return false;
    }
    return true;
}

// An on/off setting: 0, 1, false or true.
bool onOff(const toml::node& node, const std::string& key, Problems& problems, std::uint8_t& out) {
    if (node.is_boolean()) {
        out = node.as_boolean()->get() ? 1 : 0;
        return true;
    }
    long long value = 0;
    if (!node.is_integer()) {
        problems.add(node, key + " must be 0 or 1 (or false or true), not " + typeName(node));
        return false;
    }
    if (!integerIn(node, key, 0, kMaxOnOff, problems, value)) {
        return false;
    }
    out = static_cast<std::uint8_t>(value);
    return true;
}

template <std::size_t N>
void onOffArray(const toml::node& node, const std::string& key, Problems& problems,
                std::array<std::uint8_t, N>& out) {
    const toml::array* array = node.as_array();
    if (array == nullptr || array->size() != N) {
        problems.add(node, key + " must be an array of " + std::to_string(N) + " settings (S1" +
                               (N == 3 ? ", S2, S3" : ", S2") + "), each 0 or 1");
        return;
    }
    for (std::size_t i = 0; i < N; ++i) {
        onOff((*array)[i], key + " S" + std::to_string(i + 1), problems, out[i]);
    }
}

void word(const toml::node& node, const std::string& key, Problems& problems, std::uint32_t& out) {
    const std::string wanted = key + " must be a 32-bit word: -2147483648 to 4294967295, or a "
                                     "string of one in decimal or 0x-hex";
    if (node.is_integer()) {
        long long value = node.as_integer()->get();
        if (value < kMinWord || value > kMaxWord) {
            problems.add(node, wanted);
            return;
        }
        out = static_cast<std::uint32_t>(value);
        return;
    }
    if (node.is_string()) {
        try {
            out = parseWord(node.as_string()->get(), key);
            return;
        } catch (const UsageError&) {
        }
    }
    problems.add(node, wanted + ", not " + typeName(node));
}

void channelSettings(const toml::table& table, const std::string& where, Problems& problems,
                     ChannelSettings& settings) {
    for (auto&& [key, node] : table) {
        const std::string name(key.str());
        const std::string what = where + name;
        long long value = 0;
        if (name == "run" || name == "write_preset") {
            if (!node.is_boolean()) {
                problems.add(node, what + " must be true or false, not " + typeName(node));
                continue;
            }
            (name == "run" ? settings.run : settings.writePreset) = node.as_boolean()->get();
        } else if (name == "multiplier" || name == "clear_event") {
            if (integerIn(node, what, 0, kMaxSelection, problems, value)) {
                (name == "multiplier" ? settings.multiplier : settings.clearEvent) =
                    static_cast<std::uint8_t>(value);
            }
        } else if (name == "input_inversion") {
            onOffArray(node, what, problems, settings.inputInversion);
        } else if (name == "output_inversion") {
            onOffArray(node, what, problems, settings.outputInversion);
        } else if (name == "output_mode") {
            onOffArray(node, what, problems, settings.outputMode);
        } else if (name == "limiter") {
            onOffArray(node, what, problems, settings.limiter);
        } else if (name == "preset") {
            const toml::array* array = node.as_array();
            if (array == nullptr || array->size() != 2) {
                problems.add(node, what + " must be an array of the two preset words");
                continue;
            }
            word((*array)[0], what + " first word", problems, settings.preset[0]);
            word((*array)[1], what + " second word", problems, settings.preset[1]);
        } else {
            problems.add(key.source(), "unknown key '" + name + "' in " + where.substr(0, where.size() - 1) +
                                           " (run, multiplier, clear_event, input_inversion, "
                                           "output_inversion, output_mode, limiter, preset, "
                                           "write_preset)");
        }
    }
}

// A table key that is a number from 0 to high: "0", "15".
bool keyNumber(const toml::key& key, long long high, const std::string& what, Problems& problems,
               long long& out) {
    try {
        out = parseNumber(std::string(key.str()), 0, high, what);
        return true;
    } catch (const UsageError& e) {
        problems.add(key.source(), e.what());
        return false;
    }
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
            channelSettings(*settings, chWhere + ".", problems,
                            unit.channels[static_cast<std::size_t>(ch)]);
        }
    }
}

// A topic level may not hold the wildcards, and no topic control characters.
bool topicSafe(const std::string& text) {
    return std::none_of(text.begin(), text.end(), [](char c) {
        return c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
}

// "mqtt://host", "mqtts://host:8883", "mqtt://[::1]:1883".
bool brokerUrl(const std::string& url, MqttSettings& mqtt) {
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        mqtt.tls = false;
        mqtt.port = 1883;
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        mqtt.tls = true;
        mqtt.port = 8883;
        rest = url.substr(8);
    } else {
        return false;
    }
    if (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    std::size_t hostEnd = 0;
    if (!rest.empty() && rest.front() == '[') {
        hostEnd = rest.find(']');
        if (hostEnd == std::string::npos) {
            return false;
        }
        mqtt.host = rest.substr(1, hostEnd - 1);
        ++hostEnd;
    } else {
        hostEnd = std::min(rest.find(':'), rest.size());
        mqtt.host = rest.substr(0, hostEnd);
    }
    if (mqtt.host.empty() || mqtt.host.find_first_of("/?#@ []") != std::string::npos) {
        return false;
    }
    const std::string after = rest.substr(hostEnd);
    if (after.empty()) {
        return true;
    }
    if (after.front() != ':') {
        return false;
    }
    try {
        mqtt.port = static_cast<int>(parseNumber(after.substr(1), 1, 65535, "port"));
    } catch (const UsageError&) {
        return false;
    }
    return true;
}

void mqttSettings(const toml::table& table, Problems& problems, MqttSettings& mqtt) {
    bool hasUrl = false;
    for (auto&& [key, node] : table) {
        const std::string name(key.str());
        const std::string what = "mqtt." + name;
        long long value = 0;
        const toml::node& given = node; // a lambda may not capture a structured binding in C++17
        auto text = [&](std::string& out) {
            if (!given.is_string() || given.as_string()->get().empty()) {
                problems.add(given, what + " must be a string, not empty");
                return;
            }
            out = given.as_string()->get();
        };
        if (name == "url") {
            hasUrl = true; // given: a wrong one is told as wrong, not as missing
            if (!node.is_string() || !brokerUrl(node.as_string()->get(), mqtt)) {
                problems.add(node, "mqtt.url must be the broker as mqtt://HOST[:PORT] or "
                                   "mqtts://HOST[:PORT]");
                continue;
            }
            mqtt.url = node.as_string()->get();
        } else if (name == "client_id") {
            text(mqtt.clientId);
            if (mqtt.clientId.size() > 65535) {
                problems.add(node, "mqtt.client_id is too long");
            }
        } else if (name == "username") {
            text(mqtt.username);
        } else if (name == "password_file") {
            text(mqtt.passwordFile);
        } else if (name == "ca_file") {
            text(mqtt.caFile);
        } else if (name == "cert_file") {
            text(mqtt.certFile);
        } else if (name == "key_file") {
            text(mqtt.keyFile);
        } else if (name == "prefix") {
            text(mqtt.prefix);
            if (!mqtt.prefix.empty() && (!topicSafe(mqtt.prefix) || mqtt.prefix.back() == '/')) {
                problems.add(node, "mqtt.prefix must be a topic without +, # or control "
                                   "characters, and without a trailing /");
            }
        } else if (name == "keepalive") {
            if (integerIn(node, what, 5, 3600, problems, value)) {
                mqtt.keepAliveSeconds = static_cast<int>(value);
            }
        } else if (name == "qos") {
            if (integerIn(node, what, 0, 1, problems, value)) {
                mqtt.qos = static_cast<int>(value);
            }
        } else if (name == "publish_ms") {
            if (integerIn(node, what, 0, 3600000, problems, value)) {
                mqtt.publishMs = static_cast<int>(value);
            }
        } else if (name == "queue") {
            if (integerIn(node, what, 0, 10000000, problems, value)) {
                mqtt.queue = static_cast<std::size_t>(value);
            }
        } else if (name == "protocol") {
            const std::string version = node.is_string() ? node.as_string()->get() : "";
            if (version != "5" && version != "3.1.1") {
                problems.add(node, "mqtt.protocol must be \"5\" or \"3.1.1\"");
                continue;
            }
            mqtt.mqtt5 = version == "5";
        } else if (name == "commands") {
            if (!node.is_boolean()) {
                problems.add(node, "mqtt.commands must be true or false, not " +
                                       std::string(typeName(node)));
                continue;
            }
            mqtt.commands = node.as_boolean()->get();
        } else {
            problems.add(key.source(), "unknown key '" + name + "' in mqtt (url, client_id, "
                                       "username, password_file, ca_file, cert_file, key_file, "
                                       "keepalive, qos, protocol, prefix, publish_ms, queue, "
                                       "commands)");
        }
    }
    if (!hasUrl) {
        problems.add(table.source(), "mqtt.url is missing: the broker, as mqtt://HOST[:PORT]");
    }
    if (mqtt.certFile.empty() != mqtt.keyFile.empty()) {
        problems.add(table.source(), "mqtt.cert_file and mqtt.key_file go together");
    }
    if (!mqtt.tls && (!mqtt.caFile.empty() || !mqtt.certFile.empty())) {
        problems.add(table.source(), "mqtt.ca_file, cert_file and key_file need an mqtts:// url");
    }
    if (!mqtt.passwordFile.empty() && mqtt.username.empty()) {
        problems.add(table.source(), "mqtt.password_file needs mqtt.username");
    }
}

} // namespace

bool MqttSettings::operator==(const MqttSettings& o) const {
    return url == o.url && clientId == o.clientId && username == o.username &&
           passwordFile == o.passwordFile && caFile == o.caFile && certFile == o.certFile &&
           keyFile == o.keyFile && keepAliveSeconds == o.keepAliveSeconds && qos == o.qos &&
           mqtt5 == o.mqtt5 && prefix == o.prefix && publishMs == o.publishMs &&
           queue == o.queue && commands == o.commands;
}

std::string machineTag() {
#if !defined(_WIN32)
    // systemd's and D-Bus's machine ID: 32 hex digits, fixed at install.
    for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        std::ifstream in(path);
        std::string id;
        if (in && std::getline(in, id) && id.size() >= 8) {
            return id.substr(0, 8);
        }
    }
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') {
        return host;
    }
#else
    char host[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof host;
    if (GetComputerNameA(host, &size) && size > 0) {
        return std::string(host, size);
    }
#endif
    return "host";
}

std::string mqttClientId(const Station& station) {
    // Two machines with the same station name (the packaged example's, say)
    // must not take each other's session at the broker.
    return station.mqtt && !station.mqtt->clientId.empty()
               ? station.mqtt->clientId
               : "brivant-" + station.name + "-" + machineTag();
}

std::string mqttPrefix(const Station& station) {
    return station.mqtt && !station.mqtt->prefix.empty() ? station.mqtt->prefix
                                                         : "brivant/" + station.name;
}

std::size_t mqttQueueBound(const Station& station) {
    if (station.mqtt && station.mqtt->queue > 0) {
        return station.mqtt->queue;
    }
    const double perUnit = station.mqtt && station.mqtt->publishMs > 0
                               ? 1000.0 / station.mqtt->publishMs
                               : station.rateHz;
    const double units = static_cast<double>(std::max<std::size_t>(1, station.units.size()));
    return std::max<std::size_t>(1000, static_cast<std::size_t>(perUnit * units * 180));
}

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
                problems.add(node, std::string("rate_hz must be a number from 1 to 100, not ") +
                                       typeName(node));
                continue;
            }
            double rate = node.value<double>().value_or(0);
            if (!(rate >= 1 && rate <= 100)) {
                char shown[32];
                std::snprintf(shown, sizeof shown, "%g", rate);
                problems.add(node, std::string("rate_hz ") + shown + " is not 1 to 100");
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
            mqttSettings(*table, problems, *station.mqtt);
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
                             "tls_key_file, server_names, mqtt, unit)");
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
    return parseStation(text.str(), path);
}

namespace {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
            out += escape;
            continue;
        }
        out += c;
    }
    return out + '"';
}

template <std::size_t N>
std::string list(const std::array<std::uint8_t, N>& values) {
    std::string out = "[";
    for (std::size_t i = 0; i < N; ++i) {
        out += (i > 0 ? ", " : "") + std::to_string(values[i]);
    }
    return out + "]";
}

std::string hexWord(std::uint32_t word) {
    char text[16];
    std::snprintf(text, sizeof text, "\"0x%08X\"", static_cast<unsigned>(word));
    return text;
}

void channelLines(std::ostream& out, const ChannelSettings& s) {
    out << "run = " << (s.run ? "true" : "false") << "\n"
        << "multiplier = " << int{s.multiplier} << "\n"
        << "clear_event = " << int{s.clearEvent} << "\n"
        << "input_inversion = " << list(s.inputInversion) << "\n"
        << "output_inversion = " << list(s.outputInversion) << "\n"
        << "output_mode = " << list(s.outputMode) << "\n"
        << "limiter = " << list(s.limiter) << "\n"
        << "preset = [" << hexWord(s.preset[0]) << ", " << hexWord(s.preset[1]) << "]\n"
        << "write_preset = " << (s.writePreset ? "true" : "false") << "\n";
}

} // namespace

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
        const MqttSettings& m = *station.mqtt;
        out << "\n[mqtt]\n" << "url = " << quoted(m.url) << "\n";
        auto optional = [&out](const char* key, const std::string& value) {
            if (!value.empty()) {
                out << key << " = " << quoted(value) << "\n";
            }
        };
        optional("client_id", m.clientId);
        optional("username", m.username);
        optional("password_file", m.passwordFile);
        optional("ca_file", m.caFile);
        optional("cert_file", m.certFile);
        optional("key_file", m.keyFile);
        optional("prefix", m.prefix);
        out << "keepalive = " << m.keepAliveSeconds << "\n"
            << "qos = " << m.qos << "\n"
            << "protocol = " << (m.mqtt5 ? "\"5\"" : "\"3.1.1\"") << "\n"
            << "publish_ms = " << m.publishMs << "\n"
            << "queue = " << m.queue << "\n"
            << "commands = " << (m.commands ? "true" : "false") << "\n";
    }
    for (const auto& [id, unit] : station.units) {
        out << "\n[unit." << id << "]\n";
        for (std::size_t ch = 0; ch < unit.channels.size(); ++ch) {
            out << "\n[unit." << id << ".channel." << ch << "]\n";
            channelLines(out, unit.channels[ch]);
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
                channelSettings(*change->get_as<toml::table>("set"), where + ".set.", problems, one.set);
                channelSettings(*change->get_as<toml::table>("file"), where + ".file.", problems, one.file);
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
        channelLines(out, change.set);
        out << "\n[" << table << ".file]\n";
        channelLines(out, change.file);
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

bool othersCanRead(const std::string& path) {
#if defined(_WIN32)
    (void)path;
    return false;
#else
    // The file's group is the way to share it (a scrape job's user, say).
    struct stat facts {};
    return ::stat(path.c_str(), &facts) == 0 && (facts.st_mode & S_IROTH) != 0;
#endif
}

} // namespace brivant::tool
