// The journal read back: `brivant history`, GET /api/history and the page's
// charts. Reading never changes the journal, and works while serve writes it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "journal/journal_row.h"

namespace brivant::tool {

struct HistoryQuery {
    std::vector<std::int16_t> units;     // none: every unit
    std::optional<std::int64_t> sinceUs; // from this time on
    std::optional<std::int64_t> untilUs; // before this time
    std::uint64_t afterId = 0;           // only rows after this one (to go on where a page stopped)
    std::size_t most = static_cast<std::size_t>(-1);
    // Only a unit's rows at least this far apart (a chart's resolution): the
    // rows between are passed over, not counted.
    std::int64_t everyUs = 0;
};

// Hands each row of the journal at `path` that the query asks for to
// `each`, in the order they were recorded, until `each` returns false;
// returns how many it handed. Throws InputError naming the file when it
// cannot be read, or is not a journal this brivant reads.
std::size_t historyRows(const std::string& path, const HistoryQuery& query,
                        const std::function<bool(const JournalRow&)>& each);

enum class HistoryFormat { Csv, Jsonl };
extern const char* const kHistoryCsvHeader; // ends with a newline
std::string historyLine(const JournalRow& row, HistoryFormat format);

// A time as the history commands take it: "2026-12-09T10:00:00Z" (or with
// fractions of a second), "now", or back from now: "-90s", "-10m", "-2h",
// "-1d". Throws UsageError naming `what`.
std::int64_t parseHistoryTime(const std::string& text, std::int64_t nowUs, const std::string& what);

} // namespace brivant::tool
