#include <windows.h>

#include "handles.h"
#include "platform_win32.h"

namespace qn38::win32 {
namespace {

class Win32File final : public File {
public:
    explicit Win32File(FileHandle handle) : handle_(std::move(handle)) {}

    std::optional<std::uint32_t> ReadAt(std::uint64_t offset, void* buffer, std::uint32_t bytes) override {
        if (!Seek(offset)) return std::nullopt;
        DWORD read = 0;
        if (!ReadFile(handle_.get(), buffer, bytes, &read, nullptr)) return std::nullopt;
        return read;
    }

    bool WriteAt(std::uint64_t offset, const void* data, std::uint32_t bytes) override {
        if (!Seek(offset)) return false;
        DWORD written = 0;
        return WriteFile(handle_.get(), data, bytes, &written, nullptr) && written == bytes;
    }

private:
    bool Seek(std::uint64_t offset) {
        LARGE_INTEGER distance{};
        distance.QuadPart = static_cast<LONGLONG>(offset);
        return SetFilePointerEx(handle_.get(), distance, nullptr, FILE_BEGIN) != FALSE;
    }

    FileHandle handle_;
};

class Win32Files final : public Files {
public:
    std::unique_ptr<File> OpenAlways(std::u16string_view path) override {
        std::wstring wide;
        FileHandle handle(CreateFileW(Wide(path, wide), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                      nullptr));
        if (!handle) return nullptr;
        return std::make_unique<Win32File>(std::move(handle));
    }

    std::u16string ExecutablePath() override {
        wchar_t path[MAX_PATH] = {};
        const DWORD length = GetModuleFileNameW(GetModuleHandleW(nullptr), path, MAX_PATH);
        return std::u16string(path, path + (length < MAX_PATH ? length : MAX_PATH - 1));
    }
};

}  // namespace

Files& FilesBackend() {
    static Win32Files files;
    return files;
}

}  // namespace qn38::win32
