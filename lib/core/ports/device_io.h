// Device and volume I/O: open a path, send control requests, close; the
// drive letters and their sizes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qn38 {

inline constexpr std::uint32_t ACCESS_GENERIC_READ_WRITE = 0xC0000000;
inline constexpr std::uint32_t SHARE_NONE = 0;
inline constexpr std::uint32_t SHARE_READ_WRITE = 3;
inline constexpr std::uint32_t DISPOSITION_CREATE_ALWAYS = 2;
inline constexpr std::uint32_t DISPOSITION_OPEN_EXISTING = 3;
inline constexpr std::uint32_t ATTRIBUTE_NORMAL = 0x80;

struct OpenRequest {
    std::uint32_t access = 0;
    std::uint32_t share = 0;
    std::uint32_t disposition = DISPOSITION_OPEN_EXISTING;
    std::uint32_t flagsAndAttributes = 0;
};

// An open device; closed when destroyed.
class DeviceHandle {
public:
    virtual ~DeviceHandle() = default;
    // DeviceIoControl, synchronous. `out` may be null when outBytes is 0.
    virtual bool Control(std::uint32_t code, const void* in, std::uint32_t inBytes, void* out,
                         std::uint32_t outBytes) = 0;
    // FlushFileBuffers: on a volume, the file system's cache and the drive's own write cache.
    virtual bool Flush() { return false; }
    // IOCTL_STORAGE_CHECK_VERIFY2: true when the medium is there, false when
    // the drive answers ERROR_NOT_READY (no medium), nothing on any other failure.
    virtual std::optional<bool> MediumPresent() { return std::nullopt; }
};

class DeviceIo {
public:
    virtual ~DeviceIo() = default;
    // CreateFileW; null on INVALID_HANDLE_VALUE.
    virtual std::unique_ptr<DeviceHandle> Open(std::u16string_view path, const OpenRequest& request) = 0;
    // GetLogicalDrives: bit n set when drive letter 'A' + n exists.
    virtual std::uint32_t LogicalDrives() = 0;
    // GetDiskFreeSpaceExW on a root such as "E:\": total bytes, nothing on failure.
    virtual std::optional<std::uint64_t> TotalBytes(std::u16string_view root) = 0;
    // GetDriveTypeW on a root such as "E:\" says DRIVE_REMOTE: a network
    // drive, whose size query can wait out the network's timeout.
    virtual bool IsRemoteDrive(std::u16string_view root) = 0;
    // FindFirstVolumeW, FindNextVolumeW, FindVolumeClose: the GUID path of
    // every volume ("\\?\Volume{...}\"), lettered, mounted in a folder or
    // not mounted at all; nothing when the list could not be read to its end.
    virtual std::optional<std::vector<std::u16string>> VolumeNames() = 0;
};

}  // namespace qn38
