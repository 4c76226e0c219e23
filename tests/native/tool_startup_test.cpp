// The tray tool's start-up: one instance per session, the banner, the tray
// icon, slot discovery and synchronisation, the filter check and the poller.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tool/core/tavremove_app.h"
#include "tool/core/tool_ids.h"
#include "tool/res/resource.h"
#include "sim/tool/sim_tray_tool.h"

namespace qn38 {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using ::testing::StartsWith;
using tool::TrayAction;

const std::vector<std::u16string> WITH_FILTER = {u"QN38UP"};
const std::vector<std::u16string> WITHOUT_FILTER = {u"OtherFilter"};

std::vector<std::uint8_t> Buses(tool::CAboutDlg& dialog) {
    return {dialog.SlotBuses().begin(), dialog.SlotBuses().end()};
}

// The requests of the start-up sequence itself, after the banner and before
// the poller, whose first pass follows at once.
std::vector<std::string> StartupRequests(sim::SimTrayTool& tool) {
    std::vector<std::string> requests;
    for (const auto& line : tool.log.Lines()) {
        if (line == "poller started") break;
        if (line.starts_with("service: ")) requests.push_back(line.substr(9));
    }
    if (!requests.empty()) requests.erase(requests.begin());
    return requests;
}

std::vector<std::uint32_t> IconsShown(const sim::SimShell& shell) {
    std::vector<std::uint32_t> icons;
    for (const auto& call : shell.Calls()) {
        if (call.accepted && (call.action == TrayAction::Add || call.action == TrayAction::Modify)) {
            icons.push_back(call.record.iconId);
        }
    }
    return icons;
}

TEST(ToolStartupSmoke, OneSlotWithARunningCardEndsIdleWithTheCardIconAndThePoller) {
    sim::SimPc pc;
    pc.AddSlot({.slotBus = 5, .rootPortFilters = WITH_FILTER}).InsertCard();
    sim::SimTrayTool tool(pc);
    ASSERT_TRUE(tool.Start());
    ASSERT_TRUE(tool.AwaitPollerAtRest());

    EXPECT_THAT(Buses(tool.dialog()), ElementsAre(5));
    EXPECT_TRUE(tool.dialog().IsPollerRunning());
    EXPECT_THAT(IconsShown(tool.shell), ElementsAre(IDI_BUSY, IDR_MAINFRAME));
    EXPECT_TRUE(tool.shell.Current().szInfo.empty());
    EXPECT_TRUE(pc.slot(5).CardDevice().has_value());
    EXPECT_THAT(tool.messages.Shown(), IsEmpty());
    EXPECT_THAT(tool.ServiceRequests("AddFilter"), IsEmpty());
}

TEST(ToolStartup, WithoutAdapterOnlyTheBannerIsSentAndNoPollerRuns) {
    sim::SimPc pc;
    sim::SimTrayTool tool(pc);
    ASSERT_TRUE(tool.Start());

    EXPECT_EQ(tool.dialog().SlotCount(), 0u);
    EXPECT_EQ(tool.slots.statusQueries, 256u);  // every bus number asked once
    EXPECT_EQ(tool.slots.filterQueries, 0u);
    EXPECT_FALSE(tool.dialog().IsPollerRunning());
    EXPECT_THAT(tool.messages.Shown(), IsEmpty());
    const auto requests = tool.ServiceRequests();
    ASSERT_THAT(requests, SizeIs(1));
    EXPECT_TRUE(requests[0].starts_with("WriteLog(-----QN38HotPlugTool Start-----"));
    EXPECT_THAT(IconsShown(tool.shell), ElementsAre(IDI_BUSY, IDI_NO_CARD));
}

TEST(ToolStartup, TheBannerIsTheFirstRequestAndCarriesVersionAndProcessor) {
    sim::SimPc pc;
    pc.AddSlot({.slotBus = 5, .rootPortFilters = WITH_FILTER});
    sim::SimTrayTool tool(pc);
    tool.system.version = {10, 0, 19045, u""};
    tool.system.architecture = tool::CPU_ARCHITECTURE_X86;
    ASSERT_TRUE(tool.Start());

    const auto requests = tool.ServiceRequests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests[0],
              "WriteLog(-----QN38HotPlugTool Start-----\\r\\nMajorVersion:10\\r\\nMinorVersin:0\\r\\n"
              "BuildNumber:19045\\r\\n\\r\\nCPU(32bit))");
}

TEST(ToolStartup, WithoutNativeSystemInfoTheProcessorIsUnknown) {
    sim::SimPc pc;
    sim::SimTrayTool tool(pc);
    tool.system.architecture.reset();
    ASSERT_TRUE(tool.Start());
    const auto requests = tool.ServiceRequests();
    ASSERT_FALSE(requests.empty());
    EXPECT_TRUE(requests[0].ends_with("\\r\\nService Pack 1\\r\\nCPU(Unknown))")) << requests[0];
}

TEST(ToolStartup, TheVersionLabelShowsTheFileVersionOrKeepsTheTemplateText) {
    sim::SimPc pc;
    {
        sim::SimTrayTool tool(pc);
        ASSERT_TRUE(tool.Start());
        EXPECT_EQ(tool.window.ItemText(IDC_VERSION), u"Version 1, 5, 23, 0");
        EXPECT_EQ(tool.window.Icons(), static_cast<std::uint32_t>(IDR_MAINFRAME));
    }
    {
        sim::SimTrayTool tool(pc);
        tool.system.fileVersion.reset();
        ASSERT_TRUE(tool.Start());
        EXPECT_EQ(tool.window.ItemText(IDC_VERSION), u"");  // never set: the template's text stays
    }
}

TEST(ToolStartup, TheIconIsAddedBusyWithTheTitleAsTipAndBalloonTitle) {
    sim::SimPc pc;
    sim::SimTrayTool tool(pc);
    ASSERT_TRUE(tool.Start());

    const auto calls = tool.shell.Calls();
    ASSERT_FALSE(calls.empty());
    const auto& added = calls.front();
    EXPECT_EQ(added.action, TrayAction::Add);
    EXPECT_EQ(added.record.uID, tool::TRAY_ICON_ID);
    EXPECT_EQ(added.record.uFlags, 0x17u);
    EXPECT_EQ(added.record.uCallbackMessage, 0x8014u);
    EXPECT_EQ(added.record.iconId, static_cast<std::uint32_t>(IDI_BUSY));
    EXPECT_EQ(added.record.szTip, u"QN38EX HotPlug Tool");
    EXPECT_EQ(added.record.szInfoTitle, u"QN38EX HotPlug Tool");
    EXPECT_EQ(added.record.szInfo, u"");
    EXPECT_EQ(added.record.dwInfoFlags, 0u);
}

TEST(ToolStartup, InJapaneseTheTipAndBalloonTitleAreTheJapaneseTitle) {
    sim::SimPc pc;
    sim::SimTrayTool tool(pc, sim::RC_LANGUAGE_JAPANESE);
    ASSERT_TRUE(tool.Start());
    EXPECT_EQ(tool.shell.Current().szTip, u"TAV-QN38EX HotPlug Tool");
    EXPECT_EQ(tool.shell.Current().szInfoTitle, u"TAV-QN38EX HotPlug Tool");
}

TEST(ToolStartup, AShellThatIsNotUpYetIsAskedAgainEveryHalfSecond) {
    sim::SimPc pc;
    sim::SimTrayTool tool(pc);
    tool.shell.FailNext(3);
    ASSERT_TRUE(tool.Start());

    EXPECT_TRUE(tool.shell.IconShown());
    const auto calls = tool.shell.Calls();
    ASSERT_THAT(calls, SizeIs(6));  // three refused adds, the add and its version, the final modify
    for (int call = 0; call < 4; ++call) EXPECT_EQ(calls[call].action, TrayAction::Add);
    EXPECT_EQ(calls[4].action, TrayAction::SetVersion);
    EXPECT_THAT(tool.system.Sleeps(), ElementsAre(500u, 500u, 500u));
}

TEST(ToolStartup, AfterTenRefusalsStartUpGoesOnAndTheNextUpdateAddsTheIconWithoutPauses) {
    sim::SimPc pc;
    pc.AddSlot({.slotBus = 5, .rootPortFilters = WITH_FILTER}).InsertCard();
    sim::SimTrayTool tool(pc);
    tool.shell.FailNext(10);
    ASSERT_TRUE(tool.Start());
    ASSERT_TRUE(tool.AwaitPollerAtRest());

    EXPECT_TRUE(tool.dialog().IsPollerRunning());
    EXPECT_TRUE(pc.slot(5).CardDevice().has_value());
    int adds = 0;
    for (const auto& call : tool.shell.Calls()) adds += call.action == TrayAction::Add ? 1 : 0;
    EXPECT_EQ(adds, 11);  // ten at start-up, one with the start-up's last update
    EXPECT_THAT(tool.system.Sleeps(), SizeIs(9));
    EXPECT_TRUE(tool.shell.IconShown());
    EXPECT_EQ(tool.shell.Current().iconId, static_cast<std::uint32_t>(IDR_MAINFRAME));
}

class FilterCheck : public ::testing::Test {
protected:
    FilterCheck() { pc.AddSlot({.slotBus = 5, .rootPortFilters = WITHOUT_FILTER}).InsertCard(); }

    std::vector<std::u16string> RootPortFilters() {
        std::lock_guard lock(tool.machine);
        const auto value = pc.devices.ReadProperty(pc.slot(5).adapter().rootPort, SPDRP_UPPER_FILTERS);
        return sim::ReadMultiString(value);
    }

    sim::SimPc pc;
    sim::SimTrayTool tool{pc};
};

TEST_F(FilterCheck, AnsweringNoToTheRestartKeepsTheToolRunning) {
    tool.messages.Answer(tool::IDNO_RESULT);
    ASSERT_TRUE(tool.Start());
    ASSERT_TRUE(tool.AwaitPollerAtRest());

    const auto requests = tool.ServiceRequests();
    const auto addFilter = std::find_if(requests.begin(), requests.end(),
                                        [](const std::string& request) { return request.starts_with("AddFilter="); });
    ASSERT_NE(addFilter, requests.end());
    EXPECT_NE(*addFilter, "AddFilter=0");
    ASSERT_NE(addFilter + 1, requests.end());
    EXPECT_EQ(*(addFilter + 1), "WriteLog(AddFilter)");
    EXPECT_THAT(RootPortFilters(), ElementsAre(u"OtherFilter", u"QN38UP"));

    ASSERT_THAT(tool.messages.Shown(), SizeIs(1));
    EXPECT_EQ(tool.messages.Shown()[0].stringId, static_cast<std::uint32_t>(IDS_FILTER_REGISTERED));
    // In front of whatever else opened at log-on: the hidden window gives it no taskbar button.
    EXPECT_EQ(tool.messages.Shown()[0].style, 0x34u | tool::MB_SETFOREGROUND_STYLE | tool::MB_TOPMOST_STYLE);
    EXPECT_EQ(tool.messages.Shown()[0].caption, u"QN38EX HotPlug Tool");
    EXPECT_TRUE(tool.dialog().IsPollerRunning());
    EXPECT_EQ(tool.shell.Current().iconId, static_cast<std::uint32_t>(IDR_MAINFRAME));
    EXPECT_EQ(tool.system.rebootRequested, 0);
}

TEST_F(FilterCheck, AnsweringYesRestartsWindowsAndLeavesTheBusyIconWithoutPoller) {
    tool.messages.Answer(tool::IDYES_RESULT);
    EXPECT_FALSE(tool.Start());

    EXPECT_EQ(tool.system.rebootRequested, 1);  // asked with the shutdown privilege enabled
    EXPECT_FALSE(tool.dialog().IsPollerRunning());
    EXPECT_THAT(IconsShown(tool.shell), ElementsAre(IDI_BUSY));
}

TEST_F(FilterCheck, ARegistrationThatFailsShowsMessage108AndTheToolRunsOn) {
    {
        std::lock_guard lock(tool.machine);
        pc.devices.FailPropertyWrites(pc.slot(5).adapter().rootPort);
    }
    ASSERT_TRUE(tool.Start());
    ASSERT_TRUE(tool.AwaitPollerAtRest());

    // The library reports the failed registration with a result below 1.
    const auto added = tool.ServiceRequests("AddFilter");
    ASSERT_THAT(added, SizeIs(1));
    EXPECT_LT(std::stoi(added[0].substr(std::string("AddFilter=").size())), 1);
    EXPECT_THAT(tool.ServiceRequests("WriteLog(AddFilter"), IsEmpty());
    ASSERT_THAT(tool.messages.Shown(), SizeIs(1));
    EXPECT_EQ(tool.messages.Shown()[0].stringId, static_cast<std::uint32_t>(IDS_FILTER_NOT_REGISTERED));
    EXPECT_EQ(tool.messages.Shown()[0].style, 0x10u | tool::MB_SETFOREGROUND_STYLE | tool::MB_TOPMOST_STYLE);
    EXPECT_EQ(tool.messages.Shown()[0].text,
              u"HotPlug driver could not be registered.\nYou cannot use hot-plug function.");
    EXPECT_TRUE(tool.dialog().IsPollerRunning());
}

TEST_F(FilterCheck, WithTheServiceStoppedTheRegistrationFailsAndThePollerStillRuns) {
    tool.service.Stop();
    ASSERT_TRUE(tool.Start());
    ASSERT_TRUE(tool.AwaitPollerAtRest());

    EXPECT_THAT(tool.ServiceRequests(), IsEmpty());  // the banner is lost without notice
    ASSERT_THAT(tool.messages.Shown(), SizeIs(1));
    EXPECT_EQ(tool.messages.Shown()[0].stringId, static_cast<std::uint32_t>(IDS_FILTER_NOT_REGISTERED));
    EXPECT_TRUE(tool.dialog().IsPollerRunning());
}

TEST_F(FilterCheck, TrayClicksAreHandledWhileTheRestartQuestionIsOpen) {
    tool.messages.whileOpen = [&](const sim::ShownMessageBox&) {
        tool.menus.Choose(0);
        tool.LeftClick();
    };
    ASSERT_TRUE(tool.Start());
    ASSERT_THAT(tool.menus.Shown(), SizeIs(1));
    ASSERT_THAT(tool.menus.Shown()[0].items, SizeIs(1));  // the slot list is complete by then
    EXPECT_EQ(tool.menus.Shown()[0].items[0].text, u"Stop ExpressCard SATA Controller.");
}

TEST(ToolStartup, ACardInsertedWhileTheRestartQuestionIsOpenIsStartedOnceItIsAnswered) {
    sim::SimPc pc;
    pc.AddSlot({.slotBus = 5, .rootPortFilters = WITHOUT_FILTER});
    sim::SimTrayTool tool(pc);
    tool.messages.whileOpen = [&](const sim::ShownMessageBox&) {
        tool.OnMachine([&] { pc.slot(5).InsertCard({.description = u"Late Card"}); });
    };
    ASSERT_TRUE(tool.Start());
    ASSERT_TRUE(tool.AwaitPollerAtRest());

    EXPECT_TRUE(pc.slot(5).CardDevice().has_value());
    ASSERT_FALSE(tool.shell.Balloons().empty());
    EXPECT_EQ(tool.shell.Balloons().back().szInfo, u"Late Card started.");
    EXPECT_THAT(tool.ServiceRequests("WriteLog(LinkEnable"), SizeIs(1));
}

TEST(ToolStartup, SlotsAreSynchronisedInIncreasingBusOrderBeforeTheFilterCheck) {
    sim::SimPc pc;
    pc.AddSlot({.slotBus = 9, .rootPortFilters = WITHOUT_FILTER});
    pc.AddSlot({.slotBus = 3, .rootPortFilters = WITH_FILTER}).InsertCard();
    sim::SimTrayTool tool(pc);
    ASSERT_TRUE(tool.Start());

    EXPECT_THAT(Buses(tool.dialog()), ElementsAre(3, 9));
    EXPECT_THAT(StartupRequests(tool),
                ElementsAre("SetStatus(0x03,0,0,0)=1", "SetStatus(0x03,0,1,0)=1",  // card without device
                            "SetStatus(0x09,0,0,0)=1",                             // empty slot
                            StartsWith("AddFilter="), "WriteLog(AddFilter)"));
}

TEST(ToolStartup, ACardThatNeedsTheDeviceCycleIsBroughtUpBeforeThePollerStarts) {
    sim::SimPc pc;
    pc.AddSlot({.slotBus = 5, .rootPortFilters = WITH_FILTER}).InsertCard({.needsDeviceCycle = true});
    sim::SimTrayTool tool(pc);
    ASSERT_TRUE(tool.Start());

    EXPECT_THAT(StartupRequests(tool), ElementsAre("SetStatus(0x05,0,0,0)=1", "SetStatus(0x05,0,1,0)=1",
                                                   "SetStatus(0x05,2,1,0)=1", "SetStatus(0x05,1,1,0)=1"));
    EXPECT_TRUE(pc.slot(5).CardDevice().has_value());
    const auto lines = tool.log.Lines();
    const auto started = std::find(lines.begin(), lines.end(), "poller started");
    const auto lastCycle = std::find(lines.begin(), lines.end(), "service: SetStatus(0x05,1,1,0)=1");
    EXPECT_LT(lastCycle, started);
    EXPECT_EQ(tool.shell.Current().iconId, static_cast<std::uint32_t>(IDR_MAINFRAME));
}

TEST(ToolStartup, ARunningCardOnlyHasItsLinkConfirmed) {
    sim::SimPc pc;
    pc.AddSlot({.slotBus = 5, .rootPortFilters = WITH_FILTER}).InsertCard();
    {
        // A card that came up before the tool started.
        sim::SimTrayTool earlier(pc);
        ASSERT_TRUE(earlier.Start());
    }
    ASSERT_TRUE(pc.slot(5).CardDevice().has_value());
    sim::SimTrayTool tool(pc);
    ASSERT_TRUE(tool.Start());
    EXPECT_THAT(StartupRequests(tool), ElementsAre("SetStatus(0x05,0,1,0)=1"));
}

TEST(ToolStartup, SynchronisingASlotAsksEveryDriveFromCToZForItsSizeInLetterOrder) {
    sim::SimPc pc;
    pc.AddSlot({.slotBus = 5, .rootPortFilters = WITH_FILTER});
    pc.io.SetDrive('Z', std::nullopt);
    pc.io.SetDrive('A', 1440 * 1024);
    pc.io.SetDrive('E', 8 * sim::GIB);
    pc.io.SetDrive('C', 100 * sim::GIB);
    sim::SimTrayTool tool(pc);
    ASSERT_TRUE(tool.Start());
    EXPECT_THAT(tool.drives.Asked(), ElementsAre(u"C:\\", u"E:\\", u"Z:\\"));
}

TEST(ToolStartup, ANetworkDriveIsNeverAskedForItsSize) {
    sim::SimPc pc;
    pc.AddSlot({.slotBus = 5, .rootPortFilters = WITH_FILTER});
    pc.io.SetDrive('C', 100 * sim::GIB);
    pc.io.SetNetworkDrive('N', false);
    pc.io.SetNetworkDrive('P', true);
    sim::SimTrayTool tool(pc);
    ASSERT_TRUE(tool.Start());
    EXPECT_THAT(tool.drives.Asked(), ElementsAre(u"C:\\"));
    EXPECT_EQ(pc.io.stalledSizeQueries, 0u);
}

class SingleInstance : public ::testing::Test {
protected:
    sim::SimDesktop desktop;
};

TEST_F(SingleInstance, ASecondStartEndsAtOnceWithoutAWindow) {
    sim::SimAppHost first(desktop);
    int secondDialogs = -1;
    bool secondResult = true;
    bool secondRegistered = true;
    first.runMainDialog = [&] {
        sim::SimAppHost second(desktop);
        secondResult = tool::CtavremoveApp(second).InitInstance();
        secondDialogs = second.dialogsRun;
        secondRegistered = second.registeredForRestart;
        return tool::IDOK_RESULT;
    };
    EXPECT_FALSE(tool::CtavremoveApp(first).InitInstance());
    EXPECT_EQ(first.dialogsRun, 1);
    EXPECT_TRUE(first.commonControls);
    // Restart Manager starts again what it closed for an installer; a second
    // instance that ended on its own is not to come back.
    EXPECT_TRUE(first.registeredForRestart);
    EXPECT_EQ(secondDialogs, 0);
    EXPECT_FALSE(secondResult);
    EXPECT_FALSE(secondRegistered);
    EXPECT_EQ(desktop.windowClasses.count(u"CQN38Dlg"), 1u);
}

TEST_F(SingleInstance, AfterTheFirstHasEndedTheToolCanStartAgain) {
    {
        sim::SimAppHost first(desktop);
        tool::CtavremoveApp(first).InitInstance();
    }
    sim::SimAppHost again(desktop);
    tool::CtavremoveApp(again).InitInstance();
    EXPECT_EQ(again.dialogsRun, 1);
}

}  // namespace
}  // namespace qn38
