// The matching rule every device scan uses.
#pragma once

#include <cstdint>

#include "lib/core/ports/property.h"

namespace qn38 {

// Does a property value match a pattern? REG_DWORD values compare their first
// 32 bits with the pattern's; every other type is read as a sequence of
// NUL-terminated UTF-16 strings, any of which matches when it begins with the
// pattern (ASCII letters compared without case). Never reads past `lengthBytes`.
bool MatchPropertyValue(const void* value, std::uint32_t lengthBytes, std::uint32_t type, const void* pattern);

bool MatchesText(const PropertyValue& value, const char16_t* pattern);
bool MatchesNumber(const PropertyValue& value, std::uint32_t number);

// Length in units of a NUL-terminated UTF-16 pattern.
std::uint32_t PatternLength(const char16_t* pattern);

}  // namespace qn38
