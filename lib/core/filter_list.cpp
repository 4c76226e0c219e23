#include "lib/core/filter_list.h"

#include <algorithm>

#include "lib/core/match.h"

namespace qn38 {
namespace {

// The list as units; an odd trailing byte is no unit. Positions past the end
// read as zero, as in a zero-filled buffer of any size.
class Units {
public:
    explicit Units(std::span<const std::uint8_t> bytes) {
        units_.reserve(bytes.size() / 2);
        for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
            units_.push_back(static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8));
        }
    }

    char16_t At(std::size_t position) const { return position < units_.size() ? units_[position] : u'\0'; }
    std::size_t size() const { return units_.size(); }

    // Length of the string at `position`, up to its terminator or the end.
    std::size_t StringLength(std::size_t position) const {
        std::size_t length = 0;
        while (position + length < units_.size() && units_[position + length] != 0) ++length;
        return length;
    }

    // The first position at which two zero units follow each other: the list's
    // closing empty string sits behind it (or, at 0, the list is empty).
    std::size_t End() const {
        std::size_t position = 0;
        while (At(position) != 0 || At(position + 1) != 0) ++position;
        return position;
    }

    void Erase(std::size_t position, std::size_t count) {
        if (position >= units_.size()) return;
        const std::size_t last = std::min(units_.size(), position + count);
        units_.erase(units_.begin() + static_cast<std::ptrdiff_t>(position),
                     units_.begin() + static_cast<std::ptrdiff_t>(last));
    }

    // The first `count` units as little-endian bytes, zeros past the end.
    std::vector<std::uint8_t> Bytes(std::size_t count) const {
        std::vector<std::uint8_t> bytes;
        bytes.reserve(count * 2);
        for (std::size_t i = 0; i < count; ++i) {
            const char16_t unit = At(i);
            bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
            bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
        }
        return bytes;
    }

private:
    std::vector<char16_t> units_;
};

char16_t FoldAscii(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c; }

bool EqualsAt(const Units& list, std::size_t position, std::size_t length, const char16_t* name) {
    if (length != PatternLength(name)) return false;
    for (std::size_t i = 0; i < length; ++i) {
        if (FoldAscii(list.At(position + i)) != FoldAscii(name[i])) return false;
    }
    return true;
}

void AppendUnit(std::vector<std::uint8_t>& bytes, char16_t unit) {
    bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
}

}  // namespace

bool ListNamesFilter(std::span<const std::uint8_t> list, const char16_t* name) {
    return MatchPropertyValue(list.data(), static_cast<std::uint32_t>(list.size()), REG_TYPE_MULTI_SZ, name);
}

std::vector<std::uint8_t> AppendFilterEntry(std::span<const std::uint8_t> list, const char16_t* name) {
    const Units units(list);
    const std::size_t end = units.End();
    // Right behind the terminator of the last string; at 0 when the list is empty.
    const std::size_t entry = end == 0 ? 0 : end + 1;
    std::vector<std::uint8_t> bytes = units.Bytes(entry);
    for (const char16_t* unit = name; *unit != 0; ++unit) AppendUnit(bytes, *unit);
    AppendUnit(bytes, 0);
    AppendUnit(bytes, 0);
    return bytes;
}

std::vector<std::uint8_t> RemoveFilterEntry(std::span<const std::uint8_t> list, const char16_t* name) {
    Units units(list);
    // Every string of the list is visited, empty ones included, up to its very end.
    for (std::size_t position = 0; position < units.size();) {
        const std::size_t length = units.StringLength(position);
        if (EqualsAt(units, position, length, name)) {
            units.Erase(position, length + 1);
            break;
        }
        position += length + 1;
    }
    const std::size_t end = units.End();
    if (end == 0) return {};
    return units.Bytes(end + 2);
}

}  // namespace qn38
