// QN38HotPlugTool.exe: the tray tool's entry point. The application object
// runs the hidden main dialog; every port gets its Win32 backend here.
#include <windows.h>

#include "tool/core/main_window.h"
#include "tool/core/service_client.h"
#include "tool/core/tavremove_app.h"
#include "tool/win32/main_dialog.h"
#include "lib/win32/platform_win32.h"
#include "tool/win32/service_transport_win32.h"
#include "tool/win32/tool_backends.h"

namespace {

using namespace qn38::tool;
using namespace qn38::tool::win32;

int RunMainDialog(HINSTANCE instance) {
    MainWindowHandle handle;
    Win32SlotQueries slots;
    ServiceClient service(ServiceTransportBackend(), RetryPauseBackend(), qn38::win32::TextBackend());
    Win32TrayShell tray(instance, handle);
    Win32StringTable strings(instance);
    Win32PopupMenus menus(instance, handle);
    Win32MessageBoxes messages(strings, handle);
    Win32Threads threads;
    Win32SystemInfo system;
    Win32SettingsDialogs settings(instance, handle, service, strings, system);
    MainDialog window(instance, handle);
    Win32SharedSlotLock slotLock;

    const ToolPorts ports{slots,    service, tray,    strings, menus,
                          messages, window,  threads, system,  qn38::win32::DeviceIoBackend(),
                          settings, slotLock};
    CAboutDlg dialog(ports);
    return static_cast<int>(window.Run(dialog));
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // An empty card reader or optical drive asked for its size must fail
    // the call, not raise a "no disk" box that blocks the asking thread.
    ::SetErrorMode(SEM_FAILCRITICALERRORS);
    Win32AppHost host(instance, [instance] { return RunMainDialog(instance); });
    CtavremoveApp app(host);
    app.InitInstance();
    return 0;
}
