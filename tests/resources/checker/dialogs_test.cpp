// The About box (90) and the settings dialog (91) in both languages: size,
// styles, font, caption, class, and every control in template order with its
// id, class, text, position and style, and the tab order that follows.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/resources/checker/binary_under_test.h"
#include "tests/resources/checker/languages.h"
#include "tests/resources/checker/resource_formats.h"

namespace qn38::rescheck {
namespace {

using namespace win32;

enum class Kind { kButton, kEdit, kStatic, kTrackbar };
enum class Text { kLiteral, kAppTitle, kCopyright, kIcon };

struct Control {
    std::uint32_t id;
    Kind kind;
    Text source;
    std::u16string_view text;  // kLiteral only; empty for none
    std::int16_t x, y, cx, cy;
    std::uint32_t style;
};

struct ExpectedDialog {
    const char* name;
    std::uint16_t id;
    Language language;
    std::int16_t cx, cy;
    std::uint32_t style;
    std::uint32_t ex_style;
    bool names_main_window_class;
    std::vector<Control> controls;
};

void PrintTo(const ExpectedDialog& dialog, std::ostream* out) { *out << dialog.name; }

constexpr std::uint32_t NO_ID = 0xFFFFFFFF;  // labels the code never addresses
constexpr std::uint16_t APP_ICON = 151;
constexpr std::uint16_t APP_TITLE = 57344;

constexpr std::uint32_t CHILD = WS_CHILD | WS_VISIBLE;
constexpr std::uint32_t LABEL = CHILD | WS_GROUP | SS_LEFT;
constexpr std::uint32_t RIGHT_LABEL = CHILD | WS_GROUP | SS_RIGHT;
constexpr std::uint32_t EDIT = CHILD | WS_BORDER | WS_TABSTOP | ES_LEFT | ES_UPPERCASE | ES_AUTOHSCROLL;
constexpr std::uint32_t TRACKBAR = CHILD | WS_TABSTOP | TBS_HORZ | TBS_BOTH | TBS_NOTICKS;
constexpr std::uint32_t GROUP_BOX = CHILD | BS_GROUPBOX;

constexpr std::uint32_t ABOUT_STYLE =
    WS_POPUP | WS_CAPTION | DS_MODALFRAME | DS_CENTER | DS_SETFOREGROUND | DS_SETFONT | DS_FIXEDSYS;
constexpr std::uint32_t SETTINGS_STYLE =
    WS_POPUP | WS_CAPTION | DS_MODALFRAME | DS_CENTER | DS_3DLOOK | DS_SETFONT | DS_FIXEDSYS;
static_assert(ABOUT_STYLE == 0x80C00AC8);
static_assert(SETTINGS_STYLE == 0x80C008CC);

std::vector<Control> AboutControls(const Language& language) {
    bool ja = language.id == LANGUAGE_JAPANESE;
    return {
        {NO_ID, Kind::kStatic, Text::kIcon, {}, 19, 16, 20, 20, CHILD | SS_ICON},
        {NO_ID, Kind::kStatic, Text::kAppTitle, {}, 55, 13, 93, 8, LABEL | SS_NOPREFIX},
        {NO_ID,
         Kind::kStatic,
         Text::kCopyright,
         {},
         std::int16_t(ja ? 4 : 7),
         41,
         std::int16_t(ja ? 151 : 150),
         8,
         CHILD | WS_GROUP | SS_CENTER | SS_CENTERIMAGE},
        {1, Kind::kButton, Text::kLiteral, u"OK", 55, 59, 50, 16, CHILD | WS_GROUP | WS_TABSTOP | BS_DEFPUSHBUTTON},
        {1022, Kind::kStatic, Text::kLiteral, u"Version 1.5.0", 55, 27, std::int16_t(ja ? 63 : 64), 8, LABEL},
    };
}

std::vector<Control> EnglishSettingsControls() {
    return {
        {1, Kind::kButton, Text::kLiteral, u"OK", 8, 137, 60, 14, CHILD | WS_TABSTOP | BS_DEFPUSHBUTTON},
        {2, Kind::kButton, Text::kLiteral, u"Cancel", 106, 137, 60, 14, CHILD | WS_TABSTOP | BS_PUSHBUTTON},
        {1003, Kind::kButton, Text::kLiteral, u"This tool is started when system starts.", 16, 18, 139, 10,
         CHILD | WS_TABSTOP | BS_AUTOCHECKBOX},
        {NO_ID, Kind::kStatic, Text::kLiteral, u"Memory Size", 16, 113, 56, 8, LABEL},
        {NO_ID, Kind::kStatic, Text::kLiteral, u"Start Address", 16, 54, 56, 8, LABEL},
        {NO_ID, Kind::kStatic, Text::kLiteral, u"End Address", 16, 82, 56, 8, LABEL},
        {1024, Kind::kEdit, Text::kLiteral, {}, 90, 110, 25, 14, EDIT},
        {1025, Kind::kEdit, Text::kLiteral, {}, 90, 51, 25, 14, EDIT},
        {1026, Kind::kEdit, Text::kLiteral, {}, 90, 80, 25, 14, EDIT},
        {NO_ID, Kind::kStatic, Text::kLiteral, u"0x", 80, 112, 8, 8, LABEL},
        {NO_ID, Kind::kStatic, Text::kLiteral, u"0x", 80, 53, 8, 8, LABEL},
        {NO_ID, Kind::kStatic, Text::kLiteral, u"0x", 80, 82, 8, 8, LABEL},
        {NO_ID, Kind::kStatic, Text::kLiteral, u"00000", 119, 113, 24, 8, LABEL},
        {NO_ID, Kind::kStatic, Text::kLiteral, u"00000", 119, 53, 24, 8, LABEL},
        {NO_ID, Kind::kButton, Text::kLiteral, u"StartUp", 8, 8, 158, 26, GROUP_BOX},
        {NO_ID, Kind::kButton, Text::kLiteral, u"Memory", 8, 41, 158, 89, GROUP_BOX},
        {NO_ID, Kind::kStatic, Text::kLiteral, u"FFFFF", 119, 82, 24, 8, LABEL},
        {1027, Kind::kTrackbar, Text::kLiteral, {}, 16, 65, 139, 15, TRACKBAR},
        {1028, Kind::kTrackbar, Text::kLiteral, {}, 16, 95, 139, 15, TRACKBAR},
    };
}

// The Japanese template puts "FFFFF" before the group boxes and right-aligns "0x".
std::vector<Control> JapaneseSettingsControls() {
    return {
        {1, Kind::kButton, Text::kLiteral, u"OK", 7, 142, 60, 14, CHILD | WS_TABSTOP | BS_DEFPUSHBUTTON},
        {2, Kind::kButton, Text::kLiteral, u"キャンセル", 107, 142, 60, 14, CHILD | WS_TABSTOP | BS_PUSHBUTTON},
        {1003, Kind::kButton, Text::kLiteral, u"OS起動時に常駐する。", 17, 19, 107, 10,
         CHILD | WS_TABSTOP | BS_AUTOCHECKBOX},
        {NO_ID, Kind::kStatic, Text::kLiteral, u"利用するメモリサイズ", 19, 114, 75, 8, LABEL},
        {NO_ID, Kind::kStatic, Text::kLiteral, u"スタートアドレス", 19, 52, 75, 8, LABEL},
        {NO_ID, Kind::kStatic, Text::kLiteral, u"エンドアドレス", 19, 84, 75, 8, LABEL},
        {1024, Kind::kEdit, Text::kLiteral, {}, 111, 112, 19, 12, EDIT},
        {1025, Kind::kEdit, Text::kLiteral, {}, 111, 50, 19, 12, EDIT},
        {1026, Kind::kEdit, Text::kLiteral, {}, 111, 81, 19, 12, EDIT},
        {NO_ID, Kind::kStatic, Text::kLiteral, u"0x", 98, 114, 11, 8, RIGHT_LABEL},
        {NO_ID, Kind::kStatic, Text::kLiteral, u"0x", 98, 53, 11, 8, RIGHT_LABEL},
        {NO_ID, Kind::kStatic, Text::kLiteral, u"0x", 98, 84, 11, 8, RIGHT_LABEL},
        {NO_ID, Kind::kStatic, Text::kLiteral, u"00000", 131, 115, 25, 8, LABEL},
        {NO_ID, Kind::kStatic, Text::kLiteral, u"00000", 131, 53, 25, 8, LABEL},
        {NO_ID, Kind::kStatic, Text::kLiteral, u"FFFFF", 131, 84, 25, 8, LABEL},
        {NO_ID, Kind::kButton, Text::kLiteral, u"常駐設定", 8, 7, 159, 28, GROUP_BOX},
        {NO_ID, Kind::kButton, Text::kLiteral, u"メモリ設定", 8, 40, 159, 94, GROUP_BOX},
        {1027, Kind::kTrackbar, Text::kLiteral, {}, 16, 64, 141, 15, TRACKBAR},
        {1028, Kind::kTrackbar, Text::kLiteral, {}, 16, 96, 141, 15, TRACKBAR},
    };
}

const std::vector<ExpectedDialog>& Dialogs() {
    static const std::vector<ExpectedDialog> dialogs = {
        {"About_English", 90, ENGLISH, 160, 80, ABOUT_STYLE, 0, false, AboutControls(ENGLISH)},
        {"About_Japanese", 90, JAPANESE, 160, 80, ABOUT_STYLE, 0, true, AboutControls(JAPANESE)},
        {"Settings_English", 91, ENGLISH, 175, 159, SETTINGS_STYLE, WS_EX_APPWINDOW, false, EnglishSettingsControls()},
        {"Settings_Japanese", 91, JAPANESE, 175, 163, SETTINGS_STYLE, WS_EX_APPWINDOW, true,
         JapaneseSettingsControls()},
    };
    return dialogs;
}

// Window class names are compared without regard to case, as Windows does:
// the resource compiler stores them upper-cased.
bool SameClassName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; };
    for (std::size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}

// A predefined class may be stored as its atom or by name; both create the same window.
bool IsClass(const NameOrOrdinal& actual, Kind kind) {
    struct Known {
        std::uint16_t atom;
        std::u16string_view name;
    };
    Known known = kind == Kind::kButton   ? Known{ATOM_BUTTON, u"Button"}
                  : kind == Kind::kEdit   ? Known{ATOM_EDIT, u"Edit"}
                  : kind == Kind::kStatic ? Known{ATOM_STATIC, u"Static"}
                                          : Known{0, u"msctls_trackbar32"};
    if (actual.kind == NameOrOrdinal::Kind::kOrdinal) return known.atom != 0 && actual.ordinal == known.atom;
    return actual.kind == NameOrOrdinal::Kind::kText && SameClassName(actual.text, known.name);
}

std::string ShowClass(const NameOrOrdinal& c) {
    if (c.kind == NameOrOrdinal::Kind::kOrdinal) return "atom " + std::to_string(c.ordinal);
    if (c.kind == NameOrOrdinal::Kind::kText) return "\"" + Narrow(c.text) + "\"";
    return "none";
}

std::u16string LegalCopyright() {
    const auto* data = FindResource(RT_VERSION, 1, LANGUAGE_NEUTRAL);
    if (!data) return {};
    VersionNode root = DecodeVersionInfo(*data);
    const VersionNode* node = FindVersionValue(root, u"\\StringFileInfo\\000004b0\\LegalCopyright");
    return node && node->Text() ? *node->Text() : std::u16string{};
}

std::u16string AppTitleFromStringTable(const Language& language) {
    const auto* data = FindResource(RT_STRING, APP_TITLE / 16 + 1, language.id);
    return data ? DecodeStringBlock(*data)[APP_TITLE % 16] : std::u16string{};
}

Dialog LoadDialog(std::uint16_t id, const Language& language) {
    const auto* data = FindResource(RT_DIALOG, id, language.id);
    if (!data) return {};
    return DecodeDialogEx(*data);
}

class DialogTemplate : public testing::TestWithParam<ExpectedDialog> {};

TEST_P(DialogTemplate, FrameMatches) {
    const ExpectedDialog& expected = GetParam();
    const auto* data = FindResource(RT_DIALOG, expected.id, expected.language.id);
    ASSERT_NE(data, nullptr);
    Dialog d = DecodeDialogEx(*data);

    EXPECT_EQ(d.x, 0);
    EXPECT_EQ(d.y, 0);
    EXPECT_EQ(d.cx, expected.cx);
    EXPECT_EQ(d.cy, expected.cy);
    EXPECT_EQ(d.style, expected.style) << std::hex << "style 0x" << d.style;
    // No system menu, so no close box; not visible until the framework shows it.
    EXPECT_EQ(d.style & (WS_SYSMENU | WS_VISIBLE), 0u);
    EXPECT_EQ(d.ex_style, expected.ex_style) << std::hex << "ex-style 0x" << d.ex_style;
    EXPECT_EQ(d.help_id, 0u);
    EXPECT_EQ(d.menu.kind, NameOrOrdinal::Kind::kNone);
    EXPECT_EQ(Narrow(d.title), Narrow(expected.language.app_title));

    ASSERT_TRUE(d.has_font);
    EXPECT_EQ(d.point_size, 9);
    EXPECT_EQ(Narrow(d.typeface), "MS Shell Dlg");
    EXPECT_EQ(d.weight, 0);
    EXPECT_EQ(d.italic, 0);
    EXPECT_EQ(d.charset, DEFAULT_CHARSET);

    // The Japanese templates name the class the tool registers for its main
    // window; the English ones use the standard dialog class.
    if (expected.names_main_window_class) {
        EXPECT_EQ(d.window_class.kind, NameOrOrdinal::Kind::kText);
        EXPECT_TRUE(SameClassName(d.window_class.text, u"CQN38Dlg")) << ShowClass(d.window_class);
    } else {
        EXPECT_EQ(d.window_class.kind, NameOrOrdinal::Kind::kNone) << ShowClass(d.window_class);
    }
}

TEST_P(DialogTemplate, ControlsMatchInTemplateOrder) {
    const ExpectedDialog& expected = GetParam();
    const auto* data = FindResource(RT_DIALOG, expected.id, expected.language.id);
    ASSERT_NE(data, nullptr);
    Dialog d = DecodeDialogEx(*data);
    ASSERT_EQ(d.items.size(), expected.controls.size());

    std::u16string copyright = LegalCopyright();
    for (std::size_t i = 0; i < d.items.size(); ++i) {
        const DialogItem& actual = d.items[i];
        const Control& want = expected.controls[i];
        SCOPED_TRACE("control #" + std::to_string(i + 1));
        EXPECT_EQ(actual.id, want.id);
        EXPECT_TRUE(IsClass(actual.window_class, want.kind)) << ShowClass(actual.window_class);
        EXPECT_EQ(actual.x, want.x);
        EXPECT_EQ(actual.y, want.y);
        EXPECT_EQ(actual.cx, want.cx);
        EXPECT_EQ(actual.cy, want.cy);
        EXPECT_EQ(actual.style, want.style) << std::hex << "style 0x" << actual.style << ", wanted 0x" << want.style;
        EXPECT_EQ(actual.ex_style, 0u);
        EXPECT_EQ(actual.help_id, 0u);
        EXPECT_TRUE(actual.creation_data.empty());

        if (want.source == Text::kIcon) {
            EXPECT_EQ(actual.title.kind, NameOrOrdinal::Kind::kOrdinal);
            EXPECT_EQ(actual.title.ordinal, APP_ICON);
            continue;
        }
        std::u16string_view text = want.source == Text::kAppTitle    ? expected.language.app_title
                                   : want.source == Text::kCopyright ? std::u16string_view(copyright)
                                                                     : want.text;
        if (text.empty()) {
            // An empty text may be stored as no text at all; both show nothing.
            EXPECT_TRUE(actual.title.kind == NameOrOrdinal::Kind::kNone || actual.title.text.empty())
                << "text \"" << Narrow(actual.title.text) << "\"";
        } else {
            EXPECT_EQ(actual.title.kind, NameOrOrdinal::Kind::kText);
            EXPECT_EQ(Narrow(actual.title.text), Narrow(text));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothLanguages, DialogTemplate, testing::ValuesIn(Dialogs()),
                         [](const auto& info) { return std::string(info.param.name); });

class DialogTexts : public testing::TestWithParam<Language> {};

// Message boxes take the string table's title; the dialogs must show the same.
TEST_P(DialogTexts, CaptionsAreTheStringTablesApplicationTitle) {
    std::u16string title = AppTitleFromStringTable(GetParam());
    ASSERT_FALSE(title.empty());
    EXPECT_EQ(Narrow(LoadDialog(90, GetParam()).title), Narrow(title));
    EXPECT_EQ(Narrow(LoadDialog(91, GetParam()).title), Narrow(title));
}

TEST_P(DialogTexts, AboutBoxShowsTheCopyrightOfTheVersionResource) {
    std::u16string copyright = LegalCopyright();
    ASSERT_FALSE(copyright.empty()) << "no LegalCopyright in the version resource";
    Dialog about = LoadDialog(90, GetParam());
    ASSERT_GE(about.items.size(), 3u);
    EXPECT_EQ(Narrow(about.items[2].title.text), Narrow(copyright));
}

TEST_P(DialogTexts, AboutBoxIconIsTheApplicationIcon) {
    Dialog about = LoadDialog(90, GetParam());
    ASSERT_FALSE(about.items.empty());
    ASSERT_EQ(about.items[0].title.kind, NameOrOrdinal::Kind::kOrdinal);
    EXPECT_NE(FindResource(RT_GROUP_ICON, about.items[0].title.ordinal, LANGUAGE_NEUTRAL), nullptr);
}

// Tab goes through the controls in template order, so the size edit comes
// before start and end although it stands lowest; the first tab stop, OK, has
// the focus when the dialog opens.
TEST_P(DialogTexts, SettingsTabOrderStartsAtOkAndFollowsTheTemplate) {
    Dialog settings = LoadDialog(91, GetParam());
    std::vector<std::uint32_t> tab_stops;
    for (const DialogItem& item : settings.items)
        if (item.style & WS_TABSTOP) tab_stops.push_back(item.id);
    EXPECT_EQ(tab_stops, (std::vector<std::uint32_t>{1, 2, 1003, 1024, 1025, 1026, 1027, 1028}));
}

INSTANTIATE_TEST_SUITE_P(BothLanguages, DialogTexts, testing::Values(ENGLISH, JAPANESE), LanguageName());

}  // namespace
}  // namespace qn38::rescheck
