// The tool's hidden main window as its logic drives it, and the one thing
// another thread may do to it: send it a tray notification and wait, or
// post one.
#pragma once

#include <cstdint>
#include <string_view>

namespace qn38::tool {

class MainWindow {
public:
    virtual ~MainWindow() = default;
    virtual void Show(bool visible) = 0;  // ShowWindow(SW_SHOW) / ShowWindow(SW_HIDE)
    virtual void SetForeground() = 0;     // SetForegroundWindow
    virtual void EndDialog(int result) = 0;
    virtual void SetItemText(std::uint32_t controlId, std::u16string_view text) = 0;
    virtual void SetIcons(std::uint32_t iconId) = 0;  // WM_SETICON, big and small
    // SendMessageW(WM_TRAY_NOTIFY) from a thread other than the window's:
    // returns once the window's thread has handled the message, or at once
    // when the window is gone.
    virtual void SendTrayNotify(std::uintptr_t wParam, std::intptr_t lParam) = 0;
    // PostMessageW(WM_TRAY_NOTIFY) from any thread: handled when the
    // window's thread next takes its messages; dropped once the window is gone.
    virtual void PostTrayNotify(std::uintptr_t wParam, std::intptr_t lParam) = 0;
};

}  // namespace qn38::tool
