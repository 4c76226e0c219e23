#include "tool/core/tavremove_app.h"

namespace qn38::tool {

bool CtavremoveApp::InitInstance() {
    host_.InitCommonControls();
    // A second instance leaves silently: no window, no message, no icon.
    if (!host_.CreateSingleInstanceMutex(SINGLE_INSTANCE_MUTEX)) return false;
    // The Japanese dialog templates name this class.
    host_.RegisterDialogClass(SYSTEM_DIALOG_CLASS, TOOL_DIALOG_CLASS);
    // An upgrade closes the running tool through Restart Manager; the user
    // should find it in the tray again afterwards, as before.
    host_.RegisterForRestart();
    host_.RunMainDialog();
    return false;
}

}  // namespace qn38::tool
