// The string table and the tray menu, in each language exactly as the user
// reads them: every message, balloon text and menu item, trailing blanks and
// line feeds included.
#include <gtest/gtest.h>

#include <map>

#include "tests/resources/checker/binary_under_test.h"
#include "tests/resources/checker/languages.h"
#include "tests/resources/checker/resource_formats.h"

namespace qn38::rescheck {
namespace {

using namespace win32;

struct ExpectedString {
    std::uint16_t id;
    std::u16string_view english;
    std::u16string_view japanese;
};

const ExpectedString STRINGS[] = {
    {101, u"%s cannot be stopped.\nPlease retry again after terminating application which use ExpressCard. ",
     u"%sは現在使用中です。\n他のアプリケーションがExpressCardを使用している場合は、アプリケーションを終了した後で、"
     u"もう一度停止の操作を行ってください。"},
    {102, u"%s stopped.\nExpressCard can be remove safty from the slot.",
     u"%sを停止しました。取り外し・交換が可能です。"},
    {103, u"%s started.", u"%sが使用可能な状態になりました。"},
    {104, u"%s could not start.\nPlease confirm ExpressCard is inserted properly.",
     u"%sが開始できませんでした。\nExpressCardが正しく挿入されているか確認してください。"},
    {105, u"Stop %s.", u"%sを停止します"},
    {107,
     u"HotPlug driver was registered.\nIt is necessary to restart system to make effect hot-plug function.\nDo you "
     u"restart now?",
     u"ホットプラグドライバの登録を行いました。\nExpressCardのホットプラグ機能を有効にするためには再起動が必要です。\n"
     u"今すぐ再起動しますか？"},
    {108, u"HotPlug driver could not be registered.\nYou cannot use hot-plug function.",
     u"ホットプラグドライバが登録できませんでした。\nExpressCardのホットプラグ機能は使用できません。"},
    {109, u"Please wait.", u"処理中です。\nしばらくお待ちください。"},
    {110, u"Memory allocation was changed.\nDo you restart now?",
     u"QN38のメモリの割り当てを変更しました。\n今すぐ再起動しますか？"},
    {111, u"Please input the hexadecimal number(0x000-0xfff). ", u"3桁までの16進数を入力してください。"},
    {112, u"End Address must be bigger than Start Address.",
     u"スタートアドレスとエンドアドレスの差はメモリサイズより大きくしてください。"},
    {113, u"Memory Size must not be zero.", u"メモリサイズは0以外にしてください。"},
    // The settings rows' accessible names: each its row's label in the template.
    {114, u"Memory Size", u"利用するメモリサイズ"},
    {115, u"Start Address", u"スタートアドレス"},
    {116, u"End Address", u"エンドアドレス"},
    // The third line of a refused stop's balloon, and the start of a stopped card.
    {120, u"In use by %s.", u"%sが使用しています。"},
    {130, u"Start %s.", u"%sを開始します"},
    {57344, u"QN38EX HotPlug Tool", u"TAV-QN38EX HotPlug Tool"},
};

std::u16string_view In(const ExpectedString& s, const Language& language) {
    return language.id == LANGUAGE_JAPANESE ? s.japanese : s.english;
}

// id -> text of every non-empty string of the language, from all its blocks.
std::map<std::uint32_t, std::u16string> StringsOf(const Language& language) {
    std::map<std::uint32_t, std::u16string> out;
    for (const Resource* block : ResourcesOf(RT_STRING, language.id)) {
        auto strings = DecodeStringBlock(block->data);
        for (std::uint32_t i = 0; i < strings.size(); ++i)
            if (!strings[i].empty()) out[(block->name.ordinal - 1u) * 16 + i] = strings[i];
    }
    return out;
}

class StringTable : public testing::TestWithParam<Language> {};

TEST_P(StringTable, HoldsEveryTextExactlyAndNoOther) {
    auto actual = StringsOf(GetParam());
    for (const ExpectedString& s : STRINGS) {
        auto found = actual.find(s.id);
        if (found == actual.end()) {
            ADD_FAILURE() << "string " << s.id << " is missing";
            continue;
        }
        EXPECT_EQ(Narrow(found->second), Narrow(In(s, GetParam()))) << "string " << s.id;
        actual.erase(found);
    }
    for (const auto& [id, text] : actual) ADD_FAILURE() << "unexpected string " << id << ": " << Narrow(text);
}

INSTANTIATE_TEST_SUITE_P(BothLanguages, StringTable, testing::Values(ENGLISH, JAPANESE), LanguageName());

struct ExpectedMenu {
    std::u16string_view settings, about, exit;
};

constexpr std::uint16_t ID_SETTINGS = 32781;
constexpr std::uint16_t ID_ABOUT = 32782;
constexpr std::uint16_t ID_EXIT = 32783;

class TrayMenu : public testing::TestWithParam<Language> {};

TEST_P(TrayMenu, OnePopupWithSettingsAboutSeparatorExit) {
    const auto* data = FindResource(RT_MENU, 131, GetParam().id);
    ASSERT_NE(data, nullptr);
    auto menu = DecodeMenu(*data);
    ExpectedMenu texts = GetParam().id == LANGUAGE_JAPANESE ? ExpectedMenu{u"設定", u"バージョン情報", u"終了"}
                                                            : ExpectedMenu{u"Settings", u"About", u"Exit"};

    // The tool shows the first popup; its caption is never displayed.
    ASSERT_EQ(menu.size(), 1u);
    EXPECT_EQ(menu[0].flags, MF_POPUP | MF_END);
    EXPECT_EQ(Narrow(menu[0].text), "MENU_MAIN");

    const auto& items = menu[0].items;
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0].flags, 0);
    EXPECT_EQ(items[0].id, ID_SETTINGS);
    EXPECT_EQ(Narrow(items[0].text), Narrow(texts.settings));
    EXPECT_EQ(items[1].flags, 0);
    EXPECT_EQ(items[1].id, ID_ABOUT);
    EXPECT_EQ(Narrow(items[1].text), Narrow(texts.about));
    // A separator is an item with no id and no text.
    EXPECT_EQ(items[2].flags, 0);
    EXPECT_EQ(items[2].id, 0);
    EXPECT_TRUE(items[2].text.empty());
    EXPECT_EQ(items[3].flags, MF_END);
    EXPECT_EQ(items[3].id, ID_EXIT);
    EXPECT_EQ(Narrow(items[3].text), Narrow(texts.exit));
}

INSTANTIATE_TEST_SUITE_P(BothLanguages, TrayMenu, testing::Values(ENGLISH, JAPANESE), LanguageName());

}  // namespace
}  // namespace qn38::rescheck
