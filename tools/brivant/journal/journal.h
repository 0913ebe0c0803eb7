// The station's journal: every sample serve takes and every event, kept in
// a SQLite database (WAL) until the broker has acknowledged it and for as
// long as the station keeps history, so that an outage of the broker, a
// restart or a power cut loses nothing that was committed.
//
// Readers hand samples over without waiting for the disk: each is given its
// row ID and its (run, n) at once and waits in memory, and one thread
// commits what waits every `sync` (at a power cut, at most that window is
// lost). A journal that falls behind or fails drops what it cannot store,
// counted and told once; the samples still flow live.
//
// The MQTT links forward from the journal: each (serve's JSON topics,
// the Sparkplug node) asks for the rows after the last one it queued, and
// tells which its broker acknowledged; each one's acknowledged cursor is
// kept in the database, by its name, with each commit.
//
// Each commit is one block of samples (sample_block.h). The bounds remove
// whole blocks, oldest first: `keep` only those the broker has
// acknowledged (every forwarder's; all of them when nothing forwards),
// `max_mb` those first and rows not yet forwarded only when nothing else is
// left to remove.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "journal/journal_row.h"
#include "service/unit_reader.h"
#include "station/station_file.h"

namespace brivant::tool {

class SqliteDb;
class JournalSalvage;
struct StoredBlock;

// False in a build without SQLite: serve then keeps no journal, and says so.
bool journalBuiltIn();

// What serve would refuse about the journal at `path` at its start, found
// without opening it for writing: a folder that is not one, under /proc or
// /sys, or that cannot be written (64), a journal of a newer brivant (66).
struct JournalProblem {
    int status;
    std::string text;
};
std::optional<JournalProblem> journalProblem(const std::string& path);

// What the journal tells serve's log.
using JournalLog = std::function<void(const std::string& level, const std::string& event,
                                      const std::string& text)>;

struct JournalTally {
    std::uint64_t rows = 0;          // samples in the journal
    std::uint64_t bytes = 0;         // the database and its WAL on disk
    std::uint64_t heldBytes = 0;     // the database's pages in use
    std::uint64_t written = 0;       // bytes written to the disk, checkpoints included
    std::optional<std::int64_t> oldestUs; // the oldest sample's time
    std::uint64_t dropped = 0;       // forwarded rows removed past `keep` or `max_mb`
    std::uint64_t unsentDropped = 0; // rows not yet forwarded removed past `max_mb`
    std::uint64_t damaged = 0;       // rows in blocks found damaged, skipped
    std::uint64_t unstored = 0;      // samples that could not be stored
    std::uint64_t backlog = 0;       // rows a forwarder has not had acknowledged (the most behind's)
    std::uint64_t commits = 0;
};

class Journal {
public:
    // Opens the journal at `settings.path`, or makes it. A file that is not
    // a journal, or a damaged one, is moved aside under a dated name and a
    // new one begun (told in `notes()`). Throws InputError for a folder or
    // file that cannot be written, and for a journal of a newer version of
    // brivant, which is left as it is.
    Journal(const HistorySettings& settings, std::string runId, JournalLog log);
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    const std::vector<std::string>& notes() const { return notes_; }
    const std::string& path() const { return path_; }
    const std::string& runId() const { return runId_; }

    void start();
    // Commits what waits and ends the thread.
    void stop();

    // From the readers' threads; never waits for the disk.
    JournalRow record(std::int16_t unit, const Sample& sample, std::optional<bool> configured);
    void recordEvent(std::int16_t unit, std::int64_t timeUs, const std::string& event,
                     const std::string& body);

    // -- the forwarders' side --
    // A forwarder, by the place forwardFrom() gave it.
    using Forwarder = std::size_t;
    static constexpr std::size_t kMostForwarders = 4;
    // A forwarder takes rows, woken when there are more: while one does,
    // rows are kept in memory until every one has queued them (or the
    // memory bound is reached). Its cursor is kept under `name`; one the
    // journal has none of starts after the rows it holds, except "mqtt"
    // (serve's JSON topics, always place 0), which forwards them all.
    // Before start().
    Forwarder forwardFrom(std::function<void()> wake, const std::string& name = "mqtt");
    // Up to `most` rows after `id`, in order.
    std::vector<JournalRow> after(std::uint64_t id, std::size_t most);
    // The forwarder has queued every row up to `id`.
    void queued(std::uint64_t id, Forwarder who = 0);
    // Its broker has acknowledged every row up to `id`: kept at the next
    // commit, and the next start forwards from there.
    void acknowledged(std::uint64_t id, Forwarder who = 0);
    std::uint64_t cursor(Forwarder who = 0) const;
    // Rows recorded that the forwarder has not had acknowledged.
    std::uint64_t backlog(Forwarder who) const;
    // The last row recorded so far.
    std::uint64_t lastId() const;

    JournalTally tally() const;

    // Commits now, and applies `keep` and `max_mb` now (tests, and the stop).
    void commitNow();
    // Reads every block through, as the check on a schedule does a slice at
    // a time, and deals with what it finds as the commit thread would:
    // damage moves the file aside and carries what can be read into a new
    // one (tests).
    void checkNow();

private:
    struct Event {
        std::int16_t unit;
        std::int64_t timeUs;
        std::string event;
        std::string body;
    };
    void open();
    void tune();  // the WAL's bounds, for this file
    void begin(); // this run's row, the cursor and the IDs, once the file is known
    std::string moveAside(const std::string& why);
    // Damage found while running: said once, dealt with by the commit
    // thread between commits.
    void noteDamage(const std::string& why);
    void recover();
    void salvageStep();
    void sweepStep(std::uint64_t bytes);
    void countBroken(const StoredBlock& block, const std::string& why);
    void afterCommit(); // the commit thread's work between commits
    void run();
    void commit();
    // `withKeep`: `keep` too, not only `max_mb`.
    void prune(bool withKeep);
    void removeUpTo(std::uint64_t lastId, std::uint64_t& rows, std::uint64_t& unsent);
    std::uint64_t usedBytes();
    void trim(); // under lock_
    std::uint64_t fileBytes() const;
    // Rows after `id` read back from the database, before `before`; false
    // when it stopped short of `before` for rows it cannot hand over yet.
    bool readBack(std::uint64_t id, std::uint64_t before, std::size_t most, std::vector<JournalRow>& rows);

    const HistorySettings settings_;
    std::string path_;
    const std::string runId_;
    const JournalLog log_;
    std::vector<std::string> notes_;
    std::unique_ptr<SqliteDb> db_;     // the commit thread's
    std::unique_ptr<SqliteDb> reader_; // the forwarder's
    std::mutex readLock_;
    // The last block the forwarder read, good for any `after` from
    // cacheFrom_ up to its last ID.
    std::vector<JournalRow> cacheRows_;
    std::uint64_t cacheFrom_ = 0;
    std::uint64_t cacheLastId_ = 0;
    std::map<std::int64_t, std::string> runNames_;
    bool damageTold_ = false;
    std::int64_t runRow_ = 0;
    std::mutex commitLock_; // the commit thread's connection, for commitNow()
    bool pruneFailing_ = false;
    bool busyTold_ = false;
    // Rows not yet forwarded that max_mb removed, while it goes on.
    struct UnsentEpisode {
        std::uint64_t rows = 0;
        std::int64_t fromUs = 0;
        std::int64_t toUs = 0;
    };
    std::optional<UnsentEpisode> unsentEpisode_;
    std::chrono::steady_clock::time_point lastUnsentRemoval_;
    std::uint64_t pageSize_ = 4096;
    std::uint64_t walPages_ = 1000;
    std::uint64_t largestCommit_ = 0; // bytes: how far one commit can take the file
    // Damage: seen by any thread, dealt with by the commit thread.
    std::atomic<bool> damageSeen_{false};
    std::string damageWhy_;                     // under lock_
    std::set<std::uint64_t> brokenCounted_;     // blocks whose rows `damaged` counts, under lock_
    std::unique_ptr<JournalSalvage> salvage_;   // the commit thread's
    std::atomic<bool> salvaging_{false};
    std::atomic<std::uint64_t> salvageCopied_{0}; // rows up to here are carried over
    std::atomic<std::uint64_t> salvageLast_{0};   // the damaged file's last row
    std::uint64_t salvageRowsTold_ = 0;
    bool stuckTold_ = false; // a damaged file that cannot be moved aside, said once
    bool salvageFailTold_ = false;
    std::uint64_t sweepAfter_ = 0;              // the check's place
    std::chrono::steady_clock::time_point nextSweep_;
    // Whether rows wait for a forwarder: then only those it has had
    // acknowledged count as sent.
    bool forwarded();
    std::uint64_t sentUpTo();

    mutable std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::deque<JournalRow> pending_; // recorded, not yet committed or not yet queued
    std::vector<Event> events_;
    std::uint64_t nextId_ = 1;
    std::uint64_t committedUpTo_ = 0; // written, or given up
    bool committing_ = false;         // rows inFlightFrom_ to inFlightUpTo_ are being written
    std::uint64_t inFlightFrom_ = 0;
    std::uint64_t inFlightUpTo_ = 0;
    // The forwarders: places never move, so that acknowledged() needs no lock.
    struct ForwarderPlace {
        std::string name;
        bool taking = false;          // forwardFrom() was called: rows wait for it, under lock_
        std::uint64_t queuedUpTo = 0; // under lock_
        std::atomic<std::uint64_t> cursor{0};
        std::uint64_t kept = 0;       // in the database, under lock_
        std::function<void()> wake;   // under lock_
    };
    std::array<ForwarderPlace, kMostForwarders> forwarders_;
    std::size_t forwarderCount_ = 0; // under lock_
    std::map<std::string, std::uint64_t> keptCursors_; // as the file had them at the start, under lock_
    void wakeForwarders(); // not under lock_
    std::map<std::int16_t, std::uint64_t> n_;
    std::size_t memoryBound_;
    bool behindTold_ = false;
    bool failing_ = false;
    JournalTally tally_;
    std::chrono::steady_clock::time_point nextPrune_;
    std::thread thread_;
};

} // namespace brivant::tool
