// Stopping and starting the slot.
#pragma once

#include <cstdint>

#include "ports/platform.h"

namespace qn38 {

inline constexpr std::uint32_t IOCTL_STORAGE_GET_DEVICE_NUMBER_CODE = 0x002D1080;
inline constexpr std::uint32_t FSCTL_LOCK_VOLUME_CODE = 0x00090018;
inline constexpr std::uint32_t FSCTL_UNLOCK_VOLUME_CODE = 0x0009001C;

// The output of IOCTL_STORAGE_GET_DEVICE_NUMBER_CODE.
struct StorageDeviceNumber {
    std::uint32_t deviceType;
    std::uint32_t deviceNumber;
    std::uint32_t partitionNumber;
};
static_assert(sizeof(StorageDeviceNumber) == 12);

// Sets (linkEnable 0) or clears Link Disable in the slot bridge's Link
// Control register, then re-enumerates the devices on the bus (stateChange 0)
// or sends them a class-installer property change (any other stateChange).
// With checkDisks, a volume in use on the card refuses the stop.
int SetStatus(Platform& platform, std::uint32_t bus, std::uint32_t stateChange, std::uint32_t linkEnable,
              std::uint32_t checkDisks);

// 1 when every lettered volume of every disk below a device on the bus can
// be locked, 0 at the first that cannot.
int LockTestBusDisks(Platform& platform, std::uint32_t bus);
// 1 when every lettered volume of the disk (C: to Z:) can be locked.
int LockTestDiskVolumes(DeviceIo& io, std::uint32_t diskNumber);

}  // namespace qn38
