// The settings dialog's controls on the simulated PC, behaving as Windows'
// edit, trackbar and check box do: an edit takes no more typed characters
// than its limit and upper-cases them, reports every change of its text to
// the dialog (also a change the dialog makes itself), a trackbar clamps every
// position to its range (0..100 until one is set). The user's keystrokes,
// drags and clicks reach the dialog as WM_COMMAND and WM_HSCROLL would.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tool/core/settings_dialog.h"

namespace qn38::sim {

class SimSettingsWindow final : public tool::SettingsWindow {
public:
    // The dialog the controls notify.
    void Attach(tool::CtavremoveDlg& dialog) { dialog_ = &dialog; }

    // The user, one keystroke per character, at the caret (replacing the selection).
    void Type(std::uint32_t editId, std::u16string_view characters);
    // Select the whole text (a click and Ctrl+A, or the focus from Tab).
    void SelectAll(std::uint32_t editId);
    // Select the whole text and delete it.
    void Clear(std::uint32_t editId);
    // Ctrl+V over the selection: one change, cut at the limit.
    void Paste(std::uint32_t editId, std::u16string_view text);
    // Drag a trackbar's thumb: the control moves (within its range) and reports it.
    void Drag(std::uint32_t trackbarId, int position);
    // A button: the check box toggles; every button reports the click.
    void Click(std::uint32_t buttonId);

    // What the controls show.
    std::u16string Text(std::uint32_t editId) const;
    std::uint32_t Limit(std::uint32_t editId) const;
    int Position(std::uint32_t trackbarId) const;
    std::pair<int, int> Range(std::uint32_t trackbarId) const;
    bool Checked(std::uint32_t buttonId) const;
    std::optional<std::uint32_t> Focus() const { return focus_; }
    std::uint32_t Icons() const { return icons_; }
    // Every EndDialog, in order.
    const std::vector<int>& Endings() const { return endings_; }
    // Positions the dialog set (not the user's drags), per trackbar, in order.
    std::vector<int> PositionsSet(std::uint32_t trackbarId) const;
    // Texts the dialog set, per edit, in order.
    std::vector<std::u16string> TextsSet(std::uint32_t editId) const;
    // Notifications the controls sent to the dialog: by the user's doing,
    // and by the dialog's own changes of the controls.
    int userNotifications = 0;
    int ownNotifications = 0;
    // The string each control's accessible name was set to.
    std::map<std::uint32_t, std::uint32_t> accessibleNames;

    // tool::SettingsWindow
    void SetIcons(std::uint32_t iconId) override { icons_ = iconId; }
    std::u16string GetText(std::uint32_t controlId) override { return Text(controlId); }
    void SetText(std::uint32_t controlId, std::u16string_view text) override;
    std::uint32_t GetLimitText(std::uint32_t editId) override { return Limit(editId); }
    void SetLimitText(std::uint32_t editId, std::uint32_t limit) override;
    int GetPos(std::uint32_t trackbarId) override { return Position(trackbarId); }
    void SetPos(std::uint32_t trackbarId, int position) override;
    void SetRange(std::uint32_t trackbarId, int minimum, int maximum) override;
    bool IsChecked(std::uint32_t buttonId) override { return Checked(buttonId); }
    void SetCheck(std::uint32_t buttonId, bool checked) override { checks_[buttonId] = checked; }
    void FocusControl(std::uint32_t controlId) override;
    void SetAccessibleName(std::uint32_t controlId, std::uint32_t stringId) override {
        accessibleNames[controlId] = stringId;
    }
    void EndDialog(int result) override { endings_.push_back(result); }

private:
    struct Edit {
        std::u16string text;
        std::uint32_t limit = 30000;  // an edit's limit before EM_LIMITTEXT
        std::size_t selectionStart = 0;
        std::size_t selectionEnd = 0;  // the caret
        std::vector<std::u16string> set;
    };
    struct Trackbar {
        int minimum = 0;
        int maximum = 100;
        int position = 0;
        std::vector<int> set;
    };

    Edit& EditAt(std::uint32_t id) { return edits_[id]; }
    Trackbar& TrackbarAt(std::uint32_t id) { return trackbars_[id]; }
    static void Clamp(Trackbar& trackbar);
    // EN_UPDATE then EN_CHANGE, as an edit sends them after a change.
    void ReportChange(std::uint32_t editId, bool own);
    void Notify(std::uint32_t controlId, std::uint32_t code, bool own);

    tool::CtavremoveDlg* dialog_ = nullptr;
    std::map<std::uint32_t, Edit> edits_;
    std::map<std::uint32_t, Trackbar> trackbars_;
    std::map<std::uint32_t, bool> checks_;
    std::optional<std::uint32_t> focus_;
    std::uint32_t icons_ = 0;
    std::vector<int> endings_;
};

}  // namespace qn38::sim
