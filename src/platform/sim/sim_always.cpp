// The tests' library is bound to the simulated platform from the start,
// whatever BRIVANT_BACKEND says: the suite, the fuzzer and the benchmarks
// drive the simulation through sim.h.
#include "platform/backend.h"

namespace brivant::platform {

std::atomic<const Backend*> activeBackend{&sim::kBackend};

const Backend& chooseBackend() { return sim::kBackend; }

} // namespace brivant::platform
