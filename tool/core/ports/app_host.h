// What the application object needs of the process before its main window
// exists: common controls, the single-instance mutex, the dialog class, the
// restart after an update, and the modal run of the main dialog.
#pragma once

#include <string_view>

namespace qn38::tool {

class AppHost {
public:
    virtual ~AppHost() = default;
    // InitCommonControlsEx with ICC_WIN95_CLASSES.
    virtual void InitCommonControls() = 0;
    // CreateMutexW(NULL, TRUE, name), the handle kept for the process's life;
    // false when the mutex already existed (another instance runs).
    virtual bool CreateSingleInstanceMutex(std::u16string_view name) = 0;
    // Registers a copy of window class `baseClass` under `name`; failures are ignored.
    virtual void RegisterDialogClass(std::u16string_view baseClass, std::u16string_view name) = 0;
    // Asks Restart Manager to start the tool again (RegisterApplicationRestart)
    // once an installer that closed it to replace its files has finished.
    virtual void RegisterForRestart() = 0;
    // Constructs the main dialog (CAboutDlg, template 90) and runs it modally
    // until it has ended and its window is destroyed.
    virtual int RunMainDialog() = 0;
};

}  // namespace qn38::tool
