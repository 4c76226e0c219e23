// Disks and volumes of the simulated PC: disk devnodes with their interfaces
// and device paths, volumes with their GUID paths, sizes and mount points (a
// letter, a folder of another volume, or none), programs holding files open
// on them, and the volume locks the stop test takes.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/machine/sim_devices.h"
#include "sim/machine/sim_io.h"

namespace qn38::sim {

inline constexpr std::uint64_t GIB = std::uint64_t{1} << 30;
inline constexpr std::uint32_t FILE_DEVICE_DISK_TYPE = 7;
inline constexpr std::uint32_t FILE_DEVICE_CD_ROM_TYPE = 2;

struct VolumeSpec {
    char letter = 'E';  // 0: no drive letter
    // What GetDiskFreeSpaceExW reports; 0 or nothing: a drive without a medium.
    std::optional<std::uint64_t> totalBytes = 8 * GIB;
    // The folder of another volume it is mounted in ("C:\Card"); empty: none.
    std::u16string folder;
    // No file system the PC can read: its size cannot be asked, yet the
    // drive holds a medium and programs may hold the volume open.
    bool raw = false;
};

struct DiskSpec {
    DevNode parent = ROOT_DEVNODE;  // the device the disk hangs below
    std::vector<VolumeSpec> volumes;
    bool removable = false;
    std::u16string description = u"Disk drive";
    bool optical = false;  // an optical drive: a CD-ROM interface, its volumes without disk extents
    // The drive acknowledges writes from its own cache: they are lost if its
    // power goes before they are flushed.
    bool writeBackCache = false;
};

struct SimVolume {
    std::u16string name;  // the GUID path, "\\?\Volume{...}\"
    char letter = 0;      // 0: none
    std::u16string folder;
    std::uint32_t deviceType = FILE_DEVICE_DISK_TYPE;
    std::uint32_t diskNumber = 0;  // a CD-ROM drive's own number for its type
    std::uint32_t partition = 1;
    std::optional<std::uint64_t> totalBytes;
    bool medium = true;      // IOCTL_STORAGE_CHECK_VERIFY2 succeeds
    int programHandles = 0;  // files or windows other programs hold open on it
    // Explorer windows on it: their handles close when Windows asks, for a
    // lock or a removal.
    int explorerWindows = 0;
    bool lockedByProgram = false;  // another program (a disk imager) holds it locked
    bool writeBackCache = false;
    int cachedWrites = 0;  // acknowledged by the drive, still in its cache
    int openHandles = 0;   // every handle open right now, the library's included
    // Handles that programs watching the volume close once a lock is tried
    // (the indexer, Explorer): that attempt fails, the next can succeed.
    int handlesClosingOnLock = 0;
    bool refuseReadWriteOpen = false;  // opening it for reading and writing is denied
    bool refuseUnlock = false;         // FSCTL_UNLOCK_VOLUME fails (the handle's close still frees it)
    bool locked = false;
    bool gone = false;  // the disk went away; handles still open fail every request
    std::uint64_t lockAttempts = 0;
    std::uint64_t locks = 0;
    std::uint64_t dismounts = 0;
    std::uint64_t flushes = 0;
};

struct SimDisk {
    DevNode node = 0;
    std::uint32_t number = 0;
    std::u16string path;  // the disk interface's device path
    bool removable = false;
    std::vector<std::u16string> volumes;                    // their GUID paths
    bool refuseOpen = false;                                // its interface's path cannot be opened
    bool failNumberQuery = false;                           // IOCTL_STORAGE_GET_DEVICE_NUMBER fails on the disk
    InterfaceStatus interfaceStatus = InterfaceStatus::Ok;  // Skip: its interface detail cannot be read
    StorageInterfaceKind kind = StorageInterfaceKind::Disk;
};

class SimStorage {
public:
    SimStorage(SimDevices& devices, SimIo& io);
    SimStorage(const SimStorage&) = delete;
    SimStorage& operator=(const SimStorage&) = delete;

    // A disk devnode (not a PCI device) below spec.parent with its interface,
    // the lowest free disk number and its volumes. Returns the devnode.
    DevNode AddDisk(const DiskSpec& spec);
    // The disk devnode goes (with SimDevices::RemoveDevice); its interface,
    // paths and drive letters follow through the removal hook.
    void RemoveDisk(DevNode disk);
    // The machine's own disk: C: below a SATA controller on bus 0, always in use.
    DevNode AddSystemDisk();
    // A USB flash drive with one volume, below a USB controller on bus 0.
    DevNode AddUsbStick(char letter);
    // A CD-ROM drive's volume (or a mounted image) numbered `number` among
    // the CD-ROM drives.
    void AddCdRom(char letter, std::uint32_t number);

    bool HasDisk(DevNode disk) const { return disks_.count(disk) != 0; }
    SimDisk& Disk(DevNode disk) { return disks_.at(disk); }
    std::vector<DevNode> Disks() const;
    bool HasVolume(char letter) const { return FindVolume(letter) != nullptr; }
    SimVolume& Volume(char letter);
    SimVolume* FindVolume(char letter) const;
    SimVolume* VolumeNamed(std::u16string_view name) const;
    // The volume mounted in the folder, with or without its final backslash.
    SimVolume* VolumeInFolder(std::u16string_view folder) const;

    // A program opens a file on the volume (not while it is locked: false),
    // or closes it again.
    bool OpenFileOn(SimVolume& volume);
    void CloseFileOn(SimVolume& volume);
    bool OpenFileOn(char letter) { return OpenFileOn(Volume(letter)); }
    void CloseFileOn(char letter) { CloseFileOn(Volume(letter)); }
    // Another program locks the volume (false when it is locked or in use), or unlocks it.
    bool LockByProgram(SimVolume& volume);
    void UnlockByProgram(SimVolume& volume);
    // A program writes to a file on the volume; a drive with a write-back
    // cache acknowledges it before the medium holds it.
    void WriteTo(SimVolume& volume);
    // Writes the drives acknowledged and lost when their power went first.
    std::uint64_t lostWrites() const { return lostWrites_; }

    // Lock attempts over every volume that ever existed, for cost assertions.
    std::uint64_t lockAttempts() const { return lockAttempts_; }

private:
    friend class SimVolumeHandle;
    void Forget(DevNode disk);
    std::shared_ptr<SimVolume> AddVolume(const VolumeSpec& spec);
    std::unique_ptr<DiskInterfaceSet> OpenInterfaces(StorageInterfaceKind kind);
    std::optional<RemovalVeto> QueryRemove(DevNode node);

    SimDevices& devices_;
    SimIo& io_;
    std::map<DevNode, SimDisk> disks_;                 // by devnode: the enumeration order of the interfaces
    std::vector<std::shared_ptr<SimVolume>> volumes_;  // in the order the volume list gives them
    std::uint32_t volumesMade_ = 0;
    std::uint64_t lockAttempts_ = 0;
    std::uint64_t lostWrites_ = 0;
    std::uint32_t cdRomsMade_ = 0;
};

}  // namespace qn38::sim
