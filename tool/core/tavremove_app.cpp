#include "tavremove_app.h"

namespace qn38::tool {

bool CtavremoveApp::InitInstance() {
    host_.InitCommonControls();
    // A second instance leaves silently: no window, no message, no icon.
    if (!host_.CreateSingleInstanceMutex(SINGLE_INSTANCE_MUTEX)) return false;
    // The Japanese dialog templates name this class.
    host_.RegisterDialogClass(SYSTEM_DIALOG_CLASS, TOOL_DIALOG_CLASS);
    host_.RunMainDialog();
    return false;
}

}  // namespace qn38::tool
