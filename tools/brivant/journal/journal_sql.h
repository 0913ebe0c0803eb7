// The journal's rows as SQL reads and writes them, in one place for the
// journal and for history.
#pragma once

#include "journal/journal_row.h"
#include "journal/sqlite_db.h"

namespace brivant::tool {

// Every column of a row, its run by name; add WHERE and ORDER BY.
extern const char* const kSelectRows;

// The row a statement of kSelectRows stands on.
JournalRow rowOf(const SqliteStatement& select);

// Binds the row to an INSERT of (id, time_us, unit, run, n, result, c0, c1,
// c2, status, configured, seq, t_us), its run as `runRow`.
void bindRow(SqliteStatement& insert, const JournalRow& row, std::int64_t runRow);

} // namespace brivant::tool
