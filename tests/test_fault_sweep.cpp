// Every platform call that open, close and each counter function makes is
// made to fail in turn, the 1st, the 2nd, ... the Nth. After each run: the
// result is one the function may return, nothing is left held beyond the
// open slots' own handles, the addressed slot is either fully open or fully
// closed, outputs are untouched on failure, and the same call on a healthy
// platform succeeds again.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>

#include "support.h"

namespace brivant::test {
namespace {

bool failable(sim::Op op) {
    switch (op) {
    case sim::Op::DestroyDevInfo: case sim::Op::LastError: case sim::Op::LocalFree:
    case sim::Op::CloseHandle: case sim::Op::UsbFree:
        return false; // releases and queries report nothing the library could act on
    default:
        return true;
    }
}

std::vector<sim::Call> failableCalls() {
    std::vector<sim::Call> result;
    for (sim::Call& call : sim::calls()) {
        if (failable(call.op)) {
            result.push_back(std::move(call));
        }
    }
    return result;
}

// The IDs whose slots are open. A null output is refused only after the
// slot test, and before anything is sent, so this touches no unit.
std::vector<int16_t> openSlots() {
    std::vector<int16_t> open;
    for (int16_t id = 0; id < 16; ++id) {
        if (Brivant_ReadCount(id, nullptr, nullptr) == RC_BAD_PARAMETER) {
            open.push_back(id);
        }
    }
    return open;
}

// What a counter function may write; filled with a pattern before each run.
struct Outputs {
    int32_t counts[3];
    uint8_t status[3];
    int32_t count;
    uint8_t one;
    void fill() {
        std::fill(std::begin(counts), std::end(counts), 0x5A5A5A5A);
        std::fill(std::begin(status), std::end(status), uint8_t{0xA5});
        count = 0x5A5A5A5A;
        one = 0xA5;
    }
    bool operator==(const Outputs& o) const {
        return std::equal(std::begin(counts), std::end(counts), std::begin(o.counts)) &&
               std::equal(std::begin(status), std::end(status), std::begin(o.status)) &&
               count == o.count && one == o.one;
    }
};

constexpr int16_t kId = 4;

struct Operation {
    std::string name;
    std::function<void()> setUp; // from an empty platform: units, open slots
    std::function<int16_t(Outputs&)> run;
    std::vector<int16_t> allowed;
    enum class Kind { Open, Close, Counter } kind;
};

std::array<std::uint8_t, 15> kCounts = {0, 0, 1, 2, 0, 0x80, 0, 3, 0x12, 0, 0, 4, 7, 8, 9};

void unitsAroundTheOneWanted() {
    addUnits({2});
    sim::addUnit(unitWithId(kId, kCounts));
    addUnits({9});
    ASSERT_EQ(Brivant_Device_Open(2), RC_OK); // skipped by the query: held open
}

std::vector<Operation> operations() {
    const std::vector<int16_t> counterResults = {RC_OK, RC_NOT_OPEN, RC_BAD_PARAMETER, RC_COMM_FAILED};
    const std::vector<int16_t> openResults = {RC_OK, RC_ALREADY_OPEN, RC_TOO_MANY_UNITS,
                                              RC_OPEN_FAILED, RC_ID_NOT_FOUND};
    auto openedUnit = [] {
        unitsAroundTheOneWanted();
        ASSERT_EQ(Brivant_Device_Open(kId), RC_OK);
    };
    auto counter = [&](std::string name, std::function<int16_t(Outputs&)> run) {
        return Operation{std::move(name), openedUnit, std::move(run), counterResults,
                         Operation::Kind::Counter};
    };
    static const uint32_t preset[2] = {0x12AB00FF, 0xFFFFFFFF};
    return {
        {"open, found after a held unit", unitsAroundTheOneWanted,
         [](Outputs&) { return Brivant_Device_Open(kId); }, openResults, Operation::Kind::Open},
        {"open, the first answer is empty", [] {
             sim::Unit silent = unitWithId(kId);
             silent.idReply = -1;
             sim::addUnit(silent);
             sim::addUnit(unitWithId(kId, kCounts));
         },
         [](Outputs&) { return Brivant_Device_Open(kId); }, openResults, Operation::Kind::Open},
        {"open, the ID is not present", [] { addUnits({1, 2, 3}); },
         [](Outputs&) { return Brivant_Device_Open(kId); }, openResults, Operation::Kind::Open},
        {"open, 17 units present", [] {
             for (int i = 0; i < 17; ++i) {
                 sim::addUnit(unitWithId(i % 16, kCounts));
             }
         },
         [](Outputs&) { return Brivant_Device_Open(kId); }, openResults, Operation::Kind::Open},
        {"close", openedUnit, [](Outputs&) {
             Brivant_Device_Close(kId);
             return int16_t{RC_OK};
         },
         {RC_OK}, Operation::Kind::Close},
        counter("InputInverter", [](Outputs&) { return Brivant_InputInverter(kId, 2, 1, 0, 1); }),
        counter("OutputInverter", [](Outputs&) { return Brivant_OutputInverter(kId, 1, 1, 0); }),
        counter("OutputMode", [](Outputs&) { return Brivant_OutputMode(kId, 0, 0, 1); }),
        counter("SelClearEvent", [](Outputs&) { return Brivant_SelClearEvent(kId, 2, 2); }),
        counter("SelMultiplier", [](Outputs&) { return Brivant_SelMultiplier(kId, 1, 2); }),
        counter("SetLimitter", [](Outputs&) { return Brivant_SetLimitter(kId, 0, 1, 1); }),
        counter("ForcedClear", [](Outputs&) { return Brivant_ForcedClear(kId, 2); }),
        counter("RunStop", [](Outputs&) { return Brivant_RunStop(kId, 1, 1); }),
        counter("WritePresetData", [](Outputs&) { return Brivant_WritePresetData(kId, 1, preset); }),
        counter("ReadCount", [](Outputs& out) { return Brivant_ReadCount(kId, out.counts, out.status); }),
        counter("ReadCountCh", [](Outputs& out) { return Brivant_ReadCountCh(kId, 1, &out.count, &out.one); }),
    };
}

class FaultSweepTest : public SimTest {
protected:
    int invariantChecks = 0;

    // EXPECT_TRUE that also counts the invariants checked.
    void check(bool holds, const std::string& what) {
        ++invariantChecks;
        EXPECT_TRUE(holds) << what;
    }

    void prepare(const Operation& op) {
        closeAll();
        sim::reset();
        op.setUp();
        sim::clearCalls();
    }
};

TEST_F(FaultSweepTest, EveryFailingPlatformCallLeavesAConsistentRecoverableState) {
    int faultsInjected = 0;
    int statesChecked = 0;
    int operationsSwept = 0;
    for (const Operation& op : operations()) {
        SCOPED_TRACE(op.name);
        // A clean run gives the expected result and outputs, and the number
        // of failable calls the operation makes.
        prepare(op);
        const std::vector<int16_t> slotsBefore = openSlots();
        Outputs clean;
        clean.fill();
        const int16_t cleanResult = op.run(clean);
        const std::size_t callsMade = failableCalls().size();
        ++operationsSwept;
        if (op.kind == Operation::Kind::Counter) {
            EXPECT_EQ(callsMade, 2u) << "one write, one read";
        } else if (op.kind == Operation::Kind::Open) {
            EXPECT_GE(callsMade, 18u) << "counting, the ID queries, the open for good";
        }

        for (std::size_t n = 1; n <= callsMade; ++n) {
            SCOPED_TRACE("failing call " + std::to_string(n) + " of " + std::to_string(callsMade));
            prepare(op);
            sim::Faults faults;
            faults.failCall = n;
            sim::setFaults(faults);
            Outputs out;
            out.fill();
            const int16_t rc = op.run(out);
            const std::vector<sim::Call> made = failableCalls();
            sim::setFaults({});
            ++faultsInjected;
            ++statesChecked;

            check(made.size() >= n && !made[n - 1].ok, "the fault was injected");
            check(std::count(op.allowed.begin(), op.allowed.end(), rc) == 1,
                  "result " + std::to_string(rc) + " is one the function may return");
            if (op.kind == Operation::Kind::Counter) {
                check(rc == RC_COMM_FAILED, "a failed transfer gives 9");
            }

            // The slots: only the addressed one may change, and only as the
            // result says.
            std::vector<int16_t> expected = slotsBefore;
            if (op.kind == Operation::Kind::Open && rc == RC_OK) {
                expected.push_back(kId);
                std::sort(expected.begin(), expected.end());
            }
            if (op.kind == Operation::Kind::Close) {
                expected.erase(std::remove(expected.begin(), expected.end(), kId), expected.end());
            }
            const std::vector<int16_t> slotsAfter = openSlots();
            check(slotsAfter == expected, "open slots as the result says");

            // Balanced: each open slot holds one file, one USB handle and one
            // mutex, and nothing else is held.
            const int k = static_cast<int>(slotsAfter.size());
            check(sim::held() == (sim::Held{0, 0, k, k, k}), "nothing leaked");
            check(sim::badReleases() == 0, "nothing released twice");
            check(sim::interleavedExchanges() == 0, "no exchange interleaved");

            Outputs untouched;
            untouched.fill();
            check(out == (rc == RC_OK ? clean : untouched),
                  "outputs written only on success, and then as without the fault");

            // Fully open means usable; fully closed means refused.
            const bool idOpen = std::count(slotsAfter.begin(), slotsAfter.end(), kId) == 1;
            check(Brivant_ForcedClear(kId, 0) == (idOpen ? RC_OK : RC_NOT_OPEN),
                  "the slot is fully open or fully closed");

            // And the same call on a healthy platform works again.
            if (op.kind == Operation::Kind::Open && idOpen) {
                Brivant_Device_Close(kId);
            }
            if (op.kind == Operation::Kind::Close) {
                check(Brivant_Device_Open(kId) == RC_OK, "the closed unit opens again");
            }
            Outputs again;
            again.fill();
            check(op.run(again) == cleanResult && again == clean, "the next healthy call succeeds");
        }
    }
    EXPECT_EQ(operationsSwept, 16);
    std::printf("sweep: %d operations, %d faults injected, %d states checked, %d invariant checks\n",
                operationsSwept, faultsInjected, statesChecked, invariantChecks);
}

// A whole session: two units opened, used, closed and reopened. Each
// failable call of the session fails in turn, and the state is checked after
// every step, so a fault early in the session is also seen to leave the later
// steps' results as the slots' states say.
struct Step {
    enum class Kind { Open, Close, Counter } kind;
    int16_t id;
    std::function<int16_t(Outputs&)> run;
};

std::vector<Step> session() {
    auto open = [](int16_t id) { return Step{Step::Kind::Open, id, [id](Outputs&) { return Brivant_Device_Open(id); }}; };
    auto close = [](int16_t id) {
        return Step{Step::Kind::Close, id, [id](Outputs&) { Brivant_Device_Close(id); return int16_t{RC_OK}; }};
    };
    auto counter = [](int16_t id, std::function<int16_t(Outputs&)> run) {
        return Step{Step::Kind::Counter, id, std::move(run)};
    };
    static const uint32_t preset[2] = {7, 8};
    return {
        open(4),
        counter(4, [](Outputs& o) { return Brivant_ReadCount(4, o.counts, o.status); }),
        open(9),
        counter(9, [](Outputs&) { return Brivant_WritePresetData(9, 2, preset); }),
        counter(4, [](Outputs&) { return Brivant_SelMultiplier(4, 0, 2); }),
        close(4),
        counter(9, [](Outputs& o) { return Brivant_ReadCountCh(9, 2, &o.count, &o.one); }),
        open(4),
        counter(4, [](Outputs& o) { return Brivant_ReadCountCh(4, 1, &o.count, &o.one); }),
        close(9),
        counter(9, [](Outputs&) { return Brivant_RunStop(9, 0, 1); }),
        open(9),
        counter(9, [](Outputs&) { return Brivant_ForcedClear(9, 1); }),
    };
}

TEST_F(FaultSweepTest, EveryFailingCallOfASessionLeavesEachLaterStepAsTheSlotsSay) {
    auto setUp = [] {
        sim::addUnit(unitWithId(9, {0, 0, 0, 9, 0, 0, 0, 9, 0, 0, 0, 9, 9, 9, 9}));
        sim::addUnit(unitWithId(4, kCounts));
    };
    // The clean session: every step's result and outputs, and its length.
    closeAll();
    sim::reset();
    setUp();
    std::vector<Outputs> cleanOutputs;
    std::size_t sessionCalls = 0;
    for (const Step& step : session()) {
        sim::clearCalls();
        Outputs out;
        out.fill();
        const int16_t rc = step.run(out);
        EXPECT_EQ(rc, step.kind == Step::Kind::Counter && step.id == 9 && cleanOutputs.size() == 10
                          ? RC_NOT_OPEN // the call after closing 9
                          : RC_OK);
        cleanOutputs.push_back(out);
        sessionCalls += failableCalls().size();
    }
    ASSERT_GT(sessionCalls, 40u);

    int faultsInjected = 0;
    int statesChecked = 0;
    for (std::size_t n = 1; n <= sessionCalls; ++n) {
        SCOPED_TRACE("failing call " + std::to_string(n) + " of " + std::to_string(sessionCalls));
        closeAll();
        sim::reset();
        setUp();
        sim::Faults faults;
        faults.failCall = n;
        sim::setFaults(faults);
        ++faultsInjected;
        std::array<bool, 16> open{};
        std::size_t callsSoFar = 0;
        const std::vector<Step> steps = session();
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const Step& step = steps[i];
            SCOPED_TRACE("step " + std::to_string(i + 1));
            sim::clearCalls();
            Outputs out;
            out.fill();
            const int16_t rc = step.run(out);
            const std::size_t made = failableCalls().size();
            const bool hit = callsSoFar < n && n <= callsSoFar + made;
            callsSoFar += made;
            ++statesChecked;

            if (step.kind == Step::Kind::Open) {
                if (open[step.id]) {
                    check(rc == RC_ALREADY_OPEN, "an open slot gives 3");
                } else if (hit) {
                    check(rc == RC_OK || rc == RC_OPEN_FAILED || rc == RC_ID_NOT_FOUND,
                          "a fault during open gives 0, 5 or 6, got " + std::to_string(rc));
                } else {
                    check(rc == RC_OK, "open without a fault succeeds");
                }
                open[step.id] = open[step.id] || rc == RC_OK;
            } else if (step.kind == Step::Kind::Close) {
                open[step.id] = false;
            } else {
                const int16_t want = !open[step.id] ? RC_NOT_OPEN : hit ? RC_COMM_FAILED : RC_OK;
                check(rc == want, "counter call gave " + std::to_string(rc) + ", wanted " + std::to_string(want));
            }
            Outputs untouched;
            untouched.fill();
            check(out == (rc == RC_OK ? cleanOutputs[i] : untouched), "outputs only on success");

            std::vector<int16_t> expected;
            for (int16_t id = 0; id < 16; ++id) {
                if (open[id]) {
                    expected.push_back(id);
                }
            }
            check(openSlots() == expected, "slots fully open or fully closed as the results say");
            const int k = static_cast<int>(expected.size());
            check(sim::held() == (sim::Held{0, 0, k, k, k}), "nothing leaked");
            check(sim::badReleases() == 0 && sim::interleavedExchanges() == 0,
                  "nothing released twice, no exchange interleaved");
        }
        check(callsSoFar >= n, "the fault was reached");
        sim::setFaults({});
        // Afterwards both units work again on a healthy platform.
        for (int16_t id : {int16_t{4}, int16_t{9}}) {
            int16_t rc = Brivant_Device_Open(id);
            check(rc == RC_OK || (open[id] && rc == RC_ALREADY_OPEN), "the unit opens again");
            check(Brivant_ForcedClear(id, 0) == RC_OK, "and takes a call");
        }
    }
    std::printf("sweep: a %zu-step session, %d faults injected, %d states checked\n", session().size(),
                faultsInjected, statesChecked);
}

// Close makes only release calls, none of which can report a failure the
// library could act on: the sweep above injects nothing into it. It is
// checked here that it truly makes no failable call, so that it stays so.
TEST_F(FaultSweepTest, CloseMakesNoCallThatCanFail) {
    unitsAroundTheOneWanted();
    ASSERT_EQ(Brivant_Device_Open(kId), RC_OK);
    sim::clearCalls();
    Brivant_Device_Close(kId);
    EXPECT_EQ(sim::calls().size(), 3u);
    EXPECT_TRUE(failableCalls().empty());
}

} // namespace
} // namespace brivant::test
