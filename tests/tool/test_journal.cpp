// The station's journal without serve: rows keep their order and numbers,
// the forwarder's cursor survives a restart, history reads while the journal
// is written, and a damaged, foreign or newer file is handled without loss.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <sqlite3.h>
#include <sys/stat.h>

#include "http/panel_server.h"
#include "journal/history.h"
#include "journal/journal.h"
#include "journal_fixture.h"
#include "service/unit_registry.h"
#include "util/tool_errors.h"

namespace brivant::test {
namespace {

using namespace std::chrono_literals;

TEST_F(JournalTest, RowsKeepTheirOrderNumbersAndValuesAndHistoryReadsThemBack) {
    auto journal = open();
    for (std::uint64_t i = 1; i <= 5; ++i) {
        journal->record(0, sample(2 * i, static_cast<std::int32_t>(i)), true);
        journal->record(3, sample(2 * i + 1, static_cast<std::int32_t>(100 * i), i == 5 ? 2 : 0), std::nullopt);
    }
    journal->commitNow();
    std::vector<tool::JournalRow> rows = history();
    ASSERT_EQ(rows.size(), 10u);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].id, i + 1);
        EXPECT_EQ(rows[i].run, "run-a");
        EXPECT_EQ(rows[i].n, i / 2 + 1) << "n counts each unit's samples";
    }
    EXPECT_EQ(rows[2].counts, (std::array<std::int32_t, 3>{2, -2, 7}));
    EXPECT_EQ(rows[2].status, (std::array<std::uint8_t, 3>{1, 2, 3}));
    EXPECT_EQ(rows[2].configured, true);
    EXPECT_FALSE(rows[3].configured.has_value());
    EXPECT_EQ(rows[9].result, 2);
    EXPECT_EQ(rows[9].counts, (std::array<std::int32_t, 3>{0, 0, 0})) << "a failed read keeps no counts";
    EXPECT_EQ(rows[5].seq, 7u);

    tool::HistoryQuery unit3;
    unit3.units = {3};
    unit3.most = 2;
    EXPECT_EQ(history(unit3).size(), 2u);
    tool::HistoryQuery future;
    future.sinceUs = rows.back().timeUs + 10'000'000;
    EXPECT_TRUE(history(future).empty());

    // A second start is a second run; the rows go on after the first's.
    journal.reset();
    journal = open("run-b");
    EXPECT_EQ(journal->record(0, sample(1, 1), true).id, 11u);
    journal->commitNow();
    rows = history();
    ASSERT_EQ(rows.size(), 11u);
    EXPECT_EQ(rows.back().run, "run-b");
    EXPECT_EQ(rows.back().n, 1u);
}

TEST_F(JournalTest, TheForwarderGetsEveryRowOnceAndItsCursorOutlivesTheProcess) {
    auto journal = open();
    journal->forwardFrom([] {});
    for (std::uint64_t i = 1; i <= 30; ++i) {
        journal->record(1, sample(i, static_cast<std::int32_t>(i)), true);
        if (i == 10) {
            journal->commitNow(); // some from the database, some from memory
        }
    }
    std::vector<tool::JournalRow> first = journal->after(0, 12);
    ASSERT_EQ(first.size(), 12u);
    EXPECT_EQ(first.front().id, 1u);
    EXPECT_EQ(first.back().id, 12u);
    journal->queued(12);
    std::vector<tool::JournalRow> rest = journal->after(12, 100);
    ASSERT_EQ(rest.size(), 18u);
    EXPECT_EQ(rest.front().id, 13u);
    journal->queued(30);
    journal->acknowledged(20);
    EXPECT_EQ(journal->tally().backlog, 10u);
    journal->stop();
    journal.reset();

    // The next start forwards what the broker had not acknowledged, from
    // the database.
    journal = open("run-b");
    EXPECT_EQ(journal->cursor(), 20u);
    journal->forwardFrom([] {});
    std::vector<tool::JournalRow> again = journal->after(journal->cursor(), 100);
    ASSERT_EQ(again.size(), 10u);
    EXPECT_EQ(again.front().id, 21u);
    EXPECT_EQ(again.front().run, "run-a");
    EXPECT_EQ(again.front().n, 21u);
    EXPECT_EQ(again.front().counts[0], 21);
}

TEST_F(JournalTest, HistoryReadsWhileTheJournalIsWritten) {
    settings_.syncMs = 20;
    auto journal = open();
    journal->start();
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (std::uint64_t i = 1; i <= 3000 && !done; ++i) {
            journal->record(static_cast<std::int16_t>(i % 4), sample(i, static_cast<std::int32_t>(i)), true);
            std::this_thread::sleep_for(100us);
        }
    });
    std::size_t seen = 0;
    for (int read = 0; read < 20; ++read) {
        std::vector<tool::JournalRow> rows = history();
        EXPECT_GE(rows.size(), seen) << "a read never goes back";
        for (std::size_t i = 0; i < rows.size(); ++i) {
            ASSERT_EQ(rows[i].id, i + 1) << "whole rows, in order";
        }
        seen = rows.size();
        std::this_thread::sleep_for(15ms);
    }
    done = true;
    writer.join();
    journal->stop();
    EXPECT_GT(seen, 0u);
    EXPECT_EQ(history().size(), journal->lastId());
}

TEST_F(JournalTest, OldRowsGoPastKeepAndPastTheBoundCounted) {
    settings_.keepSeconds = 3600;
    auto journal = open();
    tool::Sample old = sample(1, 1);
    old.time -= std::chrono::hours(2);
    for (int i = 0; i < 100; ++i) {
        journal->record(0, old, true);
    }
    journal->commitNow();
    for (int i = 0; i < 50; ++i) {
        journal->record(0, sample(2, 2), true);
    }
    journal->commitNow();
    tool::JournalTally tally = journal->tally();
    EXPECT_EQ(tally.dropped, 100u);
    EXPECT_EQ(tally.rows, 50u);
    EXPECT_EQ(history().size(), 50u);
    ASSERT_TRUE(tally.oldestUs);

    settings_.maxMb = 1;
    journal.reset();
    journal = open();
    // Counts that step by up to a thousand: some 6 bytes a sample.
    std::mt19937 rng(5);
    for (int i = 0; i < 400000; ++i) {
        tool::Sample s = sample(static_cast<std::uint64_t>(i), static_cast<std::int32_t>(rng() % 1000) * i);
        journal->record(static_cast<std::int16_t>(i % 16), s, true);
        if (i % 16000 == 15999) {
            journal->commitNow();
        }
    }
    journal->commitNow();
    tally = journal->tally();
    EXPECT_LE(tally.bytes, 1024u * 1024u) << "within max_mb";
    EXPECT_GT(tally.dropped, 100000u);
    EXPECT_EQ(tally.rows, history().size());
    EXPECT_EQ(tally.unsentDropped, 0u) << "nothing forwards: every row counts as sent";
}

TEST_F(JournalTest, ADamagedOrForeignFileIsMovedAsideAndANewJournalBegun) {
    std::ofstream(settings_.path) << std::string(8192, '\x5a');
    auto journal = open();
    ASSERT_EQ(journal->notes().size(), 1u);
    EXPECT_NE(journal->notes()[0].find(".broken-"), std::string::npos) << journal->notes()[0];
    journal->record(0, sample(1, 1), true);
    journal->commitNow();
    EXPECT_EQ(history().size(), 1u);
    journal.reset();

    // A good journal cut short (the tail of a copy, a full disk): the
    // same.
    ASSERT_EQ(truncate(settings_.path.c_str(), 1000), 0);
    std::remove((settings_.path + "-wal").c_str());
    journal = open();
    EXPECT_EQ(journal->notes().size(), 1u);

    // Another program's database in its place is not taken over.
    journal.reset();
    std::remove(settings_.path.c_str());
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(settings_.path.c_str(), &other), SQLITE_OK);
    sqlite3_exec(other, "CREATE TABLE theirs(x)", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    journal = open();
    EXPECT_EQ(journal->notes().size(), 1u);
}

TEST_F(JournalTest, ANewerJournalOrAFolderThatCannotBeWrittenIsRefusedAndLeftAlone) {
    sqlite3* newer = nullptr;
    ASSERT_EQ(sqlite3_open(settings_.path.c_str(), &newer), SQLITE_OK);
    sqlite3_exec(newer, "CREATE TABLE blocks(x); PRAGMA application_id=1112694602; PRAGMA user_version=7",
                 nullptr, nullptr, nullptr);
    sqlite3_close(newer);
    struct stat before {};
    ASSERT_EQ(stat(settings_.path.c_str(), &before), 0);
    try {
        open();
        ADD_FAILURE() << "a newer journal was opened";
    } catch (const tool::InputError& error) {
        EXPECT_NE(std::string(error.what()).find("newer brivant"), std::string::npos) << error.what();
    }
    struct stat after {};
    ASSERT_EQ(stat(settings_.path.c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_mtime, before.st_mtime);

    // A folder that is a file: told, naming it.
    std::ofstream(folder_ + "/plain") << "x";
    settings_.path = folder_ + "/plain/journal.db";
    try {
        open();
        ADD_FAILURE() << "a journal in a file was opened";
    } catch (const tool::InputError& error) {
        EXPECT_NE(std::string(error.what()).find(folder_ + "/plain"), std::string::npos) << error.what();
    }
}

TEST(HistoryTime, UtcTimesNowAndTimesBackFromNowAndNothingElse) {
    const std::int64_t now = 1'796'860'000'000'000;
    EXPECT_EQ(tool::parseHistoryTime("now", now, "--since"), now);
    EXPECT_EQ(tool::parseHistoryTime("-90s", now, "--since"), now - 90'000'000);
    EXPECT_EQ(tool::parseHistoryTime("-2h", now, "--since"), now - 7'200'000'000);
    EXPECT_EQ(tool::parseHistoryTime("1970-01-02T00:00:00Z", now, "--since"), 86'400'000'000);
    EXPECT_EQ(tool::parseHistoryTime("2026-12-09T10:00:00.250Z", now, "--since"), 1'796'810'400'250'000);
    for (const char* wrong : {"", "yesterday", "-5", "-5w", "2026-12-09T10:00:00", "2026-12-09 10:00:00Z",
                              "2026-13-09T10:00:00Z", "2026-12-09T10:00:00Zjunk", "+5m"}) {
        try {
            tool::parseHistoryTime(wrong, now, "--until");
            ADD_FAILURE() << "'" << wrong << "' was taken as a time";
        } catch (const tool::UsageError& error) {
            EXPECT_NE(std::string(error.what()).find("--until"), std::string::npos);
        }
    }
}

// GET /api/history through the server's request handling: bounded, with a
// line that says where to go on, and its parameters checked.
TEST_F(JournalTest, TheApiStreamsTheJournalInBoundedPagesAndRefusesBadParameters) {
    auto journal = open();
    for (std::uint64_t i = 1; i <= 5; ++i) {
        journal->record(static_cast<std::int16_t>(i % 2), sample(i, static_cast<std::int32_t>(i)), true);
    }
    journal->commitNow();
    tool::UnitRegistry registry(tool::ReaderSettings{}, tool::StationUnits{{}, {}});
    const std::string token = "0123456789abcdef0123456789abcdef";
    tool::PanelServer server(registry, token);
    const int port = server.bind(tool::PanelAddress{});
    auto get = [&](const std::string& target) {
        return server.answerRaw("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nX-Brivant-Token: " + token + "\r\n\r\n");
    };
    EXPECT_NE(get("/api/history").find("404"), std::string::npos) << "no journal: none served";
    server.journalAt(settings_.path);
    const std::string page = get("/api/history?unit=1&limit=2");
    EXPECT_NE(page.find("200 OK"), std::string::npos) << page;
    EXPECT_NE(page.find("\"id\":1,"), std::string::npos) << page;
    EXPECT_NE(page.find("\"id\":3,"), std::string::npos) << page;
    EXPECT_EQ(page.find("\"id\":5,"), std::string::npos) << "two rows at most";
    EXPECT_NE(page.find("{\"more\":true,\"after\":3}"), std::string::npos) << page;
    const std::string rest = get("/api/history?unit=1&after=3");
    EXPECT_NE(rest.find("\"id\":5,"), std::string::npos) << rest;
    EXPECT_EQ(rest.find("more"), std::string::npos) << rest;
    // Exactly `limit` rows left: no promise of more.
    const std::string exact = get("/api/history?unit=1&after=1&limit=2");
    EXPECT_NE(exact.find("\"id\":5,"), std::string::npos) << exact;
    EXPECT_EQ(exact.find("more"), std::string::npos) << exact;
    // A chart's resolution: a unit's rows 1 s apart at least, here its first.
    const std::string sparse = get("/api/history?every=1000");
    EXPECT_NE(sparse.find("\"id\":1,"), std::string::npos) << sparse;
    EXPECT_NE(sparse.find("\"id\":2,"), std::string::npos) << sparse;
    EXPECT_EQ(sparse.find("\"id\":3,"), std::string::npos) << sparse;
    // An ID past every row answers none, not the whole journal.
    const std::string beyond = get("/api/history?after=9223372036854775807");
    EXPECT_NE(beyond.find("200 OK"), std::string::npos) << beyond;
    EXPECT_EQ(beyond.find("\"id\":"), std::string::npos) << beyond;
    for (const char* wrong : {"/api/history?unit=16", "/api/history?since=soon", "/api/history?limit=0",
                              "/api/history?after=-1", "/api/history?every=0"}) {
        EXPECT_NE(get(wrong).find("400 Bad Request"), std::string::npos) << wrong;
    }
    // A journal that cannot be read is an error a client checking the
    // status sees.
    journal.reset();
    std::ofstream(settings_.path, std::ios::trunc) << std::string(4096, 'x');
    std::remove((settings_.path + "-wal").c_str());
    const std::string broken = get("/api/history");
    EXPECT_NE(broken.find("503"), std::string::npos) << broken;
    EXPECT_EQ(broken.find("200 OK"), std::string::npos) << broken;
}

} // namespace
} // namespace brivant::test
