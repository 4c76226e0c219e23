#include "sim/tool/sim_settings_window.h"

#include <algorithm>

namespace qn38::sim {
namespace {

// ES_UPPERCASE: what reaches the edit is upper case, however it was typed.
char16_t Upper(char16_t character) {
    if (character >= u'a' && character <= u'z') return static_cast<char16_t>(character - u'a' + u'A');
    return character;
}

std::u16string Upper(std::u16string_view text) {
    std::u16string upper(text);
    for (auto& character : upper) character = Upper(character);
    return upper;
}

}  // namespace

void SimSettingsWindow::Notify(std::uint32_t controlId, std::uint32_t code, bool own) {
    ++(own ? ownNotifications : userNotifications);
    if (dialog_ != nullptr) dialog_->OnCommand(controlId, code);
}

void SimSettingsWindow::ReportChange(std::uint32_t editId, bool own) {
    Notify(editId, tool::EN_UPDATE_CODE, own);
    Notify(editId, tool::EN_CHANGE_CODE, own);
}

void SimSettingsWindow::Type(std::uint32_t editId, std::u16string_view characters) {
    for (const char16_t typed : characters) {
        Edit& edit = EditAt(editId);
        const std::size_t from = std::min(edit.selectionStart, edit.selectionEnd);
        const std::size_t to = std::max(edit.selectionStart, edit.selectionEnd);
        if (edit.text.size() - (to - from) + 1 > edit.limit) {
            Notify(editId, tool::EN_MAXTEXT_CODE, false);
            continue;
        }
        edit.text.replace(from, to - from, 1, Upper(typed));
        edit.selectionStart = edit.selectionEnd = from + 1;
        ReportChange(editId, false);
    }
}

void SimSettingsWindow::SelectAll(std::uint32_t editId) {
    Edit& edit = EditAt(editId);
    edit.selectionStart = 0;
    edit.selectionEnd = edit.text.size();
}

void SimSettingsWindow::Clear(std::uint32_t editId) {
    SelectAll(editId);
    Edit& edit = EditAt(editId);
    if (edit.text.empty()) return;
    edit.text.clear();
    edit.selectionStart = edit.selectionEnd = 0;
    ReportChange(editId, false);
}

void SimSettingsWindow::Paste(std::uint32_t editId, std::u16string_view text) {
    Edit& edit = EditAt(editId);
    const std::size_t from = std::min(edit.selectionStart, edit.selectionEnd);
    const std::size_t to = std::max(edit.selectionStart, edit.selectionEnd);
    const std::size_t room = edit.limit - (edit.text.size() - (to - from));
    const std::u16string pasted = Upper(text.substr(0, room));
    edit.text.replace(from, to - from, pasted);
    edit.selectionStart = edit.selectionEnd = from + pasted.size();
    if (pasted.size() < text.size()) Notify(editId, tool::EN_MAXTEXT_CODE, false);
    if (!pasted.empty() || from != to) ReportChange(editId, false);
}

void SimSettingsWindow::Drag(std::uint32_t trackbarId, int position) {
    Trackbar& trackbar = TrackbarAt(trackbarId);
    trackbar.position = position;
    Clamp(trackbar);
    if (dialog_ != nullptr) dialog_->OnHScroll(trackbarId);
}

void SimSettingsWindow::Click(std::uint32_t buttonId) {
    if (checks_.count(buttonId) != 0) checks_[buttonId] = !checks_[buttonId];
    Notify(buttonId, tool::BN_CLICKED_CODE, false);
}

std::u16string SimSettingsWindow::Text(std::uint32_t editId) const {
    const auto found = edits_.find(editId);
    return found == edits_.end() ? std::u16string() : found->second.text;
}

std::uint32_t SimSettingsWindow::Limit(std::uint32_t editId) const {
    const auto found = edits_.find(editId);
    return found == edits_.end() ? Edit{}.limit : found->second.limit;
}

int SimSettingsWindow::Position(std::uint32_t trackbarId) const {
    const auto found = trackbars_.find(trackbarId);
    return found == trackbars_.end() ? 0 : found->second.position;
}

std::pair<int, int> SimSettingsWindow::Range(std::uint32_t trackbarId) const {
    const auto found = trackbars_.find(trackbarId);
    const Trackbar trackbar = found == trackbars_.end() ? Trackbar{} : found->second;
    return {trackbar.minimum, trackbar.maximum};
}

bool SimSettingsWindow::Checked(std::uint32_t buttonId) const {
    const auto found = checks_.find(buttonId);
    return found != checks_.end() && found->second;
}

std::vector<int> SimSettingsWindow::PositionsSet(std::uint32_t trackbarId) const {
    const auto found = trackbars_.find(trackbarId);
    return found == trackbars_.end() ? std::vector<int>() : found->second.set;
}

std::vector<std::u16string> SimSettingsWindow::TextsSet(std::uint32_t editId) const {
    const auto found = edits_.find(editId);
    return found == edits_.end() ? std::vector<std::u16string>() : found->second.set;
}

void SimSettingsWindow::SetText(std::uint32_t controlId, std::u16string_view text) {
    // WM_SETTEXT is not bound by the limit, and leaves the caret at the start.
    Edit& edit = EditAt(controlId);
    edit.text = Upper(text);
    edit.selectionStart = edit.selectionEnd = 0;
    edit.set.emplace_back(text);
    ReportChange(controlId, true);
}

void SimSettingsWindow::SetLimitText(std::uint32_t editId, std::uint32_t limit) {
    // EM_LIMITTEXT with 0 means the largest limit.
    EditAt(editId).limit = limit == 0 ? 0x7FFFFFFE : limit;
}

void SimSettingsWindow::Clamp(Trackbar& trackbar) {
    trackbar.position = std::clamp(trackbar.position, trackbar.minimum, std::max(trackbar.minimum, trackbar.maximum));
}

void SimSettingsWindow::SetPos(std::uint32_t trackbarId, int position) {
    Trackbar& trackbar = TrackbarAt(trackbarId);
    trackbar.position = position;
    Clamp(trackbar);
    trackbar.set.push_back(position);
}

void SimSettingsWindow::SetRange(std::uint32_t trackbarId, int minimum, int maximum) {
    Trackbar& trackbar = TrackbarAt(trackbarId);
    trackbar.minimum = minimum;
    trackbar.maximum = maximum;
    Clamp(trackbar);
}

void SimSettingsWindow::FocusControl(std::uint32_t controlId) {
    focus_ = controlId;
    if (edits_.count(controlId) != 0) SelectAll(controlId);
}

}  // namespace qn38::sim
