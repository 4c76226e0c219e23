#include "tool/core/settings_dialog.h"

#include <array>
#include <optional>
#include <vector>

#include "tool/core/main_window.h"
#include "lib/core/constants.h"
#include "lib/core/ports/property.h"
#include "tool/res/resource.h"

namespace qn38::tool {
namespace {

// REG_SZ data: UTF-16LE with its terminating NUL.
std::vector<std::uint8_t> StringValue(std::u16string_view text) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve((text.size() + 1) * 2);
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

int HexValue(char16_t character) {
    if (character >= u'0' && character <= u'9') return character - u'0';
    if (character >= u'A' && character <= u'F') return character - u'A' + 10;
    if (character >= u'a' && character <= u'f') return character - u'a' + 10;
    return -1;
}

}  // namespace

std::u16string UnitsText(std::uint32_t units) {
    static constexpr char16_t digits[] = u"0123456789ABCDEF";
    std::u16string text;
    do {
        text.insert(text.begin(), digits[units & 0xF]);
        units >>= 4;
    } while (units != 0);
    if (text.size() < 3) text.insert(0, 3 - text.size(), u'0');
    return text;
}

std::int32_t ParseHex(std::u16string_view text) {
    std::uint32_t value = 0;
    for (const char16_t character : text) {
        const int digit = HexValue(character);
        if (digit < 0) break;
        value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    return static_cast<std::int32_t>(value);
}

bool IsHexDigit(char16_t character) { return HexValue(character) >= 0; }

CtavremoveDlg::CtavremoveDlg(const SettingsPorts& ports) : ports_(ports), m_hIcon(IDR_MAINFRAME) {}

bool CtavremoveDlg::UpdateData(bool saveAndValidate) {
    // The edits report every text the exchange writes; those reports are not
    // the user's and must not run the handlers (which would exchange again).
    const bool outer = !m_bLockoutNotify;
    m_bLockoutNotify = true;
    bool valid = true;
    DoDataExchange(saveAndValidate, valid);
    if (outer) m_bLockoutNotify = false;
    return valid;
}

void CtavremoveDlg::DoDataExchange(bool saveAndValidate, bool& valid) {
    struct Binding {
        std::uint32_t id;
        std::u16string& member;
    };
    const std::array<Binding, 3> bindings{{
        {IDC_EDIT_START, m_strStart},
        {IDC_EDIT_END, m_strEnd},
        {IDC_EDIT_SIZE, m_strSize},
    }};
    for (const auto& binding : bindings) {
        if (saveAndValidate) {
            std::u16string text = ports_.window.GetText(binding.id);
            // A text longer than the edit lets anyone type did not come from
            // the user; it is not taken, and neither are the edits after it.
            if (text.size() > HEX_EDIT_LIMIT) {
                valid = false;
                return;
            }
            binding.member = std::move(text);
        } else {
            if (ports_.window.GetText(binding.id) != binding.member) ports_.window.SetText(binding.id, binding.member);
            ports_.window.SetLimitText(binding.id, HEX_EDIT_LIMIT);
        }
    }
}

bool CtavremoveDlg::OnCommand(std::uint32_t controlId, std::uint32_t code) {
    if (m_bLockoutNotify) return true;
    if (code == EN_UPDATE_CODE) {
        switch (controlId) {
        case IDC_EDIT_START:
            OnEnUpdateStart();
            return true;
        case IDC_EDIT_END:
            OnEnUpdateEnd();
            return true;
        case IDC_EDIT_SIZE:
            OnEnUpdateSize();
            return true;
        default:
            return false;
        }
    }
    if (code == EN_MAXTEXT_CODE) {
        if (controlId != IDC_EDIT_START && controlId != IDC_EDIT_END && controlId != IDC_EDIT_SIZE) return false;
        OnEnMaxText();
        return true;
    }
    if (code == BN_CLICKED_CODE) {
        if (controlId == IDOK_RESULT) {
            OnOK();
            return true;
        }
        if (controlId == IDCANCEL_RESULT) {
            OnCancel();
            return true;
        }
    }
    return false;
}

bool CtavremoveDlg::ValidateHexEdit(std::uint32_t editId) {
    const std::uint32_t limit = ports_.window.GetLimitText(editId);
    const std::u16string text = ports_.window.GetText(editId);
    bool accepted = text.size() <= limit;
    for (const char16_t character : text) {
        if (!IsHexDigit(character)) accepted = false;
    }
    // The members hold the last accepted texts: writing them back undoes the
    // keystroke or paste at once.
    UpdateData(accepted);
    return accepted;
}

void CtavremoveDlg::OnEnUpdateStart() {
    if (ValidateHexEdit(IDC_EDIT_START)) ports_.window.SetPos(IDC_SLIDER_START, ParseHex(m_strStart));
}

void CtavremoveDlg::OnEnUpdateEnd() {
    if (ValidateHexEdit(IDC_EDIT_END)) ports_.window.SetPos(IDC_SLIDER_END, ParseHex(m_strEnd));
}

void CtavremoveDlg::OnEnUpdateSize() { ValidateHexEdit(IDC_EDIT_SIZE); }

void CtavremoveDlg::OnEnMaxText() {
    // The edit has refused the character already; nothing to add.
}

void CtavremoveDlg::OnHScroll(std::uint32_t trackbarId) {
    const std::int32_t size = ParseHex(m_strSize);
    if (trackbarId == IDC_SLIDER_START) {
        const std::int32_t position = ports_.window.GetPos(IDC_SLIDER_START);
        const std::int32_t end = ParseHex(m_strEnd);
        if (!SpanHoldsSize(position, end, size)) {
            // Pushed back to the last start that still leaves room for the size.
            ports_.window.SetPos(IDC_SLIDER_START, end - size + 1);
        } else {
            m_strStart = UnitsText(static_cast<std::uint32_t>(position));
        }
    } else if (trackbarId == IDC_SLIDER_END) {
        const std::int32_t position = ports_.window.GetPos(IDC_SLIDER_END);
        const std::int32_t start = ParseHex(m_strStart);
        if (!SpanHoldsSize(start, position, size)) {
            ports_.window.SetPos(IDC_SLIDER_END, start + size - 1);
        } else {
            m_strEnd = UnitsText(static_cast<std::uint32_t>(position));
        }
    }
    UpdateData(false);
}

bool CtavremoveDlg::RunValueExists() {
    const auto key = ports_.registry.Open(RegistryRoot::CurrentUser, RUN_KEY_PATH, KEY_ACCESS_READ);
    return key && key->Query(RUN_VALUE_NAME).has_value();
}

bool CtavremoveDlg::OnInitDialog() {
    UpdateData(false);
    ports_.window.SetIcons(m_hIcon);
    ports_.window.SetAccessibleName(IDC_EDIT_SIZE, IDS_NAME_MEMORY_SIZE);
    ports_.window.SetAccessibleName(IDC_EDIT_START, IDS_NAME_START_ADDRESS);
    ports_.window.SetAccessibleName(IDC_SLIDER_START, IDS_NAME_START_ADDRESS);
    ports_.window.SetAccessibleName(IDC_EDIT_END, IDS_NAME_END_ADDRESS);
    ports_.window.SetAccessibleName(IDC_SLIDER_END, IDS_NAME_END_ADDRESS);

    ports_.window.SetCheck(IDC_STARTUP, RunValueExists());

    const MemoryWindowUnits window = EditableWindow(ports_.registry);
    m_strSize = UnitsText(window.size);
    m_strStart = UnitsText(window.start);
    m_strEnd = UnitsText(window.end);
    UpdateData(false);

    ports_.window.SetRange(IDC_SLIDER_START, 0, static_cast<int>(WINDOW_UNITS_MAX));
    ports_.window.SetRange(IDC_SLIDER_END, 0, static_cast<int>(WINDOW_UNITS_MAX));
    ports_.window.SetPos(IDC_SLIDER_START, static_cast<int>(window.start));
    ports_.window.SetPos(IDC_SLIDER_END, static_cast<int>(window.end));
    return true;
}

void CtavremoveDlg::Refuse(std::uint32_t stringId, std::uint32_t controlId) {
    ports_.messages.Show(stringId, MB_ICONEXCLAMATION_STYLE);
    ports_.window.FocusControl(controlId);
}

bool CtavremoveDlg::ReadSetting(std::uint32_t editId, const std::u16string& member, std::uint32_t& units) {
    if (!ValidateHexEdit(editId) || member.empty()) {
        Refuse(IDS_BAD_HEX_NUMBER, editId);
        return false;
    }
    units = static_cast<std::uint32_t>(ParseHex(member));
    return true;
}

void CtavremoveDlg::SaveStartUp() {
    const auto key = ports_.registry.Open(RegistryRoot::CurrentUser, RUN_KEY_PATH, KEY_ACCESS_ALL);
    if (!key) return;
    if (!ports_.window.IsChecked(IDC_STARTUP)) {
        key->Delete(RUN_VALUE_NAME);
        return;
    }
    // Without the program's path the value would start nothing at log-on;
    // whatever the value held before serves better.
    const std::u16string path = ports_.files.ExecutablePath();
    if (path.empty()) return;
    const std::u16string command = u"\"" + path + u"\"";
    key->Set(RUN_VALUE_NAME, REG_TYPE_SZ, StringValue(command));
}

void CtavremoveDlg::SaveMemoryWindow(const MemoryWindowBytes& wanted) {
    // No driver key, no driver to reserve the window: nothing to store.
    const auto stored = ReadStoredWindow(ports_.registry);
    if (!stored || *stored == wanted) return;

    const std::int32_t result = ports_.service.RequestSetSize(wanted.defLen, wanted.startAdrs, wanted.endAdrs);
    // The service did not store the window (not running, or the key refused
    // the write): nothing changed, so there is nothing to log, and saying it
    // changed, or restarting for it, would mislead.
    if (result < 1) return;
    ports_.service.RequestWriteLog(u"MemoryChange");
    if (ports_.messages.Show(IDS_MEMORY_CHANGED, MB_YESNO_STYLE | MB_ICONEXCLAMATION_STYLE) == IDYES_RESULT) {
        RestartWindows(ports_.system);
    }
}

void CtavremoveDlg::OnOK() {
    UpdateData(true);

    std::uint32_t start = 0;
    std::uint32_t end = 0;
    std::uint32_t size = 0;
    if (!ReadSetting(IDC_EDIT_START, m_strStart, start)) return;
    if (!ReadSetting(IDC_EDIT_END, m_strEnd, end)) return;
    if (!ReadSetting(IDC_EDIT_SIZE, m_strSize, size)) return;
    if (size == 0) {
        Refuse(IDS_SIZE_IS_ZERO, IDC_EDIT_SIZE);
        return;
    }
    if (!SpanHoldsSize(start, end, size)) {
        Refuse(IDS_WINDOW_TOO_SMALL, IDC_EDIT_START);
        return;
    }

    SaveStartUp();
    // The dialog closes whatever the service did, as the tool treats every
    // other unreachable-service case: kept open, OK could only fail again.
    SaveMemoryWindow(WindowBytes({size, start, end}));

    if (UpdateData(true)) ports_.window.EndDialog(IDOK_RESULT);
}

void CtavremoveDlg::OnCancel() { ports_.window.EndDialog(IDCANCEL_RESULT); }

}  // namespace qn38::tool
