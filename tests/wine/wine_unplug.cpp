// Units pulled out while open and plugged back in: calls on a vanished unit
// give 9 and leave their outputs alone, close releases it, and open finds it
// again when it is back, wherever the units around it moved it in the
// enumeration. "Pulled out" hides the interface from the enumeration and
// makes the winusb.dll double fail the unit's calls.
#include <algorithm>
#include <cstring>
#include <thread>

#include "groups.h"
#include "harness.h"

namespace suite {

namespace {

// The count of channel 0 read from `id`: markedUnit(id) answers with id.
int32_t channel0Of(int16_t id) {
    int32_t count = -1;
    uint8_t status = 0;
    return lib.readCountCh(id, 0, &count, &status) == RC_OK ? count : -1;
}

// True when every WinUSB call since the last reset went to one of `units`.
bool onlyTouched(std::initializer_list<int> units) {
    for (const double_usb::Call& call : usb.calls()) {
        if (std::find(units.begin(), units.end(), call.unit) == units.end()) {
            return false;
        }
    }
    return true;
}

// Units 0..ids.size()-1 present, each answering with its own marked counts.
void markedScenario(const std::vector<int>& ids) {
    scenario(ids);
    for (size_t unit = 0; unit < ids.size(); ++unit) {
        configure(static_cast<int>(unit), markedUnit(ids[unit]));
    }
}

} // namespace

void unpluggedUnitFailsUntilBack() {
    currentGroup = "unplug";
    markedScenario({3, 7});
    check(lib.open(3) == RC_OK && lib.open(7) == RC_OK, "open(3) on unit00 and open(7) on unit01");
    plug(0, false);
    usb.reset();

    const std::uint32_t preset[2] = {1, 2};
    int32_t counts[3] = {11, 12, 13};
    uint8_t status[3] = {21, 22, 23};
    int32_t count = 31;
    uint8_t one = 41;
    const int16_t results[] = {
        lib.inputInverter(3, 0, 0, 0, 0), lib.outputInverter(3, 0, 0, 0),
        lib.outputMode(3, 0, 0, 0),       lib.selClearEvent(3, 0, 0),
        lib.selMultiplier(3, 0, 0),       lib.setLimitter(3, 0, 0, 0),
        lib.forcedClear(3, 0),            lib.runStop(3, 0, 0),
        lib.writePresetData(3, 0, preset), lib.readCount(3, counts, status),
        lib.readCountCh(3, 2, &count, &one)};
    std::string seen;
    for (int16_t rc : results) {
        seen += " " + std::to_string(rc);
    }
    check(std::all_of(std::begin(results), std::end(results),
                      [](int16_t rc) { return rc == RC_COMM_FAILED; }),
          "every counter function on the vanished unit gives 9 (" + seen + " )");
    check(counts[0] == 11 && counts[1] == 12 && counts[2] == 13 && status[0] == 21 &&
              status[1] == 22 && status[2] == 23 && count == 31 && one == 41,
          "the failed reads leave their outputs untouched");
    check(onlyTouched({0}), "the calls went to the vanished unit only");
    check(channel0Of(7) == 7, "the unit still plugged in answers as before");

    check(lib.open(3) == RC_ALREADY_OPEN, "gone, but its id is still open: open gives 3");
    usb.reset();
    lib.close(3);
    std::vector<double_usb::Call> calls = usb.calls();
    check(calls.size() == 1 && calls[0].op == double_usb::OpFree && calls[0].unit == 0 &&
              calls[0].ok,
          "close frees the vanished unit's WinUSB handle");
    check(usb.state().handlesHeld == 1 && fileReleased(0) && !fileReleased(1),
          "close releases the vanished unit's handles; unit 7's stay");
    check(lib.readCount(3, counts, status) == RC_NOT_OPEN, "after close the id gives 7");
    usb.reset();
    check(lib.open(3) == RC_ID_NOT_FOUND, "while it is gone open gives 6");
    check(onlyTouched({}), "the hidden unit is not asked; the open one is skipped");

    plug(0, true);
    check(lib.open(3) == RC_OK, "plugged back in, open(3) finds it again");
    check(channel0Of(3) == 3 && channel0Of(7) == 7, "each id reads its own unit");
    check(usb.state().badFrees == 0, "no WinUSB handle was freed twice");
}

// Three units open with IDs 3, 7 and 1 in every order; one is pulled out,
// closed and plugged back in. Meanwhile a fourth unit ahead of them in the
// enumeration (unit00, never opened) comes or goes, so the replugged unit
// comes back at another position.
void replugAnywhereIsFoundAgain() {
    currentGroup = "replug";
    std::vector<int> ids = {1, 3, 7};
    do {
        for (int gone = 0; gone < 3; ++gone) {
            for (bool strangerFirst : {true, false}) {
                const int goneUnit = gone + 1;
                const auto goneId = static_cast<int16_t>(ids[static_cast<size_t>(gone)]);
                const std::string name = "ids " + std::to_string(ids[0]) + "," +
                                         std::to_string(ids[1]) + "," + std::to_string(ids[2]) +
                                         " on unit01..03, unit0" + std::to_string(goneUnit) +
                                         " replugged with unit00 " +
                                         (strangerFirst ? "gone" : "arrived") + " meanwhile";
                markedScenario({12, ids[0], ids[1], ids[2]});
                plug(0, strangerFirst);
                std::string problems;
                for (int id : ids) {
                    if (lib.open(static_cast<int16_t>(id)) != RC_OK) {
                        problems += "; open(" + std::to_string(id) + ") failed";
                    }
                }
                plug(goneUnit, false);
                if (lib.forcedClear(goneId, 0) != RC_COMM_FAILED) {
                    problems += "; the vanished unit did not give 9";
                }
                lib.close(goneId);
                plug(0, !strangerFirst);
                plug(goneUnit, true);
                usb.reset();
                int16_t rc = lib.open(goneId);
                if (rc != RC_OK) {
                    problems += "; open again gave " + std::to_string(rc);
                }
                if (!onlyTouched({0, goneUnit})) {
                    problems += "; a unit held open was opened a second time";
                }
                for (int id : ids) {
                    int32_t read = channel0Of(static_cast<int16_t>(id));
                    if (read != id) {
                        problems += "; id " + std::to_string(id) + " read " + std::to_string(read);
                    }
                }
                if (usb.state().handlesHeld != 3 || usb.state().badFrees != 0) {
                    problems += "; " + std::to_string(usb.state().handlesHeld) +
                                " handles held, " + std::to_string(usb.state().badFrees) +
                                " bad frees";
                }
                check(problems.empty(), name + problems);
            }
        }
    } while (std::next_permutation(ids.begin(), ids.end()));
}

void unplugWhileInUse() {
    currentGroup = "unplug in use";
    // A read waiting for its reply when the unit goes.
    markedScenario({4});
    double_usb::Unit slow = markedUnit(4);
    slow.readDelayMs = 300; // room for the unplug below
    configure(0, slow);
    check(lib.open(4) == RC_OK, "open(4)");
    int16_t result = -1;
    int32_t counts[3] = {5, 5, 5};
    uint8_t status[3] = {6, 6, 6};
    std::thread reader([&] { result = lib.readCount(4, counts, status); });
    bool waiting = waitForReadInFlight(0);
    plug(0, false);
    reader.join();
    check(waiting, "the read is in flight before the unit goes");
    check(result == RC_COMM_FAILED, "the read in flight gives 9, got " + std::to_string(result));
    check(counts[0] == 5 && counts[2] == 5 && status[0] == 6 && status[2] == 6,
          "and leaves its outputs untouched");
    lib.close(4);
    check(usb.state().handlesHeld == 0 && fileReleased(0), "close releases the unit");
    configure(0, markedUnit(4));
    plug(0, true);
    check(lib.open(4) == RC_OK && channel0Of(4) == 4, "back again, it opens and reads its count");
    check(usb.state().interleavings == 0, "the lost reply does not interleave the next exchange");

    // A unit ahead in the enumeration goes while open() waits for another's
    // ID: the unit opened must still be the one that answered.
    markedScenario({5, 3, 7});
    check(lib.open(7) == RC_OK, "open(7) on unit02");
    slow = markedUnit(3);
    slow.readDelayMs = 300;
    configure(1, slow);
    std::thread opener([&result] { result = lib.open(3); });
    waiting = waitForReadInFlight(1);
    plug(0, false); // unit01 moves to the first position, unit02 to the second
    opener.join();
    configure(1, markedUnit(3));
    check(waiting, "unit01's answer to K is on its way when unit00 goes");
    check(result == RC_OK, "open(3) gives 0, got " + std::to_string(result));
    check(channel0Of(3) == 3 && channel0Of(7) == 7, "id 3 talks to the unit that answered 3");
    check(usb.state().handlesHeld == 2 && fileReleased(0), "only the two open units are held");
}

} // namespace suite
