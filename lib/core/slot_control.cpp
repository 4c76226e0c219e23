#include "slot_control.h"

#include <optional>
#include <string>

#include "constants.h"
#include "device_lookup.h"
#include "match.h"
#include "pci_config.h"

namespace qn38 {
namespace {

// Asking for a device number needs no access rights, so it never competes
// with whoever uses the disk or volume.
const OpenRequest kQueryOpen{0, SHARE_READ_WRITE, DISPOSITION_OPEN_EXISTING, 0};
// Locking a volume needs a handle that may read and write it.
const OpenRequest kLockOpen{ACCESS_GENERIC_READ_WRITE, SHARE_READ_WRITE, DISPOSITION_OPEN_EXISTING, 0};

std::optional<StorageDeviceNumber> DeviceNumberOf(DeviceIo& io, std::u16string_view path) {
    const auto device = io.Open(path, kQueryOpen);
    if (!device) return std::nullopt;
    StorageDeviceNumber number{};
    if (!device->Control(IOCTL_STORAGE_GET_DEVICE_NUMBER_CODE, nullptr, 0, &number, sizeof number)) return std::nullopt;
    return number;
}

// Nobody else may hold the volume for the lock to succeed. A refusal is
// tried again after a pause, as the programs told of the lock close theirs.
std::unique_ptr<DeviceHandle> LockVolume(Platform& platform, std::u16string_view path) {
    auto volume = platform.io.Open(path, kLockOpen);
    if (!volume) return nullptr;
    for (int attempt = 1;; ++attempt) {
        if (volume->Control(FSCTL_LOCK_VOLUME_CODE, nullptr, 0, nullptr, 0)) return volume;
        if (attempt == VOLUME_LOCK_ATTEMPTS) return nullptr;
        platform.clock.Pause(VOLUME_LOCK_RETRY_MS);
    }
}

// A disk belongs to the card when any ancestor sits on the slot's bus; each
// such ancestor tests the disk's volumes again, which changes no outcome.
bool DiskVolumesFree(Platform& platform, DevNode disk, std::uint32_t diskNumber, std::uint32_t bus,
                     VolumeLocks& locks) {
    DeviceTree& tree = platform.devices;
    for (auto node = tree.Parent(disk); node; node = tree.Parent(*node)) {
        if (!MatchesNumber(tree.ReadDevNodeProperty(*node, CM_DRP_BUS_NUMBER), bus)) continue;
        if (LockTestDiskVolumes(platform, diskNumber, locks) == 0) return false;
    }
    return true;
}

bool IsAdapterSlotBridge(DeviceIo& io, std::uint32_t bus) {
    std::uint32_t id = 0;
    std::uint32_t subsystem = 0;
    return ReadPci(io, bus, CONFIG_ID, &id) != 0 && id == SLOT_BRIDGE_ID &&
           ReadPci(io, bus, CONFIG_SUBSYSTEM, &subsystem) != 0 && subsystem == ADAPTER_SUBSYSTEM_ID;
}

// Read, change bit 4, write the whole double word back (Link Status with the
// value just read), read back. A register reading as all ones belongs to a
// function that has dropped off the bus: its Link Disable bit means nothing.
// The card's volumes stay locked from their test until the read-back, so no
// program can open a file on them in between.
int ChangeLinkDisable(Platform& platform, std::uint32_t bus, bool enable, bool checkDisks) {
    DeviceIo& io = platform.io;
    VolumeLocks locks;
    if (checkDisks && LockTestBusDisks(platform, bus, locks) == 0) return 0;
    if (!IsAdapterSlotBridge(io, bus)) return 0;
    std::uint32_t link = 0;
    if (ReadPci(io, bus, CONFIG_LINK, &link) == 0 || link == NO_FUNCTION) return 0;
    const bool wantDisabled = !enable;
    if (((link & LINK_DISABLE) != 0) == wantDisabled) return 1;
    if (wantDisabled) {
        // Whoever asks, the link never drops beneath a volume in use: its
        // unwritten data would be lost. A slot without a card has no volumes
        // to find, and an idle request never gets here.
        if (!checkDisks && LockTestBusDisks(platform, bus, locks) == 0) return 0;
        // Written out and closed while nobody else can reach them.
        if (!locks.DismountAll()) return 0;
    }

    const std::uint32_t wanted = enable ? link & ~LINK_DISABLE : link | LINK_DISABLE;
    if (WritePci(io, bus, CONFIG_LINK, wanted) == 0) return 0;
    std::uint32_t readBack = 0;
    if (ReadPci(io, bus, CONFIG_LINK, &readBack) == 0 || readBack == NO_FUNCTION) return 0;
    return ((readBack & LINK_DISABLE) != 0) == wantDisabled ? 1 : 0;
}

// Plug and Play must look at the bus after every attempt, also a refused
// one: the tool relies on it to keep the tree in line with the link.
void ApplyToDevicesOnBus(DeviceTree& tree, std::uint32_t bus, std::uint32_t stateChange) {
    ScanDevices(tree, DeviceSetKind::PciPresent, [&](DeviceSet& set, std::uint32_t index, DevNode node) {
        if (!IsOnBus(set, index, bus)) return true;
        if (stateChange != 0) {
            set.ChangeState(index, stateChange);
        } else {
            tree.Reenumerate(node);
        }
        return true;
    });
}

}  // namespace

VolumeLocks::~VolumeLocks() {
    // Closing the handle gives the lock back too; the unlock only says so first.
    for (auto& [letter, volume] : held_) volume->Control(FSCTL_UNLOCK_VOLUME_CODE, nullptr, 0, nullptr, 0);
}

bool VolumeLocks::Holds(char16_t letter) const {
    for (const auto& held : held_) {
        if (held.first == letter) return true;
    }
    return false;
}

void VolumeLocks::Add(char16_t letter, std::unique_ptr<DeviceHandle> volume) {
    held_.emplace_back(letter, std::move(volume));
}

bool VolumeLocks::DismountAll() {
    for (auto& [letter, volume] : held_) {
        if (!volume->Control(FSCTL_DISMOUNT_VOLUME_CODE, nullptr, 0, nullptr, 0)) return false;
    }
    return true;
}

int LockTestDiskVolumes(Platform& platform, std::uint32_t diskNumber, VolumeLocks& locks) {
    DeviceIo& io = platform.io;
    const std::uint32_t drives = io.LogicalDrives();
    // A and B are floppy letters: never a disk of the card.
    for (char16_t letter = u'C'; letter <= u'Z'; ++letter) {
        if ((drives & 1u << (letter - u'A')) == 0 || locks.Holds(letter)) continue;
        const std::u16string volume = std::u16string(u"\\\\.\\") + letter + u':';
        const auto number = DeviceNumberOf(io, volume);
        // CD-ROM drives and mounted images count their numbers apart from the disks.
        if (!number || number->deviceType != FILE_DEVICE_DISK_CODE || number->deviceNumber != diskNumber) continue;
        // No medium (or no readable file system): nothing can be open on it.
        if (io.TotalBytes(std::u16string(1, letter) + u":\\").value_or(0) == 0) continue;
        auto locked = LockVolume(platform, volume);
        if (!locked) return 0;
        locks.Add(letter, std::move(locked));
    }
    return 1;
}

int LockTestBusDisks(Platform& platform, std::uint32_t bus, VolumeLocks& locks) {
    DeviceTree& tree = platform.devices;
    const auto disks = tree.OpenDiskInterfaces();
    // Without the list of disks nobody can tell whether the card's volumes
    // are in use: refuse rather than pull a mounted volume from under a user.
    if (!disks) return 0;
    for (std::uint32_t index = 0; disks->HasDevice(index); ++index) {
        DiskInterface disk;
        const InterfaceStatus status = disks->Interface(index, disk);
        if (status == InterfaceStatus::End) break;
        if (status == InterfaceStatus::Skip) continue;
        const auto number = DeviceNumberOf(platform.io, disk.path);
        if (!number) continue;
        if (!DiskVolumesFree(platform, disk.devnode, number->deviceNumber, bus, locks)) return 0;
    }
    return 1;
}

int SetStatus(Platform& platform, std::uint32_t bus, std::uint32_t stateChange, std::uint32_t linkEnable,
              std::uint32_t checkDisks) {
    bus &= 0xFF;
    stateChange &= 0xFF;
    // Enable and disable are all the flows ask the class installer for; a
    // property change is persistent, so it reaches nothing but the slot.
    if (stateChange > DICS_DISABLE_CODE) return 0;
    if (stateChange != 0 && !IsAdapterSlotBridge(platform.io, bus)) return 0;
    const int result = ChangeLinkDisable(platform, bus, (linkEnable & 0xFF) != 0, (checkDisks & 0xFF) != 0);
    ApplyToDevicesOnBus(platform.devices, bus, stateChange);
    return result;
}

}  // namespace qn38
