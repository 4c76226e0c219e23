// The settings dialog: whether the tool starts at log-on, and the memory
// window the hot-plug filter driver reserves for cards. The Win32 side only
// hosts it on template 91 and hands it the messages of its controls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "lib/core/memory_window.h"
#include "lib/core/ports/files.h"
#include "lib/core/ports/registry.h"
#include "tool/core/ports/message_boxes.h"
#include "tool/core/ports/settings_window.h"
#include "tool/core/ports/system_info.h"
#include "tool/core/service_client.h"

namespace qn38::tool {

// The current user's Run key and the tool's value in it.
inline constexpr std::u16string_view RUN_KEY_PATH = u"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr std::u16string_view RUN_VALUE_NAME = u"QN38HotPlugTool";

// The edits hold three hexadecimal digits: the largest window units.
inline constexpr std::uint32_t HEX_EDIT_LIMIT = 3;

// "%03X": at least three upper-case hexadecimal digits.
std::u16string UnitsText(std::uint32_t units);

// The leading hexadecimal digits of a text as a number; 0 for none.
std::int32_t ParseHex(std::u16string_view text);

// 0-9, A-F, a-f.
bool IsHexDigit(char16_t character);

// Everything the settings dialog reaches outside itself.
struct SettingsPorts {
    SettingsWindow& window;
    MessageBoxes& messages;  // owned by the settings dialog's window
    Registry& registry;
    Files& files;  // the tool's own path, for the Run value
    ServiceClient& service;
    SystemInfo& system;  // the restart
};

class CtavremoveDlg {
public:
    explicit CtavremoveDlg(const SettingsPorts& ports);

    // WM_INITDIALOG. True: the dialog manager focuses the first tab stop (OK).
    bool OnInitDialog();
    // IDOK: checks, saves and ends, or tells what is wrong and stays open.
    void OnOK();
    // IDCANCEL: ends with nothing saved.
    void OnCancel();
    // WM_COMMAND from a control; false for a command that is not the dialog's.
    bool OnCommand(std::uint32_t controlId, std::uint32_t code);
    // WM_HSCROLL from a trackbar, whatever the scroll code.
    void OnHScroll(std::uint32_t trackbarId);

    void OnEnUpdateStart();
    void OnEnUpdateEnd();
    void OnEnUpdateSize();
    void OnEnMaxText();

    // Accepts an edit's text into the members, or puts the members' texts
    // back into the edits: true when accepted.
    bool ValidateHexEdit(std::uint32_t editId);

    // Data exchange between the member texts and the edits: true reads the
    // edits, false writes them. Notifications the edits send meanwhile are
    // the dialog's own doing and reach no handler.
    bool UpdateData(bool saveAndValidate);

    // The last accepted texts.
    const std::u16string& StartText() const { return m_strStart; }
    const std::u16string& EndText() const { return m_strEnd; }
    const std::u16string& SizeText() const { return m_strSize; }

private:
    void DoDataExchange(bool saveAndValidate, bool& valid);
    // An edit's text as a setting: false (message shown, focus moved) when empty or rejected.
    bool ReadSetting(std::uint32_t editId, const std::u16string& member, std::uint32_t& units);
    void Refuse(std::uint32_t stringId, std::uint32_t controlId);
    bool RunValueExists();
    void SaveStartUp();
    // Hands a changed window to the service; offers the restart once it is stored.
    void SaveMemoryWindow(const MemoryWindowBytes& wanted);

    SettingsPorts ports_;

    std::u16string m_strStart;
    std::u16string m_strEnd;
    std::u16string m_strSize;
    std::uint32_t m_hIcon;
    // Set while a data exchange runs.
    bool m_bLockoutNotify = false;
};

}  // namespace qn38::tool
