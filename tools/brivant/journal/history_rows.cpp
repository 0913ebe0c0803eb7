#include "journal/history.h"

#include <algorithm>
#include <climits>

#include "journal/journal_sql.h"
#include "journal/sqlite_db.h"
#include "util/tool_errors.h"

namespace brivant::tool {

namespace {

// Rows are in the order they were recorded, which is the order of their
// times to within the readers' scheduling: the first row at or after a
// time is found by halving, and a margin before it catches those a unit
// recorded a little late.
constexpr std::int64_t kOrderMarginUs = 2000000;

std::int64_t firstIdAt(SqliteDb& db, std::int64_t timeUs) {
    SqliteStatement at(db, "SELECT time_us FROM samples WHERE id >= ? ORDER BY id LIMIT 1");
    std::int64_t low = db.integer("SELECT coalesce(min(id), 0) FROM samples");
    std::int64_t high = db.integer("SELECT coalesce(max(id), 0) FROM samples") + 1;
    while (low < high) {
        const std::int64_t middle = low + (high - low) / 2;
        at.bind(1, middle);
        const bool found = at.step();
        const std::int64_t time = found ? at.integer(0) : INT64_MAX;
        at.reset();
        if (time < timeUs) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}

} // namespace

std::size_t historyRows(const std::string& path, const HistoryQuery& query,
                        const std::function<bool(const JournalRow&)>& each) {
    try {
        SqliteDb db(path, true);
        const std::int64_t version = db.integer("PRAGMA user_version");
        if (version != 1) {
            throw InputError(path + " is not a journal this brivant reads (its version " +
                             std::to_string(version) + ")");
        }
        std::int64_t from = static_cast<std::int64_t>(query.afterId) + 1;
        if (query.sinceUs) {
            from = std::max(from, firstIdAt(db, *query.sinceUs - kOrderMarginUs));
        }
        SqliteStatement select(db, std::string(kSelectRows) + "WHERE s.id >= ? ORDER BY s.id");
        select.bind(1, from);
        std::size_t handed = 0;
        while (handed < query.most && select.step()) {
            JournalRow row = rowOf(select);
            if (query.untilUs && row.timeUs >= *query.untilUs + kOrderMarginUs) {
                break;
            }
            if ((query.sinceUs && row.timeUs < *query.sinceUs) ||
                (query.untilUs && row.timeUs >= *query.untilUs) ||
                (!query.units.empty() &&
                 std::find(query.units.begin(), query.units.end(), row.unit) == query.units.end())) {
                continue;
            }
            ++handed;
            if (!each(row)) {
                break;
            }
        }
        return handed;
    } catch (const SqliteError& error) {
        throw InputError("cannot read the journal " + path + ": " + error.what());
    }
}

} // namespace brivant::tool
