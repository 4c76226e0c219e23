// A real folder standing in for the simulated service's own folder: every
// write the simulated PC makes to a file beside the service's executable is
// made to the file of the same name in this folder too, so the QN38.LOG on
// disk is byte for byte the one support would get from the user.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/machine/sim_files.h"

namespace qn38::sim {

class LogFolder {
public:
    // `folder` is created when missing. Without `keep`, a log left there by
    // an earlier run is removed, so every run starts its log afresh; with it,
    // the earlier log is loaded into the simulated PC and the ring goes on.
    LogFolder(std::filesystem::path folder, SimFiles& files, bool keep);
    ~LogFolder();
    LogFolder(const LogFolder&) = delete;
    LogFolder& operator=(const LogFolder&) = delete;

    const std::filesystem::path& folder() const { return folder_; }
    std::filesystem::path LogPath() const;

    // The file's bytes as they are on disk (at most `maximum`); nothing when
    // it cannot be read.
    std::optional<std::vector<std::uint8_t>> Read(const std::filesystem::path& file, std::uint64_t maximum) const;

    // Writes to disk that failed, each described once; empty when all went through.
    std::vector<std::string> Failures() const;

private:
    void Mirror(std::u16string_view path, std::uint64_t offset, const void* data, std::uint32_t bytes);

    std::filesystem::path folder_;
    SimFiles& files_;
    std::u16string simulatedFolder_;  // folded, with its trailing backslash
    mutable std::mutex mutex_;
    std::vector<std::string> failures_;
};

}  // namespace qn38::sim
