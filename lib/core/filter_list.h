// Editing a device's upper-filter list (REG_MULTI_SZ: UTF-16 strings, each
// with its terminator, closed by an empty string). The lists are handled at
// whatever length they have: the working buffer grows with the list, so no
// entry is ever cut off and nothing is written past a buffer.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace qn38 {

// Some entry begins with `name` (ASCII letters without case): the list names it.
bool ListNamesFilter(std::span<const std::uint8_t> list, const char16_t* name);

// The list with `name` appended behind its last string, for storing: every
// string with its terminator and the closing empty string. An absent or empty
// list becomes `name` alone. A trailing string without terminator is closed
// first; strings behind the list's closing empty string are not part of it.
std::vector<std::uint8_t> AppendFilterEntry(std::span<const std::uint8_t> list, const char16_t* name);

// The list without its first entry equal to `name` (ASCII letters without
// case), for storing; further equal entries and entries that merely begin
// with `name` stay. Empty when nothing is left: the property is deleted then.
std::vector<std::uint8_t> RemoveFilterEntry(std::span<const std::uint8_t> list, const char16_t* name);

}  // namespace qn38
