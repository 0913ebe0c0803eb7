// The thin layer between the library's logic and the operating system.
//
// Each function stands for one Windows operation (setup API, kernel, WinUSB)
// with the arguments the library fixes already applied, so the logic above it
// is platform-neutral. On Windows the Windows layer implements them. On Linux
// they go to one of two backends, chosen once per process (backend.h): real
// units over libusb (libusb/), or the simulated units (sim/).
#pragma once

#include <cstddef>
#include <cstdint>

namespace brivant::platform {

using Handle = void*;     // file and mutex handles
using DevInfoSet = void*; // a device information set
using UsbHandle = void*;  // a WinUSB interface handle

// The value CreateFileW and SetupDiGetClassDevsW give on failure.
inline Handle invalidHandle() { return reinterpret_cast<Handle>(static_cast<std::intptr_t>(-1)); }

// The setup API's two records are laid out differently on 32-bit and 64-bit
// Windows: the interface record ends in a pointer-sized field, and the detail
// record is packed to 1 byte on 32-bit but to 8 on 64-bit. The Windows
// implementation checks these figures against the real structures.
struct RecordLayout {
    std::size_t interfaceDataSize;  // the interface record, whole
    std::uint32_t detailFixedSize;  // what the detail record's size field must hold
    std::size_t detailPathOffset;   // where the device path starts in the detail record
};
constexpr RecordLayout kLayout64{32, 8, 4};
constexpr RecordLayout kLayout32{28, 6, 4};
constexpr RecordLayout kLayout = sizeof(void*) == 8 ? kLayout64 : kLayout32;

// Room for the platform's interface data record. The logic never looks
// inside it.
struct InterfaceData {
    alignas(sizeof(void*)) unsigned char raw[kLayout.interfaceDataSize];
};

// The wide-character interface detail record: a 32-bit size field, then the
// zero-terminated device path in UTF-16.
constexpr std::uint32_t kDetailFixedSize = kLayout.detailFixedSize;
constexpr std::size_t kDetailPathOffset = kLayout.detailPathOffset;
constexpr std::uint32_t kErrorInsufficientBuffer = 122;

constexpr std::uint8_t kPipeOut = 0x01;
constexpr std::uint8_t kPipeIn = 0x82;

// Setup API: present interfaces of the unit class only.
DevInfoSet getClassDevs();
bool enumInterface(DevInfoSet set, std::uint32_t index, InterfaceData* data);
bool getInterfaceDetail(DevInfoSet set, InterfaceData* data, void* detail, std::uint32_t detailSize,
                        std::uint32_t* requiredSize);
void destroyDevInfo(DevInfoSet set);

// Kernel.
std::uint32_t lastError();
void* localAlloc(std::size_t size);
void localFree(void* block);
Handle createFile(const char16_t* path); // read/write, shared, existing, overlapped
void closeHandle(Handle handle);
Handle createMutex(); // unnamed, not owned; null on failure

// WinUSB. Both pipe calls are synchronous; `transferred` receives the byte count.
bool usbInitialize(Handle file, UsbHandle* usb);
void usbFree(UsbHandle usb);
bool writePipe(UsbHandle usb, const std::uint8_t* buffer, std::uint32_t length,
               std::uint32_t* transferred);
bool readPipe(UsbHandle usb, std::uint8_t* buffer, std::uint32_t length,
              std::uint32_t* transferred);

} // namespace brivant::platform
