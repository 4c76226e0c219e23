// libFuzzer target: MatchPropertyValue against a plain reference, on values
// of any length and any type, never reading past either buffer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "lib/core/match.h"

namespace {

char16_t Fold(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c; }

// The rule read straight off its description: split the value into strings,
// match when one begins with the pattern.
bool Reference(const std::vector<std::uint8_t>& value, std::uint32_t type, const std::vector<char16_t>& pattern,
               std::size_t patternUnits) {
    if (type == qn38::REG_TYPE_DWORD) {
        return value.size() >= 4 && std::memcmp(value.data(), pattern.data(), 4) == 0;
    }
    std::vector<char16_t> units(value.size() / 2);
    for (std::size_t i = 0; i < units.size(); ++i)
        units[i] = static_cast<char16_t>(value[2 * i] | value[2 * i + 1] << 8);
    for (std::size_t start = 0; start < units.size();) {
        std::size_t end = start;
        while (end < units.size() && units[end] != 0) ++end;
        if (end - start >= patternUnits) {
            bool same = true;
            for (std::size_t i = 0; i < patternUnits; ++i) same = same && Fold(units[start + i]) == Fold(pattern[i]);
            if (same) return true;
        }
        start = end + 1;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // Byte 0: the type; byte 1: the pattern's length in units; then the
    // pattern's units; the rest is the value.
    const std::uint32_t type = data[0] % 8;
    const std::size_t patternUnits = std::min<std::size_t>(data[1] % 16, (size - 2) / 2);
    // The terminator, and room for the four bytes a DWORD pattern is.
    std::vector<char16_t> pattern(patternUnits + 2, 0);
    for (std::size_t i = 0; i < patternUnits; ++i) {
        const auto unit = static_cast<char16_t>(data[2 + 2 * i] | data[3 + 2 * i] << 8);
        pattern[i] = unit != 0 ? unit : u'?';
    }
    const std::vector<std::uint8_t> value(data + 2 + 2 * patternUnits, data + size);
    // An exactly sized heap copy, so a read past the value is caught.
    auto exact = std::make_unique<std::uint8_t[]>(value.size());
    if (!value.empty()) std::memcpy(exact.get(), value.data(), value.size());

    const bool matched =
        qn38::MatchPropertyValue(exact.get(), static_cast<std::uint32_t>(value.size()), type, pattern.data());
    if (matched != Reference(value, type, pattern, patternUnits)) std::abort();
    return 0;
}
