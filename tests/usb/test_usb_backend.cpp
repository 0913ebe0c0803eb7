// The shipped library's libusb backend against the real libusb and emulated
// units: which devices are taken as units, the 13 functions over usbfs, a
// unit claimed by another process, unplug and replug, sixteen units.
#include <array>
#include <thread>
#include <vector>

#include "usb_support.h"

namespace brivant::test::usb {
namespace {

using Bytes = std::vector<std::uint8_t>;

int32_t channel0Of(int16_t id) {
    int32_t count = -1;
    uint8_t status = 0;
    EXPECT_EQ(Brivant_ReadCountCh(id, 0, &count, &status), RC_OK) << "unit " << id;
    return count;
}

bool untouched(const Traffic& traffic) {
    return traffic.claims == 0 && traffic.frames.empty() && traffic.bulkReads == 0;
}

class UsbBackendTest : public UsbTest {};

TEST_F(UsbBackendTest, UnitsAreFoundByTheirGuidOrListedIdAndOtherDevicesAreNeverClaimed) {
    int msOs20 = plug(unitWithId(3, Sign::MsOs20));
    int msOs10 = plug(unitWithId(4, Sign::MsOs10));
    DeviceSetup listed = unitWithId(5, Sign::None);
    listed.product = 0x00a5;
    int byId = plug(listed);
    int plain = plug(unitWithId(6, Sign::None));
    DeviceSetup otherGuid20 = unitWithId(7, Sign::MsOs20);
    otherGuid20.guid = "{00000000-94CC-4866-A4BD-464E49DFC5E4}";
    int other20 = plug(otherGuid20);
    DeviceSetup otherGuid10 = unitWithId(8, Sign::MsOs10);
    otherGuid10.guid = "{85B54C78-94CC-4866-A4BD-464E49DFC5E5}";
    int other10 = plug(otherGuid10);
    DeviceSetup noEndpoints = unitWithId(9, Sign::MsOs20);
    noEndpoints.unitEndpoints = false;
    int wrongEndpoints = plug(noEndpoints);
    setenv("BRIVANT_USB_IDS", "1234:00A5, not-an-id", 1);

    EXPECT_EQ(Brivant_Device_Open(3), RC_OK) << "MS OS 2.0";
    EXPECT_EQ(Brivant_Device_Open(4), RC_OK) << "MS OS 1.0";
    EXPECT_EQ(Brivant_Device_Open(5), RC_OK) << "BRIVANT_USB_IDS";
    for (int16_t id = 6; id <= 9; ++id) {
        EXPECT_EQ(Brivant_Device_Open(id), RC_ID_NOT_FOUND) << "unit " << id;
    }
    EXPECT_EQ(channel0Of(3), 3);
    EXPECT_EQ(channel0Of(4), 4);
    EXPECT_EQ(channel0Of(5), 5);
    for (int device : {plain, other20, other10, wrongEndpoints}) {
        EXPECT_TRUE(untouched(bus().traffic(device))) << "device " << device;
    }

    // Asked the way Windows asks, once while plugged in: the BOS and its set,
    // or the 0xEE string and the extended properties; a device not asked
    // for anything when it is listed or lacks the unit's endpoints.
    auto controlsOf = [](int device) { return bus().traffic(device).controls.size(); };
    EXPECT_EQ(controlsOf(msOs20), 3u) << "BOS header, whole BOS, descriptor set";
    EXPECT_EQ(controlsOf(other20), 3u);
    EXPECT_EQ(controlsOf(msOs10), 3u) << "0xEE string, properties header, whole properties";
    EXPECT_EQ(controlsOf(other10), 3u);
    EXPECT_EQ(controlsOf(plain), 1u) << "the 0xEE string only, stalled";
    EXPECT_EQ(controlsOf(byId), 0u);
    EXPECT_EQ(controlsOf(wrongEndpoints), 0u);
    EXPECT_EQ(bus().traffic(msOs20).controls.back().requestType, 0xC0);
    EXPECT_EQ(bus().traffic(msOs10).controls.back().requestType, 0xC1);

    // Without the list, the device that only it named is no unit any more.
    Brivant_Device_Close(5);
    unsetenv("BRIVANT_USB_IDS");
    EXPECT_EQ(Brivant_Device_Open(5), RC_ID_NOT_FOUND);
}

TEST_F(UsbBackendTest, ADeviceWhoseDescriptorsWereLostOnTheBusIsAskedAgain) {
    DeviceSetup flaky = unitWithId(7, Sign::MsOs20);
    flaky.failedControls = 1; // its BOS descriptor is lost once
    int unit = plug(flaky);
    EXPECT_EQ(Brivant_Device_Open(7), RC_ID_NOT_FOUND);
    EXPECT_EQ(Brivant_Device_Open(7), RC_OK) << "a lost answer is no verdict to keep";
    EXPECT_EQ(channel0Of(7), 7);
    EXPECT_EQ(bus().traffic(unit).claims, 2);
}

TEST_F(UsbBackendTest, EveryFunctionSendsItsFrameOverUsbfsAndDecodesTheRealReply) {
    DeviceSetup setup = unitWithId(2);
    setup.answers.countReply = {0x12, 0x34, 0x56, 0x78, 0x00, 0x80, 0x00, 0x00,
                               0x12, 0x7F, 0xFF, 0xFF, 0x01, 0x00, 0x81};
    int unit = plug(setup);
    ASSERT_EQ(Brivant_Device_Open(2), RC_OK);
    EXPECT_EQ(Brivant_Device_Open(2), RC_ALREADY_OPEN);

    const uint32_t preset[2] = {0x12AB00FF, 10};
    EXPECT_EQ(Brivant_InputInverter(2, 0, 1, 0, 1), RC_OK);
    EXPECT_EQ(Brivant_OutputInverter(2, 1, 1, 1), RC_OK);
    EXPECT_EQ(Brivant_OutputMode(2, 2, 0, 1), RC_OK);
    EXPECT_EQ(Brivant_SelClearEvent(2, 0, 2), RC_OK);
    EXPECT_EQ(Brivant_SelMultiplier(2, 1, 2), RC_OK);
    EXPECT_EQ(Brivant_SetLimitter(2, 2, 1, 0), RC_OK);
    EXPECT_EQ(Brivant_ForcedClear(2, 2), RC_OK);
    EXPECT_EQ(Brivant_RunStop(2, 0, 1), RC_OK);
    EXPECT_EQ(Brivant_WritePresetData(2, 1, preset), RC_OK);
    int32_t counts[3] = {};
    uint8_t status[3] = {};
    ASSERT_EQ(Brivant_ReadCount(2, counts, status), RC_OK);
    EXPECT_EQ(counts[0], 0x12345678);
    EXPECT_EQ(counts[1], static_cast<int32_t>(0xFF800000u)) << "24-bit count extended";
    EXPECT_EQ(counts[2], static_cast<int32_t>(0x127FFFFF));
    EXPECT_EQ((std::array<uint8_t, 3>{status[0], status[1], status[2]}),
              (std::array<uint8_t, 3>{0x01, 0x00, 0x81}));
    int32_t count = 0;
    uint8_t one = 0;
    ASSERT_EQ(Brivant_ReadCountCh(2, 1, &count, &one), RC_OK);
    EXPECT_EQ(count, static_cast<int32_t>(0xFF800000u));
    EXPECT_EQ(Brivant_RunStop(2, 0, 2), RC_BAD_PARAMETER);

    std::vector<Bytes> expected = {
        {2, 'K', 3}, // the ID query of the open
        {2, 'A', '0', '1', '0', '1', 3},
        {2, 'B', '1', '1', '1', 3},
        {2, 'C', '2', '0', '1', 3},
        {2, 'D', '0', '2', 3},
        {2, 'E', '1', '2', 3},
        {2, 'F', '2', '1', '0', 3},
        {2, 'H', '2', 3},
        {2, 'I', '0', '1', 3},
        {2, 'G', '1', '1', '2', 'A', 'B', '0', '0', 'F', 'F', '0', '0', '0', '0', '0', '0', '0',
         'A', 3},
        {2, 'J', 3},
        {2, 'J', 3},
    };
    Traffic traffic = bus().traffic(unit);
    EXPECT_EQ(traffic.frames, expected);
    EXPECT_EQ(traffic.bulkReads, static_cast<int>(expected.size()));
    EXPECT_EQ(traffic.claims, 2) << "one for the ID query, one for the open";

    Brivant_Device_Close(2);
    EXPECT_EQ(Brivant_ReadCount(2, counts, status), RC_NOT_OPEN);
    ASSERT_EQ(Brivant_Device_Open(2), RC_OK) << "released by the close";
    EXPECT_EQ(channel0Of(2), 0x12345678);
}

TEST_F(UsbBackendTest, UnitClaimedByAnotherProcessIsNotOpenedUntilItLetsGo) {
    int busy = plug(unitWithId(1));
    plug(unitWithId(2));
    bus().setClaimedElsewhere(busy, true);

    EXPECT_EQ(Brivant_Device_Open(1), RC_ID_NOT_FOUND) << "it cannot even be asked its ID";
    EXPECT_TRUE(bus().traffic(busy).frames.empty());
    EXPECT_EQ(Brivant_Device_Open(2), RC_OK) << "the other unit is not held up";

    bus().setClaimedElsewhere(busy, false);
    EXPECT_EQ(Brivant_Device_Open(1), RC_OK);
    EXPECT_EQ(channel0Of(1), 1);
}

TEST_F(UsbBackendTest, UnplugFailsAReadInFlightAndTheUnitIsFoundAgainWhenReplugged) {
    int unit = plug(unitWithId(5));
    plug(unitWithId(6));
    ASSERT_EQ(Brivant_Device_Open(5), RC_OK);
    ASSERT_EQ(Brivant_Device_Open(6), RC_OK);

    bus().holdReplies(unit, true);
    int32_t counts[3] = {11, 12, 13};
    uint8_t status[3] = {21, 22, 23};
    int16_t result = -1;
    std::thread reader([&] { result = Brivant_ReadCount(5, counts, status); });
    bool waited = bus().waitForWaitingRead(unit);
    bus().unplug(unit);
    reader.join();
    ASSERT_TRUE(waited) << "the read never reached the unit";
    EXPECT_EQ(result, RC_COMM_FAILED);
    EXPECT_EQ((std::array<int32_t, 3>{counts[0], counts[1], counts[2]}),
              (std::array<int32_t, 3>{11, 12, 13}));
    EXPECT_EQ(status[0] + status[1] + status[2], 66);
    EXPECT_EQ(channel0Of(6), 6) << "the unit still plugged in is unaffected";

    EXPECT_EQ(Brivant_RunStop(5, 0, 1), RC_COMM_FAILED) << "and so does every later call";
    EXPECT_EQ(Brivant_Device_Open(5), RC_ALREADY_OPEN);
    Brivant_Device_Close(5);
    EXPECT_EQ(Brivant_Device_Open(5), RC_ID_NOT_FOUND) << "not back yet";

    bus().replug(unit);
    ASSERT_EQ(Brivant_Device_Open(5), RC_OK);
    EXPECT_EQ(channel0Of(5), 5);
}

TEST_F(UsbBackendTest, UnplugBetweenCallsFailsEveryCounterFunctionUntilClosedAndReplugged) {
    int unit = plug(unitWithId(9, Sign::MsOs10));
    ASSERT_EQ(Brivant_Device_Open(9), RC_OK);
    bus().unplug(unit);

    const uint32_t preset[2] = {1, 2};
    int32_t counts[3];
    uint8_t status[3];
    int32_t count;
    uint8_t one;
    EXPECT_EQ(Brivant_InputInverter(9, 0, 0, 0, 0), RC_COMM_FAILED);
    EXPECT_EQ(Brivant_OutputInverter(9, 0, 0, 0), RC_COMM_FAILED);
    EXPECT_EQ(Brivant_OutputMode(9, 0, 0, 0), RC_COMM_FAILED);
    EXPECT_EQ(Brivant_SelClearEvent(9, 0, 0), RC_COMM_FAILED);
    EXPECT_EQ(Brivant_SelMultiplier(9, 0, 0), RC_COMM_FAILED);
    EXPECT_EQ(Brivant_SetLimitter(9, 0, 0, 0), RC_COMM_FAILED);
    EXPECT_EQ(Brivant_ForcedClear(9, 0), RC_COMM_FAILED);
    EXPECT_EQ(Brivant_RunStop(9, 0, 0), RC_COMM_FAILED);
    EXPECT_EQ(Brivant_WritePresetData(9, 0, preset), RC_COMM_FAILED);
    EXPECT_EQ(Brivant_ReadCount(9, counts, status), RC_COMM_FAILED);
    EXPECT_EQ(Brivant_ReadCountCh(9, 2, &count, &one), RC_COMM_FAILED);
    Brivant_Device_Close(9);

    bus().replug(unit);
    ASSERT_EQ(Brivant_Device_Open(9), RC_OK) << "at the same port, so at the same path";
    EXPECT_EQ(channel0Of(9), 9);
}

TEST_F(UsbBackendTest, SixteenUnitsWorkSideBySideAndASeventeenthIsTooMany) {
    std::string listed;
    for (int id = 0; id < 16; ++id) {
        Sign sign = id % 3 == 0 ? Sign::MsOs20 : id % 3 == 1 ? Sign::MsOs10 : Sign::None;
        DeviceSetup setup = unitWithId(id, sign);
        setup.product = static_cast<std::uint16_t>(0x100 + id);
        if (sign == Sign::None) {
            char entry[16];
            std::snprintf(entry, sizeof entry, "1234:%04x,", setup.product);
            listed += entry;
        }
        plug(setup);
    }
    setenv("BRIVANT_USB_IDS", listed.c_str(), 1);
    for (int16_t id = 15; id >= 0; --id) {
        ASSERT_EQ(Brivant_Device_Open(id), RC_OK) << "unit " << id;
    }

    // Each thread reads its own unit; a reply going to the wrong unit's
    // caller would show another unit's mark.
    constexpr int kReadsPerUnit = 20;
    std::array<int, 16> wrong{};
    std::vector<std::thread> threads;
    for (int16_t id = 0; id < 16; ++id) {
        threads.emplace_back([id, &wrong] {
            for (int i = 0; i < kReadsPerUnit; ++i) {
                int32_t count = -1;
                uint8_t status = 0;
                if (Brivant_ReadCountCh(id, 0, &count, &status) != RC_OK || count != id) {
                    ++wrong[static_cast<std::size_t>(id)];
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong, (std::array<int, 16>{}));

    closeAll();
    plug(unitWithId(0));
    EXPECT_EQ(Brivant_Device_Open(0), RC_TOO_MANY_UNITS);
}

} // namespace
} // namespace brivant::test::usb
