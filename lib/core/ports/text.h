// The platform's text conventions: conversions between UTF-16 and the
// system's ANSI code page, and wsprintf's formatting.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "lib/core/wsformat.h"

namespace qn38 {

class Text {
public:
    virtual ~Text() = default;
    // WideCharToMultiByte(CP_ACP): a character outside the code page becomes its replacement.
    virtual std::string ToAnsi(std::u16string_view text) = 0;
    // MultiByteToWideChar(CP_ACP).
    virtual std::u16string FromAnsi(std::string_view text) = 0;
    // wsprintfW: at most WSPRINTF_MAX_UNITS units.
    virtual std::u16string Format(std::u16string_view format, std::span<const FormatArg> args) = 0;

    std::u16string Format(std::u16string_view format, std::initializer_list<FormatArg> args) {
        return Format(format, std::span<const FormatArg>(args.begin(), args.size()));
    }
};

}  // namespace qn38
