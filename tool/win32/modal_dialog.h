// The least dialog layer the tool needs over the Windows dialog manager: a
// modal dialog from a template whose messages go to one virtual handler.
#pragma once

#include <windows.h>

namespace qn38::tool::win32 {

class ModalDialog {
public:
    ModalDialog() = default;
    ModalDialog(const ModalDialog&) = delete;
    ModalDialog& operator=(const ModalDialog&) = delete;
    virtual ~ModalDialog() = default;

    // DialogBoxParamW: returns when the dialog has ended and its window is
    // destroyed; the EndDialog result, or -1 when the template would not load.
    INT_PTR DoModal(HINSTANCE instance, int templateId, HWND owner);
    // The dialog's window while it exists, else null.
    HWND window() const { return window_; }

protected:
    // One message to the dialog. Returns true when handled, with `result`
    // the message's result (for WM_INITDIALOG: whether to set the focus);
    // false hands it to the dialog manager's default handling.
    virtual bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) = 0;

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    HWND window_ = nullptr;
};

}  // namespace qn38::tool::win32
