#include "res/resource.h"
#include "tool_backends.h"

namespace qn38::tool::win32 {
namespace {

// TPM_RIGHTBUTTON | TPM_RIGHTALIGN: the menu opens to the left of the cursor,
// away from the screen's edge where the notification area lies.
constexpr UINT MENU_FLAGS = 0x000A;

}  // namespace

void Win32PopupMenus::Track(HMENU menu) {
    const HWND owner = main_.window.load();
    // Without the foreground the menu would not close when the user clicks elsewhere.
    ::SetForegroundWindow(owner);
    POINT cursor{};
    ::GetCursorPos(&cursor);
    ::TrackPopupMenu(menu, MENU_FLAGS, cursor.x, cursor.y, 0, owner, nullptr);
    // A message after the menu lets it close on the next click outside it.
    ::PostMessageW(owner, WM_NULL, 0, 0);
}

void Win32PopupMenus::TrackItems(const std::vector<MenuItem>& items) {
    const HMENU menu = ::CreatePopupMenu();
    if (menu == nullptr) return;
    for (const auto& item : items) ::AppendMenuW(menu, MF_STRING, item.command, WideText(item.text));
    Track(menu);
    ::DestroyMenu(menu);
}

void Win32PopupMenus::TrackMainMenu() {
    const HMENU menu = ::LoadMenuW(instance_, MAKEINTRESOURCEW(IDR_TRAY_MENU));
    if (menu == nullptr) return;
    if (const HMENU popup = ::GetSubMenu(menu, 0)) Track(popup);
    ::DestroyMenu(menu);
}

}  // namespace qn38::tool::win32
