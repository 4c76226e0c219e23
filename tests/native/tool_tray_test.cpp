// The tray icon's menus, the About box and its visibility, the settings
// dialog's seam, and the broadcasts the main window reacts to.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tool/core/tool_ids.h"
#include "tool/res/resource.h"
#include "sim/tool/sim_tray_tool.h"

namespace qn38 {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;
using ::testing::SizeIs;

const std::vector<std::u16string> WITH_FILTER = {u"QN38UP"};

std::vector<std::pair<std::uint32_t, std::u16string>> Items(const sim::ShownMenu& menu) {
    std::vector<std::pair<std::uint32_t, std::u16string>> items;
    for (const auto& item : menu.items) items.emplace_back(item.command, item.text);
    return items;
}

class TrayWithoutAdapter : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(tool.Start()); }
    sim::SimPc pc;
    sim::SimTrayTool tool{pc};
};

TEST_F(TrayWithoutAdapter, ALeftClickOpensAnEmptyStopMenu) {
    tool.LeftClick();
    ASSERT_THAT(tool.menus.Shown(), SizeIs(1));
    EXPECT_FALSE(tool.menus.Shown()[0].mainMenu);
    EXPECT_THAT(tool.menus.Shown()[0].items, IsEmpty());
}

TEST_F(TrayWithoutAdapter, ARightClickOpensSettingsAboutAndExit) {
    tool.RightClick();
    ASSERT_THAT(tool.menus.Shown(), SizeIs(1));
    EXPECT_TRUE(tool.menus.Shown()[0].mainMenu);
    EXPECT_THAT(Items(tool.menus.Shown()[0]), ElementsAre(Pair(ID_SETTINGS, u"Settings"), Pair(ID_ABOUT, u"About"),
                                                          Pair(0u, u""), Pair(ID_EXIT, u"Exit")));
}

TEST_F(TrayWithoutAdapter, OtherMouseMessagesOfTheIconOpenNothing) {
    tool.dialog().OnTrayNotify(tool::TRAY_ICON_ID, 0x200);  // WM_MOUSEMOVE
    tool.dialog().OnTrayNotify(tool::TRAY_ICON_ID, 0x202);  // WM_LBUTTONUP
    EXPECT_THAT(tool.menus.Shown(), IsEmpty());
}

TEST_F(TrayWithoutAdapter, EachPowerBroadcastAddsExactlyOneLogLine) {
    EXPECT_TRUE(tool.dialog().OnPowerBroadcast(4, 0));   // PBT_APMSUSPEND
    EXPECT_TRUE(tool.dialog().OnPowerBroadcast(18, 0));  // PBT_APMRESUMEAUTOMATIC
    EXPECT_TRUE(tool.dialog().OnPowerBroadcast(0x8013, -1));
    EXPECT_THAT(tool.ServiceRequests("WriteLog(WM_POWER"),
                ElementsAre("WriteLog(WM_POWERBROADCAST(wp:4,lp:0))", "WriteLog(WM_POWERBROADCAST(wp:18,lp:0))",
                            "WriteLog(WM_POWERBROADCAST(wp:32787,lp:-1))"));
}

TEST(TrayJapanese, TheMainMenuIsInJapanese) {
    sim::SimPc pc;
    sim::SimTrayTool tool(pc, sim::RC_LANGUAGE_JAPANESE);
    ASSERT_TRUE(tool.Start());
    tool.RightClick();
    ASSERT_THAT(tool.menus.Shown(), SizeIs(1));
    EXPECT_THAT(Items(tool.menus.Shown()[0]), ElementsAre(Pair(ID_SETTINGS, u"設定"), Pair(ID_ABOUT, u"バージョン情報"),
                                                          Pair(0u, u""), Pair(ID_EXIT, u"終了")));
}

class TrayWithSlots : public ::testing::Test {
protected:
    TrayWithSlots() {
        pc.AddSlot({.slotBus = 3, .rootPortFilters = WITH_FILTER});
        pc.AddSlot({.slotBus = 7, .rootPortFilters = WITH_FILTER}).InsertCard({.description = u"Fast Card"});
    }
    void SetUp() override {
        ASSERT_TRUE(tool.Start());
        ASSERT_TRUE(tool.AwaitPollerAtRest());
    }
    sim::SimPc pc;
    sim::SimTrayTool tool{pc};
};

TEST_F(TrayWithSlots, TheStopMenuHoldsOneItemPerSlotWhoseCardHasADevice) {
    tool.LeftClick();
    ASSERT_THAT(tool.menus.Shown(), SizeIs(1));
    // Slot index 1 (bus 7) holds the card.
    EXPECT_THAT(Items(tool.menus.Shown()[0]), ElementsAre(Pair(tool::ID_STOP_SLOT_BASE + 1, u"Stop Fast Card.")));
}

// A keyboard user reaches the icon with Win+B: Enter or Space opens the stop
// menu, Shift+F10 or the menu key the main menu, both at the icon; a click
// still opens one menu at the pointer, though the shell follows its
// button-down with NIN_SELECT or WM_CONTEXTMENU.
TEST_F(TrayWithSlots, APulledCardWhoseDevnodeAProgramStillHoldsIsNeitherShownNorOffered) {
    tool.OnMachine([&] {
        pc.devices.Hold(*pc.slot(7).CardDevice(), {.program = u"term.exe"});
        pc.slot(7).PullCard();
    });
    ASSERT_TRUE(tool.RunPollerPasses(2));
    // Plug and Play keeps the devnode, removal pending, until the handle closes.
    ASSERT_TRUE(pc.slot(7).CardDevice().has_value());

    EXPECT_EQ(tool.shell.Current().iconId, static_cast<std::uint32_t>(IDI_NO_CARD));
    tool.LeftClick();
    for (const auto& menu : tool.menus.Shown()) EXPECT_THAT(Items(menu), IsEmpty());
}

TEST_F(TrayWithSlots, TheKeyboardOpensBothMenusAtTheIconAndAClickStillOpensOne) {
    EXPECT_EQ(tool.shell.Version(), tool::NOTIFY_ICON_VERSION);

    tool.menus.Choose(tool::ID_STOP_SLOT_BASE + 1);
    tool.KeySelect();
    tool.KeyContextMenu();
    tool.dialog().OnTrayNotify(tool::TRAY_ICON_ID, tool::NIN_SELECT_MESSAGE);  // Enter after the pointer chose it
    tool.LeftClick();
    tool.RightClick();

    const auto& shown = tool.menus.Shown();
    ASSERT_THAT(shown, SizeIs(5));
    const std::vector<std::pair<bool, tool::MenuOpening>> expected = {{false, tool::MenuOpening::FromKeyboard},
                                                                      {true, tool::MenuOpening::FromKeyboard},
                                                                      {false, tool::MenuOpening::FromKeyboard},
                                                                      {false, tool::MenuOpening::AtCursor},
                                                                      {true, tool::MenuOpening::AtCursor}};
    for (std::size_t i = 0; i < shown.size(); ++i) {
        EXPECT_EQ(shown[i].mainMenu, expected[i].first) << i;
        EXPECT_EQ(shown[i].opening, expected[i].second) << i;
    }
    EXPECT_THAT(Items(shown[0]), ElementsAre(Pair(tool::ID_STOP_SLOT_BASE + 1, u"Stop Fast Card.")));
    // The stop picked from the keyboard's menu is the menu's stop.
    EXPECT_TRUE(pc.slot(7).LinkDisabled());
    EXPECT_EQ(tool.shell.Current().szInfo, u"Fast Card stopped.\nExpressCard can be remove safty from the slot.");
}

TEST_F(TrayWithSlots, ACardWithoutDescriptionIsCalledExpressCardInTheMenu) {
    tool.OnMachine([&] {
        pc.slot(7).PullCard();
        pc.slot(3).InsertCard({.description = u""});
    });
    ASSERT_TRUE(tool.RunPollerPasses(1));  // removal of 7, start of 3
    tool.LeftClick();
    ASSERT_THAT(tool.menus.Shown(), SizeIs(1));
    EXPECT_THAT(Items(tool.menus.Shown()[0]), ElementsAre(Pair(tool::ID_STOP_SLOT_BASE + 0, u"Stop ExpressCard.")));
}

TEST_F(TrayWithSlots, SlotEventsAndStopCommandsOutsideTheSlotListAreIgnored) {
    const auto before = tool.ServiceRequests().size();
    const auto calls = tool.shell.Calls().size();
    tool.dialog().OnTrayNotify(tool::SLOT_EVENT_INSERTED, 2);
    tool.dialog().OnTrayNotify(tool::SLOT_EVENT_REMOVED, -1);
    tool.dialog().OnTrayNotify(tool::SLOT_EVENT_REMOVED, 1000);
    EXPECT_TRUE(tool.dialog().OnCommand(tool::ID_STOP_SLOT_BASE + 2));
    EXPECT_TRUE(tool.dialog().OnCommand(tool::ID_STOP_SLOT_LAST));
    EXPECT_TRUE(tool.dialog().OnCommand(tool::ID_START_SLOT_BASE + 2));
    EXPECT_TRUE(tool.dialog().OnCommand(tool::ID_START_SLOT_LAST));
    EXPECT_FALSE(tool.dialog().OnCommand(tool::ID_START_SLOT_LAST + 1));
    EXPECT_EQ(tool.ServiceRequests().size(), before);
    EXPECT_EQ(tool.shell.Calls().size(), calls);
    EXPECT_TRUE(tool.dialog().IsPollEnabled());
}

TEST_F(TrayWithSlots, SafeRemovalByWindowsIsHandledAtTheNextDeviceChange) {
    tool.OnMachine([&] { pc.slot(7).HoldCardForEject(); });
    tool.DeviceChange();

    EXPECT_THAT(tool.ServiceRequests("SetStatus"), testing::Contains("SetStatus(0x07,0,0,0)=1"));
    EXPECT_TRUE(pc.slot(7).LinkDisabled());
    EXPECT_FALSE(pc.slot(7).CardDevice().has_value());
    EXPECT_EQ(tool.shell.Current().iconId, static_cast<std::uint32_t>(IDI_NO_CARD));
    EXPECT_TRUE(tool.shell.Current().szInfo.empty());  // no balloon
}

TEST_F(TrayWithSlots, ADeviceChangeWithoutACardHeldForEjectChangesNothing) {
    const auto before = tool.ServiceRequests().size();
    const auto calls = tool.shell.Calls().size();
    EXPECT_EQ(tool.dialog().OnDeviceChange(0x0007, 0), 1);
    EXPECT_EQ(tool.ServiceRequests().size(), before);
    EXPECT_EQ(tool.shell.Calls().size(), calls);
    EXPECT_TRUE(pc.slot(7).CardDevice().has_value());
}

TEST_F(TrayWithSlots, AfterAShellRestartTheIconComesBackAsItWas) {
    const auto before = tool.shell.Current();
    tool.shell.Restart();
    EXPECT_FALSE(tool.shell.IconShown());
    tool.TaskbarCreated();
    ASSERT_TRUE(tool.shell.IconShown());
    const auto calls = tool.shell.Calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2].action, tool::TrayAction::Add);
    // The new notification area is asked for the keyboard's notifications again.
    EXPECT_EQ(calls.back().action, tool::TrayAction::SetVersion);
    EXPECT_EQ(tool.shell.Version(), tool::NOTIFY_ICON_VERSION);
    EXPECT_EQ(tool.shell.Current().iconId, static_cast<std::uint32_t>(IDR_MAINFRAME));
    EXPECT_EQ(tool.shell.Current().iconId, before.iconId);
    EXPECT_EQ(tool.shell.Current().szTip, before.szTip);
    EXPECT_TRUE(tool.shell.Current().szInfo.empty());  // no old balloon again
}

TEST_F(TrayWithSlots, ABroadcastForAShellThatStillHoldsTheIconCostsNoPauses) {
    tool.TaskbarCreated();  // as when it follows the start-up's own add at log-on
    EXPECT_TRUE(tool.dialog().IsTrayIconShown());
    EXPECT_TRUE(tool.system.Sleeps().empty());
    EXPECT_EQ(tool.shell.Calls().back().action, tool::TrayAction::Modify);
    EXPECT_TRUE(tool.shell.Calls().back().accepted);
}

TEST_F(TrayWithSlots, WhileTheShellIsGoneOnlyTheFirstUpdateWaitsForIt) {
    tool.shell.SetAbsent(true);
    tool.OnMachine([&] { pc.slot(7).PullCard(); });
    ASSERT_TRUE(tool.RunPollerPasses(1));  // the removal updates the icon
    EXPECT_THAT(tool.system.Sleeps(), SizeIs(9));
    EXPECT_FALSE(tool.dialog().IsTrayIconShown());
    tool.OnMachine([&] { pc.slot(3).InsertCard(); });
    ASSERT_TRUE(tool.RunPollerPasses(1));  // a whole start flow: three updates
    EXPECT_THAT(tool.system.Sleeps(), SizeIs(9));

    tool.shell.SetAbsent(false);
    tool.TaskbarCreated();
    ASSERT_TRUE(tool.shell.IconShown());
    EXPECT_EQ(tool.shell.Current().iconId, static_cast<std::uint32_t>(IDR_MAINFRAME));
}

TEST(TrayAtLogOn, AShellThatComesUpAfterTheStartShowsTheIcon) {
    sim::SimPc pc;
    pc.AddSlot({.slotBus = 5, .rootPortFilters = WITH_FILTER}).InsertCard();
    sim::SimTrayTool tool(pc);
    tool.shell.SetAbsent(true);
    ASSERT_TRUE(tool.Start());
    EXPECT_FALSE(tool.shell.IconShown());
    const auto sleeps = tool.system.Sleeps().size();

    tool.shell.SetAbsent(false);
    tool.TaskbarCreated();
    ASSERT_TRUE(tool.shell.IconShown());
    EXPECT_EQ(tool.shell.Current().iconId, static_cast<std::uint32_t>(IDR_MAINFRAME));
    EXPECT_EQ(tool.system.Sleeps().size(), sleeps);
}

class AboutAndSettings : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(tool.Start()); }
    void Choose(std::uint32_t command) {
        tool.menus.Choose(command);
        tool.RightClick();
    }
    sim::SimPc pc;
    sim::SimTrayTool tool{pc};
};

TEST_F(AboutAndSettings, TheWindowStaysHiddenWhenTheDialogFrameworkShowsIt) {
    EXPECT_FALSE(tool.window.Visible());
    tool.dialog().OnCancel();
    EXPECT_FALSE(tool.window.Visible());
}

TEST_F(AboutAndSettings, AboutShowsTheWindowAndOkOrEscapeHideItAgain) {
    Choose(ID_ABOUT);
    EXPECT_TRUE(tool.window.Visible());
    EXPECT_EQ(tool.window.ForegroundRequests(), 1);
    tool.dialog().OnOK();
    EXPECT_FALSE(tool.window.Visible());

    Choose(ID_ABOUT);
    EXPECT_TRUE(tool.window.Visible());
    tool.dialog().OnCancel();
    EXPECT_FALSE(tool.window.Visible());
    EXPECT_FALSE(tool.window.EndedWith().has_value());  // the tool keeps running
}

TEST_F(AboutAndSettings, SettingsHidesTheAboutBoxAndRunsTheDialog) {
    Choose(ID_ABOUT);
    Choose(ID_SETTINGS);
    EXPECT_FALSE(tool.window.Visible());
    EXPECT_EQ(tool.settings.Opened(), 1);
    EXPECT_THAT(tool.settings.endings, ElementsAre(Pair(1, tool::IDOK_RESULT)));
}

TEST_F(AboutAndSettings, SettingsWhileTheDialogIsOpenCancelsItAndOpensANewOne) {
    tool.settings.whileOpen = [&](sim::SimSettingsDialog& dialog) {
        if (dialog.number() == 1) {
            Choose(ID_SETTINGS);  // the user picks Settings again from the tray
        } else {
            dialog.EndDialog(tool::IDOK_RESULT);
        }
    };
    Choose(ID_SETTINGS);
    EXPECT_EQ(tool.settings.Opened(), 2);
    EXPECT_THAT(tool.settings.endings, ElementsAre(Pair(1, tool::IDCANCEL_RESULT), Pair(2, tool::IDOK_RESULT)));
}

TEST_F(AboutAndSettings, AboutWhileTheSettingsDialogIsOpenCancelsIt) {
    tool.settings.whileOpen = [&](sim::SimSettingsDialog&) { Choose(ID_ABOUT); };
    Choose(ID_SETTINGS);
    EXPECT_THAT(tool.settings.endings, ElementsAre(Pair(1, tool::IDCANCEL_RESULT)));
    EXPECT_TRUE(tool.window.Visible());
}

TEST_F(AboutAndSettings, ExitWhileTheSettingsDialogIsOpenCancelsItAndEndsTheTool) {
    tool.settings.whileOpen = [&](sim::SimSettingsDialog&) { Choose(ID_EXIT); };
    Choose(ID_SETTINGS);
    EXPECT_THAT(tool.settings.endings, ElementsAre(Pair(1, tool::IDCANCEL_RESULT)));
    EXPECT_EQ(tool.window.EndedWith(), tool::IDOK_RESULT);
}

TEST_F(AboutAndSettings, ExitEndsTheDialogAndTheWindowsEndRemovesTheIcon) {
    Choose(ID_EXIT);
    EXPECT_EQ(tool.window.EndedWith(), tool::IDOK_RESULT);
    ASSERT_TRUE(tool.shell.IconShown());
    tool.Destroy();
    EXPECT_FALSE(tool.shell.IconShown());
    EXPECT_EQ(tool.shell.Calls().back().action, tool::TrayAction::Delete);
}

}  // namespace
}  // namespace qn38
