// The journal's tables, in one place for the journal and for history: how a
// file is recognised as a journal, the blocks of samples as they are stored,
// and the upgrade of a journal of the first layout (a row a sample).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "journal/journal_row.h"
#include "journal/sqlite_db.h"

namespace brivant::tool {

// "BRVJ": what marks a SQLite file as a brivant journal.
constexpr std::int64_t kJournalApplicationId = 0x42525F4A;
constexpr std::int64_t kJournalVersion = 2;

enum class JournalKind {
    Empty,    // no tables: a journal is begun in it
    Current,  // this brivant's layout
    First,    // the first layout, a row a sample: upgraded in place
    Newer,    // a newer brivant's journal: left alone
    Foreign,  // not a journal
};
JournalKind journalKindOf(SqliteDb& db, std::int64_t* version = nullptr);

void makeJournalTables(SqliteDb& db);

// Moves a journal of the first layout's rows into blocks, in one
// transaction; returns how many rows it moved.
std::uint64_t upgradeFirstLayout(SqliteDb& db);

// A block as the table keeps it.
struct StoredBlock {
    std::uint64_t firstId = 0;
    std::uint64_t lastId = 0;
    std::int64_t firstUs = 0; // its earliest and latest times
    std::int64_t lastUs = 0;
    std::int64_t runRow = 0;
    std::uint64_t rows = 0;
    std::string data;
};

// Up to `most` blocks holding rows after `afterId`, in order, read in one
// short statement: no snapshot is held once it returns.
std::vector<StoredBlock> blocksAfter(SqliteDb& db, std::uint64_t afterId, std::size_t most);

// Stores `rows` (one run's, in ID order) as blocks; returns their bytes.
std::uint64_t insertBlocks(SqliteDb& db, const std::vector<JournalRow>& rows, std::int64_t runRow);

// The runs by their row, to name the run of each block.
std::map<std::int64_t, std::string> runNames(SqliteDb& db);

} // namespace brivant::tool
