#include "platform/libusb/ms_os_descriptors.h"

#include <cstring>

namespace brivant::usb {

namespace {

constexpr std::uint8_t kBosType = 0x0F;
constexpr std::uint8_t kDeviceCapabilityType = 0x10;
constexpr std::uint8_t kPlatformCapability = 0x05;
// {D8DD60DF-4589-4CC7-9CD2-659D9E648A9F} as it lies in the descriptor.
constexpr std::uint8_t kMsOs20Uuid[16] = {0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45, 0xC7, 0x4C,
                                          0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F};
constexpr std::size_t kPlatformHeader = 20;  // up to and with the UUID
constexpr std::size_t kSetInfoSize = 8;

constexpr std::uint16_t kSetHeader = 0x00;
constexpr std::uint16_t kConfigurationSubset = 0x01;
constexpr std::uint16_t kFunctionSubset = 0x02;
constexpr std::uint16_t kRegistryProperty = 0x04;

constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegMultiSz = 7;

std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

char asciiUpper(char16_t c) {
    if (c >= u'a' && c <= u'z') {
        return static_cast<char>(c - u'a' + 'A');
    }
    return c < 0x80 ? static_cast<char>(c) : '\x7f';
}

// Compares `count` UTF-16LE characters at `text` with ASCII `ascii`,
// ignoring case as the registry does.
bool sameText(const std::uint8_t* text, std::size_t count, const char* ascii) {
    std::size_t n = std::strlen(ascii);
    if (count != n) {
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        char16_t c = static_cast<char16_t>(le16(text + 2 * i));
        if (asciiUpper(c) != asciiUpper(static_cast<char16_t>(ascii[i]))) {
            return false;
        }
    }
    return true;
}

// Characters of the UTF-16LE string at `text` up to its terminator or the
// end of `bytes`.
std::size_t textLength(const std::uint8_t* text, std::size_t bytes) {
    std::size_t count = 0;
    while (2 * count + 1 < bytes && le16(text + 2 * count) != 0) {
        ++count;
    }
    return count;
}

// A registry property, as name and value bytes (both UTF-16LE), declaring
// the unit GUID: the right name, a string type, and the GUID as the value
// or as one of the strings of a multi-string.
bool propertyDeclaresUnit(std::uint32_t type, const std::uint8_t* name, std::size_t nameBytes,
                          const std::uint8_t* data, std::size_t dataBytes) {
    if (type != kRegSz && type != kRegExpandSz && type != kRegMultiSz) {
        return false;
    }
    std::size_t nameLength = textLength(name, nameBytes);
    if (!sameText(name, nameLength, "DeviceInterfaceGUID") &&
        !sameText(name, nameLength, "DeviceInterfaceGUIDs")) {
        return false;
    }
    std::size_t offset = 0;
    while (offset + 1 < dataBytes) {
        std::size_t length = textLength(data + offset, dataBytes - offset);
        if (length == 0) {
            break; // the multi-string's end
        }
        if (sameText(data + offset, length, kUnitInterfaceGuid)) {
            return true;
        }
        if (type != kRegMultiSz) {
            break;
        }
        offset += 2 * (length + 1);
    }
    return false;
}

} // namespace

std::optional<MsOs20SetInfo> findMsOs20Set(const std::uint8_t* bos, std::size_t length) {
    if (length < 5 || bos[0] < 5 || bos[1] != kBosType) {
        return std::nullopt;
    }
    std::size_t total = le16(bos + 2);
    if (total < length) {
        length = total;
    }
    std::optional<MsOs20SetInfo> best;
    std::uint32_t bestVersion = 0;
    for (std::size_t at = bos[0]; at + 3 <= length;) {
        std::size_t capLength = bos[at];
        if (capLength < 3 || at + capLength > length) {
            break;
        }
        const std::uint8_t* cap = bos + at;
        if (cap[1] == kDeviceCapabilityType && cap[2] == kPlatformCapability &&
            capLength >= kPlatformHeader && std::memcmp(cap + 4, kMsOs20Uuid, 16) == 0) {
            for (std::size_t info = kPlatformHeader; info + kSetInfoSize <= capLength;
                 info += kSetInfoSize) {
                std::uint32_t version = le32(cap + info);
                std::uint16_t setLength = le16(cap + info + 4);
                if (setLength != 0 && (!best || version >= bestVersion)) {
                    best = MsOs20SetInfo{cap[info + 6], setLength};
                    bestVersion = version;
                }
            }
        }
        at += capLength;
    }
    return best;
}

std::optional<GuidDeclaration> msOs20DeclaresUnit(const std::uint8_t* set, std::size_t length) {
    if (length < 10 || le16(set) != 10 || le16(set + 2) != kSetHeader) {
        return std::nullopt;
    }
    std::size_t total = le16(set + 8);
    if (total < length) {
        length = total;
    }
    int function = GuidDeclaration::kWholeDevice;
    std::size_t functionEnd = 0;
    for (std::size_t at = 10; at + 4 <= length;) {
        std::size_t size = le16(set + at);
        std::uint16_t type = le16(set + at + 2);
        if (size < 4 || at + size > length) {
            break;
        }
        if (function != GuidDeclaration::kWholeDevice && at >= functionEnd) {
            function = GuidDeclaration::kWholeDevice;
        }
        const std::uint8_t* d = set + at;
        if (type == kConfigurationSubset) {
            function = GuidDeclaration::kWholeDevice;
        } else if (type == kFunctionSubset && size >= 8) {
            function = d[4];
            functionEnd = at + le16(d + 6);
        } else if (type == kRegistryProperty && size >= 10) {
            std::uint16_t dataType = le16(d + 4);
            std::size_t nameBytes = le16(d + 6);
            if (8 + nameBytes + 2 <= size) {
                std::size_t dataBytes = le16(d + 8 + nameBytes);
                if (10 + nameBytes + dataBytes <= size &&
                    propertyDeclaresUnit(dataType, d + 8, nameBytes, d + 10 + nameBytes,
                                         dataBytes)) {
                    return GuidDeclaration{function};
                }
            }
        }
        at += size;
    }
    return std::nullopt;
}

std::optional<std::uint8_t> msOs10VendorCode(const std::uint8_t* string, std::size_t length) {
    static const char kSignature[] = "MSFT100";
    if (length < 18 || string[0] < 18 || string[1] != 0x03) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < 7; ++i) {
        if (le16(string + 2 + 2 * i) != static_cast<std::uint8_t>(kSignature[i])) {
            return std::nullopt;
        }
    }
    return string[16];
}

bool msOs10DeclaresUnit(const std::uint8_t* properties, std::size_t length) {
    if (length < 10 || le16(properties + 4) != 0x0100 ||
        le16(properties + 6) != kMsOs10PropertiesIndex) {
        return false;
    }
    std::size_t total = le32(properties);
    if (total < length) {
        length = total;
    }
    std::size_t count = le16(properties + 8);
    std::size_t at = 10;
    for (std::size_t i = 0; i < count && at + 14 <= length; ++i) {
        const std::uint8_t* p = properties + at;
        std::size_t size = le32(p);
        if (size < 14 || size > length - at) {
            break;
        }
        std::uint32_t type = le32(p + 4);
        std::size_t nameBytes = le16(p + 8);
        if (10 + nameBytes + 4 <= size) {
            std::size_t dataBytes = le32(p + 10 + nameBytes);
            if (14 + nameBytes + dataBytes <= size &&
                propertyDeclaresUnit(type, p + 10, nameBytes, p + 14 + nameBytes, dataBytes)) {
                return true;
            }
        }
        at += size;
    }
    return false;
}

} // namespace brivant::usb
