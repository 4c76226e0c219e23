// The memory window in the filter driver's service key.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "ports/platform.h"

namespace qn38 {

// Stores DefLen, StartAdrs and EndAdrs as REG_DWORD in this order into the
// existing driver key; the first failure ends the call and what was stored
// before it stays. 1 when all three were stored.
int SetSize(Platform& platform, std::uint32_t defLen, std::uint32_t startAdrs, std::uint32_t endAdrs);

// The window the settings dialog can produce: whole MiB (the size and start
// aligned, the end the last byte of its MiB), a size of at least 1 MiB, and
// a span from start to end that holds the size. The filter driver applies
// the stored window at the next boot, so nothing else may be stored.
bool IsValidMemoryWindow(std::uint32_t defLen, std::uint32_t startAdrs, std::uint32_t endAdrs);

// A 32-bit setting as its readers take it: any value of at most 4 bytes,
// zero-extended; a missing or longer value is absent.
std::optional<std::uint32_t> ReadSettingNumber(RegistryKey& key, std::u16string_view name);

}  // namespace qn38
