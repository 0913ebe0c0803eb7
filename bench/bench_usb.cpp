// Every counter function in the shipped library over its libusb backend,
// against the real libusb and units emulated under umockdev, beside the
// emulation's own cost: the same write and read done straight with libusb
// on a second, identical emulated unit, with no library around them. The
// two alternate within each iteration (and which goes first alternates too),
// so that both meet the same load on the machine; their difference is what
// the library and its backend add to an exchange over libusb, with its
// standard error. The emulated exchange
// itself (usbfs requests carried over a socket to a handler thread, with
// libusb polling the emulated node) is far slower than the library, and its
// spread is far wider than the library's cost: the backend's own cost is
// measured apart, over a libusb that answers at once (bench_usb_own.cpp).
#include <benchmark/benchmark.h>

#include <libusb.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>

#include "counter_calls.h"
#include "emulated_bus.h"

namespace brivant::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int16_t kLibraryUnit = 0;
constexpr std::uint16_t kPlainProduct = 0x0002; // the unit libusb drives alone

// Made before the library's first open starts libusb, and destroyed as the
// process ends, which removes umockdev's temporary tree.
struct EmulatedUnits {
    EmulatedUnits() {
        bus.plug(test::usb::unitWithId(kLibraryUnit));
        test::usb::DeviceSetup plain = test::usb::unitWithId(1);
        plain.product = kPlainProduct;
        bus.plug(plain);
    }
    test::usb::EmulatedBus bus;
};

void emulatedUnits() {
    // Once, before the library's first open starts libusb.
    static const bool chosen = setenv("BRIVANT_BACKEND", "usb", 1) == 0;
    static EmulatedUnits units;
    (void)chosen;
}

// libusb's own write and read on the second unit.
class PlainUnit {
public:
    PlainUnit() {
        if (libusb_init(&context_) != LIBUSB_SUCCESS) {
            context_ = nullptr;
            return;
        }
        handle_ = libusb_open_device_with_vid_pid(context_, 0x1234, kPlainProduct);
        if (handle_ != nullptr && libusb_claim_interface(handle_, 0) != LIBUSB_SUCCESS) {
            libusb_close(handle_);
            handle_ = nullptr;
        }
    }
    ~PlainUnit() {
        if (handle_ != nullptr) {
            libusb_release_interface(handle_, 0);
            libusb_close(handle_);
        }
        if (context_ != nullptr) {
            libusb_exit(context_);
        }
    }
    PlainUnit(const PlainUnit&) = delete;
    PlainUnit& operator=(const PlainUnit&) = delete;

    bool ready() const { return handle_ != nullptr; }

    bool exchange(bool countReply) {
        std::uint8_t ackFrame[] = {0x02, 'H', '2', 0x03};
        std::uint8_t countFrame[] = {0x02, 'J', 0x03};
        std::uint8_t reply[20];
        int done = 0;
        bool ok = countReply ? libusb_bulk_transfer(handle_, 0x01, countFrame,
                                                    sizeof countFrame, &done, 0) == 0
                             : libusb_bulk_transfer(handle_, 0x01, ackFrame, sizeof ackFrame,
                                                    &done, 0) == 0;
        ok = libusb_bulk_transfer(handle_, 0x82, reply, countReply ? 15 : 1, &done, 0) == 0 &&
             ok;
        benchmark::DoNotOptimize(reply);
        return ok;
    }

private:
    libusb_context* context_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
};

void usbCall(benchmark::State& state, const CounterCall& fn) {
    emulatedUnits();
    PlainUnit plain;
    if (!plain.ready() || Brivant_Device_Open(kLibraryUnit) != RC_OK) {
        state.SkipWithError("the emulated units do not open");
        Brivant_Device_Close(kLibraryUnit);
        return;
    }
    std::int64_t failed = 0;
    double callSum = 0;
    double pairSum = 0;
    double differenceSquares = 0;
    std::int64_t count = 0;
    auto timed = [](auto&& body) {
        auto start = Clock::now();
        body();
        return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    };
    auto libraryCall = [&] { failed += fn.call(kLibraryUnit) != RC_OK; };
    auto plainPair = [&] { failed += !plain.exchange(fn.readsCounts); };
    for (auto _ : state) {
        // Which goes first alternates, so that neither always meets the
        // emulation fresh from the other.
        double call = 0;
        double pair = 0;
        if (count % 2 == 0) {
            call = timed(libraryCall);
            pair = timed(plainPair);
        } else {
            pair = timed(plainPair);
            call = timed(libraryCall);
        }
        state.SetIterationTime(call * 1e-9);
        callSum += call;
        pairSum += pair;
        differenceSquares += (call - pair) * (call - pair);
        ++count;
    }
    Brivant_Device_Close(kLibraryUnit);
    double n = static_cast<double>(count);
    double difference = (callSum - pairSum) / n;
    double variance = differenceSquares / n - difference * difference;
    state.counters["failed"] = static_cast<double>(failed);
    state.counters["call_ns"] = callSum / n;
    state.counters["emulation_ns"] = pairSum / n;
    state.counters["library_ns"] = difference;
    state.counters["library_se_ns"] = n > 1 ? std::sqrt(std::max(variance, 0.0) / (n - 1)) : 0;
}

[[maybe_unused]] const bool registered = [] {
    for (const CounterCall& fn : kCounterCalls) {
        benchmark::RegisterBenchmark((std::string("usb/call/") + fn.name).c_str(), usbCall, fn)
            ->UseManualTime()
            ->MinTime(2.0);
    }
    return true;
}();

} // namespace
} // namespace brivant::bench
