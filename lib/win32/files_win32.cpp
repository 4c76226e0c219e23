#include <windows.h>

#include <vector>

#include "lib/win32/handles.h"
#include "lib/win32/platform_win32.h"

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
        Wide(path, wide);
        ExtendedLength(wide);
        FileHandle handle(CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!handle) return nullptr;
        return std::make_unique<Win32File>(std::move(handle));
    }

    std::u16string ExecutablePath() override {
        // A path cut at the buffer's end would put the log into some other
        // directory: the buffer grows until the whole path fits, and a path
        // that cannot be had is returned empty.
        std::vector<wchar_t> path(MAX_PATH);
        for (;;) {
            const DWORD length = GetModuleFileNameW(GetModuleHandleW(nullptr), path.data(), DWORD(path.size()));
            if (length == 0) return {};
            if (length < path.size()) return std::u16string(path.data(), path.data() + length);
            if (path.size() > kLongestPath) return {};
            path.resize(path.size() * 2);
        }
    }

private:
    static constexpr std::size_t kLongestPath = 32767;  // units of the longest path Windows knows

    // A full path of MAX_PATH units or more opens only in its extended-length form.
    static void ExtendedLength(std::wstring& path) {
        if (path.size() < MAX_PATH || path.rfind(L"\\\\?\\", 0) == 0) return;
        if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') {
            path.insert(0, L"\\\\?\\");
        } else if (path.rfind(L"\\\\", 0) == 0) {
            path.replace(0, 2, L"\\\\?\\UNC\\");
        }
    }
};

}  // namespace

Files& FilesBackend() {
    static Win32Files files;
    return files;
}

}  // namespace qn38::win32
