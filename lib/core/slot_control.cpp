#include "lib/core/slot_control.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>

#include "lib/core/constants.h"
#include "lib/core/device_lookup.h"
#include "lib/core/match.h"
#include "lib/core/pci_config.h"

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

// The disks a volume has extents on; nothing when they cannot be read (an
// optical disc has none).
std::optional<std::vector<std::uint32_t>> ExtentDisks(DeviceHandle& volume) {
    std::array<std::uint8_t, VOLUME_DISK_EXTENTS_HEADER_BYTES + VOLUME_EXTENTS_READ * sizeof(DiskExtent)> extents{};
    if (!volume.Control(IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS_CODE, nullptr, 0, extents.data(),
                        static_cast<std::uint32_t>(extents.size()))) {
        return std::nullopt;
    }
    std::uint32_t count = 0;
    std::memcpy(&count, extents.data(), sizeof count);
    count = std::min(count, VOLUME_EXTENTS_READ);
    std::vector<std::uint32_t> disks;
    for (std::uint32_t at = 0; at < count; ++at) {
        DiskExtent extent{};
        std::memcpy(&extent, extents.data() + VOLUME_DISK_EXTENTS_HEADER_BYTES + at * sizeof extent, sizeof extent);
        disks.push_back(extent.diskNumber);
    }
    return disks;
}

bool Contains(std::span<const std::uint32_t> numbers, std::uint32_t number) {
    return std::find(numbers.begin(), numbers.end(), number) != numbers.end();
}

// The card's storage devices by their device numbers: disks, and optical
// drives, which number their own kind.
struct CardStorageNumbers {
    std::vector<std::uint32_t> disks;
    std::vector<std::uint32_t> cdRoms;
    bool empty() const { return disks.empty() && cdRoms.empty(); }
};

// Nothing when a device that may be the card's cannot be identified: one
// without its devnode, or one of the card's without its number, hides which
// volumes are the card's.
std::optional<CardStorageNumbers> CardStorage(Platform& platform, DevNode bridge) {
    DeviceTree& tree = platform.devices;
    CardStorageNumbers numbers;
    for (const StorageInterfaceKind kind : STORAGE_INTERFACE_KINDS) {
        const auto set = tree.OpenDiskInterfaces(kind);
        if (!set) return std::nullopt;
        for (std::uint32_t index = 0; set->HasDevice(index); ++index) {
            DiskInterface device;
            const InterfaceStatus status = set->Interface(index, device);
            if (status == InterfaceStatus::End) break;
            if (status == InterfaceStatus::Skip) return std::nullopt;
            if (!IsBelow(tree, device.devnode, bridge)) continue;
            const auto number = DeviceNumberOf(platform.io, device.path);
            if (!number) return std::nullopt;
            (kind == StorageInterfaceKind::CdRom ? numbers.cdRoms : numbers.disks).push_back(number->deviceNumber);
        }
    }
    return numbers;
}

enum class Placement { Card, Elsewhere, Unknown };

// Where a volume lies: by its extents, or, for a volume without any (an
// optical disc), by the number of the device that holds it. A volume that
// cannot be opened (another program holds it locked) may be the card's.
Placement PlacementOf(DeviceIo& io, std::u16string_view volumeDevice, const CardStorageNumbers& card) {
    const auto volume = io.Open(volumeDevice, kQueryOpen);
    if (!volume) return Placement::Unknown;
    if (const auto disks = ExtentDisks(*volume)) {
        for (const std::uint32_t disk : *disks) {
            if (Contains(card.disks, disk)) return Placement::Card;
        }
        return Placement::Elsewhere;
    }
    StorageDeviceNumber number{};
    if (!volume->Control(IOCTL_STORAGE_GET_DEVICE_NUMBER_CODE, nullptr, 0, &number, sizeof number)) {
        return Placement::Unknown;
    }
    const auto& numbers = number.deviceType == FILE_DEVICE_CD_ROM_CODE ? card.cdRoms : card.disks;
    return Contains(numbers, number.deviceNumber) ? Placement::Card : Placement::Elsewhere;
}

// Only a drive that says so holds no medium; a volume whose size cannot be
// read may hold a file system Windows cannot read, and files all the same.
bool HoldsNoMedium(DeviceIo& io, std::u16string_view volumeDevice) {
    const auto volume = io.Open(volumeDevice, kQueryOpen);
    return volume && volume->MediumPresent() == false;
}

// Every volume of the card is written out, the drive's own cache included,
// before Plug and Play takes the card: a drive whose power goes may lose what
// it acknowledged. Nothing is locked here, so a program that closes its
// handles when Windows asks does not refuse the stop. False at the first
// volume that may be the card's and cannot be flushed.
bool FlushCardVolumes(Platform& platform, DevNode bridge) {
    DeviceIo& io = platform.io;
    const auto card = CardStorage(platform, bridge);
    if (!card) return false;
    if (card->empty()) return true;
    const auto volumes = io.VolumeNames();
    if (!volumes) return false;
    for (const std::u16string& name : *volumes) {
        const std::u16string_view device = VolumeDevice(name);
        const Placement placement = PlacementOf(io, device, *card);
        if (placement == Placement::Elsewhere) continue;
        if (placement == Placement::Unknown) return false;
        const auto volume = io.Open(device, kLockOpen);
        if (volume && volume->Flush()) continue;
        if (HoldsNoMedium(io, device)) continue;
        return false;
    }
    return true;
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

// Every volume, not only the lettered ones: a volume mounted in a folder or
// opened by its GUID path holds files as well.
int LockTestCardVolumes(Platform& platform, const CardStorageNumbers& card, VolumeLocks& locks) {
    DeviceIo& io = platform.io;
    const auto volumes = io.VolumeNames();
    if (!volumes) return 0;
    for (const std::u16string& name : *volumes) {
        if (locks.Holds(name)) continue;
        const std::u16string_view device = VolumeDevice(name);
        const Placement placement = PlacementOf(io, device, card);
        if (placement == Placement::Elsewhere) continue;
        if (placement == Placement::Unknown) return 0;
        // Nothing can be open on a drive without a medium.
        if (io.TotalBytes(name).value_or(0) == 0 && HoldsNoMedium(io, device)) continue;
        auto locked = LockVolume(platform, device);
        if (!locked) return 0;
        locks.Add(name, std::move(locked));
    }
    return 1;
}

// Every volume of the card's storage below the slot bridge: 1 when each
// could be locked (the locks kept in `locks`), 0 at the first that could not.
int LockTestBelow(Platform& platform, DevNode bridge, VolumeLocks& locks) {
    const auto card = CardStorage(platform, bridge);
    if (!card) return 0;
    if (card->empty()) return 1;
    return LockTestCardVolumes(platform, *card, locks);
}

std::vector<DevNode> ChildrenOf(DeviceTree& tree, DevNode node) {
    std::vector<DevNode> children;
    for (auto child = tree.FirstChild(node); child; child = tree.NextSibling(*child)) children.push_back(*child);
    return children;
}

// Problem 47: removed and kept from restarting, by Windows' own safe removal
// or by a stop.
bool IsHeldForEject(DeviceTree& tree, DevNode node) {
    const auto status = tree.Status(node);
    return status && status->problem == CM_PROB_HELD_FOR_EJECT_CODE;
}

// Gone already: held for eject, or gone from the hardware and lingering
// until its last handle closes.
bool IsRemoved(DeviceTree& tree, DevNode node) {
    const auto status = tree.Status(node);
    return status &&
           (status->problem == CM_PROB_HELD_FOR_EJECT_CODE || (status->status & DN_WILL_BE_REMOVED_FLAG) != 0);
}

// A devnode removed with CM_REMOVE_NO_RESTART starts again only once it has
// been reset; the re-enumeration then starts it.
void RestartDevices(DeviceTree& tree, std::span<const DevNode> nodes) {
    for (const DevNode node : nodes) {
        tree.ResetDevNode(node);
        tree.Reenumerate(node);
    }
}

RemovalKind RemovalKindOf(DeviceTree& tree, DevNode node) {
    const PropertyValue capabilities = tree.ReadDevNodeProperty(node, CM_DRP_CAPABILITIES_CODE);
    std::uint32_t flags = 0;
    if (capabilities.ok() && capabilities.data.size() >= sizeof flags) {
        std::memcpy(&flags, capabilities.data.data(), sizeof flags);
    }
    return (flags & CM_DEVCAP_SURPRISE_REMOVAL_OK) != 0 ? RemovalKind::Eject : RemovalKind::QueryAndRemove;
}

// The card's functions taken away as Windows' own safe removal does: every
// driver and every program registered for their devices is asked first, and
// one that keeps its handle refuses. Unless kept, whatever was removed comes
// back when this goes, so a refused or failed stop leaves the card running.
class CardRemoval {
public:
    explicit CardRemoval(DeviceTree& tree) : tree_(tree) {}
    CardRemoval(const CardRemoval&) = delete;
    CardRemoval& operator=(const CardRemoval&) = delete;
    ~CardRemoval() {
        if (!kept_) RestartDevices(tree_, removed_);
    }

    // False at the first function that could not be removed, with the veto
    // when Windows named one.
    bool RemoveChildrenOf(DevNode bridge, RemovalVeto* veto) {
        for (const DevNode child : ChildrenOf(tree_, bridge)) {
            if (IsRemoved(tree_, child)) continue;
            const RemovalOutcome outcome = tree_.RemoveSubtree(child, RemovalKindOf(tree_, child));
            if (outcome.result == RemovalResult::Removed) {
                removed_.push_back(child);
                continue;
            }
            if (veto != nullptr && outcome.result == RemovalResult::Vetoed) *veto = outcome.veto;
            return false;
        }
        return true;
    }
    void Keep() { kept_ = true; }

private:
    DeviceTree& tree_;
    std::vector<DevNode> removed_;
    bool kept_ = false;
};

// Read, change bit 4, write the whole double word back (Link Status with the
// value just read), read back. A register reading as all ones belongs to a
// function that has dropped off the bus: its Link Disable bit means nothing.
// The link drops only once Plug and Play has removed the card's devices:
// dropped beneath them, it takes them by surprise, under the programs using
// them. Their volumes are flushed before the removal, which does not flush
// the drive's cache; any volume the removal left stays locked until the
// read-back, so no program can open a file on it in between.
LinkChange ChangeLinkDisable(Platform& platform, std::uint32_t bus, bool enable, bool checkDisks, RemovalVeto* veto) {
    DeviceIo& io = platform.io;
    VolumeLocks startLocks;
    if (enable && checkDisks && LockTestBusDisks(platform, bus, startLocks) == 0) return LinkChange::Failed;
    std::uint32_t link = 0;
    if (ReadPci(io, bus, CONFIG_LINK, &link) == 0 || link == NO_FUNCTION) return LinkChange::Failed;
    const bool wantDisabled = !enable;
    if (((link & LINK_DISABLE) != 0) == wantDisabled) return LinkChange::AlreadySo;

    // Whoever asks, the link never drops beneath a device in use.
    std::optional<CardRemoval> removal;
    VolumeLocks locks;
    if (wantDisabled) {
        const SlotBridgeNode bridge = FindSlotBridge(platform.devices, bus);
        if (!bridge.known) return LinkChange::Failed;
        if (bridge.node) {
            if (!FlushCardVolumes(platform, *bridge.node)) return LinkChange::Failed;
            removal.emplace(platform.devices);
            if (!removal->RemoveChildrenOf(*bridge.node, veto)) return LinkChange::Failed;
            if (LockTestBelow(platform, *bridge.node, locks) == 0) return LinkChange::Failed;
            if (!locks.DismountAll()) return LinkChange::Failed;
        }
    }

    const std::uint32_t wanted = enable ? link & ~LINK_DISABLE : link | LINK_DISABLE;
    if (WritePci(io, bus, CONFIG_LINK, wanted) == 0) return LinkChange::Failed;
    std::uint32_t readBack = 0;
    if (ReadPci(io, bus, CONFIG_LINK, &readBack) == 0 || readBack == NO_FUNCTION) return LinkChange::Failed;
    if (((readBack & LINK_DISABLE) != 0) != wantDisabled) return LinkChange::Failed;
    if (removal) removal->Keep();
    return LinkChange::Changed;
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

// A card stopped and started again without being pulled: the stop's removal
// kept its functions from restarting.
void RestartHeldCardDevices(DeviceTree& tree, std::uint32_t bus) {
    const SlotBridgeNode bridge = FindSlotBridge(tree, bus);
    if (!bridge.node) return;
    std::vector<DevNode> held;
    for (const DevNode child : ChildrenOf(tree, *bridge.node)) {
        if (IsHeldForEject(tree, child)) held.push_back(child);
    }
    RestartDevices(tree, held);
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
    return LockTestCardVolumes(platform, {{diskNumbers.begin(), diskNumbers.end()}, {}}, locks);
}

int LockTestBusDisks(Platform& platform, std::uint32_t bus, VolumeLocks& locks) {
    // Without the device list nobody can tell whether the card's volumes are
    // in use: refuse rather than pull a mounted volume from under a user.
    const SlotBridgeNode bridge = FindSlotBridge(platform.devices, bus);
    if (!bridge.known) return 0;
    if (!bridge.node) return 1;
    return LockTestBelow(platform, *bridge.node, locks);
}

std::u16string VetoHolder(DeviceTree& tree, const RemovalVeto& veto) {
    switch (veto.type) {
    case PNP_VETO_WINDOWS_APP:
    case PNP_VETO_WINDOWS_SERVICE:
    case PNP_VETO_DRIVER:
    case PNP_VETO_LEGACY_DRIVER:
        return veto.name;
    case PNP_VETO_LEGACY_DEVICE:
    case PNP_VETO_PENDING_CLOSE:
    case PNP_VETO_OUTSTANDING_OPEN:
    case PNP_VETO_DEVICE:
    case PNP_VETO_ILLEGAL_DEVICE_REQUEST:
    case PNP_VETO_NON_DISABLEABLE: {
        // The name is an instance path; the user knows the device by its name.
        if (const auto node = tree.Locate(veto.name)) {
            for (const std::uint32_t property : {CM_DRP_FRIENDLY_NAME, CM_DRP_DEVICE_DESCRIPTION}) {
                const PropertyValue value = tree.ReadDevNodeProperty(*node, property);
                if (!value.ok()) continue;
                std::u16string text;
                for (std::size_t at = 0; at + 1 < value.data.size(); at += 2) {
                    const auto unit = static_cast<char16_t>(value.data[at] | value.data[at + 1] << 8);
                    if (unit == 0) break;
                    text.push_back(unit);
                }
                if (!text.empty()) return text;
            }
        }
        return veto.name;
    }
    default:
        return {};
    }
}

int SetStatus(Platform& platform, std::uint32_t bus, std::uint32_t stateChange, std::uint32_t linkEnable,
              std::uint32_t checkDisks, RemovalVeto* veto) {
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
        slotBridge ? ChangeLinkDisable(platform, bus, enable, (checkDisks & 0xFF) != 0, veto) : LinkChange::Failed;
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
    // A card stopped and started again without being pulled comes back kept
    // from restarting.
    if (enable && result != 0) RestartHeldCardDevices(tree, bus);
    return result;
}

}  // namespace qn38
