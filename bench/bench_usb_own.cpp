// The library's own cost per counter call over its libusb backend: the same
// calls as over the null platform, now through the backend table and the
// libusb backend, over a libusb that answers at once (fake_libusb.cpp). The
// difference from the null platform's figure is what the backend adds.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "counter_calls.h"

namespace brivant::bench {
namespace {

[[maybe_unused]] const bool registered = [] {
    // Before the first open chooses: the USB backend, and the stand-in
    // device taken as a unit by its IDs.
    setenv("BRIVANT_BACKEND", "usb", 1);
    setenv("BRIVANT_USB_IDS", "1234:0001", 1);
    for (const CounterCall& fn : kCounterCalls) {
        benchmark::RegisterBenchmark((std::string("usb_own/") + fn.name).c_str(), ownCostPerCall,
                                     fn);
    }
    return true;
}();

} // namespace
} // namespace brivant::bench
