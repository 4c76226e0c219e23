// Owners for the Win32 handles the library opens, so every early return
// releases what it holds.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <utility>

namespace qn38::win32 {

// Traits give the handle type, its invalid value (not always a constant
// expression: INVALID_HANDLE_VALUE is a cast) and how to release it.
template <typename Traits>
class Owned {
public:
    using Handle = typename Traits::Handle;

    Owned() = default;
    explicit Owned(Handle handle) : handle_(handle) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : handle_(std::exchange(other.handle_, Traits::Invalid())) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, Traits::Invalid());
        }
        return *this;
    }
    ~Owned() { reset(); }

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != Traits::Invalid(); }
    void reset() {
        if (handle_ != Traits::Invalid()) Traits::Release(handle_);
        handle_ = Traits::Invalid();
    }

private:
    Handle handle_ = Traits::Invalid();
};

// CreateFileW, FindFirstVolumeW and SetupDiGetClassDevsW fail with INVALID_HANDLE_VALUE;
// event and mutex creation fail with NULL.
struct FileTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static void Release(Handle handle) { ::CloseHandle(handle); }
};
struct KernelTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return nullptr; }
    static void Release(Handle handle) { ::CloseHandle(handle); }
};
struct VolumeSearchTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static void Release(Handle search) { ::FindVolumeClose(search); }
};
struct DeviceInfoTraits {
    using Handle = HDEVINFO;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static void Release(Handle set) { ::SetupDiDestroyDeviceInfoList(set); }
};
struct RegistryTraits {
    using Handle = HKEY;
    static Handle Invalid() { return nullptr; }
    static void Release(Handle key) { ::RegCloseKey(key); }
};
struct ServiceManagerTraits {
    using Handle = SC_HANDLE;
    static Handle Invalid() { return nullptr; }
    static void Release(Handle handle) { ::CloseServiceHandle(handle); }
};
struct LocalMemoryTraits {
    using Handle = HLOCAL;
    static Handle Invalid() { return nullptr; }
    static void Release(Handle memory) { ::LocalFree(memory); }
};

using FileHandle = Owned<FileTraits>;
using KernelHandle = Owned<KernelTraits>;
using VolumeSearch = Owned<VolumeSearchTraits>;
using DeviceInfoSet = Owned<DeviceInfoTraits>;
using RegistryHandle = Owned<RegistryTraits>;
using ServiceManagerHandle = Owned<ServiceManagerTraits>;
using LocalMemory = Owned<LocalMemoryTraits>;

}  // namespace qn38::win32
