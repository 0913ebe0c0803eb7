// serve's MQTT outbox: the messages made and not yet delivered, in the order
// they were made. Readers push without waiting; the link takes messages
// from the front, at most a window of them in flight at once. A message the
// broker had not acknowledged when the link went down goes back to the
// front, ahead of anything newer, so that everything is sent in the order it
// was made. Past its bound the oldest message is dropped (but never one a
// journal holds), and every message that is not delivered is counted,
// never lost unseen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace brivant::tool {

struct OutboxMessage {
    std::uint64_t order = 0; // when it was made, across all messages
    std::string topic;
    std::string payload;
    bool retain = false;
    std::string correlation; // MQTT 5 correlation data of the command answered
    std::uint64_t journalId = 0; // the journal's row, for a state forwarded from it
};

// The outbox as the metrics and the queue topic show it.
struct OutboxTally {
    bool connected = false;
    std::uint64_t depth = 0;   // messages waiting or in flight
    std::uint64_t sent = 0;    // acknowledged by the broker (QoS 1) or written (QoS 0)
    std::uint64_t dropped = 0; // pushed out of a full queue, refused, or lost at the stop
};

class Outbox {
public:
    explicit Outbox(std::size_t bound) : bound_(bound) {}
    std::size_t bound() const { return bound_; }

    // From any thread: the message is stamped with its order and waits.
    void push(OutboxMessage message);

    // The link's side. The next message to hand over, counted in flight;
    // none while the link is down, when nothing waits, or when `window`
    // messages are already in flight.
    std::optional<OutboxMessage> next(std::size_t window);
    // Handed over and not taken for now: it waits at the front again.
    void notTaken(OutboxMessage message);
    // One in flight is done with: delivered, or thrown away by the broker
    // or refused by the client (then counted as dropped).
    void delivered();
    void rejected();

    void linkUp();
    // The link is down, with `unacknowledged` still in flight: they wait
    // again at the front, in the order they were made. True when the link
    // was up.
    bool linkDown(std::vector<OutboxMessage> unacknowledged);
    bool connected() const;
    // Nothing waits and nothing is in flight.
    bool idle() const;

    // At the stop: whatever still waits or is in flight is given up and
    // counted as dropped, but for `keptElsewhere` of them (a journal holds
    // them for the next start); returns how many were given up.
    std::uint64_t giveUp(std::uint64_t keptElsewhere = 0);

    OutboxTally tally() const;

private:
    void keepBound(); // under lock_

    const std::size_t bound_;
    mutable std::mutex lock_;
    std::deque<OutboxMessage> waiting_;
    std::size_t inFlight_ = 0;
    std::uint64_t made_ = 0;
    std::uint64_t sent_ = 0;
    std::uint64_t dropped_ = 0;
    bool connected_ = false;
};

} // namespace brivant::tool
