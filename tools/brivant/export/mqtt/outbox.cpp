#include "outbox.h"

#include <algorithm>
#include <iterator>

namespace brivant::tool {

void Outbox::push(OutboxMessage message) {
    std::lock_guard<std::mutex> guard(lock_);
    message.order = ++made_;
    waiting_.push_back(std::move(message));
    keepBound();
}

void Outbox::keepBound() {
    // A message a journal holds is never dropped here: its sender takes no
    // more from the journal than the bound leaves room for.
    while (waiting_.size() > bound_) {
        auto oldest = std::find_if(waiting_.begin(), waiting_.end(),
                                   [](const OutboxMessage& m) { return m.journalId == 0; });
        if (oldest == waiting_.end()) {
            return;
        }
        waiting_.erase(oldest);
        ++dropped_;
    }
}

std::optional<OutboxMessage> Outbox::next(std::size_t window) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!connected_ || waiting_.empty() || inFlight_ >= window) {
        return std::nullopt;
    }
    OutboxMessage message = std::move(waiting_.front());
    waiting_.pop_front();
    ++inFlight_;
    return message;
}

void Outbox::notTaken(OutboxMessage message) {
    std::lock_guard<std::mutex> guard(lock_);
    --inFlight_;
    waiting_.push_front(std::move(message));
}

void Outbox::delivered() {
    std::lock_guard<std::mutex> guard(lock_);
    --inFlight_;
    ++sent_;
}

void Outbox::rejected() {
    std::lock_guard<std::mutex> guard(lock_);
    --inFlight_;
    ++dropped_;
}

void Outbox::linkUp() {
    std::lock_guard<std::mutex> guard(lock_);
    connected_ = true;
}

bool Outbox::linkDown(std::vector<OutboxMessage> unacknowledged) {
    std::sort(unacknowledged.begin(), unacknowledged.end(),
              [](const OutboxMessage& a, const OutboxMessage& b) { return a.order < b.order; });
    std::lock_guard<std::mutex> guard(lock_);
    const bool was = connected_;
    connected_ = false;
    inFlight_ = 0;
    waiting_.insert(waiting_.begin(), std::make_move_iterator(unacknowledged.begin()),
                    std::make_move_iterator(unacknowledged.end()));
    keepBound();
    return was;
}

bool Outbox::connected() const {
    std::lock_guard<std::mutex> guard(lock_);
    return connected_;
}

bool Outbox::idle() const {
    std::lock_guard<std::mutex> guard(lock_);
    return waiting_.empty() && inFlight_ == 0;
}

std::uint64_t Outbox::giveUp(std::uint64_t keptElsewhere) {
    std::lock_guard<std::mutex> guard(lock_);
    const std::uint64_t lost = waiting_.size() + inFlight_;
    dropped_ += lost - std::min(lost, keptElsewhere);
    waiting_.clear();
    inFlight_ = 0;
    connected_ = false;
    return lost;
}

OutboxTally Outbox::tally() const {
    std::lock_guard<std::mutex> guard(lock_);
    return OutboxTally{connected_, waiting_.size() + inFlight_, sent_, dropped_};
}

} // namespace brivant::tool
