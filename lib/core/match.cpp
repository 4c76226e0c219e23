#include "lib/core/match.h"

#include <cstring>

namespace qn38 {
namespace {

char16_t UnitAt(const std::uint8_t* bytes, std::uint32_t index) {
    char16_t unit;
    std::memcpy(&unit, bytes + index * 2, sizeof unit);
    return unit;
}

char16_t FoldAscii(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c; }

}  // namespace

std::uint32_t PatternLength(const char16_t* pattern) {
    std::uint32_t n = 0;
    while (pattern[n] != 0) ++n;
    return n;
}

bool MatchPropertyValue(const void* value, std::uint32_t lengthBytes, std::uint32_t type, const void* pattern) {
    if (value == nullptr || pattern == nullptr) return false;
    const auto* bytes = static_cast<const std::uint8_t*>(value);

    if (type == REG_TYPE_DWORD) {
        if (lengthBytes < 4) return false;
        return std::memcmp(bytes, pattern, 4) == 0;
    }

    // Patterns are our own constants, but they may sit at any alignment when a
    // caller hands in raw memory, so read them unit by unit too.
    const auto* patternBytes = static_cast<const std::uint8_t*>(pattern);
    std::uint32_t patternLength = 0;
    while (UnitAt(patternBytes, patternLength) != 0) ++patternLength;

    const std::uint32_t units = lengthBytes / 2;
    std::uint32_t offset = 0;
    while (offset < units) {
        std::uint32_t length = 0;
        bool matched = true;
        while (offset + length < units && UnitAt(bytes, offset + length) != 0) {
            if (length < patternLength &&
                FoldAscii(UnitAt(bytes, offset + length)) != FoldAscii(UnitAt(patternBytes, length))) {
                matched = false;
            }
            ++length;
        }
        if (matched && length >= patternLength) return true;
        offset += length + 1;
    }
    return false;
}

bool MatchesText(const PropertyValue& value, const char16_t* pattern) {
    return value.ok() &&
           MatchPropertyValue(value.data.data(), static_cast<std::uint32_t>(value.data.size()), value.type, pattern);
}

bool MatchesNumber(const PropertyValue& value, std::uint32_t number) {
    if (!value.ok() || value.type != REG_TYPE_DWORD) return false;
    return MatchPropertyValue(value.data.data(), static_cast<std::uint32_t>(value.data.size()), value.type, &number);
}

}  // namespace qn38
