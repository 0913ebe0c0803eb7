// serve's MQTT outbox without a broker: what is made goes out in order, what
// the broker had not acknowledged goes first after a reconnection, the
// bound drops the oldest, and every message not delivered is counted.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "export/mqtt/outbox.h"

namespace brivant::test {
namespace {

using tool::Outbox;
using tool::OutboxMessage;

OutboxMessage message(const std::string& topic) {
    OutboxMessage m;
    m.topic = topic;
    return m;
}

void pushAll(Outbox& outbox, const std::vector<std::string>& topics) {
    for (const std::string& topic : topics) {
        outbox.push(message(topic));
    }
}

std::vector<std::string> takeAll(Outbox& outbox, std::size_t window) {
    std::vector<std::string> taken;
    while (auto next = outbox.next(window)) {
        taken.push_back(next->topic);
    }
    return taken;
}

TEST(Outbox, NothingLeavesWhileTheLinkIsDownAndAWindowAtMostIsInFlight) {
    Outbox outbox(100);
    pushAll(outbox, {"a", "b", "c", "d"});
    EXPECT_FALSE(outbox.next(10)) << "the link is down";
    outbox.linkUp();
    EXPECT_EQ(takeAll(outbox, 2), (std::vector<std::string>{"a", "b"}));
    outbox.delivered();
    EXPECT_EQ(takeAll(outbox, 2), (std::vector<std::string>{"c"}));
    tool::OutboxTally tally = outbox.tally();
    EXPECT_EQ(tally.depth, 3u) << "waiting and in flight";
    EXPECT_EQ(tally.sent, 1u);
    EXPECT_TRUE(tally.connected);
    EXPECT_FALSE(outbox.idle());
}

TEST(Outbox, WhatTheBrokerHadNotAcknowledgedGoesFirstInTheOrderItWasMade) {
    Outbox outbox(100);
    pushAll(outbox, {"1", "2", "3", "4"});
    outbox.linkUp();
    std::vector<OutboxMessage> inFlight;
    for (int i = 0; i < 3; ++i) {
        inFlight.push_back(*outbox.next(10));
    }
    outbox.delivered(); // "1"
    // The link hands back what it held, in any order of its own.
    std::vector<OutboxMessage> back = {inFlight[2], inFlight[1]};
    EXPECT_TRUE(outbox.linkDown(back));
    EXPECT_FALSE(outbox.linkDown({})) << "already down";
    outbox.push(message("5"));
    EXPECT_EQ(outbox.tally().depth, 4u);
    outbox.linkUp();
    EXPECT_EQ(takeAll(outbox, 10), (std::vector<std::string>{"2", "3", "4", "5"}));

    // A message the client would not take for now waits at the front.
    outbox.linkDown({});
    outbox.push(message("6"));
    outbox.push(message("7"));
    outbox.linkUp();
    auto six = outbox.next(10);
    outbox.notTaken(std::move(*six));
    EXPECT_EQ(takeAll(outbox, 10), (std::vector<std::string>{"6", "7"}));
}

TEST(Outbox, PastItsBoundTheOldestGoAndEveryLossIsCounted) {
    Outbox outbox(3);
    pushAll(outbox, {"1", "2", "3", "4", "5"});
    EXPECT_EQ(outbox.tally().dropped, 2u);
    outbox.linkUp();
    auto three = outbox.next(10);
    auto four = outbox.next(10);
    ASSERT_TRUE(three && four);
    EXPECT_EQ(three->topic, "3");
    pushAll(outbox, {"6", "7"}); // waiting: 5 6 7, in flight: 3 4
    EXPECT_EQ(outbox.tally().dropped, 2u) << "the bound counts what waits";
    // Back from a lost link, the unacknowledged are the oldest: they go.
    outbox.linkDown({*three, *four});
    EXPECT_EQ(outbox.tally().dropped, 4u);
    outbox.linkUp();
    auto five = outbox.next(10);
    ASSERT_TRUE(five);
    EXPECT_EQ(five->topic, "5");
    outbox.rejected(); // thrown away by the broker, or refused by the client
    EXPECT_EQ(outbox.tally().dropped, 5u);

    // At the stop, what waits and what is in flight are given up, counted.
    auto six = outbox.next(10);
    ASSERT_TRUE(six);
    EXPECT_EQ(outbox.giveUp(), 2u);
    tool::OutboxTally tally = outbox.tally();
    EXPECT_EQ(tally.dropped, 7u);
    EXPECT_EQ(tally.depth, 0u);
    EXPECT_EQ(tally.sent, 0u);
    EXPECT_FALSE(tally.connected);
    EXPECT_TRUE(outbox.idle());
}

// Readers push from their threads while the link takes, delivers and now
// and then loses the link: nothing is lost unseen, and what is delivered
// goes in the order it was made.
TEST(Outbox, ManyProducersOneLinkEveryMessageAccountedForInOrder) {
    constexpr int kProducers = 4;
    constexpr int kEach = 5000;
    Outbox outbox(2000);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&outbox] {
            for (int i = 0; i < kEach; ++i) {
                outbox.push(message("m"));
            }
        });
    }
    std::uint64_t lastOrder = 0;
    bool ordered = true;
    std::uint64_t delivered = 0;
    auto drain = [&](int turns) {
        std::vector<OutboxMessage> held;
        for (int turn = 0; turn < turns; ++turn) {
            outbox.linkUp();
            while (auto next = outbox.next(50)) {
                held.push_back(std::move(*next));
                if (held.size() == 10) {
                    // The first five are acknowledged; the link drops with
                    // the other five.
                    for (int i = 0; i < 5; ++i) {
                        ordered = ordered && held[static_cast<std::size_t>(i)].order > lastOrder;
                        lastOrder = held[static_cast<std::size_t>(i)].order;
                        outbox.delivered();
                        ++delivered;
                    }
                    outbox.linkDown({held.begin() + 5, held.end()});
                    held.clear();
                    break;
                }
            }
            if (!held.empty()) {
                outbox.linkDown(held);
                held.clear();
            }
        }
    };
    drain(3000);
    for (std::thread& producer : producers) {
        producer.join();
    }
    drain(10000);
    tool::OutboxTally tally = outbox.tally();
    EXPECT_TRUE(ordered) << "a message was delivered before one made earlier";
    EXPECT_EQ(tally.sent, delivered);
    EXPECT_EQ(tally.sent + tally.dropped + tally.depth, std::uint64_t{kProducers * kEach});
}

} // namespace
} // namespace brivant::test
