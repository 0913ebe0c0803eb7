// Descriptors as a unit's firmware sends them.
#include "ms_os_bytes.h"

namespace brivant::test::usb {

void put16(Bytes& b, unsigned value) {
    b.push_back(static_cast<std::uint8_t>(value));
    b.push_back(static_cast<std::uint8_t>(value >> 8));
}
void put32(Bytes& b, unsigned value) {
    put16(b, value & 0xFFFF);
    put16(b, value >> 16);
}
void append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }
// UTF-16LE, with its terminator unless `terminated` is false.
Bytes utf16(const std::string& text, bool terminated) {
    Bytes b;
    for (char c : text) {
        put16(b, static_cast<unsigned char>(c));
    }
    if (terminated) {
        put16(b, 0);
    }
    return b;
}

Bytes msOs20Set(const std::string& guid, int functionInterface) {
    Bytes name = utf16("DeviceInterfaceGUIDs");
    Bytes data = utf16(guid);
    put16(data, 0); // the multi-string's end
    Bytes property;
    put16(property, static_cast<unsigned>(10 + name.size() + data.size()));
    put16(property, 4);  // registry property
    put16(property, 7);  // REG_MULTI_SZ
    put16(property, static_cast<unsigned>(name.size()));
    append(property, name);
    put16(property, static_cast<unsigned>(data.size()));
    append(property, data);
    Bytes compatible;
    put16(compatible, 20);
    put16(compatible, 3);
    append(compatible, {'W', 'I', 'N', 'U', 'S', 'B', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    Bytes body = compatible;
    append(body, property);
    if (functionInterface >= 0) {
        Bytes function;
        put16(function, 8);
        put16(function, 2); // function subset header
        function.push_back(static_cast<std::uint8_t>(functionInterface));
        function.push_back(0);
        put16(function, static_cast<unsigned>(8 + body.size()));
        append(function, body);
        body = function;
    }
    Bytes set;
    put16(set, 10);
    put16(set, 0);
    put32(set, 0x06030000);
    put16(set, static_cast<unsigned>(10 + body.size()));
    append(set, body);
    return set;
}

Bytes bosWithMsOs20(std::size_t setLength) {
    Bytes bos = {5, 0x0F};
    put16(bos, 5 + 28);
    bos.push_back(1);
    append(bos, {28, 0x10, 5, 0});
    append(bos, {0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45, 0xC7, 0x4C, 0x9C, 0xD2, 0x65, 0x9D, 0x9E,
                 0x64, 0x8A, 0x9F});
    put32(bos, 0x06030000);
    put16(bos, static_cast<unsigned>(setLength));
    append(bos, {kMsOs20VendorCode, 0});
    return bos;
}

Bytes msOs10String() {
    Bytes b = {18, 3};
    append(b, utf16("MSFT100", false));
    append(b, {kMsOs10VendorCode, 0});
    return b;
}

Bytes msOs10Properties(const std::string& guid) {
    Bytes name = utf16("DeviceInterfaceGUID");
    Bytes data = utf16(guid);
    Bytes section;
    put32(section, static_cast<unsigned>(14 + name.size() + data.size()));
    put32(section, 1); // REG_SZ
    put16(section, static_cast<unsigned>(name.size()));
    append(section, name);
    put32(section, static_cast<unsigned>(data.size()));
    append(section, data);
    Bytes b;
    put32(b, static_cast<unsigned>(10 + section.size()));
    put16(b, 0x0100);
    put16(b, 5);
    put16(b, 1);
    append(b, section);
    return b;
}

} // namespace brivant::test::usb
