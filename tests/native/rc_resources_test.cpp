// Reading the tray tool's resource script for the simulated tool.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tool/res/resource.h"
#include "sim/tool/sim_resources.h"

namespace qn38::sim {
namespace {

using ::testing::ElementsAre;

const std::map<std::string, std::int64_t> SYMBOLS = {{"IDS_HELLO", 101}, {"ID_ONE", 1}, {"ID_TWO", 2}};

std::vector<std::pair<std::uint32_t, std::u16string>> Items(const std::vector<RcMenuItem>& items) {
    std::vector<std::pair<std::uint32_t, std::u16string>> pairs;
    for (const auto& item : items) pairs.emplace_back(item.command, item.text);
    return pairs;
}

TEST(RcResources, StringsKeepTheirEscapesAndQuotes) {
    const auto resources = RcResources::Parse(R"(
        STRINGTABLE
        BEGIN
            IDS_HELLO  "line one\nline two\tend"
            102,       "say ""hi"" \\ \x41"
            0x67       "trailing blank "
        END)",
                                              SYMBOLS, RC_LANGUAGE_NEUTRAL);
    ASSERT_TRUE(resources);
    EXPECT_EQ(resources->String(101), u"line one\nline two\tend");
    EXPECT_EQ(resources->String(102), u"say \"hi\" \\ A");
    EXPECT_EQ(resources->String(103), u"trailing blank ");
    EXPECT_FALSE(resources->String(104));
}

TEST(RcResources, OnlyTheChosenLanguagesTablesCount) {
    const std::string script = R"(
        LANGUAGE LANG_ENGLISH, SUBLANG_NEUTRAL
        STRINGTABLE { 101 "Hello" }
        LANGUAGE LANG_JAPANESE, SUBLANG_DEFAULT
        STRINGTABLE { 101 "こんにちは" }
        STRINGTABLE LANGUAGE 0x09, 0x00 { 102 "English by its own statement" }
    )";
    const auto english = RcResources::Parse(script, {}, RC_LANGUAGE_ENGLISH);
    const auto japanese = RcResources::Parse(script, {}, RC_LANGUAGE_JAPANESE);
    ASSERT_TRUE(english && japanese);
    EXPECT_EQ(english->String(101), u"Hello");
    EXPECT_EQ(english->String(102), u"English by its own statement");
    EXPECT_EQ(japanese->String(101), u"こんにちは");
    EXPECT_FALSE(japanese->String(102));
}

TEST(RcResources, TheFirstPopupOfAMenuWithSeparatorsAndWithoutNestedPopups) {
    const auto resources = RcResources::Parse(R"(
        // Dialogs and other blocks are passed over.
        90 DIALOGEX 0, 0, 10, 10
        CAPTION "Not a menu"
        BEGIN
            DEFPUSHBUTTON "OK", 1, 0, 0, 1, 1
        END
        /* the menu */
        131 MENU
        BEGIN
            POPUP "MAIN"
            BEGIN
                MENUITEM "One", ID_ONE
                POPUP "More" BEGIN MENUITEM "Hidden", 9 END
                MENUITEM SEPARATOR
                MENUITEM "&Two", ID_TWO, GRAYED
            END
            POPUP "Second" BEGIN MENUITEM "Never", 3 END
        END)",
                                              SYMBOLS, RC_LANGUAGE_NEUTRAL);
    ASSERT_TRUE(resources);
    EXPECT_THAT(Items(resources->FirstPopup(131)),
                ElementsAre(std::pair{1u, std::u16string(u"One")}, std::pair{0u, std::u16string()},
                            std::pair{2u, std::u16string(u"&Two")}));
    EXPECT_TRUE(resources->FirstPopup(90).empty());
}

TEST(RcResources, AnUnknownIdOrAnUnclosedBlockIsAnError) {
    EXPECT_FALSE(RcResources::Parse("STRINGTABLE BEGIN IDS_MISSING \"x\" END", SYMBOLS, RC_LANGUAGE_NEUTRAL));
    EXPECT_FALSE(RcResources::Parse("STRINGTABLE BEGIN 101 \"x\"", SYMBOLS, RC_LANGUAGE_NEUTRAL));
    EXPECT_FALSE(RcResources::Parse("STRINGTABLE BEGIN 101 \"unterminated END", SYMBOLS, RC_LANGUAGE_NEUTRAL));
}

TEST(RcResources, TheToolsScriptHasEveryStringInBothLanguages) {
    const auto english = RcResources::LoadToolResources(RC_LANGUAGE_ENGLISH);
    const auto japanese = RcResources::LoadToolResources(RC_LANGUAGE_JAPANESE);
    ASSERT_TRUE(english && japanese);
    for (std::uint32_t id : {101u, 102u, 103u, 104u, 105u, 107u, 108u, 109u, 110u, 111u, 112u, 113u, 57344u}) {
        EXPECT_TRUE(english->String(id)) << id;
        EXPECT_TRUE(japanese->String(id)) << id;
    }
    EXPECT_EQ(english->String(IDS_STOP_ITEM), u"Stop %s.");
    EXPECT_EQ(japanese->String(IDS_APP_TITLE), u"TAV-QN38EX HotPlug Tool");
    EXPECT_EQ(english->FirstPopup(IDR_TRAY_MENU).size(), 4u);
}

TEST(RcResources, Utf8AndUtf16RoundTripIncludingSurrogatePairs) {
    const std::u16string text = u"A\u00E9\u30AB\U0001F4BE";
    EXPECT_EQ(Utf16FromUtf8(Utf8FromUtf16(text)), text);
    EXPECT_EQ(Utf8FromUtf16(u"\u30AB"), "\xE3\x82\xAB");
    EXPECT_EQ(Utf16FromUtf8("\xE3\x82"), u"\uFFFD\uFFFD");  // cut short
}

}  // namespace
}  // namespace qn38::sim
