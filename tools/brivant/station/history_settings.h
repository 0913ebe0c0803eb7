// The station's [history] table: where serve journals every sample and for
// how long it keeps them.
//   enabled = true             # false: no journal (MQTT forwards from memory)
//   path = "..."               # default: journal-<station>.db in serve's state folder
//   sync_ms = 1000             # commits at most this far apart: what a power cut can lose
//   max_mb = 1536              # the journal's bound on disk; past it the oldest go, forwarded first
//   keep = "24h"               # samples older than this go ("90m", "24h", "7d")
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace brivant::tool {

struct HistorySettings {
    bool enabled = true;
    std::string path;          // empty: the default, found when serve starts
    int syncMs = 1000;
    std::int64_t maxMb = 1536;
    std::int64_t keepSeconds = 24 * 3600;
    std::size_t memoryRows = 100000; // samples held in memory for the disk and the broker
    bool forwarded = false; // a forwarder takes rows: those it has not had acknowledged are kept first
    bool operator==(const HistorySettings& other) const {
        return enabled == other.enabled && path == other.path && syncMs == other.syncMs &&
               maxMb == other.maxMb && keepSeconds == other.keepSeconds;
    }
};

// "90s", "30m", "24h", "7d" as seconds; -1 for anything else.
std::int64_t durationSeconds(const std::string& text);
std::string durationText(std::int64_t seconds);

} // namespace brivant::tool
