// Stopping and starting the slot.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "ports/platform.h"

namespace qn38 {

inline constexpr std::uint32_t IOCTL_STORAGE_GET_DEVICE_NUMBER_CODE = 0x002D1080;
inline constexpr std::uint32_t FSCTL_LOCK_VOLUME_CODE = 0x00090018;
inline constexpr std::uint32_t FSCTL_UNLOCK_VOLUME_CODE = 0x0009001C;
inline constexpr std::uint32_t FSCTL_DISMOUNT_VOLUME_CODE = 0x00090020;
inline constexpr std::uint32_t FILE_DEVICE_DISK_CODE = 0x00000007;

// A refused lock is tried this often in all, this far apart: programs that
// watch a volume (the indexer, Explorer) close their handles only when they
// are told that a lock is wanted.
inline constexpr int VOLUME_LOCK_ATTEMPTS = 4;
inline constexpr std::uint32_t VOLUME_LOCK_RETRY_MS = 500;

// The output of IOCTL_STORAGE_GET_DEVICE_NUMBER_CODE.
struct StorageDeviceNumber {
    std::uint32_t deviceType;
    std::uint32_t deviceNumber;
    std::uint32_t partitionNumber;
};
static_assert(sizeof(StorageDeviceNumber) == 12);

// The card's volumes, locked for a stop. Each lock lives as long as its
// handle: all are given back when this goes, dismounted or not.
class VolumeLocks {
public:
    VolumeLocks() = default;
    VolumeLocks(const VolumeLocks&) = delete;
    VolumeLocks& operator=(const VolumeLocks&) = delete;
    ~VolumeLocks();

    bool Holds(char16_t letter) const;
    void Add(char16_t letter, std::unique_ptr<DeviceHandle> volume);
    // False at the first volume that cannot be dismounted.
    bool DismountAll();
    std::size_t size() const { return held_.size(); }

private:
    std::vector<std::pair<char16_t, std::unique_ptr<DeviceHandle>>> held_;
};

// Sets (linkEnable 0) or clears Link Disable in the slot bridge's Link
// Control register, then re-enumerates the devices on the bus (stateChange 0)
// or sends them a class-installer enable (1) or disable (2). The link never
// drops while a volume of the card is in use; checkDisks tests the volumes
// before anything else as well. Other state changes, and any state change
// for a bus without the adapter's slot bridge, are refused untouched.
int SetStatus(Platform& platform, std::uint32_t bus, std::uint32_t stateChange, std::uint32_t linkEnable,
              std::uint32_t checkDisks);

// 1 when every lettered volume of every disk below a device on the bus could
// be locked, 0 at the first that could not. The locks are kept in `locks`.
int LockTestBusDisks(Platform& platform, std::uint32_t bus, VolumeLocks& locks);
// 1 when every lettered volume of the disk (C: to Z:) not yet in `locks` could be locked.
int LockTestDiskVolumes(Platform& platform, std::uint32_t diskNumber, VolumeLocks& locks);

}  // namespace qn38
