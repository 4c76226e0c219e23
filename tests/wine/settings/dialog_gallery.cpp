// Shows one of the tool's dialogs as the running tool shows it, and stays
// until it is closed, for screenshots:
//   qn38_dialog_gallery about     the About box, its version label filled in
//   qn38_dialog_gallery settings  the settings dialog with its real logic
// The language is the one Windows picks for the user, as in the tool.
#include <windows.h>

#include <cwchar>
#include <string>

#include "tool/core/service_client.h"
#include "tool/res/resource.h"
#include "tool/win32/modal_dialog.h"
#include "lib/win32/platform_win32.h"
#include "tool/win32/service_transport_win32.h"
#include "tool/win32/tool_backends.h"

namespace {

using namespace qn38::tool;
using namespace qn38::tool::win32;

// Template 90 with what the start-up sequence puts into it: the icons and
// "Version %s" from the version resource's neutral block.
class AboutBox final : public ModalDialog {
public:
    explicit AboutBox(HINSTANCE instance) : instance_(instance) {}

    INT_PTR Run() { return DoModal(instance_, IDD_ABOUTBOX, nullptr); }

protected:
    bool HandleMessage(UINT message, WPARAM wParam, LPARAM, LRESULT& result) override {
        if (message == WM_INITDIALOG) {
            const HICON icon = LoadIconW(instance_, MAKEINTRESOURCEW(IDR_MAINFRAME));
            SendMessageW(window(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
            SendMessageW(window(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
            Win32SystemInfo system;
            if (const auto version = system.FileVersion()) {
                const std::u16string label = u"Version " + *version;
                SetDlgItemTextW(window(), IDC_VERSION, WideText(label));
            }
            result = TRUE;
            return true;
        }
        if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
            EndDialog(window(), LOWORD(wParam));
            result = 0;
            return true;
        }
        return false;
    }

private:
    HINSTANCE instance_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    Win32AppHost host(instance, [] { return 0; });
    host.InitCommonControls();
    // The Japanese templates name this class.
    host.RegisterDialogClass(u"#32770", u"CQN38Dlg");

    const std::wstring which = argc > 1 ? argv[1] : L"";
    if (which == L"about") {
        AboutBox about(instance);
        return about.Run() == -1 ? 1 : 0;
    }
    if (which == L"settings") {
        MainWindowHandle main;
        ServiceClient service(ServiceTransportBackend(), RetryPauseBackend(), qn38::win32::TextBackend());
        Win32StringTable strings(instance);
        Win32SystemInfo system;
        Win32SettingsDialogs dialogs(instance, main, service, strings, system);
        return dialogs.Create()->DoModal() == -1 ? 1 : 0;
    }
    std::fwprintf(stderr, L"usage: qn38_dialog_gallery about|settings\n");
    return 2;
}
