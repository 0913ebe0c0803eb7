// What the libusb backend's tests share: the process's one emulated bus
// (libusb starts once per process and stays tied to it), and a fixture that
// starts each test with every slot closed, no device plugged in and
// BRIVANT_USB_IDS unset, and checks afterwards that no device was sent a
// request the library never makes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

#include "brivant.h"
#include "emulated_bus.h"

namespace brivant::test::usb {

EmulatedBus& bus(); // set up before the first test (usb_test_main.cpp)

inline void closeAll() {
    for (int16_t id = 0; id < 16; ++id) {
        Brivant_Device_Close(id);
    }
}

class UsbTest : public ::testing::Test {
protected:
    void SetUp() override {
        closeAll();
        bus().clear();
        unsetenv("BRIVANT_USB_IDS");
    }
    void TearDown() override {
        closeAll();
        for (int device = 0; device < plugged_; ++device) {
            EXPECT_EQ(bus().traffic(device).unexpected, std::vector<std::string>{})
                << "device " << device;
        }
        bus().clear();
        unsetenv("BRIVANT_USB_IDS");
    }
    int plug(const DeviceSetup& setup) {
        int device = bus().plug(setup);
        plugged_ = device + 1;
        return device;
    }

private:
    int plugged_ = 0;
};

} // namespace brivant::test::usb
