// The present disk interfaces, each with its device path and its disk's devnode.
#include <windows.h>
#include <setupapi.h>

#include <cstddef>
#include <new>
#include <vector>

#include "lib/win32/device_tree_win32.h"
#include "lib/win32/handles.h"

namespace qn38::win32 {
namespace {

// GUID_DEVINTERFACE_DISK and GUID_DEVINTERFACE_CDROM, spelt out so no GUID library needs linking.
const GUID kDiskInterface = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
const GUID kCdRomInterface = {0x53F56308, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

// cbSize names the fixed part of the record, which the 32-bit headers pack:
// SetupAPI refuses any other value.
#if defined(_WIN64)
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8);
#else
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 6);
#endif

class Win32DiskInterfaceSet final : public DiskInterfaceSet {
public:
    Win32DiskInterfaceSet(DeviceInfoSet set, const GUID& kind) : set_(std::move(set)), kind_(kind) {}

    bool HasDevice(std::uint32_t index) override {
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        return SetupDiEnumDeviceInfo(set_.get(), index, &device) != FALSE;
    }

    InterfaceStatus Interface(std::uint32_t index, DiskInterface& out) override {
        SP_DEVICE_INTERFACE_DATA interfaceData{};
        interfaceData.cbSize = sizeof interfaceData;
        if (!SetupDiEnumDeviceInterfaces(set_.get(), nullptr, &kind_, index, &interfaceData)) {
            return GetLastError() == ERROR_NO_MORE_ITEMS ? InterfaceStatus::End : InterfaceStatus::Skip;
        }
        DWORD size = 0;
        // Succeeding without a buffer means there is no path to read.
        if (SetupDiGetDeviceInterfaceDetailW(set_.get(), &interfaceData, nullptr, 0, &size, nullptr) || size == 0) {
            return InterfaceStatus::Skip;
        }
        std::vector<std::uint8_t> buffer;
        try {
            buffer.assign(size, 0);
        } catch (const std::bad_alloc&) {
            return InterfaceStatus::Skip;
        }
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        if (!SetupDiGetDeviceInterfaceDetailW(set_.get(), &interfaceData, detail, size, nullptr, &device)) {
            return InterfaceStatus::Skip;
        }
        // The path ends at its terminator or at the end of the buffer, whichever comes first.
        const std::size_t pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
        const std::size_t maxUnits = (size - pathOffset) / sizeof(WCHAR);
        std::size_t units = 0;
        while (units < maxUnits && detail->DevicePath[units] != 0) ++units;
        out.path.assign(reinterpret_cast<const char16_t*>(detail->DevicePath), units);
        out.devnode = device.DevInst;
        return InterfaceStatus::Ok;
    }

private:
    DeviceInfoSet set_;
    GUID kind_;
};

}  // namespace

std::unique_ptr<DiskInterfaceSet> Win32DeviceTree::OpenDiskInterfaces(StorageInterfaceKind kind) {
    const GUID& guid = kind == StorageInterfaceKind::CdRom ? kCdRomInterface : kDiskInterface;
    DeviceInfoSet set(
        SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE));
    if (!set) return nullptr;
    return std::make_unique<Win32DiskInterfaceSet>(std::move(set), guid);
}

}  // namespace qn38::win32
