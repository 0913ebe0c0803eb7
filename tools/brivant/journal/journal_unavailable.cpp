// The journal of a build without SQLite (brivant.exe for now): serve
// checks journalBuiltIn() and makes none, so none of this runs.
#include "journal/history.h"
#include "journal/journal.h"
#include "util/tool_errors.h"

namespace brivant::tool {

class SqliteDb {};
class JournalSalvage {};

bool journalBuiltIn() {
    return false;
}

std::optional<JournalProblem> journalProblem(const std::string&) {
    return std::nullopt;
}

Journal::Journal(const HistorySettings& settings, std::string runId, JournalLog log)
    : settings_(settings), runId_(std::move(runId)), log_(std::move(log)), memoryBound_(0) {
    throw InputError("this build of brivant keeps no journal");
}

Journal::~Journal() = default;
void Journal::start() {}
void Journal::stop() {}
JournalRow Journal::record(std::int16_t, const Sample&, std::optional<bool>) {
    return {};
}
void Journal::recordEvent(std::int16_t, std::int64_t, const std::string&, const std::string&) {}
Journal::Forwarder Journal::forwardFrom(std::function<void()>, const std::string&) {
    return 0;
}
std::vector<JournalRow> Journal::after(std::uint64_t, std::size_t) {
    return {};
}
void Journal::queued(std::uint64_t, Forwarder) {}
void Journal::acknowledged(std::uint64_t, Forwarder) {}
std::uint64_t Journal::cursor(Forwarder) const {
    return 0;
}
std::uint64_t Journal::backlog(Forwarder) const {
    return 0;
}
std::uint64_t Journal::lastId() const {
    return 0;
}
JournalTally Journal::tally() const {
    return {};
}
void Journal::commitNow() {}
void Journal::checkNow() {}

std::size_t historyRows(const std::string&, const HistoryQuery&, const std::function<bool(const JournalRow&)>&) {
    throw InputError("this build of brivant reads no journal");
}

} // namespace brivant::tool
