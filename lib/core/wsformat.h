// Formatting by the platform's wsprintf conventions. The log's entries are
// composed with these formats; on Windows the Text port hands them to
// wsprintfW itself, and this formatter renders them the same way everywhere
// else (and is compared with wsprintfW under Wine).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace qn38 {

// wsprintf writes at most 1024 units, its terminator included.
inline constexpr std::size_t WSPRINTF_MAX_UNITS = 1023;

// One argument of a format: a number, or a NUL-terminated string (UTF-16 for
// %s, ANSI for %hs). A null string prints as "(null)", as wsprintf does.
struct FormatArg {
    enum class Kind { Number, Wide, Ansi };

    FormatArg(int value) : kind(Kind::Number), number(value) {}
    FormatArg(unsigned value) : kind(Kind::Number), number(value) {}
    FormatArg(long value) : kind(Kind::Number), number(value) {}
    FormatArg(unsigned long value) : kind(Kind::Number), number(static_cast<std::int64_t>(value)) {}
    FormatArg(long long value) : kind(Kind::Number), number(value) {}
    FormatArg(unsigned long long value) : kind(Kind::Number), number(static_cast<std::int64_t>(value)) {}
    FormatArg(const char16_t* text) : kind(Kind::Wide), wide(text) {}
    FormatArg(const char* text) : kind(Kind::Ansi), ansi(text) {}

    Kind kind;
    std::int64_t number = 0;
    const char16_t* wide = nullptr;
    const char* ansi = nullptr;
};

// Renders `format` as wsprintfW would: flags '-', '#', '0' (in that order),
// width, precision, the size prefixes h, l, w, I, I32, I64 and the types
// c C d i u x X p s S. The width of a hexadecimal number counts its digits,
// not the 0x prefix. An unknown type prints as plain text and takes no
// argument; a missing argument counts as 0 or a null string.
std::u16string FormatWs(std::u16string_view format, std::span<const FormatArg> args);

inline std::u16string FormatWs(std::u16string_view format, std::initializer_list<FormatArg> args) {
    return FormatWs(format, std::span<const FormatArg>(args.begin(), args.size()));
}

}  // namespace qn38
