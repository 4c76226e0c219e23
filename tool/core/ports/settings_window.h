// The settings dialog's own window and its controls, as its logic reaches
// them: edits, trackbars, the check box, the keyboard focus and the end.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qn38::tool {

// Notification codes of WM_COMMAND that the settings dialog handles.
inline constexpr std::uint32_t BN_CLICKED_CODE = 0x0000;
inline constexpr std::uint32_t EN_CHANGE_CODE = 0x0300;
inline constexpr std::uint32_t EN_UPDATE_CODE = 0x0400;
inline constexpr std::uint32_t EN_MAXTEXT_CODE = 0x0501;

class SettingsWindow {
public:
    virtual ~SettingsWindow() = default;
    // WM_SETICON with the icon resource, for the big and then the small icon.
    virtual void SetIcons(std::uint32_t iconId) = 0;

    // GetWindowTextLengthW and GetWindowTextW of a control.
    virtual std::u16string GetText(std::uint32_t controlId) = 0;
    // SetWindowTextW. An edit reports the change to the dialog (EN_UPDATE,
    // EN_CHANGE) before the call returns, as it does for a keystroke.
    virtual void SetText(std::uint32_t controlId, std::u16string_view text) = 0;
    // EM_GETLIMITTEXT and EM_LIMITTEXT: how many characters the user may enter.
    virtual std::uint32_t GetLimitText(std::uint32_t editId) = 0;
    virtual void SetLimitText(std::uint32_t editId, std::uint32_t limit) = 0;

    // TBM_GETPOS.
    virtual int GetPos(std::uint32_t trackbarId) = 0;
    // TBM_SETPOS with redraw; the control clamps the position to its range.
    virtual void SetPos(std::uint32_t trackbarId, int position) = 0;
    // TBM_SETRANGEMIN, then TBM_SETRANGEMAX, neither redrawing.
    virtual void SetRange(std::uint32_t trackbarId, int minimum, int maximum) = 0;

    // IsDlgButtonChecked and CheckDlgButton.
    virtual bool IsChecked(std::uint32_t buttonId) = 0;
    virtual void SetCheck(std::uint32_t buttonId, bool checked) = 0;

    // WM_NEXTDLGCTL with the control's window: the keyboard focus moves to
    // it and an edit's text is selected.
    virtual void FocusControl(std::uint32_t controlId) = 0;

    // The control's accessible name (a dynamic annotation of its name
    // property) becomes the string `stringId`: a screen reader would name it
    // by the nearest preceding label in the template, another row's.
    virtual void SetAccessibleName(std::uint32_t controlId, std::uint32_t stringId) = 0;

    // Ends the modal run; DoModal returns `result`.
    virtual void EndDialog(int result) = 0;
};

}  // namespace qn38::tool
