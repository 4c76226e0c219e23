#include "tool/win32/modal_dialog.h"

namespace qn38::tool::win32 {

INT_PTR ModalDialog::DoModal(HINSTANCE instance, int templateId, HWND owner) {
    return ::DialogBoxParamW(instance, MAKEINTRESOURCEW(templateId), owner, &ModalDialog::DialogProc,
                             reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK ModalDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* dialog = reinterpret_cast<ModalDialog*>(lParam);
        ::SetWindowLongPtrW(window, DWLP_USER, lParam);
        dialog->window_ = window;
        LRESULT result = TRUE;
        dialog->HandleMessage(message, wParam, lParam, result);
        return static_cast<INT_PTR>(result);
    }
    auto* dialog = reinterpret_cast<ModalDialog*>(::GetWindowLongPtrW(window, DWLP_USER));
    // Messages before WM_INITDIALOG (WM_SETFONT and the like) go to the defaults.
    if (dialog == nullptr) return FALSE;

    LRESULT result = 0;
    const bool handled = dialog->HandleMessage(message, wParam, lParam, result);
    if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrW(window, DWLP_USER, 0);
        dialog->window_ = nullptr;
    }
    if (!handled) return FALSE;
    // A dialog procedure hands a message's result back through DWLP_MSGRESULT.
    ::SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
    return TRUE;
}

}  // namespace qn38::tool::win32
