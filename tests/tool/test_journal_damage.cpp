// A journal whose pages the disk changes under it: the check finds it
// while serve runs, says so once, carries what can still be read into a
// new file at the same path and writes on there; at a start, a damaged
// file's readable blocks are carried over too.
#include <fstream>
#include <map>

#include <sqlite3.h>

#include "journal_fixture.h"
#include "util/tool_errors.h"

namespace brivant::test {
namespace {

class JournalDamage : public JournalTest {
protected:
    // `commits` commits of 50 rows, each row's first count its own ID.
    void fill(tool::Journal& journal, int commits) {
        for (int c = 0; c < commits; ++c) {
            for (int i = 0; i < 50; ++i) {
                const std::uint64_t id = journal.lastId() + 1;
                const tool::JournalRow row =
                    journal.record(static_cast<std::int16_t>(i % 4), sample(id, static_cast<std::int32_t>(id)), true);
                ASSERT_EQ(row.id, id);
                counts_[row.id] = row.counts[0];
            }
            journal.commitNow();
        }
    }

    // The page in the middle of the blocks table's leaves, with the WAL
    // checkpointed into the file first, overwritten as a failing card would.
    void overwriteALeafOfTheBlocks() {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(settings_.path.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_stmt* leaves = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db,
                                     "SELECT pageno FROM dbstat WHERE name = 'blocks' AND pagetype = 'leaf' "
                                     "ORDER BY pageno",
                                     -1, &leaves, nullptr),
                  SQLITE_OK);
        std::vector<std::int64_t> pages;
        while (sqlite3_step(leaves) == SQLITE_ROW) {
            pages.push_back(sqlite3_column_int64(leaves, 0));
        }
        sqlite3_finalize(leaves);
        sqlite3_stmt* size = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA page_size", -1, &size, nullptr), SQLITE_OK);
        ASSERT_EQ(sqlite3_step(size), SQLITE_ROW);
        const std::int64_t pageSize = sqlite3_column_int64(size, 0);
        sqlite3_finalize(size);
        sqlite3_close(db);
        ASSERT_GE(pages.size(), 5u) << "too few leaves for a damage in the middle";
        std::fstream file(settings_.path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp((pages[pages.size() / 2] - 1) * pageSize);
        const std::string garbage(static_cast<std::size_t>(pageSize), '\xa5');
        file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
        ASSERT_TRUE(file.good());
    }

    std::string integrity() {
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open_v2(settings_.path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        sqlite3_stmt* check = nullptr;
        std::string result = "(not run)";
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr) == SQLITE_OK &&
            sqlite3_step(check) == SQLITE_ROW) {
            result = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
        }
        sqlite3_finalize(check);
        sqlite3_close(db);
        return result;
    }

    std::vector<std::string> brokenFiles() {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
            const std::string name = entry.path().filename().string();
            if (name.find(".broken-") != std::string::npos && name.find("-wal") == std::string::npos &&
                name.find("-shm") == std::string::npos) {
                names.push_back(name);
            }
        }
        return names;
    }

    // Every row read back is the one recorded under its ID, in order.
    void expectRowsAsRecorded(const std::vector<tool::JournalRow>& rows) {
        std::uint64_t last = 0;
        for (const tool::JournalRow& row : rows) {
            ASSERT_GT(row.id, last) << "out of order";
            last = row.id;
            ASSERT_EQ(counts_.count(row.id), 1u) << "row " << row.id << " was never recorded";
            EXPECT_EQ(row.counts[0], counts_[row.id]) << "row " << row.id;
        }
    }

    std::map<std::uint64_t, std::int32_t> counts_;
};

TEST_F(JournalDamage, APageOverwrittenWhileItRunsIsFoundOnceAndWhatCanBeReadIsKept) {
    auto journal = open();
    fill(*journal, 400);
    overwriteALeafOfTheBlocks();
    // Commits go on into the right edge of the table: nothing is said yet.
    fill(*journal, 1);
    EXPECT_FALSE(told("journal-damaged"));

    journal->checkNow();
    EXPECT_EQ(timesTold("journal-damaged"), 1u);
    EXPECT_EQ(timesTold("journal-salvaged"), 1u);
    EXPECT_EQ(integrity(), "ok") << "the file at the path is a new, whole one";
    EXPECT_EQ(brokenFiles().size(), 1u) << "the damaged file is kept, since some of it could not be read";

    const std::vector<tool::JournalRow> kept = history();
    expectRowsAsRecorded(kept);
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(kept.front().id, 1u);
    EXPECT_EQ(kept.back().id, counts_.rbegin()->first) << "the newest commit too";
    const std::uint64_t lost = counts_.size() - kept.size();
    EXPECT_GT(lost, 0u);
    EXPECT_LT(lost, counts_.size() / 10) << "one leaf's blocks, not the file";
    tool::JournalTally tally = journal->tally();
    EXPECT_EQ(tally.rows, kept.size());
    EXPECT_EQ(tally.damaged, lost) << "what was left behind is counted";

    // Writing goes on in the new file, IDs after every one given.
    fill(*journal, 2);
    const std::vector<tool::JournalRow> after = history();
    EXPECT_EQ(after.size(), kept.size() + 100);
    expectRowsAsRecorded(after);
    journal->checkNow();
    EXPECT_EQ(timesTold("journal-damaged"), 1u) << "a whole file is not damaged again";
}

TEST_F(JournalDamage, ADamagedFileAtTheStartIsMovedAsideWithWhatCanBeReadCarriedOver) {
    {
        auto journal = open();
        fill(*journal, 400);
    }
    overwriteALeafOfTheBlocks();
    auto journal = open("run-b");
    ASSERT_EQ(journal->notes().size(), 1u);
    EXPECT_NE(journal->notes()[0].find(".broken-"), std::string::npos) << journal->notes()[0];
    journal->checkNow(); // the blocks come over between commits
    const std::vector<tool::JournalRow> kept = history();
    expectRowsAsRecorded(kept);
    EXPECT_GT(kept.size(), counts_.size() * 9 / 10) << "not the whole file lost for a page";
    EXPECT_LT(kept.size(), counts_.size());
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(kept.front().run, "run-a") << "the runs came over with the blocks";
    fill(*journal, 1);
    EXPECT_GT(history().back().id, 20000u) << "IDs go on after the damaged file's";
    EXPECT_EQ(history().back().run, "run-b");
}

// A stop in the middle of a salvage: the next start goes on from where it
// had got to, and the rows come over once.
TEST_F(JournalDamage, ASalvageCutShortByAStopGoesOnAtTheNextStart) {
    {
        auto journal = open();
        fill(*journal, 400);
    }
    overwriteALeafOfTheBlocks();
    {
        auto journal = open("run-b"); // moved aside; its blocks not yet carried
        journal->commitNow();
    }
    const std::size_t before = history().size();
    EXPECT_LT(before, 1000u) << "the salvage had not begun";
    auto journal = open("run-c");
    EXPECT_TRUE(told("journal-salvage"));
    journal->checkNow();
    const std::vector<tool::JournalRow> kept = history();
    expectRowsAsRecorded(kept);
    EXPECT_GT(kept.size(), counts_.size() * 9 / 10);
    std::map<std::uint64_t, int> seen;
    for (const tool::JournalRow& row : kept) {
        ASSERT_EQ(++seen[row.id], 1) << "row " << row.id << " came over twice";
    }
    journal.reset();
    events_.clear();
    journal = open("run-d");
    EXPECT_FALSE(told("journal-salvage")) << "a finished salvage is not taken up again";
}

TEST_F(JournalDamage, ABlockWhoseBytesChangedIsLeftBehindCountedOnceAndReadersReadOn) {
    auto journal = open();
    journal->forwardFrom([] {});
    fill(*journal, 3);
    journal->acknowledged(150);
    journal->commitNow(); // the cursor is in the file
    // SQLite reads the block; its own check finds the change.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(settings_.path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "UPDATE blocks SET data = zeroblob(length(data)) WHERE last_id = 100", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    EXPECT_THROW(history(), tool::InputError);
    journal->checkNow();
    EXPECT_EQ(journal->tally().damaged, 50u) << "counted once, by the check and the salvage together";
    const std::vector<tool::JournalRow> kept = history();
    ASSERT_EQ(kept.size(), 100u) << "readers read on past it";
    expectRowsAsRecorded(kept);
    EXPECT_EQ(kept[49].id, 50u);
    EXPECT_EQ(kept[50].id, 101u);
    journal.reset();
    auto again = open();
    EXPECT_EQ(again->cursor(), 150u) << "and is kept in the new file";
    EXPECT_TRUE(again->notes().empty());
}

} // namespace
} // namespace brivant::test
