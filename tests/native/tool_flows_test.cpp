// Stopping a card from the tray menu and bringing an inserted card up: the
// balloons the user reads, the icon, the requests and log lines the service
// gets, and what happens to the slot.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tool/core/tool_ids.h"
#include "tool/res/resource.h"
#include "sim/tool/sim_tray_tool.h"

namespace qn38 {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using ::testing::StartsWith;

const std::vector<std::u16string> WITH_FILTER = {u"QN38UP"};
constexpr std::uint32_t STOP_FIRST_SLOT = tool::ID_STOP_SLOT_BASE;

struct Balloon {
    std::u16string text;
    std::uint32_t flags;
    std::uint32_t icon;
    bool operator==(const Balloon&) const = default;
};

void PrintTo(const Balloon& balloon, std::ostream* out) {
    *out << "[" << balloon.flags << ", icon " << balloon.icon << "] " << sim::Utf8FromUtf16(balloon.text);
}

class SlotFlows : public ::testing::Test {
protected:
    SlotFlows() { pc.AddSlot({.slotBus = 5, .rootPortFilters = WITH_FILTER}); }

    void StartTool() {
        ASSERT_TRUE(tool.Start());
        ASSERT_TRUE(tool.AwaitPollerAtRest());
        started_ = tool.Mark();
    }
    void Insert(const sim::CardSpec& card = {}) {
        tool.OnMachine([&] { pc.slot(5).InsertCard(card); });
        ASSERT_TRUE(tool.RunPollerPasses(1));
    }
    void StopFromTheMenu() {
        tool.menus.Choose(STOP_FIRST_SLOT);
        tool.LeftClick();
    }
    // Balloons and requests since the tool finished starting.
    std::vector<Balloon> NewBalloons() {
        std::vector<Balloon> balloons;
        for (const auto& shown : tool.BalloonsSince(started_)) {
            balloons.push_back({shown.szInfo, shown.dwInfoFlags, shown.iconId});
        }
        return balloons;
    }
    std::vector<std::string> NewRequests() { return tool.RequestsSince(started_); }

    sim::SimPc pc;
    sim::SimTrayTool tool{pc};

private:
    sim::ToolMarks started_;
};

TEST_F(SlotFlows, SmokeAnInsertedCardIsStartedWithABusyBalloonAndThenStarted) {
    StartTool();
    Insert();

    EXPECT_THAT(NewBalloons(), ElementsAre(Balloon{u"Please wait.", 1, IDI_BUSY},
                                           Balloon{u"ExpressCard SATA Controller started.", 1, IDR_MAINFRAME}));
    EXPECT_EQ(tool.shell.Current().szInfoTitle, u"QN38EX HotPlug Tool");
    EXPECT_THAT(NewRequests(),
                ElementsAre("SetStatus(0x05,0,0,0)=1", "SetStatus(0x05,0,1,0)=1", "WriteLog(LinkEnable(Bus0x05))"));
    EXPECT_TRUE(pc.slot(5).CardDevice().has_value());
}

TEST_F(SlotFlows, ACardThatNeedsTheLinkCycleStillStarts) {
    StartTool();
    Insert({.needsLinkCycle = true});
    EXPECT_THAT(NewBalloons(), ElementsAre(Balloon{u"Please wait.", 1, IDI_BUSY},
                                           Balloon{u"ExpressCard SATA Controller started.", 1, IDR_MAINFRAME}));
    EXPECT_TRUE(pc.slot(5).CardDevice().has_value());
}

TEST_F(SlotFlows, ACardThatComesUpOnlyAfterTheDeviceCycleStarts) {
    StartTool();
    Insert({.needsDeviceCycle = true});

    EXPECT_THAT(NewRequests(),
                ElementsAre("SetStatus(0x05,0,0,0)=1", "SetStatus(0x05,0,1,0)=1", "SetStatus(0x05,2,1,0)=1",
                            "SetStatus(0x05,1,1,0)=1", "WriteLog(LinkEnable(Bus0x05))"));
    EXPECT_THAT(NewBalloons(), ElementsAre(Balloon{u"Please wait.", 1, IDI_BUSY},
                                           Balloon{u"ExpressCard SATA Controller started.", 1, IDR_MAINFRAME}));
}

TEST_F(SlotFlows, ACardThatNeverComesUpIsReportedAsExpressCardWithTheErrorIcon) {
    StartTool();
    Insert({.trainingReenumerations = 1000});

    EXPECT_THAT(NewBalloons(),
                ElementsAre(Balloon{u"Please wait.", 1, IDI_BUSY},
                            Balloon{u"ExpressCard could not start.\nPlease confirm ExpressCard is inserted properly.",
                                    3, IDI_NO_CARD}));
    // The next pass finds the card without a device and takes its link down again.
    ASSERT_TRUE(tool.RunPollerPasses(1));
    EXPECT_EQ(NewRequests().back(), "SetStatus(0x05,0,0,0)=1");
    EXPECT_TRUE(pc.slot(5).LinkDisabled());
}

TEST_F(SlotFlows, StoppingTheOnlyCardSaysItMayBeRemovedAndShowsTheNoCardIcon) {
    pc.slot(5).InsertCard();
    StartTool();
    StopFromTheMenu();

    EXPECT_THAT(
        NewBalloons(),
        ElementsAre(Balloon{u"Please wait.", 1, IDI_BUSY},
                    Balloon{u"ExpressCard SATA Controller stopped.\nExpressCard can be remove safty from the slot.", 1,
                            IDI_NO_CARD}));
    EXPECT_THAT(NewRequests(), ElementsAre("SetStatus(0x05,0,0,1)=1", "WriteLog(LinkDisable(Bus0x05))"));
    EXPECT_TRUE(pc.slot(5).LinkDisabled());
    EXPECT_FALSE(pc.slot(5).CardDevice().has_value());
    EXPECT_TRUE(tool.dialog().IsPollEnabled());

    // The card stays in the slot: the poller asks its link down once a
    // second look has confirmed the device gone, and reports nothing.
    ASSERT_TRUE(tool.RunPollerPasses(3));
    EXPECT_THAT(NewRequests(),
                ElementsAre("SetStatus(0x05,0,0,1)=1", "WriteLog(LinkDisable(Bus0x05))", "SetStatus(0x05,0,0,0)=1"));
    EXPECT_THAT(NewBalloons(), SizeIs(2));
}

TEST_F(SlotFlows, ACardWhoseDriverIsInstalledFirstIsReportedOnceItStartsOrOnceTheBoundHasPassed) {
    StartTool();
    std::uint64_t before = pc.clock.elapsedMilliseconds;
    Insert({.installMilliseconds = 8000});
    EXPECT_THAT(NewBalloons(), ElementsAre(Balloon{u"Please wait.", 1, IDI_BUSY},
                                           Balloon{u"ExpressCard SATA Controller started.", 1, IDR_MAINFRAME}));
    EXPECT_GE(pc.clock.elapsedMilliseconds - before, 8000u);
    EXPECT_LT(pc.clock.elapsedMilliseconds - before, tool::CARD_START_WAIT_MS);

    tool.OnMachine([&] { pc.slot(5).PullCard(); });
    ASSERT_TRUE(tool.RunPollerPasses(1));
    before = pc.clock.elapsedMilliseconds;
    Insert({.installMilliseconds = 120000});
    EXPECT_EQ(NewBalloons().back().text,
              u"ExpressCard SATA Controller could not start.\nPlease confirm ExpressCard is inserted properly.");
    EXPECT_GE(pc.clock.elapsedMilliseconds - before, tool::CARD_START_WAIT_MS);
    EXPECT_LT(pc.clock.elapsedMilliseconds - before, 2u * tool::CARD_START_WAIT_MS);
}

TEST_F(SlotFlows, ACardWhoseDeviceDidNotStartIsReportedAsNotStartedYetListedForAStop) {
    StartTool();
    const std::uint64_t before = pc.clock.elapsedMilliseconds;
    Insert({.problem = 28});  // CM_PROB_FAILED_INSTALL: no driver
    // A problem other than a driver still to be installed is not waited out.
    EXPECT_LT(pc.clock.elapsedMilliseconds - before, 1000u);
    EXPECT_THAT(NewBalloons(),
                ElementsAre(Balloon{u"Please wait.", 1, IDI_BUSY},
                            Balloon{u"ExpressCard SATA Controller could not start.\nPlease confirm ExpressCard is "
                                    u"inserted properly.",
                                    3, IDR_MAINFRAME}));
    tool.LeftClick();
    ASSERT_FALSE(tool.menus.Shown().empty());
    EXPECT_THAT(tool.menus.Shown().back().items, SizeIs(1));
}

TEST_F(SlotFlows, AProgramThatHoldsTheToolsSharedLockFailsAStopWhileTheWindowGoesOnAnswering) {
    pc.slot(5).InsertCard();
    StartTool();
    // It holds the lock and never lets go. The stop's worker is kept inside
    // its first wait for it while the test looks at the window.
    auto& lock = tool.shared.slotLock;
    const auto advance = lock.onSquattedWait;
    std::atomic<bool> waiting{false};
    std::atomic<bool> letGo{false};
    lock.onSquattedWait = [&](std::chrono::milliseconds bound) {
        waiting = true;
        for (int i = 0; !letGo && i < 10000; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        advance(bound);
    };
    lock.Squat();
    tool.window.awaitFlows = false;
    const auto before = pc.clock.elapsedMilliseconds;
    StopFromTheMenu();
    for (int i = 0; !waiting && i < 10000; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(waiting);

    EXPECT_TRUE(tool.QueryEndSession());
    tool.RightClick();
    tool.DeviceChange();
    EXPECT_LT(pc.clock.elapsedMilliseconds - before, 100u);
    EXPECT_THAT(tool.menus.Shown(), SizeIs(2));
    EXPECT_EQ(tool.shell.Current().szInfo, u"Please wait.");

    // The bound passes: the stop ends as failed, the link as it was.
    letGo = true;
    tool.window.awaitFlows = true;
    tool.window.Pump();
    EXPECT_GE(pc.clock.elapsedMilliseconds - before, static_cast<std::uint64_t>(tool::SLOT_LOCK_WAIT.count()));
    EXPECT_FALSE(pc.slot(5).LinkDisabled());
    EXPECT_EQ(tool.shell.Current().szInfo,
              u"ExpressCard SATA Controller cannot be stopped.\nPlease retry again after "
              u"terminating application which use ExpressCard. ");
    EXPECT_THAT(NewRequests(), ElementsAre("WriteLog(LinkDisable(Bus0x05))"));
    EXPECT_TRUE(tool.dialog().IsPollEnabled());

    // It made the name an object the tools cannot use: a start goes on at once.
    lock.Unsquat();
    lock.TakeName(true);
    tool.OnMachine([&] { pc.slot(5).PullCard(); });
    ASSERT_TRUE(tool.RunPollerPasses(2));
    const auto beforeStart = pc.clock.elapsedMilliseconds;
    Insert();
    EXPECT_LT(pc.clock.elapsedMilliseconds - beforeStart, static_cast<std::uint64_t>(tool::SLOT_LOCK_WAIT.count()));
    EXPECT_EQ(tool.shell.Current().szInfo, u"ExpressCard SATA Controller started.");
}

TEST_F(SlotFlows, ExitWhileAStopWaitsForItsTurnEndsTheToolWithoutTheStop) {
    pc.slot(5).InsertCard();
    StartTool();
    tool.shared.slotLock.Squat();
    tool.window.awaitFlows = false;
    StopFromTheMenu();
    tool.Exit();
    EXPECT_FALSE(tool.dialog().IsFlowRunning());
    EXPECT_FALSE(tool.dialog().IsPollerRunning());
    EXPECT_FALSE(tool.shell.IconShown());
    EXPECT_FALSE(tool.system.processEnded);
    EXPECT_FALSE(pc.slot(5).LinkDisabled());
    EXPECT_THAT(NewBalloons(), ElementsAre(Balloon{u"Please wait.", 1, IDI_BUSY}));
}

TEST_F(SlotFlows, AStopIsRefusedWhileAProgramHasAFileOpenOnTheCard) {
    pc.slot(5).InsertCard({.disks = {{.volumes = {{.letter = 'E'}}}}});
    StartTool();
    tool.OnMachine([&] { pc.storage.OpenFileOn('E'); });
    StopFromTheMenu();

    EXPECT_THAT(NewBalloons(),
                ElementsAre(Balloon{u"Please wait.", 1, IDI_BUSY},
                            Balloon{u"ExpressCard SATA Controller cannot be stopped.\nPlease retry again after "
                                    u"terminating application which use ExpressCard. \nIn use by Disk drive.",
                                    3, IDR_MAINFRAME}));
    EXPECT_THAT(NewRequests(),
                ElementsAre("SetStatus(0x05,0,0,1)=0",
                            StartsWith("WriteLog(LinkDisable(Bus0x05) vetoed by PNP_VetoOutstandingOpen SCSI\\Disk")));
    EXPECT_FALSE(pc.slot(5).LinkDisabled());
    EXPECT_TRUE(pc.slot(5).CardDevice().has_value());
    EXPECT_TRUE(tool.dialog().IsPollEnabled());
}

TEST_F(SlotFlows, AStopWithTheServiceGoneFailsAndTheCardKeepsRunning) {
    pc.slot(5).InsertCard();
    StartTool();
    tool.service.Stop();
    StopFromTheMenu();
    ASSERT_THAT(NewBalloons(), SizeIs(2));
    EXPECT_EQ(NewBalloons()[1].flags, 3u);
    EXPECT_TRUE(pc.slot(5).CardDevice().has_value());
}

TEST_F(SlotFlows, AStopWithAServiceThatNeverAnswersEndsAsIfItWereGoneAndExitStillReturns) {
    pc.slot(5).InsertCard();
    StartTool();
    tool.service.Hang();
    StopFromTheMenu();
    ASSERT_THAT(NewBalloons(), SizeIs(2));
    EXPECT_EQ(NewBalloons()[1].flags, 3u);
    // The stop's read, and those of the requests after it, which other
    // instances of the stuck service take and never answer.
    EXPECT_GE(tool.service.AbandonedReads(), 1u);
    EXPECT_TRUE(tool.dialog().IsPollEnabled());
    tool.Exit();
    EXPECT_FALSE(tool.dialog().IsPollerRunning());
    EXPECT_FALSE(tool.shell.IconShown());
    EXPECT_FALSE(tool.system.processEnded);
}

TEST_F(SlotFlows, ACardPulledWithoutStopIsHandledWithoutBalloon) {
    pc.slot(5).InsertCard();
    StartTool();
    tool.OnMachine([&] { pc.slot(5).PullCard(); });
    ASSERT_TRUE(tool.RunPollerPasses(1));

    EXPECT_THAT(NewRequests(), ElementsAre("SetStatus(0x05,0,0,0)=1"));
    EXPECT_THAT(NewBalloons(), IsEmpty());
    EXPECT_EQ(tool.shell.Current().iconId, static_cast<std::uint32_t>(IDI_NO_CARD));
    EXPECT_TRUE(pc.slot(5).LinkDisabled());
}

TEST_F(SlotFlows, ACardWithoutDescriptionIsCalledExpressCardInEveryBalloon) {
    StartTool();
    Insert({.description = u""});
    StopFromTheMenu();

    const auto balloons = NewBalloons();
    ASSERT_THAT(balloons, SizeIs(4));
    EXPECT_EQ(balloons[1].text, u"ExpressCard started.");
    EXPECT_EQ(balloons[3].text, u"ExpressCard stopped.\nExpressCard can be remove safty from the slot.");
    ASSERT_THAT(tool.menus.Shown(), SizeIs(1));
    EXPECT_EQ(tool.menus.Shown()[0].items.at(0).text, u"Stop ExpressCard.");
}

TEST_F(SlotFlows, EveryStopWritesOneLinkDisableAndEveryStartOneLinkEnableLine) {
    StartTool();
    Insert();  // start 1
    tool.OnMachine([&] { pc.storage.AddDisk({.parent = *pc.slot(5).CardDevice(), .volumes = {{.letter = 'F'}}}); });
    tool.OnMachine([&] { pc.storage.OpenFileOn('F'); });
    StopFromTheMenu();  // stop 1, refused
    tool.OnMachine([&] { pc.storage.CloseFileOn('F'); });
    StopFromTheMenu();  // stop 2
    tool.OnMachine([&] { pc.slot(5).PullCard(); });
    ASSERT_TRUE(tool.RunPollerPasses(1));      // removal: no line
    Insert({.trainingReenumerations = 1000});  // start 2, failed

    EXPECT_THAT(tool.ServiceRequests("WriteLog(Link"),
                ElementsAre("WriteLog(LinkEnable(Bus0x05))", StartsWith("WriteLog(LinkDisable(Bus0x05) vetoed by "),
                            "WriteLog(LinkDisable(Bus0x05))", "WriteLog(LinkEnable(Bus0x05))"));
}

TEST(SlotFlowsInJapanese, BalloonsAreTheJapaneseTextsUnderTheJapaneseTitle) {
    sim::SimPc pc;
    pc.AddSlot({.slotBus = 0x1A, .rootPortFilters = WITH_FILTER});
    sim::SimTrayTool tool(pc, sim::RC_LANGUAGE_JAPANESE);
    ASSERT_TRUE(tool.Start());
    ASSERT_TRUE(tool.AwaitPollerAtRest());
    tool.OnMachine([&] { pc.slot(0x1A).InsertCard({.description = u"カード"}); });
    ASSERT_TRUE(tool.RunPollerPasses(1));

    const auto balloons = tool.shell.Balloons();
    ASSERT_THAT(balloons, SizeIs(2));
    EXPECT_EQ(balloons[0].szInfo, u"処理中です。\nしばらくお待ちください。");
    EXPECT_EQ(balloons[1].szInfo, u"カードが使用可能な状態になりました。");
    EXPECT_EQ(balloons[1].szInfoTitle, u"TAV-QN38EX HotPlug Tool");
    EXPECT_THAT(tool.ServiceRequests("WriteLog(Link"), ElementsAre("WriteLog(LinkEnable(Bus0x1a))"));
}

}  // namespace
}  // namespace qn38
