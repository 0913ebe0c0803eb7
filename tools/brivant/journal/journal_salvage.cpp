#include "journal_salvage.h"

#include <algorithm>
#include <filesystem>
#include <vector>

#include <sqlite3.h>

#include "journal/journal_sql.h"
#include "journal/sample_block.h"

namespace brivant::tool {

namespace {

constexpr std::size_t kNearDamage = 64; // reads taken block by block after a refused one

// Runs `sql` on the damaged file and hands each row to `copy`, which writes
// into the new one; stops at the first row SQLite cannot read (counted).
template <typename Copy>
void readEach(SqliteDb* source, const std::string& sql, std::uint64_t& unreadable, Copy&& copy) {
    if (source == nullptr) {
        return;
    }
    std::unique_ptr<SqliteStatement> select;
    try {
        select = std::make_unique<SqliteStatement>(*source, sql);
    } catch (const SqliteError&) {
        ++unreadable;
        return;
    }
    for (;;) {
        bool more = false;
        try {
            more = select->step();
        } catch (const SqliteError&) {
            ++unreadable;
            return;
        }
        if (!more) {
            return;
        }
        copy(*select); // the new file's failures go to the caller
    }
}

} // namespace

JournalSalvage::JournalSalvage(std::string from, SqliteDb& into) : from_(std::move(from)) {
    open();
    copySmallTables(into);
}

JournalSalvage::JournalSalvage(std::string from, std::uint64_t after)
    : from_(std::move(from)), after_(after), resumed_(true) {
    open();
    lastKept_ = after; // no gap counted across the stop
}

void JournalSalvage::open() {
    try {
        source_ = std::make_unique<SqliteDb>(from_, true);
    } catch (const SqliteError&) {
        ++tally_.unreadable; // not even opened: nothing to carry over
        done_ = true;
    }
}

std::vector<std::unique_ptr<JournalSalvage>> JournalSalvage::unfinished(SqliteDb& into) {
    std::vector<std::unique_ptr<JournalSalvage>> found;
    SqliteStatement marks(into, "SELECT name, sample FROM cursor WHERE name LIKE 'salvage:%'");
    std::vector<std::string> gone;
    while (marks.step()) {
        const std::string from = marks.text(0).substr(8);
        std::error_code error;
        if (!std::filesystem::exists(from, error)) {
            gone.push_back(marks.text(0)); // removed by hand: nothing left to carry
            continue;
        }
        std::unique_ptr<JournalSalvage> salvage(
            new JournalSalvage(from, static_cast<std::uint64_t>(std::max<std::int64_t>(marks.integer(1), 0))));
        if (!salvage->done_) {
            // Its end is what the damaged file gave last.
            readEach(salvage->source_.get(), "SELECT max(last_id) FROM blocks", salvage->tally_.unreadable,
                     [&](const SqliteStatement& row) {
                         salvage->lastId_ = static_cast<std::uint64_t>(std::max<std::int64_t>(row.integer(0), 0));
                     });
        }
        found.push_back(std::move(salvage));
    }
    for (const std::string& name : gone) {
        SqliteStatement forget(into, "DELETE FROM cursor WHERE name = ?");
        forget.bind(1, name).step();
    }
    return found;
}

JournalSalvage::~JournalSalvage() = default;

void JournalSalvage::copySmallTables(SqliteDb& into) {
    inTransaction(into, [&] {
        SqliteStatement run(into, "INSERT OR IGNORE INTO runs(id, run, started_us) VALUES (?, ?, ?)");
        readEach(source_.get(), "SELECT id, run, started_us FROM runs ORDER BY id", tally_.unreadable,
                 [&](const SqliteStatement& row) {
                     run.bind(1, row.integer(0)).bind(2, row.text(1)).bind(3, row.integer(2)).step();
                     run.reset();
                 });
        // The new file's own cursor, where it has one, is the newer.
        SqliteStatement cursor(into, "INSERT OR IGNORE INTO cursor(name, sample) VALUES (?, ?)");
        readEach(source_.get(), "SELECT name, sample FROM cursor WHERE name IN ('mqtt', 'ids')", tally_.unreadable,
                 [&](const SqliteStatement& row) {
            lastId_ = std::max(lastId_, static_cast<std::uint64_t>(std::max<std::int64_t>(row.integer(1), 0)));
            cursor.bind(1, row.text(0)).bind(2, row.integer(1)).step();
            cursor.reset();
        });
        readEach(source_.get(), "SELECT max(last_id) FROM blocks", tally_.unreadable, [&](const SqliteStatement& row) {
            lastId_ = std::max(lastId_, static_cast<std::uint64_t>(std::max<std::int64_t>(row.integer(0), 0)));
        });
        // IDs go on after every one the damaged file gave.
        SqliteStatement ids(into, "INSERT INTO cursor(name, sample) VALUES ('ids', ?) "
                                  "ON CONFLICT(name) DO UPDATE SET sample = max(sample, excluded.sample)");
        ids.bind(1, static_cast<std::int64_t>(std::min<std::uint64_t>(lastId_, INT64_MAX))).step();
        SqliteStatement event(into, "INSERT INTO events(time_us, unit, event, body) VALUES (?, ?, ?, ?)");
        readEach(source_.get(), "SELECT time_us, unit, event, body FROM events ORDER BY id", tally_.unreadable,
                 [&](const SqliteStatement& row) {
                     event.bind(1, row.integer(0)).bind(2, row.integer(1)).bind(3, row.text(2)).bind(4, row.text(3));
                     event.step();
                     event.reset();
                     ++tally_.events;
                 });
        if (!done_) {
            SqliteStatement begun(into, "INSERT OR REPLACE INTO cursor(name, sample) VALUES (?, 0)");
            begun.bind(1, mark()).step();
        }
    });
}

bool JournalSalvage::step(SqliteDb& into, std::uint64_t bytes) {
    if (done_) {
        return true;
    }
    // Past the last ID known (or, not knowing it, any ID) nothing is left.
    const std::uint64_t end = lastId_ > 0 ? lastId_ : static_cast<std::uint64_t>(INT64_MAX);
    SalvageTally tally = tally_;
    std::uint64_t after = after_, lastKept = lastKept_, jump = jump_, lastId = lastId_;
    std::size_t oneByOne = oneByOne_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> broken;
    bool done = false;
    inTransaction(into, [&] {
        SqliteStatement insert(into, "INSERT OR IGNORE INTO blocks(last_id, first_id, first_us, last_us, run, rows, "
                                     "data) VALUES (?, ?, ?, ?, ?, ?, ?)");
        std::uint64_t copied = 0;
        SqliteStatement progress(into, "INSERT OR REPLACE INTO cursor(name, sample) VALUES (?, ?)");
        SqliteStatement finished(into, "DELETE FROM cursor WHERE name = ?");
        while (copied < bytes && !done) {
            std::vector<StoredBlock> blocks;
            const std::size_t most = oneByOne > 0 ? 1 : 16;
            try {
                blocks = blocksAfter(*source_, after, most);
            } catch (const SqliteError&) {
                if (most > 1) {
                    oneByOne = kNearDamage; // the blocks before the damage are read one by one
                    continue;
                }
                ++tally.unreadable;
                jump = jump == 0 ? 1 : jump * 2;
                after = end - after > jump ? after + jump : end;
                done = after >= end;
                oneByOne = kNearDamage;
                continue;
            }
            if (blocks.empty()) {
                done = true;
                break;
            }
            jump = 0;
            for (const StoredBlock& block : blocks) {
                oneByOne -= oneByOne > 0 ? 1 : 0;
                after = block.lastId;
                copied += block.data.size() + 64;
                if (lastKept != 0 && block.firstId > lastKept + 1) {
                    tally.lostRows += block.firstId - lastKept - 1;
                }
                lastKept = block.lastId;
                try {
                    decodeBlock(block.data, {});
                } catch (const BlockError&) {
                    ++tally.brokenBlocks;
                    broken.emplace_back(block.lastId, block.rows);
                    continue;
                }
                insert.bind(1, static_cast<std::int64_t>(block.lastId))
                    .bind(2, static_cast<std::int64_t>(block.firstId))
                    .bind(3, block.firstUs)
                    .bind(4, block.lastUs)
                    .bind(5, block.runRow)
                    .bind(6, static_cast<std::int64_t>(block.rows))
                    .bindBlob(7, block.data);
                insert.step();
                insert.reset();
                lastId = std::max(lastId, block.lastId);
                ++tally.blocks;
                tally.rows += block.rows;
            }
        }
        if (done) {
            finished.bind(1, mark()).step();
        } else {
            progress.bind(1, mark()).bind(2, static_cast<std::int64_t>(std::min<std::uint64_t>(after, INT64_MAX))).step();
        }
    });
    // Taken only once the new file has them.
    tally_ = tally;
    broken_.insert(broken_.end(), broken.begin(), broken.end());
    after_ = after;
    lastKept_ = lastKept;
    jump_ = jump;
    lastId_ = lastId;
    oneByOne_ = oneByOne;
    done_ = done;
    if (done_) {
        source_.reset();
    }
    return done_;
}

} // namespace brivant::tool
