// The real DLL under Wine, where no dump driver is loaded unless a test loads one.
#include <gtest/gtest.h>

#include "QN38HotPlug.h"

namespace {

TEST(LibraryWithoutDumpDriver, ReadFailsAndLeavesTheValueUntouched) {
    std::uint32_t value = 0x5A5A5A5A;
    EXPECT_EQ(ZQ_ReadPCI(5, 0x00, &value), 0);
    EXPECT_EQ(value, 0x5A5A5A5Au);
}

TEST(LibraryWithoutDumpDriver, WriteFails) { EXPECT_EQ(ZQ_WritePCI(5, 0x50, 0x10), 0); }

TEST(LibraryWithoutDumpDriver, BadPointersGetADefinedResult) {
    EXPECT_EQ(ZQ_ReadPCI(5, 0x00, nullptr), 0);
    EXPECT_EQ(GetDeviceRegistryProperty(INVALID_HANDLE_VALUE, nullptr, SPDRP_HARDWAREID, nullptr, nullptr, 0), 0);
}

TEST(LibraryUnderWine, PropertyReaderFindsThePciEnumeratorsDevices) {
    // Wine's SetupAPI answers a PCI scan with an empty or small set; the reader
    // must walk it without failing, whatever it holds.
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, L"PCI", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) GTEST_SKIP() << "no PCI device set under this Wine";
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        wchar_t buffer[4] = {L'x', L'x', L'x', L'x'};
        GetDeviceRegistryProperty(set, &device, SPDRP_HARDWAREID, nullptr, buffer, sizeof buffer);
    }
    SetupDiDestroyDeviceInfoList(set);
}

}  // namespace
