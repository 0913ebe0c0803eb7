#include "journal/history.h"

#include <algorithm>
#include <climits>

#include "journal/journal_sql.h"
#include "journal/sample_block.h"
#include "journal/sqlite_db.h"
#include "util/tool_errors.h"

namespace brivant::tool {

namespace {

// Blocks go in the order their rows were recorded, which is the order of
// their times to within the readers' scheduling: the first block reaching a
// time is found by halving, and a margin before it catches rows a unit
// recorded a little late.
constexpr std::int64_t kOrderMarginUs = 2000000;
// Blocks read in one statement: each page is its own short read, so that a
// reader that stops for minutes holds no snapshot of the journal.
constexpr std::size_t kBlocksAPage = 4;

std::uint64_t lastIdBefore(SqliteDb& db, std::int64_t timeUs) {
    SqliteStatement at(db, "SELECT last_us FROM blocks WHERE last_id >= ? ORDER BY last_id LIMIT 1");
    std::int64_t low = db.integer("SELECT coalesce(min(last_id), 0) FROM blocks");
    std::int64_t high = db.integer("SELECT coalesce(max(last_id), 0) FROM blocks") + 1;
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
    // Every block up to `low - 1` ends before the time.
    return low > 0 ? static_cast<std::uint64_t>(low - 1) : 0;
}

bool wanted(const HistoryQuery& query, const JournalRow& row) {
    return !(row.id <= query.afterId || (query.sinceUs && row.timeUs < *query.sinceUs) ||
             (query.untilUs && row.timeUs >= *query.untilUs) ||
             (!query.units.empty() &&
              std::find(query.units.begin(), query.units.end(), row.unit) == query.units.end()));
}

} // namespace

std::size_t historyRows(const std::string& path, const HistoryQuery& query,
                        const std::function<bool(const JournalRow&)>& each) {
    try {
        SqliteDb db(path, true);
        std::int64_t version = 0;
        switch (journalKindOf(db, &version)) {
        case JournalKind::Current:
            break;
        case JournalKind::First:
            throw InputError(path + " is a journal of an earlier brivant: serve moves it into this one's "
                                    "layout when it next starts with it");
        case JournalKind::Newer:
            throw InputError(path + " is a journal of a newer brivant (its version " + std::to_string(version) +
                             "); this one reads version " + std::to_string(kJournalVersion));
        default:
            throw InputError(path + " is not a brivant journal");
        }
        std::map<std::int64_t, std::string> runs = runNames(db);
        std::uint64_t from = query.afterId;
        if (query.sinceUs) {
            from = std::max(from, lastIdBefore(db, *query.sinceUs - kOrderMarginUs));
        }
        std::size_t handed = 0;
        std::map<std::int16_t, std::int64_t> lastHanded;
        while (handed < query.most) {
            const std::vector<StoredBlock> blocks = blocksAfter(db, from, kBlocksAPage);
            if (blocks.empty()) {
                return handed;
            }
            for (const StoredBlock& block : blocks) {
                if (query.untilUs && block.firstUs >= *query.untilUs + kOrderMarginUs) {
                    return handed;
                }
                from = block.lastId;
                if (runs.count(block.runRow) == 0) {
                    runs = runNames(db);
                }
                std::vector<JournalRow> rows;
                try {
                    rows = decodeBlock(block.data, runs[block.runRow]);
                } catch (const BlockError& error) {
                    throw InputError("cannot read the journal " + path + ": " + error.what() + " (rows " +
                                     std::to_string(block.firstId) + " to " + std::to_string(block.lastId) + ")");
                }
                for (const JournalRow& row : rows) {
                    if (!wanted(query, row)) {
                        continue;
                    }
                    if (query.everyUs > 0) {
                        auto [last, first] = lastHanded.emplace(row.unit, row.timeUs);
                        if (!first) {
                            if (row.timeUs - last->second < query.everyUs) {
                                continue;
                            }
                            last->second = row.timeUs;
                        }
                    }
                    ++handed;
                    if (!each(row) || handed == query.most) {
                        return handed;
                    }
                }
            }
        }
        return handed;
    } catch (const SqliteError& error) {
        throw InputError("cannot read the journal " + path + ": " + error.what());
    }
}

} // namespace brivant::tool
