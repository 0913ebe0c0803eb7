// Whether a USB device is a unit, and by which sign. A device listed in
// BRIVANT_USB_IDS is one without being asked anything. Otherwise only a
// device whose configuration has an interface with the unit's two bulk
// endpoints (0x01 out, 0x82 in) is opened and asked, the way Windows asks a
// driverless WinUSB device for its interface GUID: the BOS descriptor and
// its MS OS 2.0 descriptor set when the device has one, else string
// descriptor 0xEE and the MS OS 1.0 extended properties of such an
// interface. No other request is sent, the device is never claimed, and it
// is closed again before this returns.
#pragma once

#include <libusb.h>

#include "platform/libusb/usb_ids.h"

namespace brivant::usb {

enum class Match {
    NotAUnit, // judged, and not a unit
    Unknown,  // could not be opened to be asked (openError says why)
    MsOs20,   // declares the unit GUID in its MS OS 2.0 descriptor set
    MsOs10,   // declares it in its MS OS 1.0 extended properties
    UsbIds,   // listed in BRIVANT_USB_IDS
};

inline bool isUnit(Match match) {
    return match == Match::MsOs20 || match == Match::MsOs10 || match == Match::UsbIds;
}

struct Verdict {
    Match match = Match::NotAUnit;
    int interfaceNumber = -1;          // the unit's interface, when it is one
    int configuration = 0;             // the active configuration's value
    int openError = LIBUSB_SUCCESS;    // why it could not be opened, for Match::Unknown
    // False when a request failed otherwise than by the device refusing it
    // (a stall): a time-out or a transfer error may pass, so the device is
    // asked again next time instead of being taken for no unit.
    bool settled = true;
    const char* reason = "";           // in words, for people
};

// Descriptor requests wait at most this long, as the operating system's own
// enumeration would; the exchanges with a unit have no time-out.
constexpr unsigned kDescriptorTimeoutMs = 1000;

Verdict judgeDevice(libusb_device* device, const UsbIdList& ids);

} // namespace brivant::usb
