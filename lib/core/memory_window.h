// The memory window the hot-plug filter driver reserves for cards: its
// values in the driver's service key, the MiB units the settings dialog
// edits them in, and the rule a window must keep.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "lib/core/ports/platform.h"

namespace qn38 {

// A setting's units are its byte value shifted right by 20: whole MiB, three
// hexadecimal digits.
inline constexpr std::uint32_t WINDOW_UNIT_SHIFT = 20;
inline constexpr std::uint32_t WINDOW_UNIT_LAST_BYTE = 0xFFFFF;
inline constexpr std::uint32_t WINDOW_UNITS_MAX = 0xFFF;

// The driver key's three values.
struct MemoryWindowBytes {
    std::uint32_t defLen = 0;
    std::uint32_t startAdrs = 0;
    std::uint32_t endAdrs = 0;
    bool operator==(const MemoryWindowBytes&) const = default;
};

// A window in MiB units, each 0 to WINDOW_UNITS_MAX.
struct MemoryWindowUnits {
    std::uint32_t size = 0;
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    bool operator==(const MemoryWindowUnits&) const = default;
};

inline constexpr MemoryWindowUnits DEFAULT_WINDOW_UNITS{0x002, 0x000, 0xEFF};

// The window rule: the span from the first byte of the start MiB to the last
// byte of the end MiB holds the size. Signed and in 64 bits, so that a
// trackbar's position past either end is judged, not wrapped.
inline bool SpanHoldsSize(std::int64_t start, std::int64_t end, std::int64_t size) { return end + 1 >= start + size; }

// The byte values of a window given in units: the start at the first byte of
// its MiB, the end at the last byte of its MiB.
MemoryWindowBytes WindowBytes(const MemoryWindowUnits& units);

// Stores DefLen, StartAdrs and EndAdrs as REG_DWORD in this order into the
// existing driver key; the first failure ends the call and what was stored
// before it stays. 1 when all three were stored.
int SetSize(Platform& platform, std::uint32_t defLen, std::uint32_t startAdrs, std::uint32_t endAdrs);

// The window the settings dialog can produce: whole MiB (the size and start
// aligned, the end the last byte of its MiB), a size of at least 1 MiB, and
// a span from start to end that holds the size. The filter driver applies
// the stored window at the next boot, so nothing else may be stored.
bool IsValidMemoryWindow(std::uint32_t defLen, std::uint32_t startAdrs, std::uint32_t endAdrs);

// A 32-bit setting as RegQueryValueExW reads it into a zeroed 4-byte number:
// any value of at most 4 bytes, zero-extended; a missing or longer value is
// absent.
std::optional<std::uint32_t> ReadSettingNumber(RegistryKey& key, std::u16string_view name);

// The driver key's values, a value that cannot be read as 0; nothing when the
// key is absent, i.e. the filter driver is not installed.
std::optional<MemoryWindowBytes> ReadStoredWindow(Registry& registry);

// The window to offer for editing: each value the driver key holds, in
// units, over the defaults; a size of 0 or of the largest units (neither a
// window the driver can use) becomes the default size, and a window that
// breaks the rule gives way to the defaults whole.
MemoryWindowUnits EditableWindow(Registry& registry);

}  // namespace qn38
