// Device paths of the simulated PC: the dump device, and whatever later
// pieces of the machine (disks, volumes) register.
#pragma once

#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "sim/machine/sim_devices.h"

namespace qn38::sim {

class SimIo final : public DeviceIo {
public:
    using Opener = std::function<std::unique_ptr<DeviceHandle>(const OpenRequest&)>;

    explicit SimIo(SimDevices& devices) : devices_(devices) {}

    // Paths compare without case, as Windows device paths do.
    void AddPath(std::u16string_view path, Opener opener);
    void RemovePath(std::u16string_view path);

    // Drive letters and the sizes GetDiskFreeSpaceExW reports for their roots.
    void SetDrive(char letter, std::optional<std::uint64_t> totalBytes);
    void RemoveDrive(char letter);
    // A mapped network drive. Asking an unreachable one for its size waits
    // out the network's timeout, counted in `stalledSizeQueries`.
    void SetNetworkDrive(char letter, bool reachable);
    std::uint64_t stalledSizeQueries = 0;

    // Volumes by GUID path ("\\?\Volume{...}\"), in the order the volume
    // list gives them, with the sizes their roots report.
    void AddVolume(std::u16string_view name, std::optional<std::uint64_t> totalBytes);
    void SetVolumeSize(std::u16string_view name, std::optional<std::uint64_t> totalBytes);
    void RemoveVolume(std::u16string_view name);
    // The volume list cannot be read.
    bool failVolumeList = false;

    std::unique_ptr<DeviceHandle> Open(std::u16string_view path, const OpenRequest& request) override;
    std::uint32_t LogicalDrives() override;
    std::optional<std::uint64_t> TotalBytes(std::u16string_view root) override;
    bool IsRemoteDrive(std::u16string_view root) override;
    std::optional<std::vector<std::u16string>> VolumeNames() override;

private:
    SimDevices& devices_;
    std::map<std::u16string, Opener> paths_;
    std::map<char, std::optional<std::uint64_t>> drives_;
    std::map<char, bool> networkDrives_;  // letter, reachable
    std::vector<std::pair<std::u16string, std::optional<std::uint64_t>>> volumes_;
};

}  // namespace qn38::sim
