// Control of the simulated platform that stands in for Windows on other
// systems: the simulated units and what goes wrong with them, a record of
// every platform call, a tally of every resource held, and switches for every
// fault the library must survive.
//
// Tests, the fuzzer and the benchmarks include this header and link the
// instrumented library (brivant_static); the shared library shipped to users
// has none of it (its probe keeps nothing: see probe.h). All functions are
// thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/ops.h"
#include "platform/sim/probe.h"
#include "platform/sim/unit_model.h"

namespace brivant::sim {

const char* opName(Op op);

// One platform call as the library made it.
struct Call {
    Op op;
    int unit = -1;             // which simulated unit, -1 when none is involved
    std::uint8_t pipe = 0;     // WritePipe and ReadPipe
    std::vector<std::uint8_t> bytes; // bytes written, or bytes the read delivered
    std::uint32_t length = 0;  // bytes asked to write or read; size asked of LocalAlloc
    bool ok = true;            // what the call returned
};

// What a test makes go wrong with one unit, or go slowly.
struct UnitFaults {
    bool createFileFails = false;
    bool writeFails = false;
    bool readFails = false;
    std::optional<std::uint32_t> deliverAtMost; // a short read: at most this many bytes
    std::chrono::microseconds readDelay{0};     // a read takes this long
};

// A simulated counter unit and the interface it is found by: how it answers
// (idReply, countReply, ackReply, live: see unit_model.h), what goes wrong
// with it, and its place on the bus.
struct Unit : UnitAnswers, UnitFaults {
    std::u16string path;       // device path; empty gives a usual-looking one
    bool present = true;       // listed by the enumeration; false also fails its transfers
};

// Faults of the platform services rather than of one unit.
struct Faults {
    using Sizing = probe::Sizing;
    bool invalidClassSet = false;   // SetupDiGetClassDevsW gives the invalid-handle value
    bool enumFails = false;         // SetupDiEnumDeviceInterfaces fails at every index
    Sizing sizing = Sizing::Normal; // the detail call without a buffer
    std::optional<std::uint32_t> requiredSize; // the size the sizing call reports
    bool detailFails = false;       // the detail call with a buffer fails
    bool localAllocFails = false;
    bool createMutexFails = false;
    int usbInitializeFailsOnCall = 0; // the Nth WinUsb_Initialize from now fails (1-based)
    std::uint64_t failCall = 0;       // the Nth failable platform call from now fails (1-based)
};

// Resources acquired and not yet released.
struct Held {
    int sets = 0;
    int blocks = 0;
    int files = 0;
    int usbHandles = 0;
    int mutexes = 0;
    bool operator==(const Held& other) const {
        return sets == other.sets && blocks == other.blocks && files == other.files &&
               usbHandles == other.usbHandles && mutexes == other.mutexes;
    }
};

// Live units count by the steady clock. A test can hold that clock still
// and move it by hand; reset() lets it run again.
void holdClock();
void advanceClock(std::chrono::microseconds step);

// Empties everything: no units, no faults, no record. Recording stays on or
// off as it was. Handles still held by the library stay valid so that it can
// release them.
void reset();

// Adds a unit at the end of the enumeration order; returns its number.
int addUnit(Unit unit = {});
Unit getUnit(int number);
void setUnit(int number, const Unit& unit);
int unitCount();
std::u16string pathOf(int number); // the path the enumeration reports

// The order in which present units are enumerated, by unit number: a unit
// replugged may come back at another position. Units not listed follow in
// number order; an empty list (the default) is number order.
void setEnumerationOrder(std::vector<int> numbers);

void setFaults(const Faults& faults);
Faults getFaults();

std::vector<Call> calls();
std::vector<Call> transfers(); // the WritePipe and ReadPipe calls only
void clearCalls();             // forgets the record and zeroes callCount
void setRecording(bool on);    // off, as it starts: calls are counted but not kept
std::uint64_t callCount();     // platform calls since the last clear, kept or not

Held held();
int badReleases();            // releases of a handle or block that was not held
int interleavedExchanges();   // a write while the unit's reply was still unread
int maxReadsInFlight();       // the most reads waiting at one moment, across units

} // namespace brivant::sim
