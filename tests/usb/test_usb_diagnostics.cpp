// The survey the brivant tool shows when no unit is found: every device
// counted, each unit with its sign and path, and each device that cannot
// be opened with the reason a person can act on.
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/libusb/diagnostics.h"
#include "usb_support.h"

namespace brivant::test::usb {
namespace {

using brivant::usb::OpenProblem;
using brivant::usb::UnitSign;

// For as long as it lives, this thread opens files under their permission
// bits even when it runs as root: it sets aside the capabilities that let
// root ignore them. Other threads are unaffected.
class FilePermissionsApply {
public:
    FilePermissionsApply() {
        syscall(SYS_capget, &header_, saved_);
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        syscall(SYS_capset, &header_, reduced);
    }
    ~FilePermissionsApply() { syscall(SYS_capset, &header_, saved_); }

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2] = {};
};

const brivant::usb::SurveyedUsbDevice* atPort(const brivant::usb::Survey& survey, int device) {
    std::string ports = std::to_string(device + 1); // device n is plugged into port n + 1
    for (const auto& entry : survey.devices) {
        if (entry.ports == ports) {
            return &entry;
        }
    }
    return nullptr;
}

class UsbDiagnosticsTest : public UsbTest {};

TEST_F(UsbDiagnosticsTest, EveryDeviceIsCountedWithWhyItIsOrIsNotAUnitAndWhyItCannotBeOpened) {
    int ready = plug(unitWithId(1, Sign::MsOs20));
    int busy = plug(unitWithId(2, Sign::MsOs10));
    DeviceSetup listedSetup = unitWithId(3, Sign::None);
    listedSetup.product = 0x00b3;
    int listedLocked = plug(listedSetup);
    int unknownLocked = plug(unitWithId(4, Sign::MsOs20));
    int plain = plug(unitWithId(5, Sign::None));
    DeviceSetup noEndpoints = unitWithId(6, Sign::MsOs10);
    noEndpoints.unitEndpoints = false;
    int wrongEndpoints = plug(noEndpoints);
    setenv("BRIVANT_USB_IDS", "1234:00b3,nonsense", 1);
    bus().setClaimedElsewhere(busy, true);
    ASSERT_EQ(chmod(bus().nodeFile(listedLocked).c_str(), 0), 0);
    ASSERT_EQ(chmod(bus().nodeFile(unknownLocked).c_str(), 0), 0);

    brivant::usb::Survey survey;
    {
        FilePermissionsApply permissions;
        survey = brivant::usb::surveyUsb();
    }

    EXPECT_EQ(survey.backend, "usb");
    EXPECT_TRUE(survey.usbAvailable) << survey.usbError;
    EXPECT_EQ(survey.devicesConsidered, 6);
    EXPECT_EQ(survey.units, 3);
    EXPECT_EQ(survey.unitsOpenable, 1);
    EXPECT_EQ(survey.rejectedUsbIds, std::vector<std::string>{"nonsense"});

    struct Expected {
        int device;
        UnitSign sign;
        OpenProblem problem;
        std::string path;
    };
    for (const Expected& want : {
             Expected{ready, UnitSign::MsOs20, OpenProblem::None, "usb:1-1:1.0"},
             Expected{busy, UnitSign::MsOs10, OpenProblem::Busy, "usb:1-2:1.0"},
             Expected{listedLocked, UnitSign::UsbIds, OpenProblem::PermissionDenied, "usb:1-3:1.0"},
             Expected{unknownLocked, UnitSign::Unknown, OpenProblem::PermissionDenied, ""},
             Expected{plain, UnitSign::NotAUnit, OpenProblem::None, ""},
             Expected{wrongEndpoints, UnitSign::NotAUnit, OpenProblem::None, ""},
         }) {
        const auto* entry = atPort(survey, want.device);
        ASSERT_NE(entry, nullptr) << "device " << want.device;
        EXPECT_EQ(entry->sign, want.sign) << "device " << want.device << ": " << entry->reason;
        EXPECT_EQ(entry->openProblem, want.problem) << "device " << want.device;
        EXPECT_EQ(entry->path, want.path) << "device " << want.device;
        EXPECT_EQ(entry->vendorId, 0x1234);
        EXPECT_FALSE(entry->reason.empty());
    }
    EXPECT_EQ(atPort(survey, listedLocked)->openError, "LIBUSB_ERROR_ACCESS");
    EXPECT_NE(atPort(survey, plain)->reason.find("no MS OS descriptors"), std::string::npos);
    EXPECT_NE(atPort(survey, wrongEndpoints)->reason.find("0x01 and 0x82"), std::string::npos);

    // It looks, and sends nothing: no frame to any unit, and the one unit
    // it could claim was let go again, so the library opens it.
    for (int device = 0; device < 6; ++device) {
        EXPECT_TRUE(bus().traffic(device).frames.empty()) << "device " << device;
    }
    EXPECT_EQ(bus().traffic(ready).claims, 1);
    EXPECT_EQ(Brivant_Device_Open(1), RC_OK);
}

} // namespace
} // namespace brivant::test::usb
