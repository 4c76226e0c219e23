#include "lib/core/pci_config.h"

#include "lib/core/constants.h"

namespace qn38 {
namespace {

// Share mode 0: the driver sees one request at a time from whoever holds the device.
const OpenRequest kDumpOpen{ACCESS_GENERIC_READ_WRITE, SHARE_NONE, DISPOSITION_CREATE_ALWAYS, ATTRIBUTE_NORMAL};

}  // namespace

std::array<std::uint8_t, 8> EncodeConfigAccess(std::uint32_t bus, std::uint32_t offset, std::uint32_t value) {
    return {static_cast<std::uint8_t>(bus),
            static_cast<std::uint8_t>(offset),
            0,
            0,
            static_cast<std::uint8_t>(value),
            static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 24)};
}

ConfigAccessRequest DecodeConfigAccess(const std::uint8_t* bytes) {
    ConfigAccessRequest request{};
    request.bus = bytes[0];
    request.offset = bytes[1];
    request.reserved = static_cast<std::uint16_t>(bytes[2] | bytes[3] << 8);
    request.value = static_cast<std::uint32_t>(bytes[4]) | static_cast<std::uint32_t>(bytes[5]) << 8 |
                    static_cast<std::uint32_t>(bytes[6]) << 16 | static_cast<std::uint32_t>(bytes[7]) << 24;
    return request;
}

int ReadPci(DeviceIo& io, std::uint32_t bus, std::uint32_t offset, std::uint32_t* value) {
    if (value == nullptr) return 0;
    auto device = io.Open(U16(DUMP_DEVICE_PATH), kDumpOpen);
    if (!device) return 0;
    const auto request = EncodeConfigAccess(bus, offset, 0);
    std::uint8_t out[4] = {};
    if (!device->Control(IOCTL_ZQDUMP_READ_CONFIG, request.data(), 8, out, 4)) return 0;
    *value = static_cast<std::uint32_t>(out[0]) | static_cast<std::uint32_t>(out[1]) << 8 |
             static_cast<std::uint32_t>(out[2]) << 16 | static_cast<std::uint32_t>(out[3]) << 24;
    return 1;
}

int WritePci(DeviceIo& io, std::uint32_t bus, std::uint32_t offset, std::uint32_t value) {
    auto device = io.Open(U16(DUMP_DEVICE_PATH), kDumpOpen);
    if (!device) return 0;
    const auto request = EncodeConfigAccess(bus, offset, value);
    std::uint8_t ignored = 0;
    return device->Control(IOCTL_ZQDUMP_WRITE_CONFIG, request.data(), 8, &ignored, 1) ? 1 : 0;
}

}  // namespace qn38
