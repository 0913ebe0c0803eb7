// Where the simulated platform meets the test instrumentation.
//
// The platform calls these at each operation, with the bus lock held: to note
// the call, to ask whether a fault makes it fail, to tally what it hands out
// and takes back, for the time, and for how a read is delayed or cut short.
// The implementation is chosen at link time, as the platform layer itself
// is: probe_silent.cpp, in the shipped library, keeps nothing and fails
// nothing; probe_instrumented.cpp, in the library that the tests, the fuzzer
// and the benchmarks link, keeps the call record, the fault switches, the
// held tally and the clock that sim.h controls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/sim/ops.h"
#include "platform/sim/unit_model.h"

namespace brivant::sim::probe {

enum class Resource { Set, Block, File, UsbHandle, Mutex };

// How the interface detail call without a buffer answers.
enum class Sizing { Normal, Succeeds, OtherError };

// A platform call as it returns. `unit` is the unit involved, or -1;
// `length` is the byte count or size asked. A transfer also gives the bytes
// written, or the `count` bytes the read delivered.
void note(Op op, int unit, std::uint32_t length, bool ok);
void noteTransfer(Op op, int unit, const std::uint8_t* bytes, std::size_t count,
                  std::uint32_t length, bool ok);

// Asked once by every call that can fail, before it acts: true when a fault
// makes this one fail.
bool fails(Op op, int unit);

// The interface detail lookup: how the call without a buffer answers, the
// size it reports (`needed` is the true one), and whether the call with a
// large enough buffer fails.
Sizing sizing();
std::uint32_t reportedSize(std::uint32_t needed);
bool pathCopyFails();

// What the platform hands out and takes back. The platform asks holds()
// before it looks behind a handle it is given: the silent probe trusts the
// library, as Windows must; the instrumented one knows what is still held,
// so that a release of anything else is counted (badRelease) instead of
// followed.
void acquired(Resource kind, const void* object);
bool holds(Resource kind, const void* object);
void released(Resource kind, const void* object);
void badRelease();

// A write while the unit's reply was still unread, or a read with no
// request of its own.
void interleaved();

// The time a live unit counts by.
SimClock::time_point now();

// Called as a read starts: may make it wait for its unit, with the bus lock
// released meanwhile so that other units' calls go on.
void delayRead(int unit, std::unique_lock<std::mutex>& busLock);

// How many of the `count` reply bytes the read delivers.
std::size_t deliverable(int unit, std::size_t count);

} // namespace brivant::sim::probe
