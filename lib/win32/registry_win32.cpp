#include <windows.h>

#include "lib/win32/handles.h"
#include "lib/win32/platform_win32.h"

namespace qn38::win32 {
namespace {

class Win32RegistryKey final : public RegistryKey {
public:
    explicit Win32RegistryKey(RegistryHandle key) : key_(std::move(key)) {}

    std::optional<RegistryValue> Query(std::u16string_view name) override {
        std::wstring wide;
        Wide(name, wide);
        DWORD type = 0;
        DWORD size = 0;
        if (RegQueryValueExW(key_.get(), wide.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
            return std::nullopt;
        }
        RegistryValue value;
        value.data.resize(size);
        if (RegQueryValueExW(key_.get(), wide.c_str(), nullptr, &type, value.data.data(), &size) != ERROR_SUCCESS) {
            return std::nullopt;
        }
        value.data.resize(size);
        value.type = type;
        return value;
    }

    bool Set(std::u16string_view name, std::uint32_t type, std::span<const std::uint8_t> data) override {
        std::wstring wide;
        return RegSetValueExW(key_.get(), Wide(name, wide), 0, type, data.data(), static_cast<DWORD>(data.size())) ==
               ERROR_SUCCESS;
    }

    bool Delete(std::u16string_view name) override {
        std::wstring wide;
        return RegDeleteValueW(key_.get(), Wide(name, wide)) == ERROR_SUCCESS;
    }

private:
    RegistryHandle key_;
};

class Win32Registry final : public Registry {
public:
    std::unique_ptr<RegistryKey> Open(RegistryRoot root, std::u16string_view path, std::uint32_t access) override {
        std::wstring wide;
        HKEY key = nullptr;
        const HKEY parent = root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        if (RegOpenKeyExW(parent, Wide(path, wide), 0, access, &key) != ERROR_SUCCESS) return nullptr;
        return std::make_unique<Win32RegistryKey>(RegistryHandle(key));
    }
};

}  // namespace

Registry& RegistryBackend() {
    static Win32Registry registry;
    return registry;
}

}  // namespace qn38::win32
