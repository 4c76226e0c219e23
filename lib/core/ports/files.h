// Files and the running program's own path.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qn38 {

// An open file; closed when destroyed.
class File {
public:
    virtual ~File() = default;
    // SetFilePointer(FILE_BEGIN) + ReadFile: the bytes read (fewer at the end of the file), nothing on failure.
    virtual std::optional<std::uint32_t> ReadAt(std::uint64_t offset, void* buffer, std::uint32_t bytes) = 0;
    // SetFilePointer(FILE_BEGIN) + WriteFile of all `bytes`.
    virtual bool WriteAt(std::uint64_t offset, const void* data, std::uint32_t bytes) = 0;
};

class Files {
public:
    virtual ~Files() = default;
    // CreateFileW for reading and writing, shared, OPEN_ALWAYS; null on failure.
    virtual std::unique_ptr<File> OpenAlways(std::u16string_view path) = 0;
    // GetModuleFileNameW(NULL): full path of the calling process's executable.
    virtual std::u16string ExecutablePath() = 0;
};

}  // namespace qn38
