// What the journal keeps and for whom: the bounds remove what the broker has
// had before what it has not, IDs never go back, rows being written are not
// lost to the memory bound, a first-layout journal is carried over, readers
// hold no snapshot, and a sample takes a few bytes on disk.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include <sqlite3.h>

#include "journal/counted_vfs.h"
#include "journal_fixture.h"
#include "util/tool_errors.h"

namespace brivant::test {
namespace {

using namespace std::chrono_literals;

// Another program's connection to the journal, holding its write lock.
class WriteLock {
public:
    explicit WriteLock(const std::string& path) {
        EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    void release() {
        if (db_ != nullptr) {
            sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
            sqlite3_close(db_);
            db_ = nullptr;
        }
    }
    ~WriteLock() { release(); }

private:
    sqlite3* db_ = nullptr;
};

void sql(const std::string& path, const std::string& text) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, text.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
}

class JournalKeeps : public JournalTest {
protected:
    // `commits` commits of `perCommit` rows from 16 units, their times
    // `ageUs` back from now.
    void fill(tool::Journal& journal, int commits, int perCommit, std::int64_t ageUs = 0) {
        for (int c = 0; c < commits; ++c) {
            for (int i = 0; i < perCommit; ++i) {
                auto& count = counts_[static_cast<std::size_t>(i % 16)];
                count = static_cast<std::int32_t>(static_cast<std::uint32_t>(count) + rng_() % 1001);
                tool::Sample s = sample(++seq_, count);
                s.time -= std::chrono::microseconds(ageUs);
                journal.record(static_cast<std::int16_t>(i % 16), s, true);
            }
            journal.commitNow();
        }
    }
    std::uint64_t seq_ = 0;
    std::mt19937 rng_{11};
    std::array<std::int32_t, 16> counts_{};
};

TEST_F(JournalKeeps, KeepAndTheBoundRemoveWhatTheBrokerHadFirstAndUnsentRowsOnlyWhenNothingElseIsLeft) {
    settings_.keepSeconds = 3600;
    settings_.forwarded = true;
    auto journal = open();
    // A clock set forward by hours (NTP after an outage on a board with no
    // real-time clock): every row is now older than `keep`.
    fill(*journal, 4, 1000, 2 * 3600 * 1000000LL);
    journal->acknowledged(2000);
    fill(*journal, 1, 10);
    journal->commitNow();
    tool::JournalTally tally = journal->tally();
    EXPECT_EQ(tally.dropped, 2000u) << "the two commits the broker had";
    EXPECT_EQ(tally.unsentDropped, 0u);
    std::vector<tool::JournalRow> rows = history();
    ASSERT_EQ(rows.size(), 2010u) << "keep never removes a row not yet forwarded";
    EXPECT_EQ(rows.front().id, 2001u);

    // A small bound, the broker away: rows it has had go first; then,
    // with none of those left, the oldest unsent go, counted apart and
    // told once for the episode.
    journal.reset();
    settings_.maxMb = 1;
    journal = open();
    for (int c = 0; c < 20; ++c) {
        journal->acknowledged(journal->lastId());
        fill(*journal, 1, 16000);
    }
    EXPECT_GT(journal->tally().dropped, 2010u);
    EXPECT_EQ(journal->tally().unsentDropped, 0u) << "some 100 kB a commit: a megabyte holds several";
    // The broker goes away.
    const std::uint64_t acknowledged = journal->cursor();
    fill(*journal, 40, 16000);
    tally = journal->tally();
    EXPECT_GT(tally.unsentDropped, 0u);
    EXPECT_LE(tally.bytes, 1024u * 1024u);
    rows = history();
    ASSERT_FALSE(rows.empty());
    EXPECT_GT(rows.front().id, acknowledged) << "every row the broker had went before an unsent one";
    EXPECT_EQ(rows.back().id, journal->lastId()) << "the newest are kept";
    EXPECT_EQ(timesTold("journal-unsent-dropped"), 1u);
    journal->stop();
    EXPECT_EQ(timesTold("journal-unsent-dropped"), 2u) << "and its tally at the stop";
    std::lock_guard<std::mutex> guard(lock_);
    EXPECT_NE(texts_.back().find(std::to_string(tally.unsentDropped)), std::string::npos) << texts_.back();
}

// serve's JSON topics and the Sparkplug node forward from one journal, each
// at its own pace: neither's acknowledgement stands for the other's.
TEST_F(JournalKeeps, TwoForwardersKeepTheirOwnCursorsAndKeepRemovesOnlyWhatBothHad) {
    settings_.keepSeconds = 60;
    settings_.forwarded = true;
    auto journal = open();
    fill(*journal, 1, 30, 3600 * 1000000LL); // rows 1-30, before the node was ever on
    const tool::Journal::Forwarder json = journal->forwardFrom([] {}, "mqtt");
    const tool::Journal::Forwarder node = journal->forwardFrom([] {}, "sparkplug");
    EXPECT_NE(json, node);
    EXPECT_EQ(journal->cursor(json), 0u) << "the JSON topics forward what was there";
    EXPECT_EQ(journal->cursor(node), 30u) << "a forwarder new to the file starts after it";
    fill(*journal, 2, 50, 3600 * 1000000LL); // rows 31-130, old enough for `keep`
    EXPECT_EQ(journal->after(30, 200).size(), 100u);
    journal->queued(130, json);
    journal->acknowledged(130, json);
    journal->queued(80, node);
    journal->acknowledged(80, node);
    journal->commitNow();
    std::vector<tool::JournalRow> rows = history();
    ASSERT_FALSE(rows.empty());
    EXPECT_GT(rows.front().id, 30u) << "the blocks both had are gone";
    EXPECT_LE(rows.front().id, 81u) << "none the node has not had is removed";
    EXPECT_EQ(journal->backlog(node), 50u);
    EXPECT_EQ(journal->backlog(json), 0u);
    EXPECT_EQ(journal->tally().backlog, 50u) << "the journal's backlog is the most behind's";

    journal.reset();
    journal = open("run-b");
    EXPECT_EQ(journal->cursor(journal->forwardFrom([] {}, "sparkplug")), 80u);
    EXPECT_EQ(journal->cursor(journal->forwardFrom([] {}, "mqtt")), 130u);
    EXPECT_EQ(journal->forwardFrom([] {}, "mqtt"), json) << "a name keeps its place";
}

TEST_F(JournalKeeps, IdsGoOnAfterEveryRowHasGoneSoTheCursorIsNeverAheadOfThem) {
    settings_.keepSeconds = 60;
    settings_.forwarded = true;
    auto journal = open();
    fill(*journal, 2, 50, 3600 * 1000000LL);
    journal->acknowledged(100);
    journal->commitNow();
    journal->commitNow();
    EXPECT_EQ(journal->tally().rows, 0u);
    journal.reset();
    journal = open("run-b");
    EXPECT_EQ(journal->cursor(), 100u);
    EXPECT_EQ(journal->record(0, sample(1, 1), true).id, 101u) << "not 1: the forwarder would wait for days";

    // Without a forwarder, the IDs go on as well.
    journal.reset();
    settings_.forwarded = false;
    sql(settings_.path, "DELETE FROM cursor WHERE name = 'mqtt'");
    journal = open("run-c");
    journal->commitNow();
    journal.reset();
    journal = open("run-d");
    EXPECT_GT(journal->record(0, sample(1, 1), true).id, 101u);
}

TEST_F(JournalKeeps, RowsTheCommitIsWritingWhenMemoryOverflowsAreStoredAndForwarded) {
    settings_.syncMs = 30;
    settings_.memoryRows = 100;
    auto journal = open();
    journal->forwardFrom([] {});
    WriteLock other(settings_.path);
    journal->start();
    for (int i = 0; i < 100; ++i) {
        journal->record(1, sample(static_cast<std::uint64_t>(i), i), true);
    }
    // The commit has taken those 100 and waits for the lock (2 s at most);
    // 100 more push them out of memory while it writes them.
    std::this_thread::sleep_for(1000ms);
    for (int i = 100; i < 200; ++i) {
        journal->record(1, sample(static_cast<std::uint64_t>(i), i), true);
    }
    other.release();
    std::this_thread::sleep_for(400ms);
    std::vector<tool::JournalRow> rows = journal->after(0, 1000);
    ASSERT_EQ(rows.size(), 200u) << "the forwarder reads back what left memory";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].id, i + 1);
    }
    journal->stop();
    EXPECT_EQ(journal->tally().unstored, 0u);
    EXPECT_EQ(history().size(), 200u);
}

TEST_F(JournalKeeps, AnotherProgramHoldingTheFileForSecondsLosesNoSampleAndAStartWhileHeldNamesTheFile) {
    settings_.syncMs = 50;
    settings_.memoryRows = 20000;
    auto journal = open();
    journal->start();
    {
        WriteLock other(settings_.path);
        // 3 s at 1 kHz: longer than one commit's wait for the lock.
        for (int i = 0; i < 3000; ++i) {
            journal->record(0, sample(static_cast<std::uint64_t>(i), i), true);
            if (i % 100 == 0) {
                std::this_thread::sleep_for(100ms);
            }
        }
    }
    std::this_thread::sleep_for(300ms);
    journal->stop();
    EXPECT_EQ(journal->tally().unstored, 0u);
    EXPECT_EQ(history().size(), 3000u);
    EXPECT_EQ(timesTold("journal-busy"), 2u) << "held, and free again";
    journal.reset();

    WriteLock other(settings_.path);
    try {
        open("run-b");
        ADD_FAILURE() << "a journal held by another program was begun";
    } catch (const tool::InputError& error) {
        EXPECT_NE(std::string(error.what()).find(settings_.path), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find("another program"), std::string::npos) << error.what();
    }
}

TEST_F(JournalKeeps, APruneThatFailsIsToldOnceAndLeavesTheTalliesAsTheyWere) {
    auto journal = open();
    fill(*journal, 1, 10);
    const tool::JournalTally before = journal->tally();
    {
        WriteLock other(settings_.path);
        journal->commitNow(); // nothing to commit; the prune waits 2 s, then fails
        journal->commitNow();
    }
    EXPECT_EQ(timesTold("journal-prune-failing"), 1u);
    EXPECT_EQ(journal->tally().rows, before.rows);
    EXPECT_EQ(journal->tally().dropped, before.dropped);
    journal->commitNow();
    EXPECT_EQ(timesTold("journal-prune-recovered"), 1u);
}

TEST_F(JournalKeeps, AFirstLayoutJournalIsCarriedOverWithItsRowsAndCursorAndForeignFilesAreNotTaken) {
    sql(settings_.path,
        "CREATE TABLE runs(id INTEGER PRIMARY KEY, run TEXT NOT NULL, started_us INTEGER NOT NULL);"
        "CREATE TABLE samples(id INTEGER PRIMARY KEY, time_us INTEGER NOT NULL, unit INTEGER NOT NULL, "
        "run INTEGER NOT NULL, n INTEGER NOT NULL, result INTEGER NOT NULL, c0 INTEGER, c1 INTEGER, c2 INTEGER, "
        "status INTEGER, configured INTEGER, seq INTEGER NOT NULL, t_us INTEGER NOT NULL);"
        "CREATE TABLE events(id INTEGER PRIMARY KEY, time_us INTEGER NOT NULL, unit INTEGER NOT NULL, "
        "event TEXT NOT NULL, body TEXT NOT NULL);"
        "CREATE TABLE cursor(name TEXT PRIMARY KEY, sample INTEGER NOT NULL);"
        "PRAGMA user_version=1;"
        "INSERT INTO runs VALUES (1, 'old-run', 1765000000000000), (2, 'later', 1765000100000000);"
        "INSERT INTO samples VALUES (1, 1765000000100000, 2, 1, 1, 0, 10, -20, 30, 197121, 1, 5, 100000);"
        "INSERT INTO samples VALUES (2, 1765000000200000, 2, 1, 2, -4, NULL, NULL, NULL, NULL, NULL, 6, 200000);"
        "INSERT INTO samples VALUES (7, 1765000100100000, 3, 2, 1, 0, 5, 6, 7, 0, 0, 1, 50000);"
        "INSERT INTO cursor VALUES ('mqtt', 2);");
    settings_.keepSeconds = 10 * 365 * 86400LL; // rows from a year ago
    auto journal = open();
    ASSERT_EQ(journal->notes().size(), 1u);
    EXPECT_NE(journal->notes()[0].find("3 samples"), std::string::npos) << journal->notes()[0];
    EXPECT_EQ(journal->cursor(), 2u);
    EXPECT_EQ(journal->record(0, sample(1, 1), true).id, 8u);
    journal->commitNow();
    const std::vector<tool::JournalRow> rows = history();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].run, "old-run");
    EXPECT_EQ(rows[0].counts, (std::array<std::int32_t, 3>{10, -20, 30}));
    EXPECT_EQ(rows[0].status, (std::array<std::uint8_t, 3>{1, 2, 3}));
    EXPECT_EQ(rows[0].seq, 5u);
    EXPECT_DOUBLE_EQ(rows[0].t, 0.1);
    EXPECT_EQ(rows[1].result, -4);
    EXPECT_FALSE(rows[1].configured.has_value());
    EXPECT_EQ(rows[2].id, 7u);
    EXPECT_EQ(rows[2].run, "later");
    EXPECT_EQ(rows[2].configured, false);
    EXPECT_EQ(rows[3].run, "run-a");
    journal.reset();

    // Another program's file with the same user_version, and one of a
    // version no brivant wrote without its mark: moved aside, never taken
    // for a journal nor for a newer one.
    for (const char* theirs : {"CREATE TABLE samples(x); PRAGMA user_version=1",
                               "CREATE TABLE things(y); PRAGMA user_version=2",
                               "CREATE TABLE blocks(z); PRAGMA application_id=7; PRAGMA user_version=2"}) {
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
        sql(settings_.path, theirs);
        journal = open();
        ASSERT_EQ(journal->notes().size(), 1u) << theirs;
        EXPECT_NE(journal->notes()[0].find("not a brivant journal"), std::string::npos) << journal->notes()[0];
        journal->record(0, sample(1, 1), true);
        journal->commitNow();
        EXPECT_EQ(history().size(), 1u);
        journal.reset();
    }
}

TEST_F(JournalKeeps, AReaderThatStopsReadingHoldsNoSnapshotSoCommitsAndCheckpointsGoOn) {
    settings_.syncMs = 20;
    auto journal = open();
    journal->start();
    for (int i = 0; i < 5000; ++i) {
        journal->record(static_cast<std::int16_t>(i % 4), sample(static_cast<std::uint64_t>(i), i), true);
        if (i % 500 == 0) {
            std::this_thread::sleep_for(25ms); // a commit a step
        }
    }
    std::this_thread::sleep_for(100ms);
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        for (std::uint64_t i = 0; writing; ++i) {
            journal->record(0, sample(i, 1), true);
            std::this_thread::sleep_for(1ms);
        }
    });
    std::size_t handed = 0;
    int checkpointBusy = -1;
    const std::uint64_t commitsBefore = journal->tally().commits;
    std::uint64_t commitsDuring = 0;
    tool::historyRows(settings_.path, {}, [&](const tool::JournalRow&) {
        if (++handed == 10) {
            // A pager waiting for its reader: while it waits, another
            // connection checkpoints the whole WAL.
            std::this_thread::sleep_for(500ms);
            sqlite3* db = nullptr;
            sqlite3_open(settings_.path.c_str(), &db);
            // A commit may be under way: that, not a reader, it waits for.
            sqlite3_busy_timeout(db, 2000);
            sqlite3_stmt* checkpoint = nullptr;
            sqlite3_prepare_v2(db, "PRAGMA wal_checkpoint(TRUNCATE)", -1, &checkpoint, nullptr);
            if (sqlite3_step(checkpoint) == SQLITE_ROW) {
                checkpointBusy = sqlite3_column_int(checkpoint, 0);
            }
            sqlite3_finalize(checkpoint);
            sqlite3_close(db);
            commitsDuring = journal->tally().commits - commitsBefore;
        }
        return true;
    });
    writing = false;
    writer.join();
    journal->stop();
    EXPECT_GE(handed, 5000u);
    EXPECT_EQ(checkpointBusy, 0) << "the reader held a snapshot";
    EXPECT_GE(commitsDuring, 10u) << "commits went on while the reader waited";
}

// Bytes held and written a sample by `units` units at `rateHz` over
// `seconds` commits of a second, every channel stepping by up to `step` a
// sample, the readers' times jittering by up to 300 µs.
std::pair<double, double> bytesASample(tool::Journal& journal, int units, int rateHz, int seconds, int step) {
    const std::uint64_t writtenBefore = tool::countedBytesWritten();
    const std::uint64_t rowsBefore = journal.tally().rows;
    std::mt19937 rng(2);
    std::vector<std::array<std::int32_t, 3>> counts(static_cast<std::size_t>(units));
    const auto start = std::chrono::system_clock::now();
    const int period = 1000000 / rateHz;
    std::uint64_t seq = 0;
    for (int second = 0; second < seconds; ++second) {
        for (int k = 0; k < rateHz; ++k) {
            for (int unit = 0; unit < units; ++unit) {
                tool::Sample s;
                s.seq = ++seq;
                s.time = start + std::chrono::microseconds(second * 1000000 + k * period + unit * 40 +
                                                           static_cast<int>(rng() % 300));
                s.t = static_cast<double>(second) + k / static_cast<double>(rateHz) + unit * 40e-6;
                for (auto& c : counts[static_cast<std::size_t>(unit)]) {
                    c += static_cast<std::int32_t>(rng() % static_cast<unsigned>(step + 1));
                }
                s.counts = counts[static_cast<std::size_t>(unit)];
                s.status = {1, 0, 1};
                journal.record(static_cast<std::int16_t>(unit), s, true);
            }
        }
        journal.commitNow();
    }
    const tool::JournalTally tally = journal.tally();
    const double rows = static_cast<double>(tally.rows - rowsBefore);
    return {static_cast<double>(tally.heldBytes) / static_cast<double>(tally.rows),
            static_cast<double>(tally.written - writtenBefore) / rows};
}

TEST_F(JournalKeeps, SixteenUnitsAtAKilohertzWithRandomStepsHoldAtMostEightBytesAndWriteAtMostSixteen) {
    auto journal = open();
    const auto [held, written] = bytesASample(*journal, 16, 1000, 60, 1000);
    std::printf("16 units x 1 kHz, steps up to 1000: %.2f bytes held, %.2f written a sample\n", held, written);
    EXPECT_LE(held, 8.0);
    EXPECT_LE(written, 16.0);
    // The other rates, for the README's table (figures, not bounds).
    for (const auto& [units, rate] : {std::pair<int, int>{1, 100}, {16, 100}, {1, 1000}}) {
        journal.reset();
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
        journal = open();
        const auto [h, w] = bytesASample(*journal, units, rate, 60, 1000);
        std::printf("%d units x %d Hz, steps up to 1000: %.2f bytes held, %.2f written a sample\n", units, rate, h, w);
    }
}

TEST_F(JournalKeeps, ADamagedBlockIsSkippedByTheForwarderCountedAndNamedByHistory) {
    auto journal = open();
    journal->forwardFrom([] {});
    fill(*journal, 3, 100);
    journal.reset();
    // The middle block's bytes changed under the journal.
    sql(settings_.path, "UPDATE blocks SET data = zeroblob(length(data)) WHERE last_id = 200");
    journal = open();
    journal->forwardFrom([] {});
    const std::vector<tool::JournalRow> rows = journal->after(0, 1000);
    ASSERT_EQ(rows.size(), 200u);
    EXPECT_EQ(rows[99].id, 100u);
    EXPECT_EQ(rows[100].id, 201u);
    EXPECT_EQ(journal->tally().damaged, 100u);
    EXPECT_TRUE(told("journal-damaged"));
    try {
        history();
        ADD_FAILURE() << "a damaged block was read as samples";
    } catch (const tool::InputError& error) {
        EXPECT_NE(std::string(error.what()).find("rows 101 to 200"), std::string::npos) << error.what();
    }
}

} // namespace
} // namespace brivant::test
