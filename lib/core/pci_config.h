// PCI configuration registers through the dump driver's device.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "lib/core/ports/device_io.h"

namespace qn38 {

inline constexpr std::uint32_t IOCTL_ZQDUMP_READ_CONFIG = 0x9C40243C;
inline constexpr std::uint32_t IOCTL_ZQDUMP_WRITE_CONFIG = 0x9C402440;

// Slot bridge registers the system uses.
inline constexpr std::uint8_t CONFIG_ID = 0x00;
inline constexpr std::uint8_t CONFIG_BUS_NUMBERS = 0x18;  // primary, secondary, subordinate bus, latency
inline constexpr std::uint8_t CONFIG_MEMORY_BASE = 0x20;
inline constexpr std::uint8_t CONFIG_LINK_CAPABILITIES = 0x4C;
inline constexpr std::uint8_t CONFIG_LINK = 0x50;
inline constexpr std::uint8_t CONFIG_SLOT = 0x58;
inline constexpr std::uint8_t CONFIG_SUBSYSTEM = 0x94;
inline constexpr std::uint32_t LINK_DISABLE = 0x00000010;
// Data Link Layer Link Active in Link Status (the high half of 0x50), and the
// bit of Link Capabilities that says the bridge reports it at all.
inline constexpr std::uint32_t LINK_ACTIVE = 0x20000000;
inline constexpr std::uint32_t LINK_ACTIVE_REPORTING = 0x00100000;
// The Vendor ID a function gives while it still asks for a retry of its
// configuration requests (Configuration Request Retry Status), and the one
// read where nothing answers.
inline constexpr std::uint32_t VENDOR_ID_RETRY = 0x0001;
inline constexpr std::uint32_t VENDOR_ID_NONE = 0xFFFF;
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
