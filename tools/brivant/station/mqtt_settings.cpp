#include "mqtt_settings.h"

#include "station/mqtt_toml.h"

#include <algorithm>
#include <fstream>

#include "station/station_file.h"
#include "util/number_text.h"
#include "util/tool_errors.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace brivant::tool {

namespace {

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

} // namespace

bool topicSafe(const std::string& text) {
    return std::none_of(text.begin(), text.end(), [](char c) {
        return c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
}



bool readLinkKey(const std::string& section, const std::string& name, const toml::node& node,
                 Problems& problems, MqttSettings& mqtt) {
    const std::string what = section + "." + name;
    long long value = 0;
    auto text = [&](std::string& out) {
        if (!node.is_string() || node.as_string()->get().empty()) {
            problems.add(node, what + " must be a string, not empty");
            return;
        }
        out = node.as_string()->get();
    };
    if (name == "url") {
        mqtt.url = "given"; // a wrong one is told as wrong, not as missing
        if (!node.is_string() || !brokerUrl(node.as_string()->get(), mqtt)) {
            problems.add(node, what + " must be the broker as mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
            return true;
        }
        mqtt.url = node.as_string()->get();
    } else if (name == "client_id") {
        text(mqtt.clientId);
        if (mqtt.clientId.size() > 65535) {
            problems.add(node, what + " is too long");
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
    } else if (name == "keepalive") {
        if (integerIn(node, what, 5, 3600, problems, value)) {
            mqtt.keepAliveSeconds = static_cast<int>(value);
        }
    } else if (name == "protocol") {
        const std::string version = node.is_string() ? node.as_string()->get() : "";
        if (version != "5" && version != "3.1.1") {
            problems.add(node, what + " must be \"5\" or \"3.1.1\"");
            return true;
        }
        mqtt.mqtt5 = version == "5";
    } else {
        return false;
    }
    return true;
}

void checkLink(const std::string& section, const toml::table& table, Problems& problems,
               const MqttSettings& mqtt) {
    if (mqtt.url.empty()) {
        problems.add(table.source(), section + ".url is missing: the broker, as mqtt://HOST[:PORT]");
    }
    if (mqtt.certFile.empty() != mqtt.keyFile.empty()) {
        problems.add(table.source(), section + ".cert_file and " + section + ".key_file go together");
    }
    if (!mqtt.tls && (!mqtt.caFile.empty() || !mqtt.certFile.empty())) {
        problems.add(table.source(), section + ".ca_file, cert_file and key_file need an mqtts:// url");
    }
    if (!mqtt.passwordFile.empty() && mqtt.username.empty()) {
        problems.add(table.source(), section + ".password_file needs " + section + ".username");
    }
}

void readMqtt(const toml::table& table, Problems& problems, MqttSettings& mqtt) {
    for (auto&& [key, node] : table) {
        const std::string name(key.str());
        const std::string what = "mqtt." + name;
        long long value = 0;
        if (readLinkKey("mqtt", name, node, problems, mqtt)) {
            continue;
        }
        if (name == "prefix") {
            if (!node.is_string() || node.as_string()->get().empty()) {
                problems.add(node, what + " must be a string, not empty");
                continue;
            }
            mqtt.prefix = node.as_string()->get();
            if (!topicSafe(mqtt.prefix) || mqtt.prefix.back() == '/') {
                problems.add(node, "mqtt.prefix must be a topic without +, # or control "
                                   "characters, and without a trailing /");
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
    checkLink("mqtt", table, problems, mqtt);
}

void writeLink(std::ostream& out, const MqttSettings& m) {
    out << "url = " << quoted(m.url) << "\n";
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
    out << "keepalive = " << m.keepAliveSeconds << "\n"
        << "protocol = " << (m.mqtt5 ? "\"5\"" : "\"3.1.1\"") << "\n";
}

void writeMqtt(std::ostream& out, const MqttSettings& m) {
    out << "\n[mqtt]\n";
    writeLink(out, m);
    if (!m.prefix.empty()) {
        out << "prefix = " << quoted(m.prefix) << "\n";
    }
    out << "qos = " << m.qos << "\n"
        << "publish_ms = " << m.publishMs << "\n"
        << "queue = " << m.queue << "\n"
        << "commands = " << (m.commands ? "true" : "false") << "\n";
}

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

} // namespace brivant::tool
