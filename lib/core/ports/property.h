// A device property as the Plug and Play interfaces hand it over.
#pragma once

#include <cstdint>
#include <vector>

namespace qn38 {

// Registry types the core looks at.
inline constexpr std::uint32_t REG_TYPE_SZ = 1;
inline constexpr std::uint32_t REG_TYPE_DWORD = 4;
inline constexpr std::uint32_t REG_TYPE_MULTI_SZ = 7;

enum class PropertyStatus {
    Ok,
    Absent,  // the device has no such property
    Failed,  // the property exists but could not be read (a failed allocation, say)
};

struct PropertyValue {
    PropertyStatus status = PropertyStatus::Absent;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;

    bool ok() const { return status == PropertyStatus::Ok; }
};

}  // namespace qn38
