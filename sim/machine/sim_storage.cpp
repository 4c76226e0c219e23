#include "sim/machine/sim_storage.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <stdexcept>

#include "lib/core/slot_control.h"
#include "sim/machine/sim_files.h"

namespace qn38::sim {
namespace {

std::u16string Hex(std::uint32_t value) {
    const char16_t* digits = u"0123456789abcdef";
    std::u16string text;
    for (int shift = 28; shift >= 0; shift -= 4) text.push_back(digits[value >> shift & 0xF]);
    return text;
}

std::u16string LetterPath(char letter) { return std::u16string(u"\\\\.\\") + static_cast<char16_t>(letter) + u':'; }

// The volume itself: its GUID path without the final backslash.
std::u16string DevicePath(const std::u16string& name) { return name.substr(0, name.size() - 1); }

std::u16string FolderKey(std::u16string_view folder) {
    std::u16string key = SimFiles::Fold(folder);
    if (!key.empty() && key.back() == u'\\') key.pop_back();
    return key;
}

bool WriteDeviceNumber(void* out, std::uint32_t outBytes, std::uint32_t type, std::uint32_t number,
                       std::uint32_t partition) {
    if (out == nullptr || outBytes < sizeof(StorageDeviceNumber)) return false;
    const StorageDeviceNumber value{type, number, partition};
    std::memcpy(out, &value, sizeof value);
    return true;
}

class SimDiskHandle final : public DeviceHandle {
public:
    SimDiskHandle(SimDevices& devices, SimStorage& storage, DevNode disk)
        : devices_(devices), storage_(storage), disk_(disk) {}
    ~SimDiskHandle() override { ++devices_.counters().closes; }

    bool Control(std::uint32_t code, const void*, std::uint32_t, void* out, std::uint32_t outBytes) override {
        ++devices_.counters().controls;
        if (code != IOCTL_STORAGE_GET_DEVICE_NUMBER_CODE || !storage_.HasDisk(disk_)) return false;
        const SimDisk& disk = storage_.Disk(disk_);
        if (disk.failNumberQuery) return false;
        const std::uint32_t type =
            disk.kind == StorageInterfaceKind::CdRom ? FILE_DEVICE_CD_ROM_TYPE : FILE_DEVICE_DISK_TYPE;
        return WriteDeviceNumber(out, outBytes, type, disk.number, 0);
    }

private:
    SimDevices& devices_;
    SimStorage& storage_;
    DevNode disk_;
};

class SimDiskInterfaceSet final : public DiskInterfaceSet {
public:
    SimDiskInterfaceSet(SimDevices& devices, std::vector<SimDisk> disks)
        : devices_(devices), disks_(std::move(disks)) {}
    ~SimDiskInterfaceSet() override { ++devices_.counters().deviceSetsDestroyed; }

    bool HasDevice(std::uint32_t index) override { return index < disks_.size(); }
    InterfaceStatus Interface(std::uint32_t index, DiskInterface& out) override {
        if (index >= disks_.size()) return InterfaceStatus::End;
        const SimDisk& disk = disks_[index];
        if (disk.interfaceStatus != InterfaceStatus::Ok) return disk.interfaceStatus;
        out.path = disk.path;
        out.devnode = disk.node;
        return InterfaceStatus::Ok;
    }

private:
    SimDevices& devices_;
    std::vector<SimDisk> disks_;  // a snapshot, like a real set built at one moment
};

}  // namespace

// A volume handle: the lock belongs to the handle that took it and goes with it.
class SimVolumeHandle final : public DeviceHandle {
public:
    SimVolumeHandle(SimDevices& devices, SimStorage& storage, std::shared_ptr<SimVolume> volume, std::uint32_t access)
        : devices_(devices), storage_(storage), volume_(std::move(volume)), access_(access) {
        ++volume_->openHandles;
    }
    ~SimVolumeHandle() override {
        if (holdsLock_) volume_->locked = false;
        --volume_->openHandles;
        ++devices_.counters().closes;
    }

    bool Control(std::uint32_t code, const void*, std::uint32_t, void* out, std::uint32_t outBytes) override {
        ++devices_.counters().controls;
        if (volume_->gone) return false;
        switch (code) {
        case IOCTL_STORAGE_GET_DEVICE_NUMBER_CODE:
            return WriteDeviceNumber(out, outBytes, volume_->deviceType, volume_->diskNumber, volume_->partition);
        case IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS_CODE: {
            // The volume manager's: a CD-ROM drive's volume has no disk extents.
            if (volume_->deviceType != FILE_DEVICE_DISK_TYPE) return false;
            if (out == nullptr || outBytes < VOLUME_DISK_EXTENTS_HEADER_BYTES + sizeof(DiskExtent)) return false;
            const std::uint32_t count = 1;
            const DiskExtent extent{volume_->diskNumber, volume_->partition * GIB, volume_->totalBytes.value_or(0)};
            auto* bytes = static_cast<std::uint8_t*>(out);
            std::memcpy(bytes, &count, sizeof count);
            std::memcpy(bytes + VOLUME_DISK_EXTENTS_HEADER_BYTES, &extent, sizeof extent);
            return true;
        }
        case FSCTL_LOCK_VOLUME_CODE:
            ++volume_->lockAttempts;
            ++storage_.lockAttempts_;
            // A handle without read and write access may not lock; any other
            // open handle or a program's open file refuses the lock.
            if ((access_ & ACCESS_GENERIC_READ_WRITE) != ACCESS_GENERIC_READ_WRITE) return false;
            // Told of the lock, Explorer closes its windows' handles, too late for this attempt.
            if (volume_->handlesClosingOnLock > 0 || volume_->explorerWindows > 0) {
                volume_->handlesClosingOnLock = 0;
                volume_->explorerWindows = 0;
                return false;
            }
            if (volume_->locked || volume_->programHandles > 0 || volume_->openHandles > 1) return false;
            volume_->locked = true;
            holdsLock_ = true;
            ++volume_->locks;
            return true;
        case FSCTL_DISMOUNT_VOLUME_CODE:
            if (!holdsLock_) return false;
            ++volume_->dismounts;
            return true;
        case FSCTL_UNLOCK_VOLUME_CODE:
            if (!holdsLock_ || volume_->refuseUnlock) return false;
            holdsLock_ = false;
            volume_->locked = false;
            return true;
        default:
            return false;
        }
    }

    bool Flush() override {
        if (volume_->gone || (access_ & ACCESS_GENERIC_READ_WRITE) != ACCESS_GENERIC_READ_WRITE) return false;
        // A drive without its medium answers ERROR_NOT_READY.
        if (!volume_->medium) return false;
        ++volume_->flushes;
        ++devices_.counters().flushes;
        volume_->cachedWrites = 0;
        return true;
    }

    std::optional<bool> MediumPresent() override {
        if (volume_->gone) return std::nullopt;
        return volume_->medium;
    }

private:
    SimDevices& devices_;
    SimStorage& storage_;
    std::shared_ptr<SimVolume> volume_;
    std::uint32_t access_;
    bool holdsLock_ = false;
};

SimStorage::SimStorage(SimDevices& devices, SimIo& io) : devices_(devices), io_(io) {
    devices_.diskInterfaces = [this](StorageInterfaceKind kind) { return OpenInterfaces(kind); };
    devices_.onQueryRemove = [this](DevNode node) { return QueryRemove(node); };
    devices_.onRemove = [this](DevNode node) {
        if (HasDisk(node)) Forget(node);
    };
}

DevNode SimStorage::AddDisk(const DiskSpec& spec) {
    // Disks and optical drives each number their own kind.
    const StorageInterfaceKind kind = spec.optical ? StorageInterfaceKind::CdRom : StorageInterfaceKind::Disk;
    std::set<std::uint32_t> used;
    for (const auto& [node, disk] : disks_) {
        if (disk.kind == kind) used.insert(disk.number);
    }
    if (spec.optical) {
        for (const auto& volume : volumes_) {
            if (volume->deviceType == FILE_DEVICE_CD_ROM_TYPE) used.insert(volume->diskNumber);
        }
    }
    std::uint32_t number = 0;
    while (used.count(number) != 0) ++number;

    const std::u16string hardwareId = spec.optical     ? u"IDE\\CdRomQN38_Card_DVD"
                                      : spec.removable ? u"USBSTOR\\DiskQN38____Flash"
                                                       : u"SCSI\\DiskQN38____Card_SSD";
    const DevNode node = devices_.AddDevice(
        {.parent = spec.parent, .hardwareIds = {hardwareId}, .description = spec.description, .pci = false});
    SimDisk disk;
    disk.node = node;
    disk.number = number;
    disk.removable = spec.removable;
    disk.kind = kind;
    disk.path = spec.optical ? u"\\\\?\\ide#cdrom#" + Hex(node) + u"#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}"
                             : u"\\\\?\\storage#disk#" + Hex(node) + u"#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
    io_.AddPath(disk.path, [this, node](const OpenRequest&) -> std::unique_ptr<DeviceHandle> {
        if (!HasDisk(node) || Disk(node).refuseOpen) return nullptr;
        return std::make_unique<SimDiskHandle>(devices_, *this, node);
    });

    std::uint32_t partition = 1;
    for (const VolumeSpec& volumeSpec : spec.volumes) {
        const auto volume = AddVolume(volumeSpec);
        volume->diskNumber = number;
        volume->partition = spec.optical ? 0 : partition++;
        if (spec.optical) volume->deviceType = FILE_DEVICE_CD_ROM_TYPE;
        volume->writeBackCache = spec.writeBackCache;
        disk.volumes.push_back(volume->name);
    }
    disks_.emplace(node, std::move(disk));
    return node;
}

std::shared_ptr<SimVolume> SimStorage::AddVolume(const VolumeSpec& spec) {
    auto volume = std::make_shared<SimVolume>();
    volume->name = u"\\\\?\\Volume{" + Hex(++volumesMade_) + u"-5138-4e51-8000-00000000c5e1}\\";
    volume->letter = spec.letter;
    volume->folder = spec.folder;
    volume->totalBytes = spec.raw ? std::nullopt : spec.totalBytes;
    volume->medium = spec.raw || spec.totalBytes.value_or(0) > 0;
    volumes_.push_back(volume);
    io_.AddVolume(volume->name, volume->totalBytes);
    const auto opener = [this, volume](const OpenRequest& request) -> std::unique_ptr<DeviceHandle> {
        // A locked volume is reached only through the handle that locked it.
        if (volume->gone || volume->locked) return nullptr;
        if (request.access != 0 && volume->refuseReadWriteOpen) return nullptr;
        return std::make_unique<SimVolumeHandle>(devices_, *this, volume, request.access);
    };
    io_.AddPath(DevicePath(volume->name), opener);
    if (spec.letter != 0) {
        io_.SetDrive(spec.letter, volume->totalBytes);
        io_.AddPath(LetterPath(spec.letter), opener);
    }
    return volume;
}

void SimStorage::AddCdRom(char letter, std::uint32_t number) {
    const auto volume = AddVolume({.letter = letter, .totalBytes = 700u << 20});
    volume->deviceType = FILE_DEVICE_CD_ROM_TYPE;
    volume->diskNumber = number;
    volume->partition = 0;
}

void SimStorage::RemoveDisk(DevNode disk) { devices_.RemoveDevice(disk); }

DevNode SimStorage::AddSystemDisk() {
    const DevNode controller = devices_.AddDevice({.hardwareIds = {u"PCI\\VEN_8086&DEV_1C02&SUBSYS_00000000&REV_05"},
                                                   .compatibleIds = {u"PCI\\CC_010601"},
                                                   .bus = 0u,
                                                   .description = u"Standard SATA AHCI Controller"});
    const DevNode disk = AddDisk({.parent = controller, .volumes = {{'C', 250 * GIB}}});
    OpenFileOn('C');  // the system itself holds its volume
    return disk;
}

DevNode SimStorage::AddUsbStick(char letter) {
    const DevNode controller = devices_.AddDevice({.hardwareIds = {u"PCI\\VEN_8086&DEV_1E31&SUBSYS_00000000&REV_04"},
                                                   .compatibleIds = {u"PCI\\CC_0C0330"},
                                                   .bus = 0u,
                                                   .description = u"USB xHCI Compliant Host Controller"});
    const DevNode hub = devices_.AddDevice(
        {.parent = controller, .hardwareIds = {u"USB\\ROOT_HUB30"}, .description = u"USB Root Hub", .pci = false});
    return AddDisk({.parent = hub, .volumes = {{letter, 16 * GIB}}, .removable = true});
}

std::vector<DevNode> SimStorage::Disks() const {
    std::vector<DevNode> nodes;
    for (const auto& [node, disk] : disks_) nodes.push_back(node);
    return nodes;
}

SimVolume& SimStorage::Volume(char letter) {
    SimVolume* volume = FindVolume(letter);
    if (volume == nullptr) throw std::out_of_range("no volume with this letter");
    return *volume;
}

SimVolume* SimStorage::FindVolume(char letter) const {
    if (letter == 0) return nullptr;
    for (const auto& volume : volumes_) {
        if (volume->letter == letter) return volume.get();
    }
    return nullptr;
}

SimVolume* SimStorage::VolumeNamed(std::u16string_view name) const {
    for (const auto& volume : volumes_) {
        if (volume->name == name) return volume.get();
    }
    return nullptr;
}

SimVolume* SimStorage::VolumeInFolder(std::u16string_view folder) const {
    const std::u16string key = FolderKey(folder);
    for (const auto& volume : volumes_) {
        if (!volume->folder.empty() && FolderKey(volume->folder) == key) return volume.get();
    }
    return nullptr;
}

bool SimStorage::OpenFileOn(SimVolume& volume) {
    if (volume.locked) return false;
    ++volume.programHandles;
    return true;
}

void SimStorage::CloseFileOn(SimVolume& volume) {
    if (volume.programHandles > 0) --volume.programHandles;
}

bool SimStorage::LockByProgram(SimVolume& volume) {
    if (volume.locked || volume.programHandles > 0 || volume.openHandles > 0) return false;
    volume.locked = true;
    volume.lockedByProgram = true;
    return true;
}

void SimStorage::UnlockByProgram(SimVolume& volume) {
    if (!volume.lockedByProgram) return;
    volume.lockedByProgram = false;
    volume.locked = false;
}

void SimStorage::WriteTo(SimVolume& volume) {
    if (volume.writeBackCache) ++volume.cachedWrites;
}

// The file systems on a disk's volumes answer the query-remove: Explorer
// closes its windows' handles when told; a file still open, or a volume
// another program holds locked, refuses the removal.
std::optional<RemovalVeto> SimStorage::QueryRemove(DevNode node) {
    const auto disk = disks_.find(node);
    if (disk == disks_.end()) return std::nullopt;
    for (const std::u16string& name : disk->second.volumes) {
        SimVolume* volume = VolumeNamed(name);
        if (volume == nullptr) continue;
        volume->explorerWindows = 0;
        if (volume->programHandles > 0 || volume->lockedByProgram) {
            return RemovalVeto{PNP_VETO_OUTSTANDING_OPEN, devices_.Device(node).instancePath};
        }
    }
    return std::nullopt;
}

void SimStorage::Forget(DevNode node) {
    const auto disk = disks_.find(node);
    if (disk == disks_.end()) return;
    for (const std::u16string& name : disk->second.volumes) {
        const auto volume =
            std::find_if(volumes_.begin(), volumes_.end(), [&](const auto& held) { return held->name == name; });
        if (volume == volumes_.end()) continue;
        (*volume)->gone = true;
        lostWrites_ += static_cast<std::uint64_t>((*volume)->cachedWrites);
        if ((*volume)->letter != 0) {
            io_.RemoveDrive((*volume)->letter);
            io_.RemovePath(LetterPath((*volume)->letter));
        }
        io_.RemovePath(DevicePath(name));
        io_.RemoveVolume(name);
        volumes_.erase(volume);
    }
    io_.RemovePath(disk->second.path);
    disks_.erase(disk);
}

std::unique_ptr<DiskInterfaceSet> SimStorage::OpenInterfaces(StorageInterfaceKind kind) {
    std::vector<SimDisk> snapshot;
    for (const auto& [node, disk] : disks_) {
        if (disk.kind == kind && devices_.Exists(node) && devices_.Device(node).present) snapshot.push_back(disk);
    }
    return std::make_unique<SimDiskInterfaceSet>(devices_, std::move(snapshot));
}

}  // namespace qn38::sim
