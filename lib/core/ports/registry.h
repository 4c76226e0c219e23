// The registry: open a key, read, write and delete values.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace qn38 {

inline constexpr std::uint32_t KEY_ACCESS_READ = 0x20019;
inline constexpr std::uint32_t KEY_ACCESS_ALL = 0xF003F;

enum class RegistryRoot { LocalMachine, CurrentUser };

struct RegistryValue {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};

// An open key; closed when destroyed.
class RegistryKey {
public:
    virtual ~RegistryKey() = default;
    // RegQueryValueExW: the whole value, nothing when missing or unreadable.
    virtual std::optional<RegistryValue> Query(std::u16string_view name) = 0;
    // RegSetValueExW.
    virtual bool Set(std::u16string_view name, std::uint32_t type, std::span<const std::uint8_t> data) = 0;
    // RegDeleteValueW.
    virtual bool Delete(std::u16string_view name) = 0;
};

class Registry {
public:
    virtual ~Registry() = default;
    // RegOpenKeyExW; never creates the key. Null when it is missing or not accessible.
    virtual std::unique_ptr<RegistryKey> Open(RegistryRoot root, std::u16string_view path, std::uint32_t access) = 0;
};

}  // namespace qn38
