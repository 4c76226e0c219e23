#include "tool/win32/main_dialog.h"

#include <string>

#include "tool/core/tool_ids.h"
#include "tool/res/resource.h"

namespace qn38::tool::win32 {
namespace {

// An elevated tool (started by an installer, say) would never hear the
// shell's broadcast: UIPI drops registered messages from the lower
// integrity level of Explorer unless the window lets this one through.
// Looked up, since Windows before 7 has no ChangeWindowMessageFilterEx.
void AcceptFromShell(HWND window, UINT message) {
    using FilterCall = BOOL(WINAPI*)(HWND, UINT, DWORD, void*);
    const HMODULE user = ::GetModuleHandleW(L"user32");
    if (user == nullptr || message == 0) return;
    const auto filter =
        reinterpret_cast<FilterCall>(reinterpret_cast<void*>(::GetProcAddress(user, "ChangeWindowMessageFilterEx")));
    constexpr DWORD MESSAGE_FILTER_ALLOW = 1;  // MSGFLT_ALLOW
    if (filter != nullptr) filter(window, message, MESSAGE_FILTER_ALLOW, nullptr);
}

}  // namespace

INT_PTR MainDialog::Run(CAboutDlg& dialog) {
    dialog_ = &dialog;
    sessionEnd_.emplace(dialog);
    const INT_PTR result = DoModal(instance_, IDD_ABOUTBOX, nullptr);
    sessionEnd_.reset();
    dialog_ = nullptr;
    return result;
}

bool MainDialog::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    switch (message) {
    case WM_INITDIALOG:
        handle_.window = window();
        AcceptFromShell(window(), taskbarCreated_);
        result = dialog_->OnInitDialog() ? TRUE : FALSE;
        return true;
    case WM_DESTROY:
        sessionEnd_->OnDestroy();
        return true;
    case WM_QUERYENDSESSION:
        result = sessionEnd_->OnQueryEndSession() ? TRUE : FALSE;
        return true;
    case WM_ENDSESSION:
        sessionEnd_->OnEndSession(wParam != FALSE);
        result = 0;
        return true;
    case WM_NCDESTROY:
        handle_.window = nullptr;
        return false;
    case WM_DEVICECHANGE:
        result = dialog_->OnDeviceChange(wParam, lParam);
        return true;
    case WM_WINDOWPOSCHANGING: {
        auto* position = reinterpret_cast<WINDOWPOS*>(lParam);
        std::uint32_t flags = position->flags;
        dialog_->OnWindowPosChanging(flags);
        position->flags = flags;
        return false;  // the default handling still applies its size limits
    }
    case WM_POWERBROADCAST:
        result = dialog_->OnPowerBroadcast(wParam, lParam) ? TRUE : FALSE;
        return true;
    case WM_TRAY_NOTIFY:
        result = dialog_->OnTrayNotify(wParam, lParam);
        return true;
    case WM_COMMAND: {
        // Buttons and menu items; notifications of other controls are not the window's.
        if (HIWORD(wParam) != BN_CLICKED) return false;
        const UINT id = LOWORD(wParam);
        if (id == IDOK) {
            dialog_->OnOK();
        } else if (id == IDCANCEL) {
            dialog_->OnCancel();
        } else if (!dialog_->OnCommand(id)) {
            return false;
        }
        return true;
    }
    default:
        if (message != 0 && message == taskbarCreated_) {
            dialog_->OnTaskbarCreated();
            return true;
        }
        return false;
    }
}

void MainDialog::Show(bool visible) { ::ShowWindow(window(), visible ? SW_SHOW : SW_HIDE); }

void MainDialog::SetForeground() { ::SetForegroundWindow(window()); }

void MainDialog::EndDialog(int result) { ::EndDialog(window(), result); }

void MainDialog::SetItemText(std::uint32_t controlId, std::u16string_view text) {
    const std::u16string copy(text);
    ::SetDlgItemTextW(window(), static_cast<int>(controlId), WideText(copy));
}

void MainDialog::SetIcons(std::uint32_t iconId) {
    const HICON icon = ::LoadIconW(instance_, MAKEINTRESOURCEW(iconId));
    ::SendMessageW(window(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    ::SendMessageW(window(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
}

void MainDialog::SendTrayNotify(std::uintptr_t wParam, std::intptr_t lParam) {
    const HWND target = handle_.window.load();
    if (target != nullptr) ::SendMessageW(target, WM_TRAY_NOTIFY, wParam, lParam);
}

void MainDialog::PostTrayNotify(std::uintptr_t wParam, std::intptr_t lParam) {
    // The window's end awaits every worker that posts, so the handle is
    // still the window's here; a post after WM_NCDESTROY has none to go to.
    // A full queue (10,000 messages: a window's thread that is stuck) is
    // waited out a while, since a flow's end that is lost would leave the
    // poller paused for good.
    constexpr int FULL_QUEUE_ATTEMPTS = 100;
    constexpr DWORD FULL_QUEUE_PAUSE_MS = 100;
    for (int attempt = 1; attempt <= FULL_QUEUE_ATTEMPTS; ++attempt) {
        const HWND target = handle_.window.load();
        if (target == nullptr || ::PostMessageW(target, WM_TRAY_NOTIFY, wParam, lParam)) return;
        if (::GetLastError() != ERROR_NOT_ENOUGH_QUOTA) return;
        ::Sleep(FULL_QUEUE_PAUSE_MS);
    }
}

}  // namespace qn38::tool::win32
