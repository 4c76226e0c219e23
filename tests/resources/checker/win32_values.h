// The Windows constants the resource checks compare with, written out here
// because the checks build on Linux without the Windows headers.
#pragma once

#include <cstdint>

namespace qn38::rescheck::win32 {

// Resource types
inline constexpr std::uint16_t RT_ICON = 3;
inline constexpr std::uint16_t RT_MENU = 4;
inline constexpr std::uint16_t RT_DIALOG = 5;
inline constexpr std::uint16_t RT_STRING = 6;
inline constexpr std::uint16_t RT_GROUP_ICON = 14;
inline constexpr std::uint16_t RT_VERSION = 16;
inline constexpr std::uint16_t RT_MANIFEST = 24;

// Languages
inline constexpr std::uint16_t LANGUAGE_NEUTRAL = 0x0000;
inline constexpr std::uint16_t LANGUAGE_ENGLISH = 0x0009;  // LANG_ENGLISH, SUBLANG_NEUTRAL
inline constexpr std::uint16_t LANGUAGE_JAPANESE = 0x0411;

// Window styles
inline constexpr std::uint32_t WS_POPUP = 0x80000000;
inline constexpr std::uint32_t WS_CHILD = 0x40000000;
inline constexpr std::uint32_t WS_VISIBLE = 0x10000000;
inline constexpr std::uint32_t WS_CAPTION = 0x00C00000;
inline constexpr std::uint32_t WS_BORDER = 0x00800000;
inline constexpr std::uint32_t WS_SYSMENU = 0x00080000;
inline constexpr std::uint32_t WS_GROUP = 0x00020000;
inline constexpr std::uint32_t WS_TABSTOP = 0x00010000;
inline constexpr std::uint32_t WS_EX_APPWINDOW = 0x00040000;

// Dialog styles
inline constexpr std::uint32_t DS_3DLOOK = 0x0004;
inline constexpr std::uint32_t DS_FIXEDSYS = 0x0008;
inline constexpr std::uint32_t DS_SETFONT = 0x0040;
inline constexpr std::uint32_t DS_MODALFRAME = 0x0080;
inline constexpr std::uint32_t DS_SETFOREGROUND = 0x0200;
inline constexpr std::uint32_t DS_CENTER = 0x0800;

// Control styles
inline constexpr std::uint32_t BS_PUSHBUTTON = 0x0000;
inline constexpr std::uint32_t BS_DEFPUSHBUTTON = 0x0001;
inline constexpr std::uint32_t BS_AUTOCHECKBOX = 0x0003;
inline constexpr std::uint32_t BS_GROUPBOX = 0x0007;
inline constexpr std::uint32_t SS_LEFT = 0x0000;
inline constexpr std::uint32_t SS_CENTER = 0x0001;
inline constexpr std::uint32_t SS_RIGHT = 0x0002;
inline constexpr std::uint32_t SS_ICON = 0x0003;
inline constexpr std::uint32_t SS_NOPREFIX = 0x0080;
inline constexpr std::uint32_t SS_CENTERIMAGE = 0x0200;
inline constexpr std::uint32_t ES_LEFT = 0x0000;
inline constexpr std::uint32_t ES_UPPERCASE = 0x0008;
inline constexpr std::uint32_t ES_AUTOHSCROLL = 0x0080;
inline constexpr std::uint32_t TBS_HORZ = 0x0000;
inline constexpr std::uint32_t TBS_BOTH = 0x0008;
inline constexpr std::uint32_t TBS_NOTICKS = 0x0010;

// Predefined window classes, as a dialog template stores them when given as atoms
inline constexpr std::uint16_t ATOM_BUTTON = 0x0080;
inline constexpr std::uint16_t ATOM_EDIT = 0x0081;
inline constexpr std::uint16_t ATOM_STATIC = 0x0082;

// Menu item flags
inline constexpr std::uint16_t MF_POPUP = 0x0010;
inline constexpr std::uint16_t MF_END = 0x0080;

// Version information
inline constexpr std::uint32_t VS_FFI_SIGNATURE = 0xFEEF04BD;
inline constexpr std::uint32_t VS_FFI_STRUCVERSION = 0x00010000;
inline constexpr std::uint32_t VOS__WINDOWS32 = 0x00000004;
inline constexpr std::uint32_t VFT_APP = 0x00000001;
inline constexpr std::uint32_t VFT_DLL = 0x00000002;
inline constexpr std::uint16_t CP_UNICODE = 1200;  // 0x04B0

// Fonts
inline constexpr std::uint8_t DEFAULT_CHARSET = 1;

}  // namespace qn38::rescheck::win32
