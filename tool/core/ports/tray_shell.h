// The notification area: one icon with its tip and balloon.
#pragma once

#include <cstdint>
#include <string>

namespace qn38::tool {

// NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO
inline constexpr std::uint32_t NIF_TRAY_FLAGS = 0x17;
// Balloon icons (dwInfoFlags).
inline constexpr std::uint32_t NIIF_NONE_FLAG = 0;
inline constexpr std::uint32_t NIIF_INFO_FLAG = 1;
inline constexpr std::uint32_t NIIF_ERROR_FLAG = 3;
// Characters each text field holds, without its terminator.
inline constexpr std::size_t TIP_CHARACTERS = 127;
inline constexpr std::size_t INFO_CHARACTERS = 255;
inline constexpr std::size_t INFO_TITLE_CHARACTERS = 63;

// The icon's record (NOTIFYICONDATAW) as the tool fills it; the shell
// backend adds the window handle and loads the icon resource.
struct NotifyIconRecord {
    std::uint32_t uID = 0;
    std::uint32_t uFlags = 0;
    std::uint32_t uCallbackMessage = 0;
    std::uint32_t iconId = 0;  // icon resource of the tool, 0 for none
    std::u16string szTip;
    std::u16string szInfo;
    std::uint32_t uTimeout = 0;
    std::u16string szInfoTitle;
    std::uint32_t dwInfoFlags = 0;
    std::uint32_t uVersion = 0;  // NIM_SETVERSION only: it shares its place with uTimeout
};

// NOTIFYICON_VERSION: the notification area reports the keyboard (NIN_KEYSELECT,
// WM_CONTEXTMENU) while wParam stays the icon's id and lParam the message, as
// WM_TRAY_NOTIFY reads them. Version 4 would put the pointer's coordinates in
// wParam, where they could pass for the poller's slot events.
inline constexpr std::uint32_t NOTIFY_ICON_VERSION = 3;

// NIM_ADD, NIM_MODIFY, NIM_DELETE, NIM_SETVERSION (with the record's uVersion)
enum class TrayAction { Add, Modify, Delete, SetVersion };

class TrayShell {
public:
    virtual ~TrayShell() = default;
    // Shell_NotifyIconW; false when the shell refused the call.
    virtual bool NotifyIcon(TrayAction action, const NotifyIconRecord& record) = 0;
};

}  // namespace qn38::tool
