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

using brivant::stress::Clock;
using brivant::stress::countsOf;
using brivant::stress::Tally;

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
            // Paced: unpaced, this loop made millions of reads while the
            // opens ran, and the double's record of them outgrew a 32-bit
            // process.
            Sleep(1);
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

int callsPerThread() {
    const char* text = std::getenv("BRIVANT_WINE_STRESS_CALLS");
    int calls = text != nullptr ? std::atoi(text) : 0;
    return calls > 0 ? calls : 300;
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
        threads.emplace_back(brivant::stress::hammer, std::cref<brivant::stress::Api>(lib), static_cast<int16_t>(t),
                             kStressThreads, seed + static_cast<unsigned>(t), calls, deadline,
                             std::ref(tallies[static_cast<size_t>(t)]));
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);

    Tally total;
    for (const Tally& tally : tallies) {
        total.add(tally);
    }
    for (const std::string& error : total.firstErrors) {
        std::printf("  %s\n", error.c_str());
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
