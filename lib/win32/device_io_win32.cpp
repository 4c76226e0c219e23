#include <windows.h>
#include <winioctl.h>

#include "lib/win32/handles.h"
#include "lib/win32/platform_win32.h"

namespace qn38::win32 {
namespace {

class Win32DeviceHandle final : public DeviceHandle {
public:
    explicit Win32DeviceHandle(FileHandle handle) : handle_(std::move(handle)) {}

    bool Control(std::uint32_t code, const void* in, std::uint32_t inBytes, void* out,
                 std::uint32_t outBytes) override {
        DWORD returned = 0;
        return DeviceIoControl(handle_.get(), code, const_cast<void*>(in), inBytes, out, outBytes, &returned,
                               nullptr) != FALSE;
    }

    bool Flush() override { return FlushFileBuffers(handle_.get()) != FALSE; }

    std::optional<bool> MediumPresent() override {
        DWORD returned = 0;
        if (DeviceIoControl(handle_.get(), IOCTL_STORAGE_CHECK_VERIFY2, nullptr, 0, nullptr, 0, &returned, nullptr)) {
            return true;
        }
        if (GetLastError() == ERROR_NOT_READY) return false;
        return std::nullopt;
    }

private:
    FileHandle handle_;
};

class Win32DeviceIo final : public DeviceIo {
public:
    std::unique_ptr<DeviceHandle> Open(std::u16string_view path, const OpenRequest& request) override {
        std::wstring wide;
        FileHandle handle(CreateFileW(Wide(path, wide), request.access, request.share, nullptr, request.disposition,
                                      request.flagsAndAttributes, nullptr));
        if (!handle) return nullptr;
        return std::make_unique<Win32DeviceHandle>(std::move(handle));
    }

    std::uint32_t LogicalDrives() override { return GetLogicalDrives(); }

    std::optional<std::uint64_t> TotalBytes(std::u16string_view root) override {
        std::wstring wide;
        ULARGE_INTEGER available{};
        ULARGE_INTEGER total{};
        if (!GetDiskFreeSpaceExW(Wide(root, wide), &available, &total, nullptr)) return std::nullopt;
        return total.QuadPart;
    }

    bool IsRemoteDrive(std::u16string_view root) override {
        std::wstring wide;
        return GetDriveTypeW(Wide(root, wide)) == DRIVE_REMOTE;
    }

    std::optional<std::vector<std::u16string>> VolumeNames() override {
        // A volume GUID path is 49 characters with its terminator; MAX_PATH
        // leaves room for any the volume manager might hand out.
        wchar_t name[MAX_PATH] = {};
        VolumeSearch search(FindFirstVolumeW(name, MAX_PATH));
        if (!search) return std::nullopt;
        std::vector<std::u16string> names;
        do {
            name[MAX_PATH - 1] = 0;
            names.emplace_back(reinterpret_cast<const char16_t*>(name));
        } while (FindNextVolumeW(search.get(), name, MAX_PATH));
        // Any other end than the last volume leaves some unseen.
        if (GetLastError() != ERROR_NO_MORE_FILES) return std::nullopt;
        return names;
    }
};

}  // namespace

DeviceIo& DeviceIoBackend() {
    static Win32DeviceIo io;
    return io;
}

}  // namespace qn38::win32
