#include "station/sparkplug_settings.h"

#include "station/sparkplug_toml.h"

#include "station/mqtt_toml.h"
#include "station/station_file.h"

namespace brivant::tool {

namespace {

constexpr std::size_t kMostIdBytes = 128;

} // namespace

std::string sparkplugIdProblem(const std::string& id) {
    if (id.empty()) {
        return "is empty";
    }
    if (id.size() > kMostIdBytes) {
        return "is longer than " + std::to_string(kMostIdBytes) + " bytes";
    }
    for (const char c : id) {
        if (c == '+' || c == '#' || c == '/') {
            return std::string("holds '") + c + "', which a Sparkplug ID may not";
        }
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return "holds a control character";
        }
    }
    return "";
}

void readSparkplug(const toml::table& table, Problems& problems, SparkplugSettings& sparkplug) {
    sparkplug.link.mqtt5 = false;
    for (auto&& [key, node] : table) {
        const std::string name(key.str());
        const std::string what = "sparkplug." + name;
        if (readLinkKey("sparkplug", name, node, problems, sparkplug.link)) {
            continue;
        }
        long long value = 0;
        if (name == "group_id" || name == "edge_node_id" || name == "primary_host_id") {
            std::string& out = name == "group_id"       ? sparkplug.groupId
                               : name == "edge_node_id" ? sparkplug.edgeNodeId
                                                        : sparkplug.primaryHostId;
            if (!node.is_string()) {
                problems.add(node, what + " must be a string");
                continue;
            }
            out = node.as_string()->get();
            if (const std::string why = sparkplugIdProblem(out); !why.empty()) {
                problems.add(node, what + " " + why);
            }
        } else if (name == "publish_ms") {
            if (integerIn(node, what, 0, 3600000, problems, value)) {
                sparkplug.publishMs = static_cast<int>(value);
            }
        } else if (name == "commands") {
            if (!node.is_boolean()) {
                problems.add(node, what + " must be true or false, not " + std::string(typeName(node)));
                continue;
            }
            sparkplug.commands = node.as_boolean()->get();
        } else {
            problems.add(key.source(), "unknown key '" + name + "' in sparkplug (url, client_id, username, "
                                       "password_file, ca_file, cert_file, key_file, keepalive, protocol, "
                                       "group_id, edge_node_id, primary_host_id, publish_ms, commands)");
        }
    }
    checkLink("sparkplug", table, problems, sparkplug.link);
}

void writeSparkplug(std::ostream& out, const SparkplugSettings& s) {
    out << "\n[sparkplug]\n";
    writeLink(out, s.link);
    out << "group_id = " << quoted(s.groupId) << "\n";
    if (!s.edgeNodeId.empty()) {
        out << "edge_node_id = " << quoted(s.edgeNodeId) << "\n";
    }
    if (!s.primaryHostId.empty()) {
        out << "primary_host_id = " << quoted(s.primaryHostId) << "\n";
    }
    out << "publish_ms = " << s.publishMs << "\n"
        << "commands = " << (s.commands ? "true" : "false") << "\n";
}

bool SparkplugSettings::operator==(const SparkplugSettings& o) const {
    return link == o.link && groupId == o.groupId && edgeNodeId == o.edgeNodeId &&
           primaryHostId == o.primaryHostId && publishMs == o.publishMs && commands == o.commands;
}

std::string sparkplugNodeId(const Station& station) {
    return station.sparkplug && !station.sparkplug->edgeNodeId.empty() ? station.sparkplug->edgeNodeId
                                                                        : station.name;
}

std::string sparkplugClientId(const Station& station) {
    return station.sparkplug && !station.sparkplug->link.clientId.empty()
               ? station.sparkplug->link.clientId
               : "brivant-" + station.name + "-" + machineTag() + "-sparkplug";
}

} // namespace brivant::tool
