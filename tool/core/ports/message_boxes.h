// Message boxes with a text from the string table and the application title
// as caption.
#pragma once

#include <cstdint>

namespace qn38::tool {

inline constexpr std::uint32_t MB_ICONERROR_STYLE = 0x10;
inline constexpr std::uint32_t MB_ICONEXCLAMATION_STYLE = 0x30;
inline constexpr std::uint32_t MB_YESNO_STYLE = 0x04;
inline constexpr std::uint32_t MB_SETFOREGROUND_STYLE = 0x00010000;
inline constexpr std::uint32_t MB_TOPMOST_STYLE = 0x00040000;

inline constexpr int IDOK_RESULT = 1;
inline constexpr int IDCANCEL_RESULT = 2;
inline constexpr int IDYES_RESULT = 6;
inline constexpr int IDNO_RESULT = 7;

class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // Runs the box modally; the button the user chose (IDOK, IDYES, IDNO...).
    virtual int Show(std::uint32_t stringId, std::uint32_t style) = 0;
};

}  // namespace qn38::tool
