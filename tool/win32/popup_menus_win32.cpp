#include "tool/win32/tool_backends.h"

#include <shellapi.h>

#include "tool/core/tool_ids.h"
#include "tool/res/resource.h"

namespace qn38::tool::win32 {
namespace {

// TPM_RIGHTBUTTON | TPM_RIGHTALIGN: the menu opens to the left of the cursor,
// away from the screen's edge where the notification area lies.
constexpr UINT MENU_FLAGS = 0x000A;

// Shell_NotifyIconGetRect exists from Windows 7 on; looked up at run time so
// that the tool still loads where it does not.
using GetIconRect = HRESULT(WINAPI*)(const NOTIFYICONIDENTIFIER*, RECT*);

// The middle of the tray icon, or nothing when the shell cannot say.
bool IconCentre(HWND owner, POINT& centre) {
    const HMODULE shell = ::GetModuleHandleW(L"shell32.dll");
    if (shell == nullptr) return false;
    const auto getRect =
        reinterpret_cast<GetIconRect>(reinterpret_cast<void*>(::GetProcAddress(shell, "Shell_NotifyIconGetRect")));
    if (getRect == nullptr) return false;
    NOTIFYICONIDENTIFIER icon{};
    icon.cbSize = sizeof icon;
    icon.hWnd = owner;
    icon.uID = TRAY_ICON_ID;
    RECT rect{};
    if (FAILED(getRect(&icon, &rect))) return false;
    centre = {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
    return true;
}

}  // namespace

void Win32PopupMenus::Track(HMENU menu, MenuOpening opening) {
    const HWND owner = main_.window.load();
    // Without the foreground the menu would not close when the user clicks elsewhere.
    ::SetForegroundWindow(owner);
    POINT at{};
    if (opening != MenuOpening::FromKeyboard || !IconCentre(owner, at)) ::GetCursorPos(&at);
    // A menu opened from the keyboard is worked with the keyboard: the Down
    // key waiting in the queue selects its first item as soon as it opens.
    if (opening == MenuOpening::FromKeyboard) ::PostMessageW(owner, WM_KEYDOWN, VK_DOWN, 0);
    ::TrackPopupMenu(menu, MENU_FLAGS, at.x, at.y, 0, owner, nullptr);
    // A message after the menu lets it close on the next click outside it.
    ::PostMessageW(owner, WM_NULL, 0, 0);
}

void Win32PopupMenus::TrackItems(const std::vector<MenuItem>& items, MenuOpening opening) {
    const HMENU menu = ::CreatePopupMenu();
    if (menu == nullptr) return;
    for (const auto& item : items) ::AppendMenuW(menu, MF_STRING, item.command, WideText(item.text));
    Track(menu, opening);
    ::DestroyMenu(menu);
}

void Win32PopupMenus::TrackMainMenu(MenuOpening opening) {
    const HMENU menu = ::LoadMenuW(instance_, MAKEINTRESOURCEW(IDR_TRAY_MENU));
    if (menu == nullptr) return;
    if (const HMENU popup = ::GetSubMenu(menu, 0)) Track(popup, opening);
    ::DestroyMenu(menu);
}

}  // namespace qn38::tool::win32
