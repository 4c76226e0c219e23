#include "lib/win32/property_win32.h"

#include <new>
#include <vector>

namespace qn38::win32 {
namespace {

// A property that keeps growing between calls would otherwise keep us looping.
constexpr int kMaxGrowAttempts = 16;

bool Allocate(std::vector<std::uint8_t>& buffer, std::size_t bytes) {
    try {
        buffer.assign(bytes, 0);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace

PropertyValue ReadSetupProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
    PropertyValue value;
    DWORD type = 0;
    DWORD size = 0;
    // A property that reads into no buffer at all has no content worth having.
    if (SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type, nullptr, 0, &size)) return value;
    for (int attempt = 0; attempt < kMaxGrowAttempts && GetLastError() == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        const DWORD capacity = size * 2;
        if (capacity == 0 || !Allocate(value.data, capacity)) {
            value.data.clear();
            value.status = PropertyStatus::Failed;
            return value;
        }
        if (SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type, value.data.data(), capacity, &size)) {
            value.data.resize(size);
            value.type = type;
            value.status = PropertyStatus::Ok;
            return value;
        }
    }
    value.data.clear();
    return value;
}

PropertyValue ReadDevNodeProperty(DEVINST node, ULONG property) {
    PropertyValue value;
    ULONG type = 0;
    ULONG size = 0;
    const CONFIGRET sized = CM_Get_DevNode_Registry_PropertyW(node, property, &type, nullptr, &size, 0);
    // Only "no such value" says that the device has none. Any other error
    // says nothing about the value: taken for absent, it would let the
    // registration store a list holding the filter alone over the real one.
    if (sized != CR_SUCCESS && sized != CR_BUFFER_SMALL) {
        if (sized != CR_NO_SUCH_VALUE) value.status = PropertyStatus::Failed;
        return value;
    }
    if (size == 0) return value;
    // Twice the size, in case the value grows between the two calls.
    if (!Allocate(value.data, static_cast<std::size_t>(size) * 2)) {
        value.data.clear();
        value.status = PropertyStatus::Failed;
        return value;
    }
    ULONG length = size;
    // The size call said the value exists: a failing read is not an absent
    // value, or a caller editing the list would drop the entries it holds.
    if (CM_Get_DevNode_Registry_PropertyW(node, property, &type, value.data.data(), &length, 0) != CR_SUCCESS) {
        value.data.clear();
        value.status = PropertyStatus::Failed;
        return value;
    }
    value.data.resize(length <= size ? length : size);
    value.type = type;
    value.status = PropertyStatus::Ok;
    return value;
}

}  // namespace qn38::win32
