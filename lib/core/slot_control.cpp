#include "slot_control.h"

#include <algorithm>
#include <array>
#include <cstring>
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

// The slot bridge in Plug and Play: the adapter's bridge among the PCI
// devices on the bus, not any other function that shares its bus number.
struct SlotBridgeNode {
    bool known = false;           // the scan could tell
    std::optional<DevNode> node;  // none: Plug and Play lists no bridge, so no disk is below it
};

SlotBridgeNode FindSlotBridge(DeviceTree& tree, std::uint32_t bus) {
    SlotBridgeNode bridge{true, std::nullopt};
    const bool scanned =
        ScanDevices(tree, DeviceSetKind::PciPresent, [&](DeviceSet& set, std::uint32_t index, DevNode node) {
            if (!IsOnBus(set, index, bus)) return true;
            const PropertyValue ids = set.ReadProperty(index, SPDRP_HARDWARE_IDS);
            // A function on the bus whose identity cannot be read may be the bridge.
            if (ids.status == PropertyStatus::Failed) bridge.known = false;
            if (!MatchesText(ids, U16(HWID_SLOT_BRIDGE))) return true;
            bridge.node = node;
            return false;
        });
    if (bridge.node) bridge.known = true;
    if (!scanned) bridge.known = false;
    return bridge;
}

bool IsBelow(DeviceTree& tree, DevNode node, DevNode ancestor) {
    for (auto parent = tree.Parent(node); parent; parent = tree.Parent(*parent)) {
        if (*parent == ancestor) return true;
    }
    return false;
}

// A volume's GUID path names its root directory; the volume itself is the
// same path without the final backslash.
std::u16string_view VolumeDevice(std::u16string_view volumeName) {
    if (!volumeName.empty() && volumeName.back() == u'\\') volumeName.remove_suffix(1);
    return volumeName;
}

// A volume whose extents cannot be read (a CD-ROM drive, a reader without
// its medium) lies on no disk of the card.
bool HasExtentOn(DeviceIo& io, std::u16string_view volumeDevice, std::span<const std::uint32_t> diskNumbers) {
    const auto volume = io.Open(volumeDevice, kQueryOpen);
    if (!volume) return false;
    std::array<std::uint8_t, VOLUME_DISK_EXTENTS_HEADER_BYTES + VOLUME_EXTENTS_READ * sizeof(DiskExtent)> extents{};
    if (!volume->Control(IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS_CODE, nullptr, 0, extents.data(),
                         static_cast<std::uint32_t>(extents.size()))) {
        return false;
    }
    std::uint32_t count = 0;
    std::memcpy(&count, extents.data(), sizeof count);
    count = std::min(count, VOLUME_EXTENTS_READ);
    for (std::uint32_t at = 0; at < count; ++at) {
        DiskExtent extent{};
        std::memcpy(&extent, extents.data() + VOLUME_DISK_EXTENTS_HEADER_BYTES + at * sizeof extent, sizeof extent);
        if (std::find(diskNumbers.begin(), diskNumbers.end(), extent.diskNumber) != diskNumbers.end()) return true;
    }
    return false;
}

bool IsAdapterSlotBridge(DeviceIo& io, std::uint32_t bus) {
    std::uint32_t id = 0;
    std::uint32_t subsystem = 0;
    return ReadPci(io, bus, CONFIG_ID, &id) != 0 && id == SLOT_BRIDGE_ID &&
           ReadPci(io, bus, CONFIG_SUBSYSTEM, &subsystem) != 0 && subsystem == ADAPTER_SUBSYSTEM_ID;
}

// How ChangeLinkDisable left the link.
enum class LinkChange {
    Failed,     // the register could not be changed, or a volume was in use
    AlreadySo,  // it was as asked: nothing written
    Changed,    // written and read back as asked
};

// Read, change bit 4, write the whole double word back (Link Status with the
// value just read), read back. A register reading as all ones belongs to a
// function that has dropped off the bus: its Link Disable bit means nothing.
// The card's volumes stay locked from their test until the read-back, so no
// program can open a file on them in between.
LinkChange ChangeLinkDisable(Platform& platform, std::uint32_t bus, bool enable, bool checkDisks) {
    DeviceIo& io = platform.io;
    VolumeLocks locks;
    if (checkDisks && LockTestBusDisks(platform, bus, locks) == 0) return LinkChange::Failed;
    std::uint32_t link = 0;
    if (ReadPci(io, bus, CONFIG_LINK, &link) == 0 || link == NO_FUNCTION) return LinkChange::Failed;
    const bool wantDisabled = !enable;
    if (((link & LINK_DISABLE) != 0) == wantDisabled) return LinkChange::AlreadySo;
    if (wantDisabled) {
        // Whoever asks, the link never drops beneath a volume in use: its
        // unwritten data would be lost. A slot without a card has no volumes
        // to find, and an idle request never gets here.
        if (!checkDisks && LockTestBusDisks(platform, bus, locks) == 0) return LinkChange::Failed;
        // Written out and closed while nobody else can reach them.
        if (!locks.DismountAll()) return LinkChange::Failed;
    }

    const std::uint32_t wanted = enable ? link & ~LINK_DISABLE : link | LINK_DISABLE;
    if (WritePci(io, bus, CONFIG_LINK, wanted) == 0) return LinkChange::Failed;
    std::uint32_t readBack = 0;
    if (ReadPci(io, bus, CONFIG_LINK, &readBack) == 0 || readBack == NO_FUNCTION) return LinkChange::Failed;
    return ((readBack & LINK_DISABLE) != 0) == wantDisabled ? LinkChange::Changed : LinkChange::Failed;
}

// True once `ready` holds, asked at once and then every `step` until
// `bound` has passed.
template <typename Ready>
bool PollFor(Clock& clock, std::uint32_t bound, std::uint32_t step, Ready ready) {
    for (std::uint32_t waited = 0;; waited += step) {
        if (ready()) return true;
        if (waited >= bound) return false;
        clock.Pause(step);
    }
}

bool ReadsSet(DeviceIo& io, std::uint32_t bus, std::uint32_t offset, std::uint32_t bits) {
    std::uint32_t value = 0;
    return ReadPci(io, bus, offset, &value) != 0 && value != NO_FUNCTION && (value & bits) != 0;
}

// A function answers once its Vendor ID is neither the all-ones of no
// function nor the retry value of one still initialising.
bool CardAnswers(DeviceIo& io, std::uint32_t cardBus) {
    std::uint32_t id = 0;
    if (ReadPci(io, cardBus, CONFIG_ID, &id) == 0) return false;
    const std::uint32_t vendor = id & 0xFFFF;
    return vendor != VENDOR_ID_NONE && vendor != VENDOR_ID_RETRY;
}

// After the link has come up: the link trained, the pause a card is given
// before it is spoken to, and the card answering on the bridge's secondary
// bus, each within its bound. False once a bound has passed; the scan that
// follows is made all the same, so the tree reflects the slot either way.
bool AwaitCard(Platform& platform, std::uint32_t bus) {
    DeviceIo& io = platform.io;
    Clock& clock = platform.clock;
    if (ReadsSet(io, bus, CONFIG_LINK_CAPABILITIES, LINK_ACTIVE_REPORTING)) {
        const bool active = PollFor(clock, LINK_ACTIVE_WAIT_MS, LINK_ACTIVE_POLL_MS,
                                    [&] { return ReadsSet(io, bus, CONFIG_LINK, LINK_ACTIVE); });
        if (!active) return false;
    } else {
        clock.Pause(LINK_ACTIVE_WAIT_MS);
    }
    clock.Pause(LINK_SETTLE_MS);
    std::uint32_t numbers = 0;
    if (ReadPci(io, bus, CONFIG_BUS_NUMBERS, &numbers) == 0 || numbers == NO_FUNCTION) return false;
    // A bridge whose secondary bus is not assigned leads nowhere (bus 0 is the root's).
    const std::uint32_t cardBus = (numbers >> 8) & 0xFF;
    if (cardBus == 0) return false;
    return PollFor(clock, CARD_ANSWER_WAIT_MS, CARD_ANSWER_POLL_MS, [&] { return CardAnswers(io, cardBus); });
}

// Plug and Play must look at the bus after every attempt, also a refused
// one: the tool relies on it to keep the tree in line with the link.
void ReenumerateBus(DeviceTree& tree, std::uint32_t bus) {
    ScanDevices(tree, DeviceSetKind::PciPresent, [&](DeviceSet& set, std::uint32_t index, DevNode node) {
        if (IsOnBus(set, index, bus)) tree.Reenumerate(node);
        return true;
    });
}

// Calls `act` for the slot bridge among the PCI devices on the bus; false
// when Plug and Play lists none (or the list cannot be built).
template <typename Act>
bool WithSlotBridge(DeviceTree& tree, std::uint32_t bus, Act act) {
    bool found = false;
    ScanDevices(tree, DeviceSetKind::PciPresent, [&](DeviceSet& set, std::uint32_t index, DevNode node) {
        if (!IsOnBus(set, index, bus)) return true;
        if (!MatchesText(set.ReadProperty(index, SPDRP_HARDWARE_IDS), U16(HWID_SLOT_BRIDGE))) return true;
        found = true;
        act(set, index, node);
        return false;
    });
    return found;
}

// The card sits below the slot bridge: its scan is the one that finds it.
// Where Plug and Play lists no bridge, the bus's devices are scanned as for
// any other change.
void ReenumerateSlotBridge(DeviceTree& tree, std::uint32_t bus) {
    const bool found =
        WithSlotBridge(tree, bus, [&](DeviceSet&, std::uint32_t, DevNode node) { tree.Reenumerate(node); });
    if (!found) ReenumerateBus(tree, bus);
}

// State change 2: the slot bridge's stack stopped and started again, which
// scans its bus anew. Only a restart that took place counts: one the class
// installer refused, or put off to the next boot because a device below
// could not be stopped, leaves the slot as it was.
bool RestartSlotBridge(DeviceTree& tree, std::uint32_t bus) {
    bool restarted = false;
    WithSlotBridge(tree, bus, [&](DeviceSet& set, std::uint32_t index, DevNode) {
        restarted = set.ChangeState(index, DICS_PROPCHANGE_CODE) == StateChangeOutcome::Called;
    });
    return restarted;
}

// State change 1: a slot bridge that a disable left disabled in the hardware
// profile (an older release's device cycle cut short) is enabled; one that
// runs is left alone, so nothing is written. Then its bus is scanned.
bool EnableSlotBridge(DeviceTree& tree, std::uint32_t bus) {
    bool enabled = true;
    const bool found = WithSlotBridge(tree, bus, [&](DeviceSet& set, std::uint32_t index, DevNode node) {
        const auto status = tree.Status(node);
        if (status && status->problem == CM_PROB_DISABLED_CODE) {
            enabled = set.ChangeState(index, DICS_ENABLE_CODE) == StateChangeOutcome::Called;
        }
        tree.Reenumerate(node);
    });
    return found && enabled;
}

}  // namespace

VolumeLocks::~VolumeLocks() {
    // Closing the handle gives the lock back too; the unlock only says so first.
    for (auto& [name, volume] : held_) volume->Control(FSCTL_UNLOCK_VOLUME_CODE, nullptr, 0, nullptr, 0);
}

bool VolumeLocks::Holds(std::u16string_view volumeName) const {
    for (const auto& held : held_) {
        if (held.first == volumeName) return true;
    }
    return false;
}

void VolumeLocks::Add(std::u16string volumeName, std::unique_ptr<DeviceHandle> volume) {
    held_.emplace_back(std::move(volumeName), std::move(volume));
}

bool VolumeLocks::DismountAll() {
    for (auto& [name, volume] : held_) {
        if (!volume->Control(FSCTL_DISMOUNT_VOLUME_CODE, nullptr, 0, nullptr, 0)) return false;
    }
    return true;
}

int LockTestDiskVolumes(Platform& platform, std::span<const std::uint32_t> diskNumbers, VolumeLocks& locks) {
    DeviceIo& io = platform.io;
    // Every volume, not only the lettered ones: a volume mounted in a folder
    // or opened by its GUID path holds files as well.
    const auto volumes = io.VolumeNames();
    if (!volumes) return 0;
    for (const std::u16string& name : *volumes) {
        if (locks.Holds(name)) continue;
        const std::u16string_view device = VolumeDevice(name);
        if (!HasExtentOn(io, device, diskNumbers)) continue;
        // No medium (or no readable file system): nothing can be open on it.
        if (io.TotalBytes(name).value_or(0) == 0) continue;
        auto locked = LockVolume(platform, device);
        if (!locked) return 0;
        locks.Add(name, std::move(locked));
    }
    return 1;
}

int LockTestBusDisks(Platform& platform, std::uint32_t bus, VolumeLocks& locks) {
    DeviceTree& tree = platform.devices;
    // The card's disks are the slot bridge's descendants. Without the device
    // list or the list of disks nobody can tell whether the card's volumes
    // are in use: refuse rather than pull a mounted volume from under a user.
    const SlotBridgeNode bridge = FindSlotBridge(tree, bus);
    if (!bridge.known) return 0;
    if (!bridge.node) return 1;
    const auto disks = tree.OpenDiskInterfaces();
    if (!disks) return 0;
    std::vector<std::uint32_t> cardDisks;
    for (std::uint32_t index = 0; disks->HasDevice(index); ++index) {
        DiskInterface disk;
        const InterfaceStatus status = disks->Interface(index, disk);
        if (status == InterfaceStatus::End) break;
        // A disk without its devnode may be the card's; one of the card's
        // without its number hides which volumes are.
        if (status == InterfaceStatus::Skip) return 0;
        if (!IsBelow(tree, disk.devnode, *bridge.node)) continue;
        const auto number = DeviceNumberOf(platform.io, disk.path);
        if (!number) return 0;
        cardDisks.push_back(number->deviceNumber);
    }
    if (cardDisks.empty()) return 1;
    return LockTestDiskVolumes(platform, cardDisks, locks);
}

int SetStatus(Platform& platform, std::uint32_t bus, std::uint32_t stateChange, std::uint32_t linkEnable,
              std::uint32_t checkDisks) {
    bus &= 0xFF;
    stateChange &= 0xFF;
    // The restart and the enable are all the flows ask the class installer
    // for, and they reach nothing but the slot bridge.
    if (stateChange > DICS_DISABLE_CODE) return 0;
    // Any local user can send this: nothing of another bus's disks is
    // touched, and no volume is locked, before the bridge is the adapter's.
    const bool slotBridge = IsAdapterSlotBridge(platform.io, bus);
    if (stateChange != 0 && !slotBridge) return 0;
    if (stateChange == DICS_DISABLE_CODE) {
        // A restart takes the card's devices away for a moment, as a dropped
        // link does. The locks go back before the class installer runs: its
        // own query-remove would see them as a volume in use, and a file
        // opened in between makes it put the restart off, which fails.
        VolumeLocks locks;
        if (LockTestBusDisks(platform, bus, locks) == 0) return 0;
    }
    const bool enable = (linkEnable & 0xFF) != 0;
    const LinkChange link =
        slotBridge ? ChangeLinkDisable(platform, bus, enable, (checkDisks & 0xFF) != 0) : LinkChange::Failed;
    const int result = link == LinkChange::Failed ? 0 : 1;
    DeviceTree& tree = platform.devices;
    if (stateChange == DICS_DISABLE_CODE) return RestartSlotBridge(tree, bus) ? result : 0;
    if (stateChange == DICS_ENABLE_CODE) return EnableSlotBridge(tree, bus) ? result : 0;
    if (enable && link == LinkChange::Changed) {
        AwaitCard(platform, bus);
        ReenumerateSlotBridge(tree, bus);
    } else {
        ReenumerateBus(tree, bus);
    }
    return result;
}

}  // namespace qn38
