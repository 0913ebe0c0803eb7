// The random call mix of the stress tests, shared by the Linux suite (which
// calls the library directly) and the Wine suite (which calls the real DLL
// through pointers from GetProcAddress).
//
// Each thread owns one unit ID, opens and closes it, and knows what every
// call on it must give; it also sends counter calls to the other threads'
// units, which may be open or not at that moment, and to IDs outside the
// table. Each unit answers J with counts that tell its ID, so a count read
// shows which unit answered.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "brivant.h"

namespace brivant::stress {

using Clock = std::chrono::steady_clock;

// The 13 functions, however they were reached.
struct Api {
    decltype(&Brivant_Device_Open) open = nullptr;
    decltype(&Brivant_Device_Close) close = nullptr;
    decltype(&Brivant_InputInverter) inputInverter = nullptr;
    decltype(&Brivant_OutputInverter) outputInverter = nullptr;
    decltype(&Brivant_OutputMode) outputMode = nullptr;
    decltype(&Brivant_SelClearEvent) selClearEvent = nullptr;
    decltype(&Brivant_SelMultiplier) selMultiplier = nullptr;
    decltype(&Brivant_SetLimitter) setLimitter = nullptr;
    decltype(&Brivant_ForcedClear) forcedClear = nullptr;
    decltype(&Brivant_RunStop) runStop = nullptr;
    decltype(&Brivant_WritePresetData) writePresetData = nullptr;
    decltype(&Brivant_ReadCount) readCount = nullptr;
    decltype(&Brivant_ReadCountCh) readCountCh = nullptr;
};

// The J reply of the unit with this ID: every field tells the ID.
inline std::array<std::uint8_t, 15> countsOf(int id) {
    auto b = static_cast<std::uint8_t>(id);
    return {0, 0, 1, b, 0, 0, 2, b, 0, 0, 3, b, b, static_cast<std::uint8_t>(b + 16),
            static_cast<std::uint8_t>(b + 32)};
}

inline bool countsAreOf(int id, const int32_t* counts, const uint8_t* status) {
    return counts[0] == 0x100 + id && counts[1] == 0x200 + id && counts[2] == 0x300 + id &&
           status[0] == id && status[1] == id + 16 && status[2] == id + 32;
}

struct Tally {
    long calls = 0;
    long opens = 0;
    long closes = 0;
    long exchanges = 0; // counter calls that reached the unit
    long errors = 0;
    std::vector<std::string> firstErrors;

    void add(const Tally& other) {
        calls += other.calls;
        opens += other.opens;
        closes += other.closes;
        exchanges += other.exchanges;
        errors += other.errors;
        firstErrors.insert(firstErrors.end(), other.firstErrors.begin(), other.firstErrors.end());
    }
};

// One thread's run on `api`: `id` is its own unit among `threads` units; at
// most `calls` calls, and none after `deadline`. Every result is checked
// against what the call may give.
inline void hammer(const Api& api, int16_t id, int threads, unsigned seed, int calls,
                   Clock::time_point deadline, Tally& tally) {
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
        const bool foreign = where == 0;    // outside the table
        const bool neighbour = where >= 15; // another thread's unit: open or not, unknown
        const int16_t target = foreign     ? static_cast<int16_t>(pick(2) == 0 ? 16 + pick(40000) : -1 - pick(32000))
                               : neighbour ? static_cast<int16_t>(pick(threads))
                                           : id;
        const bool unknown = neighbour && target != id; // open or not: up to its owner
        const bool open = target == id && isOpen;
        const int op = neighbour ? 2 + pick(11) : pick(13);
        if (op == 0) {
            ++tally.opens;
            int16_t rc = api.open(target);
            int16_t want = foreign ? RC_BAD_ID : open ? RC_ALREADY_OPEN : RC_OK;
            if (rc != want) {
                fail("open(" + std::to_string(target) + ")", rc, want);
            }
            isOpen = isOpen || (!foreign && rc == RC_OK);
            continue;
        }
        if (op == 1) {
            ++tally.closes;
            api.close(target);
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
        case 2: name = "InputInverter"; args({2, 1, 1, 1}); rc = api.inputInverter(target, a[0], a[1], a[2], a[3]); break;
        case 3: name = "OutputInverter"; args({2, 1, 1}); rc = api.outputInverter(target, a[0], a[1], a[2]); break;
        case 4: name = "OutputMode"; args({2, 1, 1}); rc = api.outputMode(target, a[0], a[1], a[2]); break;
        case 5: name = "SelClearEvent"; args({2, 2}); rc = api.selClearEvent(target, a[0], a[1]); break;
        case 6: name = "SelMultiplier"; args({2, 2}); rc = api.selMultiplier(target, a[0], a[1]); break;
        case 7: name = "SetLimitter"; args({2, 1, 1}); rc = api.setLimitter(target, a[0], a[1], a[2]); break;
        case 8: name = "ForcedClear"; args({2}); rc = api.forcedClear(target, a[0]); break;
        case 9: name = "RunStop"; args({2, 1}); rc = api.runStop(target, a[0], a[1]); break;
        case 10: {
            name = "WritePresetData";
            args({2});
            const uint32_t data[2] = {static_cast<uint32_t>(random()), static_cast<uint32_t>(random())};
            const bool null = pick(10) == 0;
            inBounds = inBounds && !null;
            rc = api.writePresetData(target, a[0], null ? nullptr : data);
            break;
        }
        case 11: {
            name = "ReadCount";
            const bool null = pick(10) == 0;
            inBounds = !null;
            readsAll = true;
            rc = api.readCount(target, null ? nullptr : counts, status);
            break;
        }
        default: {
            name = "ReadCountCh";
            args({2});
            const bool null = pick(10) == 0;
            channelFirst = a[0] > 2;
            inBounds = inBounds && !null;
            readsOne = true;
            rc = api.readCountCh(target, a[0], null ? nullptr : &counts[0], &status[0]);
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

} // namespace brivant::stress
