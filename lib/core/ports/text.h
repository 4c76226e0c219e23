// Conversions between UTF-16 and the system's ANSI code page.
#pragma once

#include <string>
#include <string_view>

namespace qn38 {

class Text {
public:
    virtual ~Text() = default;
    // WideCharToMultiByte(CP_ACP): a character outside the code page becomes its replacement.
    virtual std::string ToAnsi(std::u16string_view text) = 0;
    // MultiByteToWideChar(CP_ACP).
    virtual std::u16string FromAnsi(std::string_view text) = 0;
};

}  // namespace qn38
