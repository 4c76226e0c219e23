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

#include "lib/core/ports/platform.h"

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

// The waits of a start between clearing Link Disable and asking Plug and
// Play, as Linux pciehp waits before it scans a hot-plugged slot. Windows'
// PCI bus driver scans the bus once per re-enumeration: a scan made before
// the card answers finds nothing, and nothing scans again by itself.
// - The link trains within 1 s of being enabled (PCI Express Base
//   Specification, 6.6.1; pciehp's pcie_wait_for_link: 1000 ms, polled every
//   10 ms). A bridge that cannot report Data Link Layer Link Active is given
//   the whole second.
inline constexpr std::uint32_t LINK_ACTIVE_WAIT_MS = 1000;
inline constexpr std::uint32_t LINK_ACTIVE_POLL_MS = 10;
// - 100 ms after the link is up before the first configuration request
//   (6.6.1 again; pciehp's msleep(100)).
inline constexpr std::uint32_t LINK_SETTLE_MS = 100;
// - A card may still answer with Configuration Request Retry Status while it
//   initialises; pciehp's pci_bus_check_dev gives it 1000 ms more, reading
//   its Vendor ID every 20 ms.
inline constexpr std::uint32_t CARD_ANSWER_WAIT_MS = 1000;
inline constexpr std::uint32_t CARD_ANSWER_POLL_MS = 20;

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
// Control register, then has Plug and Play look at the slot (stateChange 0).
// A link this call brings up is waited for, and then the card, before the
// slot bridge is re-enumerated. Before a link drops, the card's volumes are
// flushed and Plug and Play removes the card's devices; a refusal leaves the
// card running and fills `veto` when Windows named who refused. State change
// 2 restarts the slot bridge's stack through the class installer
// (DICS_PROPCHANGE), so the card's devices are found again; 1 enables the
// bridge only where the hardware profile has it disabled, then re-enumerates
// it. Neither writes a disable anywhere, so nothing outlives the request. The
// bridge's identity is checked before anything else. Neither the link nor a
// restart ever takes the card away while one of its volumes is in use;
// checkDisks tests the volumes of a start as well. A start lets the devices a
// stop kept from restarting come up again. A restart that the class
// installer refuses or defers to the next boot fails. Other state changes,
// and any state change for a bus without the adapter's slot bridge, are
// refused untouched.
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
