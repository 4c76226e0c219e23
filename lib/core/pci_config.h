// PCI configuration registers through the dump driver's device.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "ports/device_io.h"

namespace qn38 {

inline constexpr std::uint32_t IOCTL_ZQDUMP_READ_CONFIG = 0x9C40243C;
inline constexpr std::uint32_t IOCTL_ZQDUMP_WRITE_CONFIG = 0x9C402440;

// Slot bridge registers the system uses.
inline constexpr std::uint8_t CONFIG_ID = 0x00;
inline constexpr std::uint8_t CONFIG_MEMORY_BASE = 0x20;
inline constexpr std::uint8_t CONFIG_LINK = 0x50;
inline constexpr std::uint8_t CONFIG_SLOT = 0x58;
inline constexpr std::uint8_t CONFIG_SUBSYSTEM = 0x94;
inline constexpr std::uint32_t LINK_DISABLE = 0x00000010;
inline constexpr std::uint32_t PRESENCE_DETECT = 0x00400000;
inline constexpr std::uint32_t NO_FUNCTION = 0xFFFFFFFF;

// The dump driver's 8-byte request, little-endian.
struct ConfigAccessRequest {
    std::uint8_t bus;
    std::uint8_t offset;
    std::uint16_t reserved;
    std::uint32_t value;
};
static_assert(sizeof(ConfigAccessRequest) == 8);
static_assert(offsetof(ConfigAccessRequest, bus) == 0);
static_assert(offsetof(ConfigAccessRequest, offset) == 1);
static_assert(offsetof(ConfigAccessRequest, reserved) == 2);
static_assert(offsetof(ConfigAccessRequest, value) == 4);

std::array<std::uint8_t, 8> EncodeConfigAccess(std::uint32_t bus, std::uint32_t offset, std::uint32_t value);
ConfigAccessRequest DecodeConfigAccess(const std::uint8_t* bytes);

// One open, one request, one close each. ReadPci leaves *value untouched unless the read succeeded.
int ReadPci(DeviceIo& io, std::uint32_t bus, std::uint32_t offset, std::uint32_t* value);
int WritePci(DeviceIo& io, std::uint32_t bus, std::uint32_t offset, std::uint32_t value);

}  // namespace qn38
