// udev-probe: whether the USB device at BUSNUM DEVNUM is a unit, for the
// udev rule that gives units to the brivant group. Units carry no vendor and
// product ID of their own: a unit is known by the interface GUID in its
// MS OS descriptors, so udev cannot tell one by its attributes and runs this
// instead (IMPORT{program}) when a USB device appears. It prints udev's
// KEY=value lines for a unit and nothing for any other device; it opens only
// a device with the unit's two bulk endpoints, to read its descriptors.
#include <memory>

#include "commands/commands.h"
#include "commands/command_arguments.h"
#include "platform/libusb/diagnostics.h"
#include "util/tool_errors.h"

namespace brivant::tool {

namespace {

const char* signWord(usb::UnitSign sign) {
    switch (sign) {
    case usb::UnitSign::MsOs20:
        return "ms-os-2.0";
    case usb::UnitSign::MsOs10:
        return "ms-os-1.0";
    case usb::UnitSign::UsbIds:
        return "usb-ids";
    case usb::UnitSign::NotAUnit:
    case usb::UnitSign::Unknown:
        break;
    }
    return nullptr;
}

int runUdevProbe(int bus, int address, bool verbose, Console& console) {
    usb::DeviceJudgement judgement =
        usb::judgeUsbDevice(static_cast<std::uint8_t>(bus), static_cast<std::uint8_t>(address));
    if (!judgement.usbError.empty()) {
        console.error("brivant: USB devices cannot be listed: " + judgement.usbError);
        return kExitSoftware;
    }
    const std::string where = "bus " + std::to_string(bus) + " device " + std::to_string(address);
    if (!judgement.found) {
        // Gone again before udev asked: nothing to grant.
        if (verbose) {
            console.error("brivant: no USB device at " + where);
        }
        return kExitOk;
    }
    if (const char* word = signWord(judgement.sign)) {
        console.out.write(std::string("BRIVANT_UNIT=1\nBRIVANT_UNIT_SIGN=") + word + "\n");
    }
    if (verbose) {
        console.error("brivant: " + where + ": " + usb::describe(judgement.sign) + ": " +
                      judgement.reason);
    }
    return kExitOk;
}

} // namespace

void addUdevProbeCommand(CLI::App& app, CommandContext& context) {
    auto bus = std::make_shared<long long>(0);
    auto address = std::make_shared<long long>(0);
    auto verbose = std::make_shared<bool>(false);
    CLI::App* probe = app.add_subcommand(
        "udev-probe", "tell udev whether the USB device at BUSNUM DEVNUM is a unit");
    probe->footer("For the udev rule (60-brivant.rules): prints BRIVANT_UNIT=1 and\n"
                  "BRIVANT_UNIT_SIGN=ms-os-2.0, ms-os-1.0 or usb-ids for a unit, nothing for\n"
                  "any other device. Only a device with a unit's bulk endpoints is opened,\n"
                  "to read its descriptors; no frame is sent. Exit status 0 whether or not\n"
                  "it is a unit.");
    probe->add_option("BUSNUM", *bus, "the USB bus number, 1 to 255")
        ->required()
        ->transform(numberFrom(1, 255, "BUSNUM"));
    probe->add_option("DEVNUM", *address, "the device's address on that bus, 1 to 127")
        ->required()
        ->transform(numberFrom(1, 127, "DEVNUM"));
    probe->add_flag("--verbose", *verbose, "say on standard error what the device is, and why");
    selectOnParse(probe, context, [bus, address, verbose, &context] {
        return runUdevProbe(static_cast<int>(*bus), static_cast<int>(*address), *verbose,
                            context.console);
    });
}

} // namespace brivant::tool
