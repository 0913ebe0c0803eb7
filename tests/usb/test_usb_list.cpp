// `brivant list` on real USB: the IDs it finds on standard output, and on
// standard error which units cannot be opened and what to do about it.
#include <cstdlib>
#include <string>
#include <vector>

#include "commands/command_line.h"
#include "tool/captured_output.h"
#include "usb_support.h"

namespace brivant::test::usb {
namespace {

// Runs `brivant list` in this process; gives its status, output and errors.
struct ListRun {
    int status;
    std::string out;
    std::string err;
};
ListRun runTool(const std::vector<std::string>& arguments) {
    CapturedOutput out;
    CapturedOutput err;
    tool::Console console{out.output(), err.file()};
    int status = tool::runCommandLine(arguments, console);
    return {status, out.text(), err.text()};
}
ListRun runList() {
    return runTool({"list"});
}
ListRun runUdevProbe(int address) {
    return runTool({"udev-probe", "1", std::to_string(address), "--verbose"});
}

class UsbListTest : public UsbTest {};

TEST_F(UsbListTest, ListNamesTheUnitsItCannotOpenAndWhyAndSumsUpWhenItFindsNone) {
    int ready = plug(unitWithId(3, Sign::MsOs20));
    int busy = plug(unitWithId(4, Sign::MsOs10));
    bus().setClaimedElsewhere(busy, true);

    ListRun some = runList();
    EXPECT_EQ(some.status, 0);
    EXPECT_EQ(some.out, "3\n");
    EXPECT_NE(some.err.find("1234:0001 on bus 1 port 2: a unit, by its MS OS 1.0 descriptors; "
                            "busy: its interface is claimed by another process"),
              std::string::npos)
        << some.err;
    EXPECT_EQ(some.err.find("considered"), std::string::npos) << "a unit was found: no summary";
    EXPECT_EQ(some.err.find("port 1:"), std::string::npos) << "the unit found needs no word";

    bus().unplug(ready);
    ListRun none = runList();
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.out, "");
    EXPECT_NE(none.err.find("no unit found"), std::string::npos) << none.err;
    EXPECT_NE(none.err.find("1 USB device considered, 1 a unit"), std::string::npos) << none.err;
    EXPECT_NE(none.err.find("port 2: a unit, by its MS OS 1.0 descriptors; busy"),
              std::string::npos)
        << none.err;
    EXPECT_TRUE(bus().traffic(busy).frames.empty()) << "looking sends no frame";
}

TEST_F(UsbListTest, AUnitThatOpensButGivesNoIdIsNamedWithItsPath) {
    plug(unitWithId(40, Sign::MsOs20));
    ListRun run = runList();
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("port 1: a unit, by its MS OS 2.0 descriptors, at usb:1-1:1.0; "
                           "it opens, but gave no ID from 0 to 15"),
              std::string::npos)
        << run.err;
}

// What the udev rule imports: KEY=value lines for a unit, nothing for any
// other device, and nothing sent to the device beyond descriptor requests.
TEST_F(UsbListTest, UdevProbeTellsUnitsFromOtherDevicesByTheirDescriptors) {
    int v2 = plug(unitWithId(1, Sign::MsOs20));
    int v1 = plug(unitWithId(2, Sign::MsOs10));
    DeviceSetup otherGuid = unitWithId(3, Sign::MsOs20);
    otherGuid.guid = "{00000000-1111-2222-3333-444444444444}";
    int other = plug(otherGuid);
    DeviceSetup noEndpoints = unitWithId(4, Sign::MsOs20);
    noEndpoints.unitEndpoints = false;
    int plain = plug(noEndpoints);

    ListRun unit2 = runUdevProbe(bus().address(v2));
    EXPECT_EQ(unit2.status, 0);
    EXPECT_EQ(unit2.out, "BRIVANT_UNIT=1\nBRIVANT_UNIT_SIGN=ms-os-2.0\n");
    ListRun unit1 = runUdevProbe(bus().address(v1));
    EXPECT_EQ(unit1.out, "BRIVANT_UNIT=1\nBRIVANT_UNIT_SIGN=ms-os-1.0\n");

    ListRun foreign = runUdevProbe(bus().address(other));
    EXPECT_EQ(foreign.status, 0);
    EXPECT_EQ(foreign.out, "") << "another GUID is another device";
    EXPECT_NE(foreign.err.find("not a unit"), std::string::npos) << foreign.err;
    ListRun notAsked = runUdevProbe(bus().address(plain));
    EXPECT_EQ(notAsked.out, "");
    EXPECT_TRUE(bus().traffic(plain).controls.empty())
        << "a device without the unit's endpoints is not opened";

    for (int device : {v2, v1, other}) {
        EXPECT_TRUE(bus().traffic(device).frames.empty()) << "judging sends no frame";
        EXPECT_EQ(bus().traffic(device).claims, 0) << "judging claims nothing";
    }

    // Listed in BRIVANT_USB_IDS, a device without descriptors is a unit too;
    // an address with no device is answered with nothing.
    DeviceSetup silent = unitWithId(5, Sign::None);
    silent.vendor = 0x1234;
    silent.product = 0x00a5;
    int listed = plug(silent);
    EXPECT_EQ(runUdevProbe(bus().address(listed)).out, "");
    setenv("BRIVANT_USB_IDS", "1234:00a5", 1); // unset again after each test
    EXPECT_EQ(runUdevProbe(bus().address(listed)).out, "BRIVANT_UNIT=1\nBRIVANT_UNIT_SIGN=usb-ids\n");
    bus().unplug(listed);
    ListRun gone = runTool({"udev-probe", "1", "126", "--verbose"});
    EXPECT_EQ(gone.status, 0);
    EXPECT_EQ(gone.out, "");
    EXPECT_NE(gone.err.find("no USB device at bus 1 device 126"), std::string::npos) << gone.err;
}

} // namespace
} // namespace brivant::test::usb
