// One open unit in the panel: a thread of its own polls the unit at a fixed
// rate and keeps the latest samples, and runs the commands that pages send,
// between two reads. Every library call for the unit's ID is made on that
// thread, so pages never add USB traffic and a unit that never answers holds
// up only its own thread: a command waits for it with a deadline.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "station/configure_why.h"

namespace brivant::tool {

using SteadyTime = std::chrono::steady_clock::time_point;
using WallTime = std::chrono::system_clock::time_point;

struct Sample {
    std::uint64_t seq = 0;  // across all units of a panel, increasing
    double t = 0;           // seconds since the panel started, steady clock
    WallTime time;          // when the unit answered
    std::int16_t result = 0;
    std::array<std::int32_t, 3> counts{};
    std::array<std::uint8_t, 3> status{};
};

// Sends a unit's settings on its reader's thread; returns RC_OK or the
// result of the first call that failed.
using Configure = std::function<std::int16_t(std::int16_t id, ConfigureWhy why)>;

// How a reader takes its unit.
struct ReaderStart {
    bool opened = true;  // the caller opened the unit and hands it over
    Configure configure; // set: the unit is configured before it is read
};

// What a reader has done since it started, for the metrics.
struct UnitTally {
    std::uint64_t exchanges = 0;      // reads, commands and configurations sent to the unit
    std::uint64_t failures = 0;       // those that failed
    std::uint64_t reconnections = 0;  // opened again after a failure
    std::uint64_t configurations = 0; // settings sent whole
};

// Something that happened to a unit, told once when it happens.
struct UnitEvent {
    std::int16_t unit = 0;
    std::string event;       // "not-answering", "reconnected"
    std::int16_t result = 0; // of the call that told it
    WallTime time;
};

// Told of every sample and event on the reader's own thread: what it does
// must not block, or the unit's reads wait for it.
struct ReaderListener {
    std::function<void(std::int16_t id, const Sample& sample, std::optional<bool> configured)> sample;
    std::function<void(const UnitEvent& event)> event;
};

// What a page is shown of one unit.
struct UnitView {
    std::int16_t id = 0;
    bool answering = true;
    bool seen = true;                      // opened at least once since the start
    std::optional<bool> configured;        // absent when the unit has no station settings
    std::optional<WallTime> silentSince;   // not answering since
    std::int16_t lastResult = 0;           // of the last read or open
    std::optional<Sample> latest;
    std::optional<Sample> latestGood;      // the newest read that succeeded, kept through failures
    std::array<std::optional<double>, 3> rate; // counts per second over about a second
    std::vector<Sample> samples;           // those after the seq asked for
    UnitTally tally;
};

struct CommandOutcome {
    enum class Kind {
        Done,     // the call returned `result`
        NotSent,  // the deadline passed before the unit's thread got to it; it never will
        NoAnswer, // sent, and the unit had not answered by the deadline
    };
    Kind kind = Kind::Done;
    std::int16_t result = 0;
};

// Shared by the readers of one panel.
struct ReaderSettings {
    double rateHz = 20;
    SteadyTime origin = std::chrono::steady_clock::now();
    std::shared_ptr<std::atomic<std::uint64_t>> sequence =
        std::make_shared<std::atomic<std::uint64_t>>(0);
    // A read that has not returned after this long shows the unit as not
    // answering since the read began.
    std::chrono::milliseconds stallAfter{1000};
    std::chrono::milliseconds reopenEvery{500};
    // A unit that refuses its settings gets them again after this, doubling
    // at each failure up to the last.
    std::chrono::milliseconds configRetryFirst{500};
    std::chrono::milliseconds configRetryLast{30000};
    double keepSeconds = 65; // samples kept for pages: a minute's chart and some
    std::shared_ptr<const ReaderListener> listener; // none: samples are only kept
};

class UnitReader {
public:
    // Starts polling unit `id`: the caller has opened it and hands it over,
    // or the reader opens it itself when it can (`start.opened` false). With
    // `start.configure`, every open (the first and each after a failure) is
    // followed by the unit's settings before its next sample.
    UnitReader(std::int16_t id, const ReaderSettings& settings, ReaderStart start = {});
    ~UnitReader();
    UnitReader(const UnitReader&) = delete;
    UnitReader& operator=(const UnitReader&) = delete;

    std::int16_t id() const { return id_; }

    // Samples a view hands at most: the newest.
    static constexpr std::size_t kViewSamples = 1000;
    // The unit's state, its samples after `afterSeq` (none when empty), and
    // the rate of each channel.
    UnitView view(std::optional<std::uint64_t> afterSeq) const;

    // Runs `call` with the unit's ID on the unit's thread, opening the unit
    // first if it had to be closed; waits at most `deadline`.
    CommandOutcome command(std::function<std::int16_t(std::int16_t id)> call,
                           std::chrono::milliseconds deadline);

    // Sends the unit's settings again before its next sample or command.
    void reconfigure(ConfigureWhy why);

    // Asks the thread to end and waits for it up to `grace`; false when it is
    // still inside a call to the unit (it is then left to finish by itself).
    bool stop(std::chrono::milliseconds grace);

private:
    struct Job;
    struct State;

    static void run(std::shared_ptr<State> state);

    std::int16_t id_;
    std::shared_ptr<State> state_;
};

} // namespace brivant::tool
