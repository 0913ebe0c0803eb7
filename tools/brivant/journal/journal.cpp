#include "journal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include <sys/stat.h>
#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <sqlite3.h>

#include "journal/counted_vfs.h"
#include "journal/journal_salvage.h"
#include "journal/journal_sql.h"
#include "journal/sample_block.h"
#include "journal/sqlite_db.h"
#include "util/time_text.h"
#include "util/tool_errors.h"

namespace brivant::tool {

namespace {

constexpr auto kPruneEvery = std::chrono::seconds(10);
// Every block is read through once an hour, a slice between commits, so
// that pages the disk changed under us are found while the station runs.
constexpr auto kSweepEvery = std::chrono::hours(1);
constexpr std::uint64_t kSweepBytes = 4u << 20;   // a slice of the check
constexpr std::uint64_t kSalvageBytes = 4u << 20; // a slice of a salvage

bool damageCode(int code) {
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

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

// Through std::filesystem: mingw's `stat` holds a size in 32 bits, and a
// journal over 2 GiB would read as nothing.
std::uint64_t sizeOf(const std::string& path) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<std::uint64_t>(size);
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

// A name beside `path` for a file moved aside, never one in use: two in
// one second get a number.
std::string asideName(const std::string& path) {
    const std::string base = path + ".broken-" + stamp();
    std::string name = base;
    for (int n = 2; exists(name) && n < 1000; ++n) {
        name = base + "-" + std::to_string(n);
    }
    return name;
}

// The journal's file settings: pages given back as the bounds free them
// (set before a new file has a table), the WAL, a sync at each commit.
void useAsJournal(SqliteDb& db, bool newFile) {
    if (newFile) {
        db.exec("PRAGMA auto_vacuum=INCREMENTAL");
    }
    db.exec("PRAGMA journal_mode=WAL");
    db.exec("PRAGMA synchronous=FULL");
}

std::string timeText(std::int64_t us) {
    return isoTimeUtc(std::chrono::system_clock::time_point(std::chrono::microseconds(us)));
}

// SQLite's words can hold newlines (an integrity check's list): a log line
// keeps to one.
std::string oneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ';');
    return text;
}

} // namespace

bool journalBuiltIn() {
    return true;
}

std::optional<JournalProblem> journalProblem(const std::string& path) {
    const std::string folder = folderOf(path);
    for (const char* system : {"/proc", "/sys"}) {
        const std::string prefix = std::string(system) + "/";
        if (folder == system || folder.rfind(prefix, 0) == 0) {
            return JournalProblem{kExitUsage, "[history] path " + path + " is under " + system +
                                                  ", which holds no files"};
        }
    }
    struct stat facts {};
    if (::stat(folder.c_str(), &facts) == 0) {
        if (!S_ISDIR(facts.st_mode)) {
            return JournalProblem{kExitUsage, "the journal's folder " + folder + " is not a folder"};
        }
#if !defined(_WIN32)
        if (::access(folder.c_str(), W_OK) != 0) {
            return JournalProblem{kExitUsage, "cannot write the journal in " + folder + ": " + std::strerror(errno)};
        }
#endif
    } else {
        // serve makes the last folder itself.
        const std::string parent = folderOf(folder);
        if (::stat(parent.c_str(), &facts) != 0 || !S_ISDIR(facts.st_mode)) {
            return JournalProblem{kExitUsage, "the journal's folder " + folder + " cannot be made: " + parent +
                                                  " is not a folder"};
        }
#if !defined(_WIN32)
        if (::access(parent.c_str(), W_OK) != 0) {
            return JournalProblem{kExitUsage, "the journal's folder " + folder + " cannot be made in " + parent +
                                                  ": " + std::strerror(errno)};
        }
#endif
    }
    if (!exists(path)) {
        return std::nullopt;
    }
    try {
        SqliteDb db(path, true);
        std::int64_t version = 0;
        if (journalKindOf(db, &version) == JournalKind::Newer) {
            return JournalProblem{kExitNoInput, "the journal " + path + " was written by a newer brivant (its version " +
                                                    std::to_string(version) + "): serve would leave it alone and not start"};
        }
    } catch (const SqliteError&) {
        // A file SQLite cannot read is moved aside at the start: no reason
        // to refuse.
    }
    return std::nullopt;
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
    nextSweep_ = nextPrune_ + kSweepEvery;
}

Journal::~Journal() {
    stop();
}

void Journal::open() {
    std::string aside;
    for (int attempt = 0;; ++attempt) {
        std::string damage;
        try {
            db_ = std::make_unique<SqliteDb>(path_, false);
            const std::string check = db_->text("PRAGMA quick_check(1)");
            std::int64_t version = 0;
            const JournalKind kind = journalKindOf(*db_, &version);
            if (kind == JournalKind::Newer) {
                db_.reset();
                throw InputError("the journal " + path_ + " was written by a newer brivant (its version " +
                                 std::to_string(version) + ", this one reads " +
                                 std::to_string(kJournalVersion) +
                                 "); it is left as it is: set [history] path to another file, or "
                                 "run the newer brivant");
            }
            if (check != "ok") {
                damage = "it is damaged (" + oneLine(check) + ")";
            } else if (kind == JournalKind::Foreign) {
                damage = "it is not a brivant journal (another program's database)";
            } else {
                useAsJournal(*db_, kind == JournalKind::Empty);
                if (kind == JournalKind::Empty) {
                    inTransaction(*db_, [&] { makeJournalTables(*db_); });
                } else if (kind == JournalKind::First) {
                    const std::uint64_t moved = upgradeFirstLayout(*db_);
                    notes_.push_back("the journal " + path_ + " was kept by an earlier brivant: its " +
                                     std::to_string(moved) + " samples were moved into this one's layout");
                }
                if (!aside.empty()) {
                    // What the moved file holds that can be read comes
                    // over, its blocks while serve runs.
                    salvage_ = std::make_unique<JournalSalvage>(aside, *db_);
                    salvageLast_ = salvage_->lastId();
                    salvaging_ = true;
                }
                break;
            }
        } catch (const SqliteError& error) {
            if (error.code != SQLITE_NOTADB && error.code != SQLITE_CORRUPT) {
                db_.reset();
                throw InputError("cannot open the journal " + path_ + ": " + oneLine(error.what()));
            }
            damage = "it is not a database SQLite can read (" + oneLine(error.what()) + ")";
        }
        db_.reset();
        if (attempt > 0) {
            throw InputError("cannot begin a new journal at " + path_ + ": " + damage);
        }
        aside = moveAside(damage);
    }
    try {
        begin();
        if (!salvage_) {
            // A salvage a stop cut short goes on where it had got to.
            std::vector<std::unique_ptr<JournalSalvage>> left = JournalSalvage::unfinished(*db_);
            if (!left.empty()) {
                salvage_ = std::move(left.front());
                salvageLast_ = salvage_->lastId();
                salvageCopied_ = salvage_->copiedUpTo();
                salvaging_ = true;
                log_("info", "journal-salvage",
                     "carrying on with what can be read of " + salvage_->from() + " into " + path_ +
                         ", from row " + std::to_string(salvage_->copiedUpTo()) + " on");
            }
        }
    } catch (const SqliteError& error) {
        db_.reset();
        reader_.reset();
        throw InputError("cannot begin writing the journal " + path_ + ": " + oneLine(error.what()) +
                         (error.code == SQLITE_BUSY ? " (another program holds it)" : ""));
    }
}

void Journal::tune() {
    // The WAL is checkpointed well within the bound: a small bound, a small
    // WAL.
    pageSize_ = static_cast<std::uint64_t>(db_->integer("PRAGMA page_size"));
    const std::uint64_t bound = static_cast<std::uint64_t>(settings_.maxMb) * 1024 * 1024;
    walPages_ = std::clamp<std::uint64_t>(bound / pageSize_ / 16, 16, 1000);
    db_->exec("PRAGMA wal_autocheckpoint=" + std::to_string(walPages_));
    db_->exec("PRAGMA journal_size_limit=" + std::to_string(walPages_ * pageSize_));
}

void Journal::begin() {
    tune();
    // This serve's run, and what the last one left.
    SqliteStatement addRun(*db_, "INSERT INTO runs(run, started_us) VALUES (?, ?)");
    addRun.bind(1, runId_).bind(2, nowUs()).step();
    runRow_ = sqlite3_last_insert_rowid(db_->handle());
    {
        std::lock_guard<std::mutex> guard(lock_);
        keptCursors_.clear();
        SqliteStatement cursors(*db_, "SELECT name, sample FROM cursor WHERE name <> 'ids'");
        while (cursors.step()) {
            keptCursors_[cursors.text(0)] = static_cast<std::uint64_t>(cursors.integer(1));
        }
        // serve's JSON topics have the first place, taking rows or not.
        forwarderCount_ = 1;
        forwarders_[0].name = "mqtt";
        forwarders_[0].kept = keptCursors_.count("mqtt") != 0 ? keptCursors_["mqtt"] : 0;
        forwarders_[0].cursor = forwarders_[0].kept;
    }
    // IDs go on after every one given before, even when every row has gone:
    // the cursor, and readers that page by ID, stay behind them.
    const auto lastGiven = static_cast<std::uint64_t>(
        db_->integer("SELECT max(coalesce((SELECT max(last_id) FROM blocks), 0), "
                     "coalesce((SELECT max(sample) FROM cursor), 0))"));
    nextId_ = lastGiven + 1;
    committedUpTo_ = lastGiven;
    tally_.rows = static_cast<std::uint64_t>(db_->integer("SELECT coalesce(sum(rows), 0) FROM blocks"));
    tally_.bytes = fileBytes();
    tally_.heldBytes = usedBytes();
    reader_ = std::make_unique<SqliteDb>(path_, true);
}

std::string Journal::moveAside(const std::string& why) {
    const std::string aside = asideName(path_);
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
                     " and began a new one, into which what can still be read of it is carried");
    return aside;
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
        try {
            commit();
        } catch (const std::exception& e) {
            log_("error", "journal-failed", std::string("the journal failed at the stop: ") + oneLine(e.what()));
        }
    }
    if (unsentEpisode_) {
        log_("warning", "journal-unsent-dropped",
             "at the stop, max_mb had removed " + std::to_string(unsentEpisode_->rows) +
                 " samples the broker had not had, taken from " + timeText(unsentEpisode_->fromUs) + " to " +
                 timeText(unsentEpisode_->toUs));
        unsentEpisode_.reset();
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
            // database, once written; rows neither written nor being
            // written mean the disk has fallen this far behind: the oldest
            // go, counted.
            const JournalRow& oldest = pending_.front();
            const bool beingWritten = committing_ && oldest.id >= inFlightFrom_ && oldest.id <= inFlightUpTo_;
            if (oldest.id > committedUpTo_ && !beingWritten) {
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
    }
    wakeForwarders();
    return row;
}

void Journal::recordEvent(std::int16_t unit, std::int64_t timeUs, const std::string& event,
                          const std::string& body) {
    std::lock_guard<std::mutex> guard(lock_);
    if (events_.size() < 10000) {
        events_.push_back(Event{unit, timeUs, event, body});
    }
}

Journal::Forwarder Journal::forwardFrom(std::function<void()> wake, const std::string& name) {
    std::lock_guard<std::mutex> guard(lock_);
    Forwarder who = 0;
    while (who < forwarderCount_ && forwarders_[who].name != name) {
        ++who;
    }
    if (who == forwarderCount_) {
        if (forwarderCount_ == kMostForwarders) {
            throw std::logic_error("the journal takes at most " + std::to_string(kMostForwarders) + " forwarders");
        }
        ++forwarderCount_;
        ForwarderPlace& place = forwarders_[who];
        place.name = name;
        const auto known = keptCursors_.find(name);
        place.kept = known != keptCursors_.end() ? known->second : name == "mqtt" ? 0 : nextId_ - 1;
        place.cursor = place.kept;
    }
    ForwarderPlace& place = forwarders_[who];
    place.taking = true;
    place.wake = std::move(wake);
    // What the broker has not acknowledged is forwarded again.
    place.queuedUpTo = place.cursor.load();
    return who;
}

void Journal::wakeForwarders() {
    std::array<std::function<void()>, kMostForwarders> wakes;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (std::size_t i = 0; i < forwarderCount_; ++i) {
            wakes[i] = forwarders_[i].wake;
        }
    }
    for (const auto& wake : wakes) {
        if (wake) {
            wake();
        }
    }
}

std::uint64_t Journal::cursor(Forwarder who) const {
    std::lock_guard<std::mutex> guard(lock_);
    if (who < forwarderCount_) {
        return forwarders_[who].cursor.load();
    }
    return 0;
}

std::uint64_t Journal::backlog(Forwarder who) const {
    std::lock_guard<std::mutex> guard(lock_);
    const std::uint64_t last = nextId_ - 1;
    const std::uint64_t upTo = who < forwarderCount_ ? forwarders_[who].cursor.load() : last;
    return last > upTo ? last - upTo : 0;
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
        if (id == UINT64_MAX || id + 1 >= firstPending) {
            for (const JournalRow& row : pending_) {
                if (row.id > id && rows.size() < most) {
                    rows.push_back(row);
                }
            }
            return rows;
        }
        // Rows that left memory while the commit writes them are read back
        // once it has: it wakes the forwarder then.
        if (committing_ && inFlightFrom_ < firstPending && inFlightUpTo_ > id) {
            return rows;
        }
    }
    const bool complete = readBack(id, firstPending, most, rows);
    if (complete && rows.size() < most) {
        // Everything written before the rows in memory has been read.
        std::vector<JournalRow> more = after(firstPending - 1, most - rows.size());
        rows.insert(rows.end(), more.begin(), more.end());
    }
    return rows;
}

bool Journal::readBack(std::uint64_t id, std::uint64_t before, std::size_t most, std::vector<JournalRow>& rows) {
    std::lock_guard<std::mutex> guard(readLock_);
    std::uint64_t from = id;
    while (rows.size() < most && from + 1 < before) {
        // Rows of a damaged file not yet carried into this one are waited for.
        if (reader_ == nullptr || (salvaging_ && from >= salvageCopied_ && from < salvageLast_)) {
            return false;
        }
        if (cacheRows_.empty() || from < cacheFrom_ || from >= cacheLastId_) {
            std::vector<StoredBlock> blocks;
            try {
                blocks = blocksAfter(*reader_, from, 1);
            } catch (const SqliteError& error) {
                if (damageCode(error.code)) {
                    // Asked for again once the commit thread has carried
                    // what can be read into a new file.
                    noteDamage(oneLine(error.what()));
                    return false;
                }
                // The forwarder goes on with what memory holds.
                if (!damageTold_) {
                    damageTold_ = true;
                    log_("error", "journal-unreadable",
                         "cannot read back the journal " + path_ + ": " + oneLine(error.what()) +
                             "; what it holds after row " + std::to_string(from) + " is not forwarded");
                }
                return true;
            }
            if (blocks.empty()) {
                return true;
            }
            const StoredBlock& block = blocks.front();
            if (runNames_.count(block.runRow) == 0) {
                runNames_ = runNames(*reader_);
            }
            try {
                cacheRows_ = decodeBlock(block.data, runNames_[block.runRow]);
            } catch (const BlockError& error) {
                cacheRows_.clear();
                countBroken(block, error.what());
            }
            cacheFrom_ = from;
            cacheLastId_ = block.lastId;
            if (cacheRows_.empty()) {
                from = block.lastId;
                continue;
            }
        }
        for (const JournalRow& row : cacheRows_) {
            if (row.id > from && row.id < before) {
                if (rows.size() == most) {
                    return true;
                }
                rows.push_back(row);
            }
        }
        from = cacheLastId_;
    }
    return true;
}

void Journal::queued(std::uint64_t id, Forwarder who) {
    std::lock_guard<std::mutex> guard(lock_);
    if (who < forwarderCount_) {
        forwarders_[who].queuedUpTo = std::max(forwarders_[who].queuedUpTo, id);
    }
    trim();
}

void Journal::acknowledged(std::uint64_t id, Forwarder who) {
    if (who >= kMostForwarders) {
        return;
    }
    std::atomic<std::uint64_t>& cursor = forwarders_[who].cursor;
    std::uint64_t now = cursor.load();
    while (id > now && !cursor.compare_exchange_weak(now, id)) {
    }
}

void Journal::trim() {
    std::uint64_t done = committedUpTo_;
    for (std::size_t i = 0; i < forwarderCount_; ++i) {
        if (forwarders_[i].taking) {
            done = std::min(done, forwarders_[i].queuedUpTo);
        }
    }
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
            const bool keepToo = std::chrono::steady_clock::now() >= nextPrune_;
            if (keepToo) {
                nextPrune_ = std::chrono::steady_clock::now() + kPruneEvery;
            }
            prune(keepToo);
            afterCommit();
        } catch (const SqliteError& e) {
            if (damageCode(e.code)) {
                noteDamage(oneLine(e.what())); // dealt with at the next turn
            } else {
                log_("error", "journal-failed", std::string("the journal failed: ") + oneLine(e.what()));
            }
        } catch (const std::exception& e) {
            log_("error", "journal-failed", std::string("the journal failed: ") + oneLine(e.what()));
        }
        guard.lock();
    }
    guard.unlock();
    try {
        commit();
    } catch (const std::exception& e) {
        log_("error", "journal-failed", std::string("the journal failed at the stop: ") + oneLine(e.what()));
    }
}

void Journal::commitNow() {
    commit();
    prune(true);
}

void Journal::commit() {
    std::lock_guard<std::mutex> serial(commitLock_);
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
        if (!rows.empty()) {
            committing_ = true;
            inFlightFrom_ = rows.front().id;
            inFlightUpTo_ = rows.back().id;
        }
    }
    // The cursors that moved since the last commit: (place, where).
    std::vector<std::pair<std::size_t, std::uint64_t>> moved;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (std::size_t i = 0; i < forwarderCount_; ++i) {
            const std::uint64_t now = forwarders_[i].cursor.load();
            if (now != forwarders_[i].kept) {
                moved.emplace_back(i, now);
            }
        }
    }
    if (rows.empty() && events.empty() && moved.empty()) {
        return;
    }
    bool written = false;
    bool busy = false;
    bool damaged = false;
    std::string why;
    try {
        if (!db_) {
            throw SqliteError(SQLITE_CANTOPEN, "no journal file is open");
        }
        db_->exec("BEGIN IMMEDIATE");
        largestCommit_ = std::max<std::uint64_t>(largestCommit_, insertBlocks(*db_, rows, runRow_));
        SqliteStatement addEvent(*db_, "INSERT INTO events(time_us, unit, event, body) VALUES (?, ?, ?, ?)");
        for (const Event& event : events) {
            addEvent.bind(1, event.timeUs).bind(2, event.unit).bind(3, event.event).bind(4, event.body);
            addEvent.step();
            addEvent.reset();
        }
        if (!moved.empty()) {
            SqliteStatement keep(*db_, "INSERT OR REPLACE INTO cursor(name, sample) VALUES (?, ?)");
            for (const auto& [place, at] : moved) {
                keep.bind(1, forwarders_[place].name).bind(2, static_cast<std::int64_t>(at)).step();
                keep.reset();
            }
        }
        db_->exec("COMMIT");
        written = true;
    } catch (const SqliteError& error) {
        why = oneLine(error.what());
        busy = error.code == SQLITE_BUSY || error.code == SQLITE_LOCKED;
        damaged = damageCode(error.code);
        try {
            db_->exec("ROLLBACK");
        } catch (const SqliteError&) {
        }
    }
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> guard(lock_);
        committing_ = false;
        if (busy || damaged) {
            // Another program holds the file, or the file is damaged and
            // about to be replaced: the rows wait in memory for the next
            // commit, up to the memory bound, and nothing is lost until
            // then.
            events_.insert(events_.begin(), events.begin(), events.end());
            // Rows that left memory while the commit tried are put back.
            const std::uint64_t firstKept = pending_.empty() ? nextId_ : pending_.front().id;
            for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
                if (row->id < firstKept) {
                    pending_.push_front(*row);
                }
            }
            if (damaged) {
                damageSeen_ = true;
                damageWhy_ = why;
            } else if (!busyTold_) {
                busyTold_ = true;
                log_("warning", "journal-busy",
                     "the journal " + path_ + " is held by another program (" + why + "); up to " +
                         std::to_string(memoryBound_) + " samples wait in memory for it");
            }
            return;
        }
        if (busyTold_) {
            busyTold_ = false;
            log_("info", "journal-busy", "the journal " + path_ + " is free again; what waited is written");
        }
        if (!rows.empty()) {
            committedUpTo_ = std::max(committedUpTo_, rows.back().id);
        }
        if (written) {
            for (const auto& [place, at] : moved) {
                forwarders_[place].kept = at;
                keptCursors_[forwarders_[place].name] = at;
            }
            tally_.rows += rows.size();
            ++tally_.commits;
            if (failing_) {
                failing_ = false;
                log_("info", "journal-recovered", "the journal " + path_ + " is written again");
            }
        } else {
            tally_.unstored += rows.size();
            if (!failing_) {
                failing_ = true;
                log_("error", "journal-failing",
                     "cannot write the journal " + path_ + ": " + why +
                         "; samples still go out live, and those not stored are counted");
            }
        }
        trim();
    }
    if (!rows.empty()) {
        wakeForwarders();
    }
}

bool Journal::forwarded() {
    std::lock_guard<std::mutex> guard(lock_);
    return settings_.forwarded || std::any_of(forwarders_.begin(), forwarders_.begin() + forwarderCount_,
                                              [](const ForwarderPlace& place) { return place.taking; });
}

// What every forwarder taking rows has had kept (the JSON topics' cursor
// when none takes rows yet).
std::uint64_t Journal::sentUpTo() {
    if (!forwarded()) {
        return INT64_MAX;
    }
    std::lock_guard<std::mutex> guard(lock_);
    std::uint64_t upTo = UINT64_MAX;
    for (std::size_t i = 0; i < forwarderCount_; ++i) {
        if (forwarders_[i].taking) {
            upTo = std::min(upTo, forwarders_[i].kept);
        }
    }
    if (upTo == UINT64_MAX) {
        upTo = forwarders_[0].kept;
    }
    return std::min<std::uint64_t>(upTo, INT64_MAX);
}

std::uint64_t Journal::usedBytes() {
    const std::int64_t pages = db_->integer("PRAGMA page_count") - db_->integer("PRAGMA freelist_count");
    return static_cast<std::uint64_t>(std::max<std::int64_t>(pages, 0)) * pageSize_;
}

void Journal::removeUpTo(std::uint64_t lastId, std::uint64_t& rows, std::uint64_t& unsent) {
    SqliteStatement count(*db_, "SELECT coalesce(sum(rows), 0), coalesce(min(first_us), 0), "
                                "coalesce(max(last_us), 0) FROM blocks WHERE last_id <= ? AND last_id > ?");
    count.bind(1, static_cast<std::int64_t>(lastId)).bind(2, static_cast<std::int64_t>(sentUpTo()));
    count.step();
    const auto unsentRows = static_cast<std::uint64_t>(count.integer(0));
    if (unsentRows > 0) {
        if (!unsentEpisode_) {
            unsentEpisode_ = UnsentEpisode{0, count.integer(1), count.integer(2)};
        }
        unsentEpisode_->rows += unsentRows;
        unsentEpisode_->toUs = std::max(unsentEpisode_->toUs, count.integer(2));
    }
    SqliteStatement all(*db_, "SELECT coalesce(sum(rows), 0) FROM blocks WHERE last_id <= ?");
    all.bind(1, static_cast<std::int64_t>(lastId)).step();
    rows += static_cast<std::uint64_t>(all.integer(0)) - unsentRows;
    unsent += unsentRows;
    SqliteStatement remove(*db_, "DELETE FROM blocks WHERE last_id <= ?");
    remove.bind(1, static_cast<std::int64_t>(lastId)).step();
}

void Journal::prune(bool withKeep) {
    std::lock_guard<std::mutex> serial(commitLock_);
    if (!db_) {
        return;
    }
    const std::uint64_t bound = static_cast<std::uint64_t>(settings_.maxMb) * 1024 * 1024;
    // The pages in use are held under the bound with the WAL's share and
    // some room to grow beside them; freed pages are used again, so the
    // file stays where it is.
    const std::uint64_t room = walPages_ * pageSize_ + 2 * largestCommit_ + bound / 32;
    const std::uint64_t target = bound > room ? bound - room : bound / 2;
    const std::uint64_t used = usedBytes();
    if (!withKeep && used <= target) {
        return;
    }
    std::uint64_t removed = 0;
    std::uint64_t unsent = 0;
    const auto episodeBefore = unsentEpisode_;
    const bool hadEpisode = episodeBefore.has_value();
    bool removedUnsent = false;
    try {
        db_->exec("BEGIN IMMEDIATE");
        // The last ID given outlives the rows: the next start goes on after it.
        db_->exec("INSERT OR REPLACE INTO cursor(name, sample) SELECT 'ids', max("
                  "coalesce((SELECT max(last_id) FROM blocks), 0), "
                  "coalesce((SELECT sample FROM cursor WHERE name = 'ids'), 0))");
        if (withKeep) {
            // `keep` removes only what the broker has had.
            const auto sent = static_cast<std::int64_t>(sentUpTo());
            const std::int64_t cutoff = nowUs() - settings_.keepSeconds * 1000000;
            SqliteStatement old(*db_, "SELECT coalesce(sum(rows), 0) FROM blocks WHERE last_us < ? AND last_id <= ?");
            old.bind(1, cutoff).bind(2, sent);
            old.step();
            removed += static_cast<std::uint64_t>(old.integer(0));
            SqliteStatement remove(*db_, "DELETE FROM blocks WHERE last_us < ? AND last_id <= ?");
            remove.bind(1, cutoff).bind(2, sent);
            remove.step();
            db_->exec("DELETE FROM events WHERE time_us < " + std::to_string(cutoff));
        }
        const std::uint64_t nowUsed = usedBytes();
        if (nowUsed > target) {
            // The oldest blocks whose bytes cover the excess, and a fiftieth
            // more so that the next commit does not come back here.
            const std::uint64_t excess = nowUsed - target + target / 50;
            SqliteStatement oldest(*db_, "SELECT last_id, length(data) FROM blocks ORDER BY last_id");
            std::uint64_t freed = 0;
            std::uint64_t upTo = 0;
            while (freed < excess && oldest.step()) {
                upTo = static_cast<std::uint64_t>(oldest.integer(0));
                freed += static_cast<std::uint64_t>(oldest.integer(1)) + 64;
            }
            oldest.reset();
            if (upTo > 0) {
                const std::uint64_t before = unsent;
                removeUpTo(upTo, removed, unsent);
                removedUnsent = unsent > before;
                if (removedUnsent) {
                    lastUnsentRemoval_ = std::chrono::steady_clock::now();
                }
            }
        }
        db_->exec("COMMIT");
    } catch (const SqliteError& error) {
        try {
            db_->exec("ROLLBACK");
        } catch (const SqliteError&) {
        }
        unsentEpisode_ = episodeBefore;
        if (damageCode(error.code)) {
            noteDamage(oneLine(error.what()));
            return;
        }
        if (!pruneFailing_) {
            pruneFailing_ = true;
            log_("error", "journal-prune-failing",
                 "cannot remove old samples from the journal " + path_ + ": " + oneLine(error.what()) +
                     "; tried again every commit, told again when it works");
        }
        return;
    }
    if (pruneFailing_) {
        pruneFailing_ = false;
        log_("info", "journal-prune-recovered", "old samples are removed from the journal " + path_ + " again");
    }
    if (removedUnsent && !hadEpisode) {
        log_("warning", "journal-unsent-dropped",
             "the journal " + path_ + " reached max_mb (" + std::to_string(settings_.maxMb) +
                 " MB) with nothing forwarded left to remove: removing the oldest samples the broker has not "
                 "had, from " + timeText(unsentEpisode_->fromUs) + " on, counted");
    } else if (!removedUnsent && hadEpisode && withKeep &&
               std::chrono::steady_clock::now() - lastUnsentRemoval_ > 6 * kPruneEvery) {
        log_("info", "journal-unsent-dropped",
             "max_mb no longer removes samples the broker has not had: it removed " +
                 std::to_string(unsentEpisode_->rows) + ", taken from " + timeText(unsentEpisode_->fromUs) +
                 " to " + timeText(unsentEpisode_->toUs));
        unsentEpisode_.reset();
    }
    if (removed + unsent > 0) {
        // A checkpoint that a reader holds back is left for later: the bound
        // counts the pages in use, so it never removes more because of it.
        db_->exec("PRAGMA wal_checkpoint(TRUNCATE)");
        const std::uint64_t file = sizeOf(path_);
        if (file > bound) {
            db_->exec("PRAGMA incremental_vacuum(" + std::to_string((file - bound) / pageSize_ + 1) + ")");
        }
    }
    const std::int64_t oldest = db_->integer("SELECT coalesce((SELECT first_us FROM blocks ORDER BY last_id LIMIT 1), 0)");
    const std::uint64_t held = usedBytes();
    std::lock_guard<std::mutex> guard(lock_);
    tally_.dropped += removed;
    tally_.unsentDropped += unsent;
    tally_.rows -= std::min<std::uint64_t>(tally_.rows, removed + unsent);
    tally_.oldestUs = oldest != 0 ? std::optional<std::int64_t>(oldest) : std::nullopt;
    tally_.bytes = fileBytes();
    tally_.heldBytes = held;
}

void Journal::noteDamage(const std::string& why) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!damageSeen_) {
        damageWhy_ = why;
        damageSeen_ = true;
    }
}

// A block SQLite reads but whose bytes are not whole: its rows are counted
// once, however often it is read, and the file is then replaced.
void Journal::countBroken(const StoredBlock& block, const std::string& why) {
    bool first = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        first = brokenCounted_.insert(block.lastId).second;
        if (first) {
            tally_.damaged += block.rows;
        }
    }
    if (first) {
        log_("error", "journal-damaged",
             "a block of " + std::to_string(block.rows) + " samples in the journal " + path_ + " (rows " +
                 std::to_string(block.firstId) + " to " + std::to_string(block.lastId) + ") is damaged (" + why +
                 "); they are skipped");
    }
    noteDamage("rows " + std::to_string(block.firstId) + " to " + std::to_string(block.lastId) + ": " + why);
}

void Journal::afterCommit() {
    if (!db_) {
        return; // a new file could not be begun: commits fail, counted
    }
    if (damageSeen_) {
        recover();
    } else if (salvage_) {
        salvageStep();
    } else if (std::chrono::steady_clock::now() >= nextSweep_) {
        std::lock_guard<std::mutex> serial(commitLock_);
        sweepStep(kSweepBytes);
    }
}

void Journal::checkNow() {
    {
        std::lock_guard<std::mutex> serial(commitLock_);
        sweepAfter_ = 0;
        sweepStep(UINT64_MAX);
    }
    while (db_ && (damageSeen_ || salvage_)) {
        afterCommit();
    }
}

// The next slice of the check: blocks read and their bytes checked, and
// at the end of a pass the small tables walked too. Under commitLock_.
void Journal::sweepStep(std::uint64_t bytes) {
    std::uint64_t read = 0;
    try {
        while (read < bytes) {
            const std::vector<StoredBlock> blocks = blocksAfter(*db_, sweepAfter_, 16);
            if (blocks.empty()) {
                db_->integer("SELECT count(*) FROM events");
                db_->integer("SELECT count(*) FROM runs");
                db_->integer("SELECT count(*) FROM cursor");
                sweepAfter_ = 0;
                nextSweep_ = std::chrono::steady_clock::now() + kSweepEvery;
                return;
            }
            for (const StoredBlock& block : blocks) {
                sweepAfter_ = block.lastId;
                read += block.data.size() + 64;
                try {
                    decodeBlock(block.data, {});
                } catch (const BlockError& error) {
                    countBroken(block, error.what());
                    return;
                }
            }
        }
    } catch (const SqliteError& error) {
        if (!damageCode(error.code)) {
            throw;
        }
        noteDamage("a check of its pages found: " + oneLine(error.what()));
    }
}

// The file is damaged: it is moved aside, a new one begun at its path with
// this run, the cursor and the IDs as they are, and what the damaged one
// holds that can be read is carried over between the next commits. The
// rows in memory go into the new file.
void Journal::recover() {
    std::lock_guard<std::mutex> serial(commitLock_);
    std::string why;
    {
        std::lock_guard<std::mutex> guard(lock_);
        why = damageWhy_;
        damageSeen_ = false;
    }
    {
        std::lock_guard<std::mutex> reading(readLock_);
        reader_.reset();
        cacheRows_.clear();
        cacheFrom_ = cacheLastId_ = 0;
        runNames_.clear();
    }
    // A salvage under way is given up: the file it read stays where it is.
    salvage_.reset();
    salvaging_ = false;
    db_.reset();
    const std::string aside = asideName(path_);
    bool moved = std::rename(path_.c_str(), aside.c_str()) == 0;
    const std::string notMoved = moved ? "" : std::strerror(errno);
    if (moved) {
        for (const char* suffix : {"-wal", "-shm"}) {
            if (exists(path_ + suffix)) {
                std::rename((path_ + suffix).c_str(), (aside + suffix).c_str());
            }
        }
    }
    try {
        db_ = std::make_unique<SqliteDb>(path_, false);
        if (moved) {
            useAsJournal(*db_, true);
            inTransaction(*db_, [&] {
                makeJournalTables(*db_);
                SqliteStatement run(*db_, "INSERT INTO runs(id, run, started_us) VALUES (?, ?, ?)");
                run.bind(1, runRow_).bind(2, runId_).bind(3, nowUs()).step();
                SqliteStatement cursor(*db_, "INSERT INTO cursor(name, sample) VALUES (?, ?)");
                std::map<std::string, std::uint64_t> kept;
                {
                    std::lock_guard<std::mutex> guard(lock_);
                    kept = keptCursors_;
                    for (std::size_t i = 0; i < forwarderCount_; ++i) {
                        kept[forwarders_[i].name] = forwarders_[i].kept;
                    }
                }
                kept["ids"] = lastId();
                for (const auto& [name, at] : kept) {
                    cursor.bind(1, name).bind(2, static_cast<std::int64_t>(at)).step();
                    cursor.reset();
                }
            });
            tune();
            salvage_ = std::make_unique<JournalSalvage>(aside, *db_);
            salvageLast_ = salvage_->lastId();
            salvageCopied_ = 0;
            salvageRowsTold_ = 0;
            salvaging_ = true;
        }
        std::lock_guard<std::mutex> reading(readLock_);
        reader_ = std::make_unique<SqliteDb>(path_, true);
    } catch (const SqliteError& error) {
        // Commits fail from here on, counted; serve goes on live.
        db_.reset();
        salvage_.reset();
        salvaging_ = false;
        log_("error", "journal-failing",
             "cannot begin a new journal at " + path_ + ": " + oneLine(error.what()) +
                 "; samples still go out live, and those not stored are counted");
        return;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        tally_.rows = 0; // counted again as the rows are carried over
    }
    if (moved) {
        log_("error", "journal-damaged",
             "the journal " + path_ + " is damaged (" + why + "): moved it to " + aside +
                 "; writing goes on in a new " + path_ + ", and what the damaged one holds that can be read "
                 "is carried into it");
    } else if (!stuckTold_) {
        stuckTold_ = true;
        log_("error", "journal-damaged",
             "the journal " + path_ + " is damaged (" + why + ") and cannot be moved aside (" + notMoved +
                 "); writing goes on in it");
    }
}

// The next slice of a salvage; at its end, the damaged file is removed if
// every block it held came over, and kept for a look otherwise.
void Journal::salvageStep() {
    std::lock_guard<std::mutex> serial(commitLock_);
    bool done = false;
    try {
        done = salvage_->step(*db_, kSalvageBytes);
    } catch (const SqliteError& error) {
        if (damageCode(error.code)) {
            noteDamage(oneLine(error.what()));
        } else if (!salvageFailTold_) {
            salvageFailTold_ = true; // a full disk: said once, tried at each turn
            log_("error", "journal-failed", "cannot carry samples over from " + salvage_->from() + ": " +
                                                oneLine(error.what()) + "; tried again after each commit");
        }
        return;
    }
    salvageFailTold_ = false;
    const SalvageTally& carried = salvage_->tally();
    salvageCopied_ = salvage_->copiedUpTo();
    {
        std::lock_guard<std::mutex> guard(lock_);
        tally_.rows += carried.rows - salvageRowsTold_;
        if (done) {
            tally_.damaged += carried.lostRows;
            for (const auto& [lastId, rows] : salvage_->broken()) {
                if (brokenCounted_.insert(lastId).second) {
                    tally_.damaged += rows;
                }
            }
        }
    }
    salvageRowsTold_ = carried.rows;
    if (!done) {
        return;
    }
    const std::string from = salvage_->from();
    std::string text = "carried " + std::to_string(carried.rows) + " samples and " +
                       std::to_string(carried.events) + " events over from " + from + " into " + path_;
    if (salvage_->whole()) {
        // Every block it held is in the new file: a second copy would only
        // take a small card's room.
        for (const char* suffix : {"", "-wal", "-shm"}) {
            std::remove((from + suffix).c_str());
        }
        text += "; nothing was lost, and the damaged file is removed";
    } else {
        std::uint64_t brokenRows = 0;
        for (const auto& block : salvage_->broken()) {
            brokenRows += block.second;
        }
        text += "; left behind: " + std::to_string(brokenRows) + " samples in " +
                std::to_string(carried.brokenBlocks) + " damaged blocks, and " + std::to_string(carried.lostRows) +
                " more where SQLite could not read (" + std::to_string(carried.unreadable) + " places); " + from +
                " is kept";
    }
    const bool whole = salvage_->whole();
    salvage_.reset();
    salvaging_ = false;
    log_(whole ? "info" : "warning", "journal-salvaged", text);
    wakeForwarders(); // rows they waited for are here
}

std::uint64_t Journal::fileBytes() const {
    return sizeOf(path_) + sizeOf(path_ + "-wal");
}

JournalTally Journal::tally() const {
    std::lock_guard<std::mutex> guard(lock_);
    JournalTally tally = tally_;
    const std::uint64_t last = nextId_ - 1;
    for (std::size_t i = 0; i < forwarderCount_; ++i) {
        if (!forwarders_[i].taking) {
            continue;
        }
        const std::uint64_t upTo = forwarders_[i].cursor.load();
        tally.backlog = std::max(tally.backlog, last > upTo ? last - upTo : 0);
    }
    tally.written = countedBytesWritten();
    return tally;
}

} // namespace brivant::tool
