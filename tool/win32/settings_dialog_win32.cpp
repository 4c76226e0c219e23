#include "tool/win32/tool_backends.h"

#include <commctrl.h>
// The GUIDs of oleacc.h are defined here, where the annotations are made.
#include <initguid.h>
#include <oleacc.h>

#include <vector>

#include "tool/core/settings_dialog.h"
#include "tool/win32/modal_dialog.h"
#include "tool/res/resource.h"
#include "lib/win32/platform_win32.h"

namespace qn38::tool::win32 {
namespace {

// Template 91 run modally, its controls and messages handed to
// CtavremoveDlg. Its message boxes belong to it, so that they keep the user
// from the dialog while they are open.
class Win32SettingsDialog final : public ModalDialog,
                                  public SettingsDialog,
                                  public SettingsWindow,
                                  public MessageBoxes {
public:
    Win32SettingsDialog(HINSTANCE instance, HWND owner, ServiceClient& service, StringTable& strings,
                        SystemInfo& system)
        : instance_(instance),
          owner_(owner),
          strings_(strings),
          dialog_({*this, *this, qn38::win32::RegistryBackend(), qn38::win32::FilesBackend(), service, system}) {}

    // SettingsDialog
    int DoModal() override { return static_cast<int>(ModalDialog::DoModal(instance_, IDD_SETTINGS, owner_)); }
    // Also SettingsWindow's: the dialog's own OK and Cancel end it the same way.
    void EndDialog(int result) override {
        if (window() != nullptr) ::EndDialog(window(), result);
    }

    // SettingsWindow
    void SetIcons(std::uint32_t iconId) override {
        const HICON icon = ::LoadIconW(instance_, MAKEINTRESOURCEW(iconId));
        ::SendMessageW(window(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
        ::SendMessageW(window(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    }
    std::u16string GetText(std::uint32_t controlId) override {
        const HWND control = Item(controlId);
        const int length = ::GetWindowTextLengthW(control);
        if (length <= 0) return {};
        std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
        const int copied = ::GetWindowTextW(control, text.data(), length + 1);
        return std::u16string(text.begin(), text.begin() + (copied > 0 ? copied : 0));
    }
    void SetText(std::uint32_t controlId, std::u16string_view text) override {
        const std::u16string copy(text);
        ::SetWindowTextW(Item(controlId), WideText(copy));
    }
    std::uint32_t GetLimitText(std::uint32_t editId) override {
        return static_cast<std::uint32_t>(::SendMessageW(Item(editId), EM_GETLIMITTEXT, 0, 0));
    }
    void SetLimitText(std::uint32_t editId, std::uint32_t limit) override {
        ::SendMessageW(Item(editId), EM_LIMITTEXT, limit, 0);
    }
    int GetPos(std::uint32_t trackbarId) override {
        return static_cast<int>(::SendMessageW(Item(trackbarId), TBM_GETPOS, 0, 0));
    }
    void SetPos(std::uint32_t trackbarId, int position) override {
        ::SendMessageW(Item(trackbarId), TBM_SETPOS, TRUE, position);
    }
    void SetRange(std::uint32_t trackbarId, int minimum, int maximum) override {
        ::SendMessageW(Item(trackbarId), TBM_SETRANGEMIN, FALSE, minimum);
        ::SendMessageW(Item(trackbarId), TBM_SETRANGEMAX, FALSE, maximum);
    }
    bool IsChecked(std::uint32_t buttonId) override {
        return ::IsDlgButtonChecked(window(), static_cast<int>(buttonId)) == BST_CHECKED;
    }
    void SetCheck(std::uint32_t buttonId, bool checked) override {
        ::CheckDlgButton(window(), static_cast<int>(buttonId), checked ? BST_CHECKED : BST_UNCHECKED);
    }
    void SetAccessibleName(std::uint32_t controlId, std::uint32_t stringId) override {
        if (annotations_ == nullptr && !startedAnnotations_) {
            startedAnnotations_ = true;
            // S_FALSE: COM was initialised on this thread already; it is
            // uninitialised as often as it was initialised.
            comInitialised_ = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
            ::CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER, IID_IAccPropServices,
                               reinterpret_cast<void**>(&annotations_));
        }
        // Without oleacc's services the control keeps the name Windows gives it.
        if (annotations_ == nullptr) return;
        const std::u16string name = strings_.Load(stringId);
        if (SUCCEEDED(annotations_->SetHwndPropStr(Item(controlId), static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                                                   PROPID_ACC_NAME, WideText(name)))) {
            annotated_.push_back(controlId);
        }
    }
    void FocusControl(std::uint32_t controlId) override {
        // Through the dialog manager, which also selects an edit's text.
        ::SendMessageW(window(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Item(controlId)), TRUE);
    }

    // MessageBoxes
    int Show(std::uint32_t stringId, std::uint32_t style) override {
        const std::u16string text = strings_.Load(stringId);
        const std::u16string caption = strings_.Load(IDS_APP_TITLE);
        return ::MessageBoxW(window(), WideText(text), WideText(caption), style);
    }

protected:
    bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override {
        switch (message) {
        case WM_INITDIALOG:
            result = dialog_.OnInitDialog() ? TRUE : FALSE;
            return true;
        case WM_COMMAND:
            result = 0;
            return dialog_.OnCommand(LOWORD(wParam), HIWORD(wParam));
        case WM_DESTROY:
            EndAnnotations();
            return false;
        case WM_HSCROLL:
            // Only the trackbars scroll here; the window itself has no scroll bar.
            if (lParam != 0)
                dialog_.OnHScroll(static_cast<std::uint32_t>(::GetDlgCtrlID(reinterpret_cast<HWND>(lParam))));
            return false;
        default:
            return false;
        }
    }

private:
    HWND Item(std::uint32_t controlId) const { return ::GetDlgItem(window(), static_cast<int>(controlId)); }
    // The annotations are removed while their windows still exist, as
    // Microsoft's dynamic annotation asks of the server that made them.
    void EndAnnotations() {
        if (annotations_ != nullptr) {
            MSAAPROPID name = PROPID_ACC_NAME;
            for (const std::uint32_t controlId : annotated_) {
                annotations_->ClearHwndProps(Item(controlId), static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, &name, 1);
            }
            annotations_->Release();
            annotations_ = nullptr;
        }
        annotated_.clear();
        if (comInitialised_) ::CoUninitialize();
        comInitialised_ = false;
    }

    HINSTANCE instance_;
    HWND owner_;
    StringTable& strings_;
    IAccPropServices* annotations_ = nullptr;
    bool startedAnnotations_ = false;
    bool comInitialised_ = false;
    std::vector<std::uint32_t> annotated_;
    CtavremoveDlg dialog_;
};

}  // namespace

std::unique_ptr<SettingsDialog> Win32SettingsDialogs::Create() {
    return std::make_unique<Win32SettingsDialog>(instance_, main_.window.load(), service_, strings_, system_);
}

}  // namespace qn38::tool::win32
