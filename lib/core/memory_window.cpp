#include "lib/core/memory_window.h"

#include <array>

#include "lib/core/constants.h"

namespace qn38 {
namespace {

bool StoreDword(RegistryKey& key, std::u16string_view name, std::uint32_t value) {
    const std::array<std::uint8_t, 4> bytes{static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                            static_cast<std::uint8_t>(value >> 16),
                                            static_cast<std::uint8_t>(value >> 24)};
    return key.Set(name, REG_TYPE_DWORD, bytes);
}

}  // namespace

MemoryWindowBytes WindowBytes(const MemoryWindowUnits& units) {
    return {units.size << WINDOW_UNIT_SHIFT, units.start << WINDOW_UNIT_SHIFT,
            (units.end << WINDOW_UNIT_SHIFT) | WINDOW_UNIT_LAST_BYTE};
}

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
    if (defLen == 0 || (defLen & WINDOW_UNIT_LAST_BYTE) != 0) return false;
    if ((startAdrs & WINDOW_UNIT_LAST_BYTE) != 0 || (endAdrs & WINDOW_UNIT_LAST_BYTE) != WINDOW_UNIT_LAST_BYTE) {
        return false;
    }
    return SpanHoldsSize(startAdrs >> WINDOW_UNIT_SHIFT, endAdrs >> WINDOW_UNIT_SHIFT, defLen >> WINDOW_UNIT_SHIFT);
}

std::optional<std::uint32_t> ReadSettingNumber(RegistryKey& key, std::u16string_view name) {
    const auto value = key.Query(name);
    if (!value || value->data.size() > 4) return std::nullopt;
    std::uint32_t number = 0;
    for (std::size_t i = 0; i < value->data.size(); ++i)
        number |= static_cast<std::uint32_t>(value->data[i]) << (8 * i);
    return number;
}

std::optional<MemoryWindowBytes> ReadStoredWindow(Registry& registry) {
    const auto key = registry.Open(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH), KEY_ACCESS_READ);
    if (!key) return std::nullopt;
    MemoryWindowBytes stored;
    stored.defLen = ReadSettingNumber(*key, u"DefLen").value_or(0);
    stored.startAdrs = ReadSettingNumber(*key, u"StartAdrs").value_or(0);
    stored.endAdrs = ReadSettingNumber(*key, u"EndAdrs").value_or(0);
    return stored;
}

MemoryWindowUnits EditableWindow(Registry& registry) {
    MemoryWindowUnits units = DEFAULT_WINDOW_UNITS;
    if (const auto key = registry.Open(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH), KEY_ACCESS_READ)) {
        if (const auto value = ReadSettingNumber(*key, u"DefLen")) units.size = *value >> WINDOW_UNIT_SHIFT;
        if (const auto value = ReadSettingNumber(*key, u"StartAdrs")) units.start = *value >> WINDOW_UNIT_SHIFT;
        if (const auto value = ReadSettingNumber(*key, u"EndAdrs")) units.end = *value >> WINDOW_UNIT_SHIFT;
        if (units.size == 0 || units.size == WINDOW_UNITS_MAX) units.size = DEFAULT_WINDOW_UNITS.size;
    }
    if (!SpanHoldsSize(units.start, units.end, units.size)) units = DEFAULT_WINDOW_UNITS;
    return units;
}

}  // namespace qn38
