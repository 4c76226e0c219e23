// The settings dialog as the main window runs it: constructed for one run,
// modal, and ended from outside when the user picks another tray command.
#pragma once

#include <memory>

namespace qn38::tool {

class SettingsDialog {
public:
    virtual ~SettingsDialog() = default;
    // Runs the dialog; IDOK or IDCANCEL.
    virtual int DoModal() = 0;
    // Ends the running dialog with `result`, as its own Cancel would.
    virtual void EndDialog(int result) = 0;
};

class SettingsDialogs {
public:
    virtual ~SettingsDialogs() = default;
    virtual std::unique_ptr<SettingsDialog> Create() = 0;
};

}  // namespace qn38::tool
