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

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new brivant::test::usb::BusEnvironment);
    return RUN_ALL_TESTS();
}
