// The libusb backend's tests run with one emulated bus for the whole
// process, made before the library's first call starts libusb, and removed
// (with umockdev's temporary tree) after the last test.
#include <gtest/gtest.h>

#include "usb_support.h"

namespace brivant::test::usb {

namespace {

EmulatedBus* theBus = nullptr;

class BusEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("BRIVANT_BACKEND", "usb", 1);
        theBus = new EmulatedBus;
    }
    void TearDown() override {
        closeAll();
        delete theBus;
        theBus = nullptr;
    }
};

} // namespace

EmulatedBus& bus() { return *theBus; }

} // namespace brivant::test::usb

// GLib and umockdev hand work between their threads through futexes that
// ThreadSanitizer cannot see, so it takes their hand-overs for races. Only
// reports with a frame in those libraries are set aside: the library under
// test and the preload library are not matched, and of libusb only this:
// a synchronous transfer learns that it completed through a plain flag that
// the thread handling events sets, so when several threads transfer at once
// ThreadSanitizer sees libusb_free_transfer destroy the transfer's mutex with
// no order against that thread's last use of it, which came before the flag.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
    return "race:libglib-2.0.so\n"
           "race:libgobject-2.0.so\n"
           "race:libumockdev.so\n"
           "race:libusb_free_transfer\n";
}
#endif

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new brivant::test::usb::BusEnvironment);
    return RUN_ALL_TESTS();
}
