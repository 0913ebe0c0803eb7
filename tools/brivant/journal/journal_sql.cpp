#include "journal_sql.h"

#include <algorithm>

#include "journal/sample_block.h"

namespace brivant::tool {

namespace {

// Rows a block holds at most: a commit of more is stored as several.
constexpr std::size_t kBlockRows = 65536;

// The first layout's rows, as it kept them.
const char* const kFirstLayoutRows =
    "SELECT s.id, s.time_us, s.unit, s.run, s.n, s.result, s.c0, s.c1, s.c2, s.status, s.configured, "
    "s.seq, s.t_us FROM samples s ";

JournalRow firstLayoutRow(const SqliteStatement& select) {
    JournalRow row;
    row.id = static_cast<std::uint64_t>(select.integer(0));
    row.timeUs = select.integer(1);
    row.unit = static_cast<std::int16_t>(select.integer(2));
    row.n = static_cast<std::uint64_t>(select.integer(4));
    row.result = static_cast<std::int16_t>(select.integer(5));
    // A read that failed kept no counts.
    if (!select.isNull(6)) {
        for (int ch = 0; ch < 3; ++ch) {
            row.counts[static_cast<std::size_t>(ch)] = static_cast<std::int32_t>(select.integer(6 + ch));
            row.status[static_cast<std::size_t>(ch)] = static_cast<std::uint8_t>(select.integer(9) >> (8 * ch));
        }
    }
    if (!select.isNull(10)) {
        row.configured = select.integer(10) != 0;
    }
    row.seq = static_cast<std::uint64_t>(select.integer(11));
    row.t = static_cast<double>(select.integer(12)) / 1e6;
    return row;
}

bool hasTable(SqliteDb& db, const std::string& name, const std::string& columns) {
    SqliteStatement find(db, "SELECT sql FROM sqlite_schema WHERE type = 'table' AND name = ?");
    find.bind(1, name);
    return find.step() && find.text(0).find(columns) != std::string::npos;
}

} // namespace

JournalKind journalKindOf(SqliteDb& db, std::int64_t* version) {
    const std::int64_t application = db.integer("PRAGMA application_id");
    const std::int64_t userVersion = db.integer("PRAGMA user_version");
    if (version != nullptr) {
        *version = userVersion;
    }
    const std::int64_t tables = db.integer("SELECT count(*) FROM sqlite_schema");
    if (application == kJournalApplicationId) {
        if (userVersion > kJournalVersion) {
            return JournalKind::Newer;
        }
        return userVersion == kJournalVersion && hasTable(db, "blocks", "data BLOB") ? JournalKind::Current
                                                                                    : JournalKind::Foreign;
    }
    if (application != 0) {
        return JournalKind::Foreign;
    }
    if (userVersion == 0 && tables == 0) {
        return JournalKind::Empty;
    }
    // The first layout had no application ID: it is known by its tables.
    if (userVersion == 1 && hasTable(db, "samples", "seq INTEGER NOT NULL, t_us INTEGER NOT NULL") &&
        hasTable(db, "runs", "started_us") && hasTable(db, "cursor", "sample INTEGER") &&
        hasTable(db, "events", "body TEXT")) {
        return JournalKind::First;
    }
    return JournalKind::Foreign;
}

void makeJournalTables(SqliteDb& db) {
    db.exec("CREATE TABLE IF NOT EXISTS runs(id INTEGER PRIMARY KEY, run TEXT NOT NULL, started_us INTEGER NOT NULL)");
    db.exec("CREATE TABLE IF NOT EXISTS events(id INTEGER PRIMARY KEY, time_us INTEGER NOT NULL, "
            "unit INTEGER NOT NULL, event TEXT NOT NULL, body TEXT NOT NULL)");
    db.exec("CREATE TABLE IF NOT EXISTS cursor(name TEXT PRIMARY KEY, sample INTEGER NOT NULL)");
    // A block a commit, found by its last ID; its rows' IDs lie between
    // first_id and last_id, and no two blocks' ranges overlap.
    db.exec("CREATE TABLE blocks(last_id INTEGER PRIMARY KEY, first_id INTEGER NOT NULL, "
            "first_us INTEGER NOT NULL, last_us INTEGER NOT NULL, run INTEGER NOT NULL, "
            "rows INTEGER NOT NULL, data BLOB NOT NULL)");
    db.exec("PRAGMA application_id=" + std::to_string(kJournalApplicationId));
    db.exec("PRAGMA user_version=" + std::to_string(kJournalVersion));
}

std::uint64_t insertBlocks(SqliteDb& db, const std::vector<JournalRow>& rows, std::int64_t runRow) {
    std::uint64_t bytes = 0;
    SqliteStatement insert(db, "INSERT INTO blocks(last_id, first_id, first_us, last_us, run, rows, data) "
                               "VALUES (?, ?, ?, ?, ?, ?, ?)");
    for (std::size_t from = 0; from < rows.size(); from += kBlockRows) {
        const std::size_t to = std::min(rows.size(), from + kBlockRows);
        const std::vector<JournalRow> part(rows.begin() + static_cast<std::ptrdiff_t>(from),
                                           rows.begin() + static_cast<std::ptrdiff_t>(to));
        const std::string block = encodeBlock(part);
        std::int64_t firstUs = part.front().timeUs;
        std::int64_t lastUs = firstUs;
        for (const JournalRow& row : part) {
            firstUs = std::min(firstUs, row.timeUs);
            lastUs = std::max(lastUs, row.timeUs);
        }
        insert.bind(1, static_cast<std::int64_t>(part.back().id))
            .bind(2, static_cast<std::int64_t>(part.front().id))
            .bind(3, firstUs)
            .bind(4, lastUs)
            .bind(5, runRow)
            .bind(6, static_cast<std::int64_t>(part.size()))
            .bindBlob(7, block);
        insert.step();
        insert.reset();
        bytes += block.size();
    }
    return bytes;
}

std::uint64_t upgradeFirstLayout(SqliteDb& db) {
    std::uint64_t moved = 0;
    inTransaction(db, [&] {
        makeJournalTables(db);
        SqliteStatement select(db, std::string(kFirstLayoutRows) + "ORDER BY s.id");
        std::vector<JournalRow> part;
        std::int64_t partRun = 0;
        auto flush = [&] {
            if (!part.empty()) {
                insertBlocks(db, part, partRun);
                moved += part.size();
                part.clear();
            }
        };
        while (select.step()) {
            const std::int64_t run = select.integer(3);
            if (run != partRun || part.size() == kBlockRows) {
                flush();
                partRun = run;
            }
            part.push_back(firstLayoutRow(select));
        }
        flush();
        // IDs go on after the last the first layout gave.
        db.exec("INSERT OR REPLACE INTO cursor(name, sample) SELECT 'ids', coalesce(max(id), 0) FROM samples");
        db.exec("DROP TABLE samples");
    });
    return moved;
}

std::vector<StoredBlock> blocksAfter(SqliteDb& db, std::uint64_t afterId, std::size_t most) {
    std::vector<StoredBlock> blocks;
    SqliteStatement select(db, "SELECT first_id, last_id, first_us, last_us, run, rows, data FROM blocks "
                               "WHERE last_id > ? ORDER BY last_id LIMIT ?");
    select.bind(1, static_cast<std::int64_t>(std::min<std::uint64_t>(afterId, INT64_MAX)))
        .bind(2, static_cast<std::int64_t>(most));
    while (select.step()) {
        StoredBlock block;
        block.firstId = static_cast<std::uint64_t>(select.integer(0));
        block.lastId = static_cast<std::uint64_t>(select.integer(1));
        block.firstUs = select.integer(2);
        block.lastUs = select.integer(3);
        block.runRow = select.integer(4);
        block.rows = static_cast<std::uint64_t>(select.integer(5));
        block.data = select.blob(6);
        blocks.push_back(std::move(block));
    }
    return blocks;
}

std::map<std::int64_t, std::string> runNames(SqliteDb& db) {
    std::map<std::int64_t, std::string> names;
    SqliteStatement select(db, "SELECT id, run FROM runs");
    while (select.step()) {
        names[select.integer(0)] = select.text(1);
    }
    return names;
}

} // namespace brivant::tool
