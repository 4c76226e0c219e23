#include "tool/win32/tool_backends.h"

#include <commctrl.h>

#include <string>

namespace qn38::tool::win32 {

void Win32AppHost::InitCommonControls() {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_WIN95_CLASSES;
    ::InitCommonControlsEx(&controls);
}

bool Win32AppHost::CreateSingleInstanceMutex(std::u16string_view name) {
    const std::u16string text(name);
    mutex_ = ::CreateMutexW(nullptr, TRUE, WideText(text));
    return ::GetLastError() != ERROR_ALREADY_EXISTS;
}

void Win32AppHost::RegisterDialogClass(std::u16string_view baseClass, std::u16string_view name) {
    const std::u16string base(baseClass);
    const std::u16string copy(name);
    WNDCLASSW windowClass{};
    if (!::GetClassInfoW(instance_, WideText(base), &windowClass) &&
        !::GetClassInfoW(nullptr, WideText(base), &windowClass)) {
        return;
    }
    windowClass.hInstance = instance_;
    windowClass.lpszClassName = WideText(copy);
    ::RegisterClassW(&windowClass);
}

void Win32AppHost::RegisterForRestart() {
    // No arguments: the tool takes none. Only a restart after an update:
    // after a crash or a hang the user decides, and after a reboot the Run
    // value (if the user wants it) starts the tool.
    ::RegisterApplicationRestart(nullptr, RESTART_NO_CRASH | RESTART_NO_HANG | RESTART_NO_REBOOT);
}

}  // namespace qn38::tool::win32
