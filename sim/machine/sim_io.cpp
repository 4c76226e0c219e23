#include "sim/machine/sim_io.h"

#include "lib/core/constants.h"

namespace qn38::sim {
namespace {

std::u16string Fold(std::u16string_view text) {
    std::u16string folded(text);
    for (auto& unit : folded) {
        if (unit >= u'a' && unit <= u'z') unit = static_cast<char16_t>(unit - u'a' + u'A');
    }
    return folded;
}

char DriveLetter(std::u16string_view root) {
    if (root.size() < 2 || root[1] != u':') return 0;
    char16_t letter = root[0];
    if (letter >= u'a' && letter <= u'z') letter = static_cast<char16_t>(letter - u'a' + u'A');
    return (letter >= u'A' && letter <= u'Z') ? static_cast<char>(letter) : 0;
}

}  // namespace

void SimIo::AddPath(std::u16string_view path, Opener opener) { paths_[Fold(path)] = std::move(opener); }

void SimIo::RemovePath(std::u16string_view path) { paths_.erase(Fold(path)); }

void SimIo::SetDrive(char letter, std::optional<std::uint64_t> totalBytes) { drives_[letter] = totalBytes; }

void SimIo::RemoveDrive(char letter) {
    drives_.erase(letter);
    networkDrives_.erase(letter);
}

void SimIo::SetNetworkDrive(char letter, bool reachable) {
    networkDrives_[letter] = reachable;
    // A share reports its size only while its server answers.
    drives_[letter] = reachable ? std::optional<std::uint64_t>(std::uint64_t{1} << 40) : std::nullopt;
}

std::unique_ptr<DeviceHandle> SimIo::Open(std::u16string_view path, const OpenRequest& request) {
    const std::u16string key = Fold(path);
    if (key == Fold(U16(DUMP_DEVICE_PATH))) return devices_.OpenDump(request);
    const auto opener = paths_.find(key);
    if (opener == paths_.end()) {
        ++devices_.counters().failedOpens;
        return nullptr;
    }
    auto handle = opener->second(request);
    if (handle) {
        ++devices_.counters().opens;
    } else {
        ++devices_.counters().failedOpens;
    }
    return handle;
}

std::uint32_t SimIo::LogicalDrives() {
    ++devices_.counters().driveQueries;
    std::uint32_t mask = 0;
    for (const auto& [letter, size] : drives_) mask |= 1u << (letter - 'A');
    return mask;
}

void SimIo::AddVolume(std::u16string_view name, std::optional<std::uint64_t> totalBytes) {
    volumes_.emplace_back(std::u16string(name), totalBytes);
}

void SimIo::SetVolumeSize(std::u16string_view name, std::optional<std::uint64_t> totalBytes) {
    for (auto& volume : volumes_) {
        if (Fold(volume.first) == Fold(name)) volume.second = totalBytes;
    }
}

void SimIo::RemoveVolume(std::u16string_view name) {
    std::erase_if(volumes_, [&](const auto& volume) { return Fold(volume.first) == Fold(name); });
}

std::optional<std::vector<std::u16string>> SimIo::VolumeNames() {
    ++devices_.counters().volumeLists;
    if (failVolumeList) return std::nullopt;
    std::vector<std::u16string> names;
    for (const auto& volume : volumes_) names.push_back(volume.first);
    return names;
}

std::optional<std::uint64_t> SimIo::TotalBytes(std::u16string_view root) {
    ++devices_.counters().sizeQueries;
    for (const auto& volume : volumes_) {
        if (Fold(volume.first) == Fold(root)) return volume.second;
    }
    const char letter = DriveLetter(root);
    const auto network = networkDrives_.find(letter);
    if (network != networkDrives_.end() && !network->second) ++stalledSizeQueries;
    const auto drive = drives_.find(letter);
    if (drive == drives_.end()) return std::nullopt;
    return drive->second;
}

bool SimIo::IsRemoteDrive(std::u16string_view root) { return networkDrives_.contains(DriveLetter(root)); }

}  // namespace qn38::sim
