#include "modal_dialog.h"
#include "res/resource.h"
#include "tool_backends.h"

namespace qn38::tool::win32 {
namespace {

// Template 91 run modally with its OK and Cancel buttons; the dialog's own
// logic (start at log-on, memory window) is the settings dialog's business
// and plugs in here.
class Win32SettingsDialog final : public ModalDialog, public SettingsDialog {
public:
    Win32SettingsDialog(HINSTANCE instance, MainWindowHandle& main) : instance_(instance), main_(main) {}

    int DoModal() override {
        return static_cast<int>(ModalDialog::DoModal(instance_, IDD_SETTINGS, main_.window.load()));
    }
    void EndDialog(int result) override {
        if (window() != nullptr) ::EndDialog(window(), result);
    }

protected:
    bool HandleMessage(UINT message, WPARAM wParam, LPARAM, LRESULT& result) override {
        if (message != WM_COMMAND || HIWORD(wParam) != BN_CLICKED) return false;
        const int id = LOWORD(wParam);
        if (id != IDOK && id != IDCANCEL) return false;
        ::EndDialog(window(), id);
        result = 0;
        return true;
    }

private:
    HINSTANCE instance_;
    MainWindowHandle& main_;
};

}  // namespace

std::unique_ptr<SettingsDialog> Win32SettingsDialogs::Create() {
    return std::make_unique<Win32SettingsDialog>(instance_, main_);
}

}  // namespace qn38::tool::win32
