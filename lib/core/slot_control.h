// Stopping and starting the slot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ports/platform.h"

namespace qn38 {

inline constexpr std::uint32_t IOCTL_STORAGE_GET_DEVICE_NUMBER_CODE = 0x002D1080;
inline constexpr std::uint32_t FSCTL_LOCK_VOLUME_CODE = 0x00090018;
inline constexpr std::uint32_t FSCTL_UNLOCK_VOLUME_CODE = 0x0009001C;
inline constexpr std::uint32_t FSCTL_DISMOUNT_VOLUME_CODE = 0x00090020;
inline constexpr std::uint32_t FILE_DEVICE_DISK_CODE = 0x00000007;
inline constexpr std::uint32_t FILE_DEVICE_CD_ROM_CODE = 0x00000002;
inline constexpr std::uint32_t IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS_CODE = 0x00560000;

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

// DISK_EXTENT and the head of VOLUME_DISK_EXTENTS, the output of
// IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS_CODE: the extents follow the count at
// the alignment of their 64-bit offsets.
struct DiskExtent {
    std::uint32_t diskNumber;
    std::uint64_t startingOffset;
    std::uint64_t extentLength;
};
static_assert(sizeof(DiskExtent) == 24 && offsetof(DiskExtent, startingOffset) == 8);
inline constexpr std::uint32_t VOLUME_DISK_EXTENTS_HEADER_BYTES = 8;
// A volume spans at most this many extents for the stop's purpose: a volume
// over more disks than this is beyond any card, and its query fails.
inline constexpr std::uint32_t VOLUME_EXTENTS_READ = 32;

// The card's volumes, locked for a stop. Each lock lives as long as its
// handle: all are given back when this goes, dismounted or not.
class VolumeLocks {
public:
    VolumeLocks() = default;
    VolumeLocks(const VolumeLocks&) = delete;
    VolumeLocks& operator=(const VolumeLocks&) = delete;
    ~VolumeLocks();

    bool Holds(std::u16string_view volumeName) const;
    void Add(std::u16string volumeName, std::unique_ptr<DeviceHandle> volume);
    // False at the first volume that cannot be dismounted.
    bool DismountAll();
    std::size_t size() const { return held_.size(); }

private:
    std::vector<std::pair<std::u16string, std::unique_ptr<DeviceHandle>>> held_;
};

// Sets (linkEnable 0) or clears Link Disable in the slot bridge's Link
// Control register, then re-enumerates the devices on the bus (stateChange 0)
// or sends them a class-installer enable (1) or disable (2). The bridge's
// identity is checked before anything else. Before the link drops, the
// card's volumes are flushed and Plug and Play removes the card's devices;
// a refusal leaves the card running and fills `veto` when Windows named who
// refused. Neither the link nor a disable ever takes the card away while one
// of its volumes is in use; checkDisks tests the volumes of a start as well.
// A start lets the devices a stop kept from restarting come up again. A
// disable that the class installer defers to the next boot is undone at
// once and fails. Other state changes, and any state change for a bus
// without the adapter's slot bridge, are refused untouched.
int SetStatus(Platform& platform, std::uint32_t bus, std::uint32_t stateChange, std::uint32_t linkEnable,
              std::uint32_t checkDisks, RemovalVeto* veto = nullptr);

// Who holds the card, as the user knows it: the application's module name,
// the service's or driver's name, or the description of the device an
// instance path names; empty when the veto names nobody.
std::u16string VetoHolder(DeviceTree& tree, const RemovalVeto& veto);

// 1 when every volume of every disk below the slot bridge on the bus could be
// locked, 0 at the first that could not, or when a disk that may be the
// card's cannot be identified. The locks are kept in `locks`.
int LockTestBusDisks(Platform& platform, std::uint32_t bus, VolumeLocks& locks);
// 1 when every volume with an extent on one of the disks, not yet in `locks`,
// could be locked, whatever its mount points; 0 also when the volumes cannot
// be listed.
int LockTestDiskVolumes(Platform& platform, std::span<const std::uint32_t> diskNumbers, VolumeLocks& locks);

}  // namespace qn38
