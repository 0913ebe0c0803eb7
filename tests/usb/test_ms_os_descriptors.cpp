// The parsers of what a device sends about itself, on well-formed
// descriptors and on every truncation of them: a device's bytes must never
// be read past their end, nor taken as a declaration they do not make.
#include <gtest/gtest.h>

#include "ms_os_bytes.h"
#include "platform/backend.h"
#include "platform/libusb/ms_os_descriptors.h"
#include "platform/libusb/usb_ids.h"

namespace brivant::test::usb {
namespace {

using brivant::usb::GuidDeclaration;

const std::string kGuid = brivant::usb::kUnitInterfaceGuid;

// A copy of the first `length` bytes, so that a read past them is caught
// by the sanitizers.
Bytes prefix(const Bytes& bytes, std::size_t length) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
}

TEST(MsOsDescriptors, TheMsOs20SetIsFoundThroughTheNewestPlatformCapabilityEntryOnly) {
    Bytes bos = bosWithMsOs20(0x9E);
    auto info = brivant::usb::findMsOs20Set(bos.data(), bos.size());
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->vendorCode, kMsOs20VendorCode);
    EXPECT_EQ(info->totalLength, 0x9E);

    // A second descriptor set entry, for a newer Windows, wins.
    Bytes two = bos;
    two[2] = static_cast<std::uint8_t>(two[2] + 8);
    two[5] = static_cast<std::uint8_t>(two[5] + 8);
    put32(two, 0x0A000000);
    put16(two, 0x40);
    append(two, {0x33, 0});
    info = brivant::usb::findMsOs20Set(two.data(), two.size());
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->vendorCode, 0x33);
    EXPECT_EQ(info->totalLength, 0x40);

    Bytes otherUuid = bos;
    otherUuid[9] ^= 0xFF;
    EXPECT_FALSE(brivant::usb::findMsOs20Set(otherUuid.data(), otherUuid.size()));
    for (std::size_t length = 0; length < bos.size(); ++length) {
        Bytes cut = prefix(bos, length);
        EXPECT_FALSE(brivant::usb::findMsOs20Set(cut.data(), cut.size())) << length << " bytes";
    }
}

TEST(MsOsDescriptors, AGuidDeclarationCountsOnlyWhereAWholeRegistryPropertyMakesIt) {
    Bytes device = msOs20Set(kGuid);
    auto declared = brivant::usb::msOs20DeclaresUnit(device.data(), device.size());
    ASSERT_TRUE(declared.has_value());
    EXPECT_EQ(declared->interfaceNumber, GuidDeclaration::kWholeDevice);

    Bytes function = msOs20Set(kGuid, 2);
    declared = brivant::usb::msOs20DeclaresUnit(function.data(), function.size());
    ASSERT_TRUE(declared.has_value());
    EXPECT_EQ(declared->interfaceNumber, 2);

    std::string lower = kGuid;
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    Bytes lowerCase = msOs20Set(lower);
    EXPECT_TRUE(brivant::usb::msOs20DeclaresUnit(lowerCase.data(), lowerCase.size()))
        << "registry strings compare without case";
    Bytes unbraced = msOs20Set(kGuid.substr(1, kGuid.size() - 2));
    EXPECT_FALSE(brivant::usb::msOs20DeclaresUnit(unbraced.data(), unbraced.size()));
    Bytes other = msOs20Set("{85B54C78-94CC-4866-A4BD-464E49DFC5E5}");
    EXPECT_FALSE(brivant::usb::msOs20DeclaresUnit(other.data(), other.size()));
    Bytes notAString = msOs20Set(kGuid);
    notAString[30 + 4] = 4; // the property's type becomes REG_DWORD
    EXPECT_FALSE(brivant::usb::msOs20DeclaresUnit(notAString.data(), notAString.size()));
    for (std::size_t length = 0; length < device.size(); ++length) {
        Bytes cut = prefix(device, length);
        EXPECT_FALSE(brivant::usb::msOs20DeclaresUnit(cut.data(), cut.size())) << length;
    }

    Bytes properties = msOs10Properties(kGuid);
    EXPECT_TRUE(brivant::usb::msOs10DeclaresUnit(properties.data(), properties.size()));
    Bytes otherProperties = msOs10Properties("{00000000-0000-0000-0000-000000000000}");
    EXPECT_FALSE(brivant::usb::msOs10DeclaresUnit(otherProperties.data(), otherProperties.size()));
    Bytes moreThanSent = properties;
    moreThanSent[8] = 9; // claims nine properties, holds one
    EXPECT_TRUE(brivant::usb::msOs10DeclaresUnit(moreThanSent.data(), moreThanSent.size()));
    for (std::size_t length = 0; length < properties.size(); ++length) {
        Bytes cut = prefix(properties, length);
        EXPECT_FALSE(brivant::usb::msOs10DeclaresUnit(cut.data(), cut.size())) << length;
    }
}

TEST(MsOsDescriptors, TheMsOs10StringGivesItsVendorCodeOnlyWithItsSignature) {
    Bytes string = msOs10String();
    EXPECT_EQ(brivant::usb::msOs10VendorCode(string.data(), string.size()), kMsOs10VendorCode);
    Bytes wrong = string;
    wrong[14] = '2'; // "MSFT200"
    EXPECT_FALSE(brivant::usb::msOs10VendorCode(wrong.data(), wrong.size()));
    Bytes cut = prefix(string, 17);
    EXPECT_FALSE(brivant::usb::msOs10VendorCode(cut.data(), cut.size()));
}

TEST(RunTimeSettings, UsbIdsAndTheBackendChoiceReadAsDocumented) {
    using brivant::usb::UsbId;
    auto list = brivant::usb::parseUsbIds(" 1234:00a1,abcd:EF,, bad ,12345:1,:1,1:,0:0 ,");
    EXPECT_EQ(list.ids, (std::vector<UsbId>{{0x1234, 0x00A1}, {0xABCD, 0x00EF}, {0, 0}}));
    EXPECT_EQ(list.rejected, (std::vector<std::string>{"bad", "12345:1", ":1", "1:"}));
    EXPECT_TRUE(list.lists(UsbId{0xABCD, 0xEF}));
    EXPECT_FALSE(list.lists(UsbId{0x1234, 0xA2}));
    EXPECT_TRUE(brivant::usb::parseUsbIds(nullptr).ids.empty());

    using platform::BackendChoice;
    EXPECT_EQ(platform::backendChoice(nullptr), BackendChoice::Usb);
    EXPECT_EQ(platform::backendChoice(""), BackendChoice::Usb);
    EXPECT_EQ(platform::backendChoice("usb"), BackendChoice::Usb);
    EXPECT_EQ(platform::backendChoice("sim"), BackendChoice::Sim);
    for (const char* unknown : {"SIM", "simulate", "usb ", "none"}) {
        EXPECT_EQ(platform::backendChoice(unknown), BackendChoice::Unknown) << unknown;
    }
}

} // namespace
} // namespace brivant::test::usb
