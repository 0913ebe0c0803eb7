#include "history_settings.h"

#include "station/history_toml.h"
#include "util/number_text.h"
#include "util/tool_errors.h"

namespace brivant::tool {

std::int64_t durationSeconds(const std::string& text) {
    if (text.size() < 2) {
        return -1;
    }
    const char unit = text.back();
    const std::int64_t scale = unit == 's' ? 1 : unit == 'm' ? 60 : unit == 'h' ? 3600 : unit == 'd' ? 86400 : 0;
    if (scale == 0) {
        return -1;
    }
    try {
        return parseNumber(text.substr(0, text.size() - 1), 1, 3650LL * 86400 / scale, "duration") * scale;
    } catch (const UsageError&) {
        return -1;
    }
}

std::string durationText(std::int64_t seconds) {
    if (seconds % 86400 == 0 && seconds >= 7 * 86400) {
        return std::to_string(seconds / 86400) + "d";
    }
    if (seconds % 3600 == 0) {
        return std::to_string(seconds / 3600) + "h";
    }
    if (seconds % 60 == 0) {
        return std::to_string(seconds / 60) + "m";
    }
    return std::to_string(seconds) + "s";
}

void readHistory(const toml::table& table, Problems& problems, HistorySettings& history) {
    for (auto&& [key, node] : table) {
        const std::string name(key.str());
        const std::string what = "history." + name;
        long long value = 0;
        if (name == "enabled") {
            if (!node.is_boolean()) {
                problems.add(node, what + " must be true or false, not " + typeName(node));
                continue;
            }
            history.enabled = node.as_boolean()->get();
        } else if (name == "path") {
            if (!node.is_string() || node.as_string()->get().empty()) {
                problems.add(node, what + " must be a file's path, a string");
                continue;
            }
            history.path = node.as_string()->get();
        } else if (name == "sync_ms") {
            if (integerIn(node, what, 10, 60000, problems, value)) {
                history.syncMs = static_cast<int>(value);
            }
        } else if (name == "max_mb") {
            if (integerIn(node, what, 1, 1000000, problems, value)) {
                history.maxMb = value;
            }
        } else if (name == "keep") {
            const std::int64_t seconds = node.is_string() ? durationSeconds(node.as_string()->get()) : -1;
            if (seconds <= 0) {
                problems.add(node, what + " must be a duration such as \"90m\", \"24h\" or \"7d\"");
                continue;
            }
            history.keepSeconds = seconds;
        } else {
            problems.add(key.source(), "unknown key '" + name + "' in history (enabled, path, sync_ms, "
                                       "max_mb, keep)");
        }
    }
}

void writeHistory(std::ostream& out, const HistorySettings& h) {
    if (h == HistorySettings{}) {
        return;
    }
    out << "\n[history]\n"
        << "enabled = " << (h.enabled ? "true" : "false") << "\n";
    if (!h.path.empty()) {
        out << "path = " << quoted(h.path) << "\n";
    }
    out << "sync_ms = " << h.syncMs << "\n"
        << "max_mb = " << h.maxMb << "\n"
        << "keep = \"" << durationText(h.keepSeconds) << "\"\n";
}

} // namespace brivant::tool
