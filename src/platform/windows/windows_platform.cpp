// The platform layer on Windows, 64-bit and 32-bit: each function is one call of the
// setup API, the kernel or WinUSB with the arguments the library fixes.
// This is the only file that sees windows.h.
#include "platform/platform.h"

// clang-format off
#include <windows.h>
#include <setupapi.h>
#include <winusb.h>
// clang-format on

#include <cstddef>
#include <new>

namespace brivant::platform {

namespace {

// The device interface class under which units register: 85B54C78-94CC-4866-A4BD-464E49DFC5E4.
const GUID kUnitInterfaceClass = {
    0x85b54c78, 0x94cc, 0x4866, {0xa4, 0xbd, 0x46, 0x4e, 0x49, 0xdf, 0xc5, 0xe4}};

// Present interfaces only, listed by interface class rather than by device class.
constexpr DWORD kClassDevsFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;
static_assert(kClassDevsFlags == 0x12, "present device interfaces");

// The logic keeps the interface record in opaque storage and builds the
// detail record from the offsets it knows; both must match the real layouts.
// The figures platform.h states for each architecture are the real ones:
#if defined(_WIN64)
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == kLayout64.interfaceDataSize &&
                  sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == kLayout64.detailFixedSize,
              "64-bit: an interface record of 32 bytes, a detail size field of 8");
#else
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == kLayout32.interfaceDataSize &&
                  sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == kLayout32.detailFixedSize,
              "32-bit: an interface record of 28 bytes, a detail size field of 6");
#endif
// and the logic gets the ones of the architecture it is built for.
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == sizeof(InterfaceData::raw),
              "the interface record fills its storage");
static_assert(alignof(SP_DEVICE_INTERFACE_DATA) <= alignof(InterfaceData),
              "the interface record's storage is aligned for it");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == kDetailFixedSize,
              "the detail record's size field value");
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) == kDetailPathOffset,
              "the device path follows the size field");
static_assert(sizeof(wchar_t) == sizeof(char16_t), "device paths are UTF-16");

constexpr UCHAR kOutPipe = kPipeOut;
constexpr UCHAR kInPipe = kPipeIn;

SP_DEVICE_INTERFACE_DATA* record(InterfaceData* data) {
    return std::launder(reinterpret_cast<SP_DEVICE_INTERFACE_DATA*>(data->raw));
}

} // namespace

DevInfoSet getClassDevs() {
    return SetupDiGetClassDevsW(&kUnitInterfaceClass, nullptr, nullptr, kClassDevsFlags);
}

bool enumInterface(DevInfoSet set, std::uint32_t index, InterfaceData* data) {
    // A cleared record whose size field says which layout the caller expects.
    auto* interfaceData = new (data->raw) SP_DEVICE_INTERFACE_DATA{};
    interfaceData->cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    return SetupDiEnumDeviceInterfaces(set, nullptr, &kUnitInterfaceClass, index, interfaceData) !=
           FALSE;
}

bool getInterfaceDetail(DevInfoSet set, InterfaceData* data, void* detail, std::uint32_t detailSize,
                        std::uint32_t* requiredSize) {
    DWORD required = 0;
    BOOL ok = SetupDiGetDeviceInterfaceDetailW(
        set, record(data), static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(detail), detailSize,
        &required, nullptr);
    if (requiredSize != nullptr) {
        *requiredSize = required;
    }
    return ok != FALSE;
}

void destroyDevInfo(DevInfoSet set) { SetupDiDestroyDeviceInfoList(set); }

std::uint32_t lastError() { return GetLastError(); }

void* localAlloc(std::size_t size) { return LocalAlloc(LMEM_FIXED, size); }

void localFree(void* block) { LocalFree(block); }

Handle createFile(const char16_t* path) {
    // Overlapped use is what WinUSB asks of the handle it binds to, even
    // though every pipe call here is synchronous.
    return CreateFileW(reinterpret_cast<const wchar_t*>(path), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

void closeHandle(Handle handle) { CloseHandle(handle); }

Handle createMutex() { return CreateMutexW(nullptr, FALSE, nullptr); }

bool usbInitialize(Handle file, UsbHandle* usb) {
    WINUSB_INTERFACE_HANDLE interfaceHandle = nullptr;
    if (WinUsb_Initialize(file, &interfaceHandle) == FALSE) {
        return false;
    }
    *usb = interfaceHandle;
    return true;
}

void usbFree(UsbHandle usb) { WinUsb_Free(usb); }

// No overlapped structure: each call returns once its transfer has ended.
// No pipe policy is set, so there is no time-out of the library's own.
bool writePipe(UsbHandle usb, const std::uint8_t* buffer, std::uint32_t length,
               std::uint32_t* transferred) {
    ULONG done = 0;
    BOOL ok = WinUsb_WritePipe(usb, kOutPipe, const_cast<PUCHAR>(buffer), length, &done, nullptr);
    *transferred = done;
    return ok != FALSE;
}

bool readPipe(UsbHandle usb, std::uint8_t* buffer, std::uint32_t length,
              std::uint32_t* transferred) {
    ULONG done = 0;
    BOOL ok = WinUsb_ReadPipe(usb, kInPipe, buffer, length, &done, nullptr);
    *transferred = done;
    return ok != FALSE;
}

} // namespace brivant::platform
