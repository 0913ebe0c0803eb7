#include "journal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <sys/stat.h>
#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <sqlite3.h>

#include "journal/journal_sql.h"
#include "journal/sqlite_db.h"
#include "util/tool_errors.h"

namespace brivant::tool {

namespace {

// The journal's own version: a newer brivant may add to it, and this one
// then leaves it alone rather than damage it.
constexpr std::int64_t kVersion = 1;
constexpr auto kPruneEvery = std::chrono::seconds(10);

std::int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool exists(const std::string& path) {
    struct stat facts {};
    return ::stat(path.c_str(), &facts) == 0;
}

std::uint64_t sizeOf(const std::string& path) {
    struct stat facts {};
    return ::stat(path.c_str(), &facts) == 0 ? static_cast<std::uint64_t>(facts.st_size) : 0;
}

std::string stamp() {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &now);
#else
    gmtime_r(&now, &utc);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

} // namespace

bool journalBuiltIn() {
    return true;
}

Journal::Journal(const HistorySettings& settings, std::string runId, JournalLog log)
    : settings_(settings), path_(settings.path), runId_(std::move(runId)), log_(std::move(log)),
      memoryBound_(settings.memoryRows) {
    const std::string folder = folderOf(path_);
#if !defined(_WIN32)
    ::mkdir(folder.c_str(), 0750);
    if (::access(folder.c_str(), W_OK) != 0) {
        throw InputError("cannot write the journal in " + folder + ": " + std::strerror(errno) +
                         " (set [history] path in the station file, or let serve's user write there)");
    }
#endif
    open();
    nextPrune_ = std::chrono::steady_clock::now();
}

Journal::~Journal() {
    stop();
}

void Journal::open() {
    for (int attempt = 0;; ++attempt) {
        std::string damage;
        try {
            db_ = std::make_unique<SqliteDb>(path_, false);
            const std::string check = db_->text("PRAGMA quick_check(1)");
            const std::int64_t version = db_->integer("PRAGMA user_version");
            const std::int64_t tables = db_->integer("SELECT count(*) FROM sqlite_schema");
            if (version > kVersion) {
                db_.reset();
                throw InputError("the journal " + path_ + " was written by a newer brivant (its version " +
                                 std::to_string(version) + ", this one reads " + std::to_string(kVersion) +
                                 "); it is left as it is: set [history] path to another file, or "
                                 "run the newer brivant");
            }
            if (check != "ok") {
                damage = "it is damaged (" + check + ")";
            } else if (version == 0 && tables > 0) {
                damage = "it holds tables that are not a journal's";
            } else {
                if (version == 0) {
                    makeSchema();
                }
                db_->exec("PRAGMA journal_mode=WAL");
                db_->exec("PRAGMA synchronous=FULL");
                break;
            }
        } catch (const SqliteError& error) {
            if (error.code != SQLITE_NOTADB && error.code != SQLITE_CORRUPT) {
                db_.reset();
                throw InputError("cannot open the journal " + path_ + ": " + error.what());
            }
            damage = std::string("it is not a database SQLite can read (") + error.what() + ")";
        }
        db_.reset();
        if (attempt > 0) {
            throw InputError("cannot begin a new journal at " + path_ + ": " + damage);
        }
        moveAside(damage);
    }
    // This serve's run, and what the last one left.
    SqliteStatement addRun(*db_, "INSERT INTO runs(run, started_us) VALUES (?, ?)");
    addRun.bind(1, runId_).bind(2, nowUs()).step();
    runRow_ = sqlite3_last_insert_rowid(db_->handle());
    nextId_ = static_cast<std::uint64_t>(db_->integer("SELECT coalesce(max(id), 0) FROM samples")) + 1;
    committedUpTo_ = nextId_ - 1;
    queuedUpTo_ = nextId_ - 1;
    keptCursor_ = static_cast<std::uint64_t>(
        db_->integer("SELECT coalesce(max(sample), 0) FROM cursor WHERE name = 'mqtt'"));
    cursor_ = keptCursor_;
    tally_.rows = static_cast<std::uint64_t>(db_->integer("SELECT count(*) FROM samples"));
    tally_.bytes = fileBytes();
    reader_ = std::make_unique<SqliteDb>(path_, true);
}

void Journal::makeSchema() {
    db_->exec("PRAGMA auto_vacuum=INCREMENTAL");
    db_->exec("BEGIN");
    db_->exec("CREATE TABLE runs(id INTEGER PRIMARY KEY, run TEXT NOT NULL, started_us INTEGER NOT NULL)");
    // status: the three status bytes, channel 0 in the low byte; the counts
    // and status are NULL for a read that failed.
    db_->exec("CREATE TABLE samples(id INTEGER PRIMARY KEY, time_us INTEGER NOT NULL, "
              "unit INTEGER NOT NULL, run INTEGER NOT NULL, n INTEGER NOT NULL, "
              "result INTEGER NOT NULL, c0 INTEGER, c1 INTEGER, c2 INTEGER, status INTEGER, "
              "configured INTEGER, seq INTEGER NOT NULL, t_us INTEGER NOT NULL)");
    db_->exec("CREATE TABLE events(id INTEGER PRIMARY KEY, time_us INTEGER NOT NULL, "
              "unit INTEGER NOT NULL, event TEXT NOT NULL, body TEXT NOT NULL)");
    db_->exec("CREATE TABLE cursor(name TEXT PRIMARY KEY, sample INTEGER NOT NULL)");
    db_->exec("PRAGMA user_version=" + std::to_string(kVersion));
    db_->exec("COMMIT");
}

void Journal::moveAside(const std::string& why) {
    const std::string aside = path_ + ".broken-" + stamp();
    if (std::rename(path_.c_str(), aside.c_str()) != 0) {
        throw InputError("the journal " + path_ + " cannot be used (" + why +
                         ") and cannot be moved aside: " + std::strerror(errno));
    }
    for (const char* suffix : {"-wal", "-shm"}) {
        if (exists(path_ + suffix)) {
            std::rename((path_ + suffix).c_str(), (aside + suffix).c_str());
        }
    }
    notes_.push_back("the journal " + path_ + " could not be used: " + why + "; moved it to " + aside +
                     " and began a new one");
}

void Journal::start() {
    thread_ = std::thread([this] { run(); });
}

void Journal::stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (stopping_) {
            return;
        }
        stopping_ = true;
        wake_.notify_all();
    }
    if (thread_.joinable()) {
        thread_.join();
    } else if (db_) {
        commit();
    }
}

JournalRow Journal::record(std::int16_t unit, const Sample& s, std::optional<bool> configured) {
    JournalRow row;
    row.timeUs = std::chrono::duration_cast<std::chrono::microseconds>(s.time.time_since_epoch()).count();
    row.unit = unit;
    row.run = runId_;
    row.result = s.result;
    row.counts = s.counts;
    row.status = s.status;
    row.configured = configured;
    row.seq = s.seq;
    row.t = s.t;
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> guard(lock_);
        row.id = nextId_++;
        row.n = ++n_[unit];
        pending_.push_back(row);
        if (pending_.size() > memoryBound_) {
            // Rows the forwarder has not queued are read back from the
            // database; rows not yet written mean the disk has fallen this
            // far behind: the oldest go, counted.
            const JournalRow& oldest = pending_.front();
            if (oldest.id > committedUpTo_) {
                ++tally_.unstored;
                committedUpTo_ = oldest.id;
                if (!behindTold_) {
                    behindTold_ = true;
                    log_("warning", "journal-behind",
                         "the journal " + path_ + " is more than " + std::to_string(memoryBound_) +
                             " samples behind; the oldest are not stored, counted");
                }
            }
            pending_.pop_front();
        }
        wake = wakeForwarder_;
    }
    if (wake) {
        wake();
    }
    return row;
}

void Journal::recordEvent(std::int16_t unit, std::int64_t timeUs, const std::string& event,
                          const std::string& body) {
    std::lock_guard<std::mutex> guard(lock_);
    if (events_.size() < 10000) {
        events_.push_back(Event{unit, timeUs, event, body});
    }
}

void Journal::forwardFrom(std::function<void()> wake) {
    std::lock_guard<std::mutex> guard(lock_);
    forwarding_ = true;
    wakeForwarder_ = std::move(wake);
    // What the broker has not acknowledged is forwarded again.
    queuedUpTo_ = cursor_.load();
}

std::uint64_t Journal::lastId() const {
    std::lock_guard<std::mutex> guard(lock_);
    return nextId_ - 1;
}

std::vector<JournalRow> Journal::after(std::uint64_t id, std::size_t most) {
    std::vector<JournalRow> rows;
    std::uint64_t firstPending = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        firstPending = pending_.empty() ? nextId_ : pending_.front().id;
        if (id + 1 >= firstPending) {
            for (const JournalRow& row : pending_) {
                if (row.id > id && rows.size() < most) {
                    rows.push_back(row);
                }
            }
            return rows;
        }
    }
    // Behind what is in memory: from the database, then on from memory.
    {
        std::lock_guard<std::mutex> guard(readLock_);
        SqliteStatement select(*reader_,
                               std::string(kSelectRows) + "WHERE s.id > ? AND s.id < ? ORDER BY s.id LIMIT ?");
        select.bind(1, static_cast<std::int64_t>(id))
            .bind(2, static_cast<std::int64_t>(firstPending))
            .bind(3, static_cast<std::int64_t>(most));
        while (select.step()) {
            rows.push_back(rowOf(select));
        }
    }
    if (rows.size() < most) {
        // Everything written before the rows in memory has been read.
        std::vector<JournalRow> more = after(firstPending - 1, most - rows.size());
        rows.insert(rows.end(), more.begin(), more.end());
    }
    return rows;
}

void Journal::queued(std::uint64_t id) {
    std::lock_guard<std::mutex> guard(lock_);
    queuedUpTo_ = std::max(queuedUpTo_, id);
    trim();
}

void Journal::acknowledged(std::uint64_t id) {
    std::uint64_t now = cursor_.load();
    while (id > now && !cursor_.compare_exchange_weak(now, id)) {
    }
}

void Journal::trim() {
    const std::uint64_t done = forwarding_ ? std::min(committedUpTo_, queuedUpTo_) : committedUpTo_;
    while (!pending_.empty() && pending_.front().id <= done) {
        pending_.pop_front();
    }
}

void Journal::run() {
    std::unique_lock<std::mutex> guard(lock_);
    while (!stopping_) {
        wake_.wait_for(guard, std::chrono::milliseconds(settings_.syncMs));
        guard.unlock();
        try {
            commit();
            if (std::chrono::steady_clock::now() >= nextPrune_) {
                nextPrune_ = std::chrono::steady_clock::now() + kPruneEvery;
                prune();
            }
        } catch (const std::exception& e) {
            log_("error", "journal-failed", std::string("the journal failed: ") + e.what());
        }
        guard.lock();
    }
    guard.unlock();
    try {
        commit();
    } catch (const std::exception& e) {
        log_("error", "journal-failed", std::string("the journal failed at the stop: ") + e.what());
    }
}

void Journal::commitNow() {
    commit();
    prune();
}

void Journal::commit() {
    std::vector<JournalRow> rows;
    std::vector<Event> events;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (const JournalRow& row : pending_) {
            if (row.id > committedUpTo_) {
                rows.push_back(row);
            }
        }
        events.swap(events_);
    }
    const std::uint64_t cursor = cursor_.load();
    if (rows.empty() && events.empty() && cursor == keptCursor_) {
        return;
    }
    try {
        db_->exec("BEGIN IMMEDIATE");
        SqliteStatement insert(*db_, "INSERT INTO samples(id, time_us, unit, run, n, result, c0, c1, c2, "
                                     "status, configured, seq, t_us) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        for (const JournalRow& row : rows) {
            bindRow(insert, row, runRow_);
            insert.step();
            insert.reset();
        }
        SqliteStatement addEvent(*db_, "INSERT INTO events(time_us, unit, event, body) VALUES (?, ?, ?, ?)");
        for (const Event& event : events) {
            addEvent.bind(1, event.timeUs).bind(2, event.unit).bind(3, event.event).bind(4, event.body);
            addEvent.step();
            addEvent.reset();
        }
        if (cursor != keptCursor_) {
            SqliteStatement keep(*db_, "INSERT OR REPLACE INTO cursor(name, sample) VALUES ('mqtt', ?)");
            keep.bind(1, static_cast<std::int64_t>(cursor)).step();
        }
        db_->exec("COMMIT");
    } catch (const SqliteError& error) {
        try {
            db_->exec("ROLLBACK");
        } catch (const SqliteError&) {
        }
        std::lock_guard<std::mutex> guard(lock_);
        if (!rows.empty()) {
            committedUpTo_ = std::max(committedUpTo_, rows.back().id);
        }
        tally_.unstored += rows.size();
        trim();
        if (!failing_) {
            failing_ = true;
            log_("error", "journal-failing",
                 "cannot write the journal " + path_ + ": " + error.what() +
                     "; samples still go out live, and those not stored are counted");
        }
        return;
    }
    keptCursor_ = cursor;
    std::lock_guard<std::mutex> guard(lock_);
    if (!rows.empty()) {
        committedUpTo_ = std::max(committedUpTo_, rows.back().id);
    }
    tally_.rows += rows.size();
    ++tally_.commits;
    trim();
    if (failing_) {
        failing_ = false;
        log_("info", "journal-recovered", "the journal " + path_ + " is written again");
    }
}

void Journal::prune() {
    std::uint64_t removed = 0;
    const std::int64_t cutoff = nowUs() - static_cast<std::int64_t>(settings_.keepSeconds) * 1000000;
    // Rows go in the order they were recorded, which is the order of their
    // times within a few milliseconds: the first row young enough ends it.
    const std::int64_t firstKept = db_->integer(
        "SELECT coalesce((SELECT id FROM samples WHERE time_us >= " + std::to_string(cutoff) +
        " ORDER BY id LIMIT 1), (SELECT coalesce(max(id), 0) + 1 FROM samples))");
    db_->exec("DELETE FROM samples WHERE id < " + std::to_string(firstKept));
    removed += static_cast<std::uint64_t>(sqlite3_changes(db_->handle()));
    db_->exec("DELETE FROM events WHERE time_us < " + std::to_string(cutoff));
    const std::uint64_t bound = static_cast<std::uint64_t>(settings_.maxMb) * 1024 * 1024;
    for (int round = 0; round < 20 && fileBytes() > bound; ++round) {
        // A tenth of the oldest at a time, until the file is within bounds.
        db_->exec("DELETE FROM samples WHERE id < (SELECT id FROM samples ORDER BY id LIMIT 1 OFFSET "
                  "(SELECT count(*) / 10 + 1 FROM samples))");
        const int gone = sqlite3_changes(db_->handle());
        removed += static_cast<std::uint64_t>(gone);
        db_->exec("PRAGMA incremental_vacuum");
        db_->exec("PRAGMA wal_checkpoint(TRUNCATE)");
        if (gone == 0) {
            break;
        }
    }
    if (removed > 0) {
        db_->exec("PRAGMA incremental_vacuum");
    }
    const std::int64_t oldest = db_->integer("SELECT coalesce((SELECT time_us FROM samples ORDER BY id LIMIT 1), 0)");
    std::lock_guard<std::mutex> guard(lock_);
    tally_.dropped += removed;
    tally_.rows -= std::min<std::uint64_t>(tally_.rows, removed);
    tally_.oldestUs = oldest != 0 ? std::optional<std::int64_t>(oldest) : std::nullopt;
    tally_.bytes = fileBytes();
}

std::uint64_t Journal::fileBytes() const {
    return sizeOf(path_) + sizeOf(path_ + "-wal");
}

JournalTally Journal::tally() const {
    std::lock_guard<std::mutex> guard(lock_);
    JournalTally tally = tally_;
    const std::uint64_t last = nextId_ - 1;
    tally.backlog = forwarding_ && last > cursor_.load() ? last - cursor_.load() : 0;
    return tally;
}

} // namespace brivant::tool
