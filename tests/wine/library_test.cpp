// The real DLL under Wine, where no dump driver is loaded unless a test loads
// one; and the library's volume calls over Wine's own volumes.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "lib/include/QN38HotPlug.h"
#include "lib/core/slot_control.h"
#include "lib/win32/platform_win32.h"

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

// The stop finds the card's volumes through the volume list and each
// volume's disk extents, whatever its mount points. Wine 8 lists its drives'
// volumes by GUID path and answers the extents query itself, with no extent
// at all, and cannot mount a volume in a folder (SetVolumeMountPointW:
// ERROR_CALL_NOT_IMPLEMENTED): which disk a volume lies on, and a folder's
// volume, are shown on the simulated PC only.
TEST(LibraryUnderWine, TheVolumeListNamesEveryVolumeAndEachAnswersTheStopsQueries) {
    qn38::Platform& platform = qn38::win32::Win32Platform();
    const auto names = platform.io.VolumeNames();
    ASSERT_TRUE(names.has_value());
    ASSERT_FALSE(names->empty());
    wchar_t system[MAX_PATH] = {};
    ASSERT_TRUE(GetVolumeNameForVolumeMountPointW(L"C:\\", system, MAX_PATH));
    const std::u16string systemName(reinterpret_cast<const char16_t*>(system));
    EXPECT_NE(std::find(names->begin(), names->end(), systemName), names->end());
    for (const std::u16string& name : *names) {
        SCOPED_TRACE(std::string(name.begin(), name.end()));
        ASSERT_TRUE(name.starts_with(u"\\\\?\\Volume{") && name.ends_with(u"}\\"));
        // The volume itself, opened without access as the stop asks it.
        const auto volume = platform.io.Open(name.substr(0, name.size() - 1), {0, qn38::SHARE_READ_WRITE});
        ASSERT_TRUE(volume);
        std::array<std::uint8_t, qn38::VOLUME_DISK_EXTENTS_HEADER_BYTES + sizeof(qn38::DiskExtent)> extents{};
        ASSERT_TRUE(volume->Control(qn38::IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS_CODE, nullptr, 0, extents.data(),
                                    static_cast<std::uint32_t>(extents.size())));
        std::uint32_t count = 0;
        std::memcpy(&count, extents.data(), sizeof count);
        EXPECT_LE(count, 1u);
        EXPECT_GT(platform.io.TotalBytes(name).value_or(0), 0u) << "the size by the GUID path's root";
    }
    // A disk that no volume lies on leaves every volume alone.
    const std::uint32_t noDisk[] = {81};
    qn38::VolumeLocks locks;
    EXPECT_EQ(qn38::LockTestDiskVolumes(platform, noDisk, locks), 1);
    EXPECT_EQ(locks.size(), 0u);

    // A folder mount point, where Wine can make one.
    const wchar_t* folder = L"C:\\qn38-volume-folder\\";
    CreateDirectoryW(folder, nullptr);
    if (SetVolumeMountPointW(folder, system)) {
        EXPECT_EQ(platform.io.VolumeNames()->size(), names->size()) << "a folder adds no volume";
        DeleteVolumeMountPointW(folder);
    } else {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
    }
    RemoveDirectoryW(folder);
}

}  // namespace
