// The hidden main window: template 90 run modally, every message handed to
// CAboutDlg's handlers.
#pragma once

#include <optional>

#include "tool/core/main_window.h"
#include "tool/core/session_end.h"
#include "tool/win32/modal_dialog.h"
#include "tool/win32/tool_backends.h"

namespace qn38::tool::win32 {

class MainDialog final : public ModalDialog, public MainWindow {
public:
    MainDialog(HINSTANCE instance, MainWindowHandle& handle) : instance_(instance), handle_(handle) {}

    // Runs `dialog` on the window until it has ended and been destroyed.
    INT_PTR Run(CAboutDlg& dialog);

    // MainWindow
    void Show(bool visible) override;
    void SetForeground() override;
    void EndDialog(int result) override;
    void SetItemText(std::uint32_t controlId, std::u16string_view text) override;
    void SetIcons(std::uint32_t iconId) override;
    void SendTrayNotify(std::uintptr_t wParam, std::intptr_t lParam) override;
    void PostTrayNotify(std::uintptr_t wParam, std::intptr_t lParam) override;

protected:
    bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    HINSTANCE instance_;
    MainWindowHandle& handle_;
    CAboutDlg* dialog_ = nullptr;
    std::optional<SessionEnd> sessionEnd_;
    // The shell broadcasts this registered message whenever it creates its
    // taskbar (a restart of Explorer, a late start at log-on).
    const UINT taskbarCreated_ = ::RegisterWindowMessageW(L"TaskbarCreated");
};

}  // namespace qn38::tool::win32
