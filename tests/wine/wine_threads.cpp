// Calls from several threads at once on the real BRIVANT.dll: one unit's
// exchanges never interleave, different units run side by side, a close waits
// for the exchange in flight, and sixteen threads on sixteen units get only
// the results their calls may give, each from the unit it addressed.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>

#include "groups.h"
#include "harness.h"

namespace suite {

namespace {

using Clock = std::chrono::steady_clock;

void setReadDelay(int unit, double_usb::Unit settings, unsigned ms) {
    settings.readDelayMs = ms;
    configure(unit, settings);
}

void oneUnitOneExchangeAtATime() {
    scenario({1});
    double_usb::Unit unit;
    unit.idReply = 1;
    const std::uint8_t reply[15] = {0, 0, 0, 9, 0, 0, 0, 8, 0, 0, 0, 7, 1, 2, 3};
    std::memcpy(unit.countReply, reply, sizeof reply);
    setReadDelay(0, unit, 1);
    check(lib.open(1) == RC_OK, "open(1)");
    usb.reset();
    constexpr int kThreads = 6;
    constexpr int kCalls = 30;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < kCalls; ++i) {
                int32_t counts[3] = {};
                uint8_t status[3] = {};
                bool reads = (t + i) % 2 == 0;
                int16_t rc = reads ? lib.readCount(1, counts, status)
                                   : lib.runStop(1, static_cast<uint8_t>(i % 3), 1);
                if (rc != RC_OK || (reads && (counts[0] != 9 || counts[2] != 7 || status[2] != 3))) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    double_usb::State state = usb.state();
    check(failures.load() == 0, "6 threads on one unit: every call gives 0 with the unit's counts (" +
                                    std::to_string(failures.load()) + " did not)");
    check(usb.callCount() == kThreads * kCalls * 2, "every call is one write and one read");
    check(state.interleavings == 0, "no write reached the unit before its previous reply (" +
                                        std::to_string(state.interleavings) + " did)");
    check(state.maxReadsInFlight == 1, "one unit, one read at a time (at most " +
                                           std::to_string(state.maxReadsInFlight) + ")");
}

void differentUnitsOverlap() {
    scenario({0, 1, 2, 3});
    for (int id = 0; id < 4; ++id) {
        double_usb::Unit unit;
        unit.idReply = id;
        setReadDelay(id, unit, 30);
    }
    bool opened = true;
    for (int16_t id = 0; id < 4; ++id) {
        opened = opened && lib.open(id) == RC_OK;
    }
    check(opened, "open(0..3)");
    usb.reset();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int16_t id = 0; id < 4; ++id) {
        threads.emplace_back([id, &failures] {
            for (int i = 0; i < 3; ++i) {
                failures += lib.forcedClear(id, 0) != RC_OK;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    double_usb::State state = usb.state();
    check(failures.load() == 0, "4 threads on 4 units: every call gives 0");
    check(state.maxReadsInFlight >= 2, "calls on different units do not wait for each other (at most " +
                                           std::to_string(state.maxReadsInFlight) + " reads at once)");
    check(state.interleavings == 0, "and none of their exchanges interleave");
}

void closeWaitsForTheExchange() {
    scenario({5});
    double_usb::Unit unit;
    unit.idReply = 5;
    check(lib.open(5) == RC_OK, "open(5)");
    setReadDelay(0, unit, 200);
    usb.reset();
    int16_t result = -1;
    std::thread reader([&result] {
        int32_t counts[3];
        uint8_t status[3];
        result = lib.readCount(5, counts, status);
    });
    bool waiting = waitForReadInFlight(0);
    lib.close(5);
    reader.join();
    check(waiting, "the read is in flight when close is called");
    check(result == RC_OK, "the exchange in flight finishes with 0, got " + std::to_string(result));
    std::vector<double_usb::Call> calls = usb.calls();
    bool freedAfterRead = calls.size() == 3 && calls[1].op == double_usb::OpReadPipe && calls[1].ok &&
                          calls[2].op == double_usb::OpFree && calls[2].ok;
    check(freedAfterRead, "close frees the WinUSB handle only after the read returned (" +
                              std::to_string(calls.size()) + " calls)");
    check(usb.state().badFrees == 0 && usb.state().handlesHeld == 0 && fileReleased(0),
          "everything is released once");
    int32_t counts[3];
    uint8_t status[3];
    check(lib.readCount(5, counts, status) == RC_NOT_OPEN, "after close the id gives 7");
}

void openAndCloseLeaveOtherUnitsAlone() {
    scenario({0, 1});
    check(lib.open(0) == RC_OK, "open(0)");
    usb.reset();
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::atomic<int> reads{0};
    std::thread worker([&] {
        while (!done) {
            int32_t counts[3];
            uint8_t status[3];
            failures += lib.readCount(0, counts, status) != RC_OK;
            ++reads;
        }
    });
    int openFailures = 0;
    for (int i = 0; i < 20; ++i) {
        openFailures += lib.open(1) != RC_OK;
        lib.close(1);
    }
    done = true;
    worker.join();
    check(openFailures == 0, "open(1) and close(1) 20 times while another thread reads id 0");
    check(reads.load() > 0 && failures.load() == 0,
          "every read of id 0 meanwhile gives 0 (" + std::to_string(failures.load()) + " of " +
              std::to_string(reads.load()) + " did not)");
    check(usb.state().interleavings == 0, "no exchange interleaves");
}

// ---- stress -----------------------------------------------------------------

constexpr int kStressThreads = 16;

// The J reply of the unit with this ID: every field tells the ID.
std::array<std::uint8_t, 15> countsOf(int id) {
    auto b = static_cast<std::uint8_t>(id);
    return {0, 0, 1, b, 0, 0, 2, b, 0, 0, 3, b, b, static_cast<std::uint8_t>(b + 16),
            static_cast<std::uint8_t>(b + 32)};
}

bool countsAreOf(int id, const int32_t* counts, const uint8_t* status) {
    return counts[0] == 0x100 + id && counts[1] == 0x200 + id && counts[2] == 0x300 + id &&
           status[0] == id && status[1] == id + 16 && status[2] == id + 32;
}

int callsPerThread() {
    const char* text = std::getenv("BRIVANT_WINE_STRESS_CALLS");
    int calls = text != nullptr ? std::atoi(text) : 0;
    return calls > 0 ? calls : 300;
}

struct Tally {
    long calls = 0;
    long opens = 0;
    long closes = 0;
    long exchanges = 0; // counter calls that reached the unit
    long errors = 0;
    std::vector<std::string> firstErrors;
};

// One thread's run: `id` is its own unit, which it opens and closes; now and
// then it calls on a neighbour's unit (open or not: up to its owner) or with
// an ID outside the table. Every result is checked against what the call
// may give.
void hammer(int16_t id, unsigned seed, int calls, Clock::time_point deadline, Tally& tally) {
    std::mt19937 random(seed);
    auto pick = [&random](int below) { return static_cast<int>(random() % static_cast<unsigned>(below)); };
    // Mostly in bounds, sometimes one above, rarely far above.
    auto arg = [&](int bound) {
        int roll = pick(16);
        return static_cast<std::uint8_t>(roll < 13 ? pick(bound + 1) : roll < 15 ? bound + 1 : 200 + pick(56));
    };
    bool isOpen = false;
    auto fail = [&](const std::string& what, int got, int want) {
        ++tally.errors;
        if (tally.firstErrors.size() < 3) {
            tally.firstErrors.push_back("thread " + std::to_string(id) + ": " + what + " gave " +
                                        std::to_string(got) + ", wanted " + std::to_string(want));
        }
    };
    for (int i = 0; i < calls && Clock::now() < deadline; ++i) {
        ++tally.calls;
        const int where = pick(20);
        const bool foreign = where == 0;
        const bool neighbour = where >= 15;
        const int16_t target = foreign     ? static_cast<int16_t>(pick(2) == 0 ? 16 + pick(40000) : -1 - pick(32000))
                               : neighbour ? static_cast<int16_t>(pick(kStressThreads))
                                           : id;
        const bool unknown = neighbour && target != id;
        const bool open = target == id && isOpen;
        const int op = neighbour ? 2 + pick(11) : pick(13);
        if (op == 0) {
            ++tally.opens;
            int16_t rc = lib.open(target);
            int16_t want = foreign ? RC_BAD_ID : open ? RC_ALREADY_OPEN : RC_OK;
            if (rc != want) {
                fail("open(" + std::to_string(target) + ")", rc, want);
            }
            isOpen = isOpen || (!foreign && rc == RC_OK);
            continue;
        }
        if (op == 1) {
            ++tally.closes;
            lib.close(target);
            isOpen = isOpen && foreign;
            continue;
        }
        std::uint8_t a[4] = {};
        bool inBounds = true;
        int16_t rc = 0;
        const char* name = "";
        auto args = [&](std::initializer_list<int> bounds) {
            int k = 0;
            for (int bound : bounds) {
                a[k] = arg(bound);
                inBounds = inBounds && a[k] <= bound;
                ++k;
            }
        };
        int32_t counts[3] = {-7, -7, -7};
        uint8_t status[3] = {7, 7, 7};
        bool readsAll = false;
        bool readsOne = false;
        bool channelFirst = false; // ReadCountCh refuses a bad channel even when closed
        switch (op) {
        case 2: name = "InputInverter"; args({2, 1, 1, 1}); rc = lib.inputInverter(target, a[0], a[1], a[2], a[3]); break;
        case 3: name = "OutputInverter"; args({2, 1, 1}); rc = lib.outputInverter(target, a[0], a[1], a[2]); break;
        case 4: name = "OutputMode"; args({2, 1, 1}); rc = lib.outputMode(target, a[0], a[1], a[2]); break;
        case 5: name = "SelClearEvent"; args({2, 2}); rc = lib.selClearEvent(target, a[0], a[1]); break;
        case 6: name = "SelMultiplier"; args({2, 2}); rc = lib.selMultiplier(target, a[0], a[1]); break;
        case 7: name = "SetLimitter"; args({2, 1, 1}); rc = lib.setLimitter(target, a[0], a[1], a[2]); break;
        case 8: name = "ForcedClear"; args({2}); rc = lib.forcedClear(target, a[0]); break;
        case 9: name = "RunStop"; args({2, 1}); rc = lib.runStop(target, a[0], a[1]); break;
        case 10: {
            name = "WritePresetData";
            args({2});
            const uint32_t data[2] = {static_cast<uint32_t>(random()), static_cast<uint32_t>(random())};
            const bool null = pick(10) == 0;
            inBounds = inBounds && !null;
            rc = lib.writePresetData(target, a[0], null ? nullptr : data);
            break;
        }
        case 11: {
            name = "ReadCount";
            const bool null = pick(10) == 0;
            inBounds = !null;
            readsAll = true;
            rc = lib.readCount(target, null ? nullptr : counts, status);
            break;
        }
        default: {
            name = "ReadCountCh";
            args({2});
            const bool null = pick(10) == 0;
            channelFirst = a[0] > 2;
            inBounds = inBounds && !null;
            readsOne = true;
            rc = lib.readCountCh(target, a[0], null ? nullptr : &counts[0], &status[0]);
            break;
        }
        }
        int16_t want = channelFirst ? RC_BAD_PARAMETER : !open ? RC_NOT_OPEN
                     : !inBounds ? RC_BAD_PARAMETER : RC_OK;
        if (unknown && want == RC_NOT_OPEN) {
            want = rc == RC_NOT_OPEN ? RC_NOT_OPEN : inBounds ? RC_OK : RC_BAD_PARAMETER;
        }
        const std::string call = std::string(name) + "(" + std::to_string(target) + ")";
        if (rc != want) {
            fail(call, rc, want);
        }
        if (rc == RC_OK) {
            ++tally.exchanges;
            if (readsAll && !countsAreOf(target, counts, status)) {
                fail(call + " counts of another unit", counts[0], 0x100 + target);
            }
            std::array<std::uint8_t, 15> theirs = countsOf(target);
            if (readsOne && (counts[0] != 0x100 * (a[0] + 1) + target || status[0] != theirs[12 + a[0]])) {
                fail(call + " count of another unit", counts[0], 0x100 * (a[0] + 1) + target);
            }
        } else if ((counts[0] != -7 || status[0] != 7) || (readsAll && (counts[2] != -7 || status[2] != 7))) {
            fail(call + " wrote its outputs on failure", rc, 0);
        }
    }
}

} // namespace

void threadsShareUnitsSafely() {
    currentGroup = "threads";
    oneUnitOneExchangeAtATime();
    differentUnitsOverlap();
    closeWaitsForTheExchange();
    openAndCloseLeaveOtherUnitsAlone();
}

// Sixteen units in an enumeration order unrelated to their IDs, sixteen
// threads each owning one ID, a random mix of every function with arguments
// in and out of bounds; bounded in calls and in time.
void stressSixteenUnits() {
    currentGroup = "stress";
    const unsigned seed = static_cast<unsigned>(GetTickCount() % 1000000);
    std::mt19937 shuffle(seed);
    std::vector<int> ids(kStressThreads);
    for (int i = 0; i < kStressThreads; ++i) {
        ids[static_cast<size_t>(i)] = i;
    }
    std::shuffle(ids.begin(), ids.end(), shuffle);
    scenario(ids);
    for (int unit = 0; unit < kStressThreads; ++unit) {
        int id = ids[static_cast<size_t>(unit)];
        double_usb::Unit settings;
        settings.idReply = id;
        std::array<std::uint8_t, 15> counts = countsOf(id);
        std::copy(counts.begin(), counts.end(), settings.countReply);
        settings.readDelayMs = id % 4 == 0 ? 1 : 0; // slower units overlap the others
        configure(unit, settings);
    }

    const int calls = callsPerThread();
    const auto started = Clock::now();
    const auto deadline = started + std::chrono::seconds(30);
    std::vector<Tally> tallies(kStressThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kStressThreads; ++t) {
        threads.emplace_back(hammer, static_cast<int16_t>(t), seed + static_cast<unsigned>(t), calls,
                             deadline, std::ref(tallies[static_cast<size_t>(t)]));
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);

    Tally total;
    for (const Tally& tally : tallies) {
        total.calls += tally.calls;
        total.opens += tally.opens;
        total.closes += tally.closes;
        total.exchanges += tally.exchanges;
        total.errors += tally.errors;
        for (const std::string& error : tally.firstErrors) {
            std::printf("  %s\n", error.c_str());
        }
    }
    const double_usb::State state = usb.state();
    std::printf("  %d threads x %d calls asked, %ld made (%ld opens, %ld closes, %ld exchanges) "
                "in %lld ms, seed %u, at most %d reads in flight\n",
                kStressThreads, calls, total.calls, total.opens, total.closes, total.exchanges,
                static_cast<long long>(elapsed.count()), seed, state.maxReadsInFlight);
    const std::string seedText = " (seed " + std::to_string(seed) + ")";
    check(total.errors == 0, "every call gives a result it may give, counts from the unit addressed; " +
                                 std::to_string(total.errors) + " did not" + seedText);
    check(total.opens > 0 && total.exchanges > 0, "the mix opened units and reached them");
    check(state.interleavings == 0, "no unit saw two exchanges interleaved (" +
                                        std::to_string(state.interleavings) + ")" + seedText);
    check(state.badFrees == 0, "no WinUSB handle was freed twice");
    scenario({});
    bool released = usb.state().handlesHeld == 0;
    for (int unit = 0; unit < kStressThreads; ++unit) {
        released = released && fileReleased(unit);
    }
    check(released, "closing every id afterwards releases every handle");
}

} // namespace suite
