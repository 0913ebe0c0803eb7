// What can still be read of a damaged journal, carried into a new one: its
// runs, cursors and events at once, then its blocks of samples a slice at a
// time, so that the commits of the new one keep their pace meanwhile. A
// block whose bytes are not whole stays behind; where SQLite cannot read
// on, the salvage jumps ahead, further each time, until it can again.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "journal/sqlite_db.h"

namespace brivant::tool {

struct SalvageTally {
    std::uint64_t blocks = 0;       // carried over
    std::uint64_t rows = 0;         // samples carried over
    std::uint64_t lostRows = 0;     // IDs between the blocks read that none of them holds
    std::uint64_t brokenBlocks = 0; // read, but not whole: left behind
    std::uint64_t unreadable = 0;   // reads SQLite refused, each jumped over
    std::uint64_t events = 0;
};

class JournalSalvage {
public:
    // Opens `from` read-only and copies its runs, cursors and events into
    // `into` (a journal with its tables), keeping what `into` has already.
    // Nothing that `from` holds makes it throw; `into` failing does
    // (SqliteError). Where it has got to is kept in `into` with each step,
    // so that a stop before the end leaves it for the next start.
    JournalSalvage(std::string from, SqliteDb& into);
    // The salvages a stop left unfinished in `into`, whose files are still
    // there: each goes on from where it had got to.
    static std::vector<std::unique_ptr<JournalSalvage>> unfinished(SqliteDb& into);
    ~JournalSalvage();
    JournalSalvage(const JournalSalvage&) = delete;
    JournalSalvage& operator=(const JournalSalvage&) = delete;

    // Copies the next blocks, about `bytes` of them, in one transaction of
    // `into`; true once every block that can be read has been. Throws
    // SqliteError only for `into`.
    bool step(SqliteDb& into, std::uint64_t bytes);

    const std::string& from() const { return from_; }
    const SalvageTally& tally() const { return tally_; }
    // The blocks left behind as not whole: (last ID, rows) of each.
    const std::vector<std::pair<std::uint64_t, std::uint64_t>>& broken() const { return broken_; }
    // The last row ID `from` had given, as far as it can be read: a journal
    // taking over goes on after it.
    std::uint64_t lastId() const { return lastId_; }
    // Blocks up to this row ID are carried over (or lost); rows after it
    // wait for the next steps.
    std::uint64_t copiedUpTo() const { return done_ ? lastId_ : after_; }
    // Nothing was lost: every block the file held is in `into` (not told
    // for a salvage taken up again after a stop, which knows only its part).
    bool whole() const {
        return done_ && !resumed_ && tally_.lostRows == 0 && tally_.brokenBlocks == 0 && tally_.unreadable == 0;
    }

private:
    JournalSalvage(std::string from, std::uint64_t after);
    void open();
    void copySmallTables(SqliteDb& into);
    std::string mark() const { return "salvage:" + from_; } // its row in `into`'s cursor table

    const std::string from_;
    std::unique_ptr<SqliteDb> source_;
    SalvageTally tally_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> broken_;
    std::uint64_t lastId_ = 0;
    std::uint64_t after_ = 0;     // blocks after this ID are still to be read
    std::uint64_t lastKept_ = 0;  // the last ID of the last block read
    std::uint64_t jump_ = 0;      // how far the next unreadable read jumps
    std::size_t oneByOne_ = 0;    // reads left to take one block at a time, near damage
    bool done_ = false;
    bool resumed_ = false;
};

} // namespace brivant::tool
