#include "memory_window.h"

#include <array>

#include "constants.h"

namespace qn38 {
namespace {

bool StoreDword(RegistryKey& key, std::u16string_view name, std::uint32_t value) {
    const std::array<std::uint8_t, 4> bytes{static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                            static_cast<std::uint8_t>(value >> 16),
                                            static_cast<std::uint8_t>(value >> 24)};
    return key.Set(name, REG_TYPE_DWORD, bytes);
}

}  // namespace

int SetSize(Platform& platform, std::uint32_t defLen, std::uint32_t startAdrs, std::uint32_t endAdrs) {
    // The key belongs to the driver's installation: a missing key means no
    // driver, and creating it would only leave a stray key behind.
    auto key = platform.registry.Open(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH), KEY_ACCESS_ALL);
    if (!key) return 0;
    if (!StoreDword(*key, u"DefLen", defLen)) return 0;
    if (!StoreDword(*key, u"StartAdrs", startAdrs)) return 0;
    if (!StoreDword(*key, u"EndAdrs", endAdrs)) return 0;
    return 1;
}

bool IsValidMemoryWindow(std::uint32_t defLen, std::uint32_t startAdrs, std::uint32_t endAdrs) {
    constexpr std::uint32_t unitMask = 0xFFFFF;
    if (defLen == 0 || (defLen & unitMask) != 0) return false;
    if ((startAdrs & unitMask) != 0 || (endAdrs & unitMask) != unitMask) return false;
    // In 64 bits: an end of 0xFFFFFFFF is the last byte of the address space.
    return std::uint64_t{endAdrs} + 1 >= std::uint64_t{startAdrs} + defLen;
}

std::optional<std::uint32_t> ReadSettingNumber(RegistryKey& key, std::u16string_view name) {
    const auto value = key.Query(name);
    if (!value || value->data.size() > 4) return std::nullopt;
    std::uint32_t number = 0;
    for (std::size_t i = 0; i < value->data.size(); ++i)
        number |= static_cast<std::uint32_t>(value->data[i]) << (8 * i);
    return number;
}

}  // namespace qn38
