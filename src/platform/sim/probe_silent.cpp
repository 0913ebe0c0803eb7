// The probe of the shipped library: nothing is recorded, tallied or made to
// fail, and the clock is the steady clock, so a call costs no memory.
#include "platform/sim/probe.h"

namespace brivant::sim::probe {

void note(Op, int, std::uint32_t, bool) {}
void noteTransfer(Op, int, const std::uint8_t*, std::size_t, std::uint32_t, bool) {}

bool fails(Op, int) { return false; }

Sizing sizing() { return Sizing::Normal; }
std::uint32_t reportedSize(std::uint32_t needed) { return needed; }
bool pathCopyFails() { return false; }

void acquired(Resource, const void*) {}
bool holds(Resource, const void*) { return true; }
void released(Resource, const void*) {}
void badRelease() {}

void interleaved() {}

SimClock::time_point now() { return SimClock::now(); }

void delayRead(int, std::unique_lock<std::mutex>&) {}

std::size_t deliverable(int, std::size_t count) { return count; }

} // namespace brivant::sim::probe
