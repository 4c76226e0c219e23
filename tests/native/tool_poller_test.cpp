// The slot poller beside the window's thread: what an idle pass costs, when
// it makes no pass, how it reports changes, and how the two threads end and
// share the slot without waiting for each other for ever.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <optional>
#include <thread>

#include "tool/core/slot_state.h"
#include "tool/core/tool_ids.h"
#include "tool/res/resource.h"
#include "sim/tool/sim_tray_tool.h"

namespace qn38 {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::vector<std::u16string> WITH_FILTER = {u"QN38UP"};

// A hang is a failure here, not a test run that never ends.
template <typename Body>
void WithinSeconds(int seconds, const char* what, Body&& body) {
    auto done = std::async(std::launch::async, std::forward<Body>(body));
    if (done.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready) {
        done.get();
        return;
    }
    std::fprintf(stderr, "%s did not finish within %d s: the threads wait for each other\n", what, seconds);
    std::fflush(stderr);
    std::_Exit(1);
}

class Poller : public ::testing::Test {
protected:
    void StartWithCards(std::initializer_list<std::uint8_t> buses) {
        for (const auto bus : buses) pc.AddSlot({.slotBus = bus, .rootPortFilters = WITH_FILTER}).InsertCard();
        ASSERT_TRUE(tool.Start());
        ASSERT_TRUE(tool.AwaitPollerAtRest());
    }
    std::vector<std::string> RequestsDuring(const std::function<void()>& action) {
        const auto before = tool.Mark();
        action();
        return tool.RequestsSince(before);
    }

    sim::SimPc pc;
    sim::SimTrayTool tool{pc};
};

TEST_F(Poller, AnIdlePassOverRunningCardsReadsPresenceAloneAndSendsNothing) {
    StartWithCards({4, 9});
    // The devices the start-up brought up were announced: the next pass looks once.
    ASSERT_TRUE(tool.RunPollerPasses(1));
    const auto statusBefore = tool.slots.statusQueries.load();
    const auto cardBefore = tool.slots.cardQueries.load();
    const auto turnsBefore = tool.shared.slotLock.Acquisitions();
    const auto requests = RequestsDuring([&] { ASSERT_TRUE(tool.RunPollerPasses(1)); });

    // A running card's link is up; a request could only bring up one that
    // was just stopped. Its device is looked at only when Plug and Play says
    // something changed, and only then is the slots' turn taken.
    EXPECT_THAT(requests, IsEmpty());
    EXPECT_EQ(tool.slots.statusQueries - statusBefore, 2u);
    EXPECT_EQ(tool.slots.cardQueries - cardBefore, 0u);
    EXPECT_EQ(tool.shared.slotLock.Acquisitions(), turnsBefore);

    tool.DeviceChange();
    const auto cardBeforeChange = tool.slots.cardQueries.load();
    const auto statusBeforeChange = tool.slots.statusQueries.load();
    ASSERT_TRUE(tool.RunPollerPasses(1));
    EXPECT_EQ(tool.slots.cardQueries - cardBeforeChange, 2u);
    EXPECT_EQ(tool.slots.statusQueries - statusBeforeChange, 2u);
    EXPECT_EQ(tool.shared.slotLock.Acquisitions(), turnsBefore + 2);
}

TEST_F(Poller, AnEmptySlotsLinkIsKeptDownAndAskedAgainOnlyAfterAChange) {
    pc.AddSlot({.slotBus = 5, .rootPortFilters = WITH_FILTER});
    ASSERT_TRUE(tool.Start());
    ASSERT_TRUE(tool.AwaitPollerAtRest());
    // The start-up took it down already.
    EXPECT_THAT(RequestsDuring([&] { ASSERT_TRUE(tool.RunPollerPasses(2)); }), IsEmpty());
    tool.DeviceChange();
    EXPECT_THAT(RequestsDuring([&] { ASSERT_TRUE(tool.RunPollerPasses(2)); }), ElementsAre("SetStatus(0x05,0,0,0)=1"));
    tool.PowerBroadcast(tool::PBT_APMRESUMEAUTOMATIC_EVENT, 0);
    EXPECT_THAT(RequestsDuring([&] { ASSERT_TRUE(tool.RunPollerPasses(2)); }), ElementsAre("SetStatus(0x05,0,0,0)=1"));
}

TEST_F(Poller, NoPassIsMadeWhileTheSystemResumesAutomatically) {
    StartWithCards({5});
    tool.system.resumeAutomatic = true;
    const auto statusBefore = tool.slots.statusQueries.load();
    EXPECT_THAT(RequestsDuring([&] { ASSERT_TRUE(tool.RunPollerPasses(3)); }), IsEmpty());
    EXPECT_EQ(tool.slots.statusQueries, statusBefore);

    tool.system.resumeAutomatic = false;
    ASSERT_TRUE(tool.RunPollerPasses(1));
    EXPECT_EQ(tool.slots.statusQueries, statusBefore + 1);
}

TEST_F(Poller, ASlotThatCannotBeReadOnceIsNotTakenForARemoval) {
    StartWithCards({5});
    // The service holds the dump device for a request of the window's thread.
    tool.slots.failStatusReads = 1;
    EXPECT_THAT(RequestsDuring([&] { ASSERT_TRUE(tool.RunPollerPasses(1)); }), IsEmpty());
    EXPECT_TRUE(pc.slot(5).CardDevice().has_value());
    EXPECT_FALSE(pc.slot(5).LinkDisabled());
    EXPECT_THAT(RequestsDuring([&] { ASSERT_TRUE(tool.RunPollerPasses(1)); }), IsEmpty());
    EXPECT_FALSE(pc.slot(5).LinkDisabled());
    EXPECT_THAT(tool.shell.Balloons(), IsEmpty());
}

TEST_F(Poller, ASlotBridgeThatStaysSilentIsReportedRemovedOnce) {
    StartWithCards({5});
    tool.OnMachine([&] { pc.devices.dump().installed = false; });
    const auto requests = RequestsDuring([&] { ASSERT_TRUE(tool.RunPollerPasses(4)); });
    // One removal (its request reaches a library that cannot touch the bridge either).
    EXPECT_THAT(requests, ElementsAre("SetStatus(0x05,0,0,0)=0"));
}

TEST_F(Poller, ExitWhileThePollerIsInsideItsSendToTheWindowEndsBothThreads) {
    StartWithCards({5});
    tool.OnMachine([&] { pc.slot(5).PullCard(); });
    // The window's thread is busy elsewhere while the poller reports the removal.
    tool.system.pollGate.Release();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (tool.window.BlockedSenders() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(tool.window.BlockedSenders(), 1);

    const auto requestsBefore = tool.ServiceRequests().size();
    // The Exit command ends the dialog and its window is destroyed while the
    // poller still waits in its send.
    WithinSeconds(10, "Exit during the poller's send", [&] { tool.Exit(); });
    EXPECT_FALSE(tool.dialog().IsPollerRunning());
    EXPECT_FALSE(tool.shell.IconShown());
    EXPECT_EQ(tool.dialog().SlotCount(), 0u);
    // The report that arrived while the window was ending was dropped, not acted on.
    EXPECT_EQ(tool.ServiceRequests().size(), requestsBefore);
    EXPECT_EQ(tool.window.BlockedSenders(), 0);
}

TEST_F(Poller, ExitWhileThePollerSleepsEndsItAtItsNextLook) {
    StartWithCards({5});
    WithinSeconds(10, "Exit while the poller sleeps", [&] { tool.Exit(); });
    EXPECT_FALSE(tool.dialog().IsPollerRunning());
    EXPECT_FALSE(tool.shell.IconShown());
}

TEST_F(Poller, APassUnderWayCannotBringBackACardTheUserStopped) {
    StartWithCards({5});
    // Plug and Play announced a change: the pass looks at the card's device.
    tool.DeviceChange();
    const auto windowThread = std::this_thread::get_id();
    std::promise<void> pollerInPass;
    std::atomic<bool> stopDone{false};
    std::atomic<bool> armed{true};
    // The poller has read that the card's device exists and is about to
    // re-assert the link when the user's stop comes in.
    tool.slots.afterCardQuery = [&] {
        if (std::this_thread::get_id() == windowThread || !armed.exchange(false)) return;
        pollerInPass.set_value();
        const auto until = std::chrono::steady_clock::now() + 300ms;
        while (!stopDone && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    };
    tool.system.pollGate.Release();
    ASSERT_EQ(pollerInPass.get_future().wait_for(10s), std::future_status::ready);

    tool.dialog().OnStopSlot(tool::ID_STOP_SLOT_BASE);
    tool.window.Pump();
    stopDone = true;
    ASSERT_TRUE(tool.window.PumpUntil([&] { return tool.system.pollGate.Arrivals() >= 2; }));
    tool.slots.afterCardQuery = nullptr;

    EXPECT_TRUE(pc.slot(5).LinkDisabled());
    EXPECT_FALSE(pc.slot(5).CardDevice().has_value());
    EXPECT_EQ(tool.shell.Current().szInfo,
              u"ExpressCard SATA Controller stopped.\nExpressCard can be remove safty "
              u"from the slot.");
    // After the stop the poller only keeps the link down, once a second
    // pass has confirmed that the device is gone.
    ASSERT_TRUE(tool.RunPollerPasses(2));
    EXPECT_EQ(tool.ServiceRequests().back(), "SetStatus(0x05,0,0,0)=1");
}

TEST_F(Poller, AStoppedCardWhoseDevicesLeaveLateStaysStoppedAndTheIconFollowsThem) {
    pc.AddSlot({.slotBus = 5, .rootPortFilters = WITH_FILTER}).InsertCard({.lingerMilliseconds = 8000});
    ASSERT_TRUE(tool.Start());
    ASSERT_TRUE(tool.AwaitPollerAtRest());
    tool.dialog().OnStopSlot(tool::ID_STOP_SLOT_BASE);
    tool.window.Pump();
    const std::u16string stopped =
        u"ExpressCard SATA Controller stopped.\nExpressCard can be remove safty from the slot.";
    ASSERT_EQ(tool.shell.Current().szInfo, stopped);

    // Plug and Play still lists the card's device: the passes leave the link alone.
    EXPECT_THAT(RequestsDuring([&] { ASSERT_TRUE(tool.RunPollerPasses(4)); }), IsEmpty());
    EXPECT_TRUE(pc.slot(5).LinkDisabled());
    EXPECT_TRUE(pc.slot(5).CardDevice().has_value());

    tool.OnMachine([&] { pc.clock.Advance(8000); });
    ASSERT_FALSE(pc.slot(5).CardDevice().has_value());
    EXPECT_THAT(RequestsDuring([&] { ASSERT_TRUE(tool.RunPollerPasses(2)); }), ElementsAre("SetStatus(0x05,0,0,0)=1"));
    EXPECT_TRUE(pc.slot(5).LinkDisabled());
    // The icon shows the empty slot now; the stop's balloon is left as it was.
    EXPECT_EQ(tool.shell.Current().iconId, static_cast<std::uint32_t>(IDI_NO_CARD));
    EXPECT_EQ(tool.shell.Current().szInfo, stopped);
}

TEST_F(Poller, ADeviceScanThatFailsOnceLeavesARunningCardUp) {
    StartWithCards({5});
    tool.OnMachine([&] { pc.devices.FailNextPciDeviceSets(1); });
    EXPECT_THAT(RequestsDuring([&] { ASSERT_TRUE(tool.RunPollerPasses(3)); }), IsEmpty());
    EXPECT_FALSE(pc.slot(5).LinkDisabled());
    EXPECT_TRUE(pc.slot(5).CardDevice().has_value());
}

// Two logged-on users, each with a tool, on one PC and one service.
class TwoSessions : public ::testing::Test {
protected:
    TwoSessions() { pc.AddSlot({.slotBus = 5, .rootPortFilters = WITH_FILTER}); }
    void StartBoth() {
        ASSERT_TRUE(first.Start());
        ASSERT_TRUE(first.AwaitPollerAtRest());
        ASSERT_TRUE(second.Start());
        ASSERT_TRUE(second.AwaitPollerAtRest());
    }
    // The SetStatus requests the service performed, in its order, from the `from`th on.
    std::vector<std::string> LinkRequests(std::size_t from = 0) {
        std::vector<std::string> requests;
        const auto exchanges = shared.service.Exchanges();
        for (std::size_t i = from; i < exchanges.size(); ++i) {
            if (exchanges[i].reply.command == CMD_SET_STATUS)
                requests.push_back(sim::DescribeRequest(exchanges[i].reply));
        }
        return requests;
    }

    sim::SimPc pc;
    sim::SimSharedPc shared{pc};
    sim::SimTrayTool first{shared};
    sim::SimTrayTool second{shared};
};

TEST_F(TwoSessions, AStopThatTheOtherToolsPassStraddlesStaysAStop) {
    pc.slot(5).InsertCard();
    StartBoth();
    second.DeviceChange();
    std::promise<void> secondInPass;
    std::atomic<bool> armed{true};
    // The second user's poller has found the card's device and is about to
    // act on what it read when the first user's stop comes in.
    second.slots.afterCardQuery = [&] {
        if (!armed.exchange(false)) return;
        secondInPass.set_value();
        std::this_thread::sleep_for(200ms);
    };
    second.system.pollGate.Release();
    ASSERT_EQ(secondInPass.get_future().wait_for(10s), std::future_status::ready);
    const auto before = shared.service.Exchanges().size();
    first.dialog().OnStopSlot(tool::ID_STOP_SLOT_BASE);
    ASSERT_TRUE(second.window.PumpUntil([&] { return second.system.pollGate.Arrivals() >= 2; }));
    second.slots.afterCardQuery = nullptr;

    ASSERT_TRUE(second.RunPollerPasses(3));
    ASSERT_TRUE(first.RunPollerPasses(3));
    const auto requests = LinkRequests(before);
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.front(), "SetStatus(0x05,0,0,1)=1");
    for (const auto& request : requests) EXPECT_NE(request.substr(0, 17), "SetStatus(0x05,0,1") << request;
    EXPECT_TRUE(pc.slot(5).LinkDisabled());
    EXPECT_FALSE(pc.slot(5).CardDevice().has_value());
    EXPECT_EQ(first.shell.Current().szInfo,
              u"ExpressCard SATA Controller stopped.\nExpressCard can be remove safty from the slot.");
}

TEST_F(TwoSessions, AToolStartedAfterAStopLeavesItStoppedUntilItsUserStartsTheCard) {
    pc.slot(5).InsertCard();
    ASSERT_TRUE(first.Start());
    ASSERT_TRUE(first.AwaitPollerAtRest());
    first.dialog().OnStopSlot(tool::ID_STOP_SLOT_BASE);
    first.window.Pump();
    ASSERT_TRUE(pc.slot(5).LinkDisabled());

    // The second user logs on: the start-up's sync is answered with the
    // stop, and neither it nor the first pass starts the card. The service
    // ends an exchange after its client has the reply.
    ASSERT_TRUE(shared.service.WaitForExchanges(first.ServiceRequests().size(), 10s));
    const auto before = shared.service.Exchanges().size();
    ASSERT_TRUE(second.Start());
    ASSERT_TRUE(second.AwaitPollerAtRest());
    ASSERT_TRUE(second.RunPollerPasses(2));
    EXPECT_EQ(LinkRequests(before).front(), "SetStatus(0x05,0,0,0)=1");
    EXPECT_EQ(LinkRequests(before).at(1), "SetStatus(0x05,0,1,0)=2");
    EXPECT_TRUE(pc.slot(5).LinkDisabled());
    EXPECT_FALSE(pc.slot(5).CardDevice().has_value());
    EXPECT_TRUE(second.BalloonsSince({}).empty());

    // Its menu offers the card's start, which brings it back with the
    // balloons of a start.
    second.menus.Choose(tool::ID_START_SLOT_BASE);
    second.LeftClick();
    ASSERT_FALSE(second.menus.Shown().empty());
    const auto& items = second.menus.Shown().back().items;
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].text, u"Start ExpressCard.");
    EXPECT_EQ(second.shell.Current().szInfo, u"ExpressCard SATA Controller started.");
    EXPECT_FALSE(pc.slot(5).LinkDisabled());
    // The mark is gone: the first user's next log-on would start the card too.
    ASSERT_TRUE(first.RunPollerPasses(2));
    EXPECT_TRUE(pc.slot(5).CardDevice().has_value());
}

TEST_F(TwoSessions, OneInsertionIsBroughtUpOnceWhenBothToolsSeeIt) {
    for (const bool overlapping : {true, false}) {
        SCOPED_TRACE(overlapping ? "the second pass comes during the first start" : "the second pass comes after it");
        sim::SimPc machine;
        machine.AddSlot({.slotBus = 5, .rootPortFilters = WITH_FILTER});
        sim::SimSharedPc pcOfBoth{machine};
        sim::SimTrayTool leader{pcOfBoth};
        std::optional<sim::SimTrayTool> follower;
        ASSERT_TRUE(leader.Start());
        ASSERT_TRUE(leader.AwaitPollerAtRest());
        std::promise<void> followerReady, go;
        // The follower's window has a thread of its own, as another
        // session's process has.
        std::thread followerWindow([&, seen = go.get_future()] {
            follower.emplace(pcOfBoth);
            follower->Start();
            follower->AwaitPollerAtRest();
            followerReady.set_value();
            seen.wait();
            follower->RunPollerPasses(3);
            follower->Destroy();
        });
        ASSERT_EQ(followerReady.get_future().wait_for(10s), std::future_status::ready);
        // Each tool's own transport, not the service's list: the service
        // records an exchange after its client has the reply, so requests of
        // two sessions may land there late and out of order.
        const auto leaderMark = leader.Mark();
        const auto followerMark = follower->Mark();
        // The leader's start flow has read the slot and is about to cycle
        // its link when the follower's poller looks at the same slot.
        std::atomic<bool> armed{overlapping};
        leader.slots.afterCardQuery = [&] {
            if (!armed.exchange(false)) return;
            go.set_value();
            std::this_thread::sleep_for(200ms);
        };
        leader.OnMachine([&] { machine.slot(5).InsertCard(); });
        ASSERT_TRUE(leader.RunPollerPasses(1));
        if (!overlapping) go.set_value();
        followerWindow.join();
        leader.slots.afterCardQuery = nullptr;

        const auto setStatusOnly = [](std::vector<std::string> requests) {
            std::erase_if(requests, [](const std::string& r) { return !r.starts_with("SetStatus"); });
            return requests;
        };
        // The leader's link cycle, then only what keeps the running card up;
        // the follower never cycles the link.
        const auto requests = setStatusOnly(leader.RequestsSince(leaderMark));
        ASSERT_GE(requests.size(), 2u);
        EXPECT_EQ(requests[0], "SetStatus(0x05,0,0,0)=1");
        EXPECT_EQ(requests[1], "SetStatus(0x05,0,1,0)=1");
        for (std::size_t i = 2; i < requests.size(); ++i) EXPECT_EQ(requests[i], "SetStatus(0x05,0,1,0)=1");
        for (const auto& request : setStatusOnly(follower->RequestsSince(followerMark)))
            EXPECT_EQ(request, "SetStatus(0x05,0,1,0)=1");
        EXPECT_FALSE(machine.slot(5).LinkDisabled());
        EXPECT_TRUE(machine.slot(5).CardDevice().has_value());
        EXPECT_EQ(leader.shell.Current().szInfo, u"ExpressCard SATA Controller started.");
        EXPECT_EQ(follower->shell.Current().szInfo, u"ExpressCard SATA Controller started.");
        leader.Destroy();
    }
}

TEST_F(Poller, InsertionsInTwoSlotsAreReportedOneAtATimeInSlotOrder) {
    pc.AddSlot({.slotBus = 8, .rootPortFilters = WITH_FILTER});
    pc.AddSlot({.slotBus = 2, .rootPortFilters = WITH_FILTER});
    ASSERT_TRUE(tool.Start());
    ASSERT_TRUE(tool.AwaitPollerAtRest());
    tool.OnMachine([&] {
        pc.slot(8).InsertCard({.description = u"Eight"});
        pc.slot(2).InsertCard({.description = u"Two"});
    });
    // The first start has the slots until it ends; the next pass reports the second card.
    ASSERT_TRUE(tool.RunPollerPasses(2));
    EXPECT_THAT(tool.ServiceRequests("WriteLog(Link"),
                ElementsAre("WriteLog(LinkEnable(Bus0x02))", "WriteLog(LinkEnable(Bus0x08))"));
    const auto balloons = tool.shell.Balloons();
    ASSERT_EQ(balloons.size(), 4u);
    EXPECT_EQ(balloons[1].szInfo, u"Two started.");
    EXPECT_EQ(balloons[3].szInfo, u"Eight started.");
    EXPECT_EQ(tool.shell.Current().iconId, static_cast<std::uint32_t>(IDR_MAINFRAME));
}

// Windows ends the session, or Restart Manager closes the tool for an
// installer: it ends as Exit ends it, before the message returns.
class SessionEnd : public Poller {
protected:
    int IconDeletions() {
        int deletions = 0;
        for (const auto& call : tool.shell.Calls()) deletions += call.action == tool::TrayAction::Delete ? 1 : 0;
        return deletions;
    }
};

TEST_F(SessionEnd, AnEndingSessionRemovesTheIconAndAwaitsThePollerBeforeItReturns) {
    StartWithCards({5});
    tool.settings.whileOpen = [&](sim::SimSettingsDialog&) {
        WithinSeconds(10, "the session's end", [&] { tool.EndSession(true); });
        // Windows may end the process as soon as the message has been handled.
        EXPECT_FALSE(tool.dialog().IsPollerRunning());
        EXPECT_FALSE(tool.shell.IconShown());
    };
    tool.dialog().OnSettings();
    EXPECT_THAT(tool.settings.endings, ElementsAre(std::pair(1, tool::IDCANCEL_RESULT)));
    EXPECT_EQ(tool.window.EndedWith(), tool::IDOK_RESULT);
    // The window's own end that follows does not do it all again.
    EXPECT_EQ(IconDeletions(), 1);
}

TEST_F(SessionEnd, AQueryIsAnsweredYesAndACancelledEndLeavesTheToolRunning) {
    StartWithCards({5});
    EXPECT_TRUE(tool.QueryEndSession());
    // Another program refused: the session goes on.
    tool.EndSession(false);
    EXPECT_FALSE(tool.window.EndedWith().has_value());
    EXPECT_TRUE(tool.shell.IconShown());
    EXPECT_EQ(IconDeletions(), 0);
    EXPECT_TRUE(tool.dialog().IsPollerRunning());
    const auto statusBefore = tool.slots.statusQueries.load();
    ASSERT_TRUE(tool.RunPollerPasses(1));
    EXPECT_GT(tool.slots.statusQueries, statusBefore) << "the poller stopped";
}

// The pass's decision for one slot, case by case: what the poller does for a
// slot given what it knew and what it saw, without threads or windows.
TEST(SlotDecision, EachObservationLeadsToItsActions) {
    using tool::CardDeviceView;
    using tool::DecideSlot;
    using tool::SlotActions;
    using tool::SlotEvent;
    using tool::SlotObservation;
    using tool::SlotRecord;
    const SlotRecord running{.present = true, .hasDevice = true, .deviceStale = false};
    const SlotRecord empty{.present = false, .linkHeldDown = true, .deviceStale = false};
    const SlotRecord stopped{.present = true, .linkHeldDown = true, .deviceStale = false};
    const CardDeviceView device{.exists = true};
    const CardDeviceView none{};
    const auto seen = [](bool present) { return SlotObservation{.now = 1s, .answered = true, .present = present}; };
    const auto with = [](SlotObservation observation, auto change) {
        change(observation);
        return observation;
    };
    struct Case {
        const char* what;
        SlotRecord record;
        SlotObservation observation;
        SlotActions expected;
    };
    const Case cases[] = {
        {"a running card without change: nothing, not even a device scan", running, seen(true), {}},
        {"an empty slot without change: nothing", empty, seen(false), {}},
        {"a stopped card without change: nothing", stopped, seen(true), {}},
        {"an empty slot whose link was not yet taken down",
         {.deviceStale = false},
         seen(false),
         {.takeLinkDown = true}},
        {"a device change: the running card's device is looked at",
         running,
         with(seen(true), [](auto& o) { o.devicesChanged = true; }),
         {.lookAtDevice = true}},
        {"the safety interval passed: looked at",
         running,
         with(seen(true), [](auto& o) { o.now = 11s; }),
         {.lookAtDevice = true}},
        {"looked at and still there: nothing",
         running,
         with(seen(true),
              [&](auto& o) {
                  o.devicesChanged = true;
                  o.device = device;
              }),
         {}},
        {"looked at and missing once: no conclusion yet",
         running,
         with(seen(true),
              [&](auto& o) {
                  o.devicesChanged = true;
                  o.device = none;
              }),
         {}},
        {"missing twice: the link goes down and the icon shows it",
         {.present = true, .hasDevice = true, .deviceStale = false, .deviceMisses = 1},
         with(seen(true), [&](auto& o) { o.device = none; }),
         {.takeLinkDown = true, .refreshIcon = true}},
        {"a device change over an empty slot brings its link in line again",
         empty,
         with(seen(false), [](auto& o) { o.devicesChanged = true; }),
         {.takeLinkDown = true}},
        {"a card goes in", empty, seen(true), {.event = SlotEvent::Inserted}},
        {"a card without a device comes out", stopped, seen(false), {.event = SlotEvent::Removed}},
        {"a running card reading as absent: its device is looked at first",
         running,
         seen(false),
         {.lookAtDevice = true}},
        {"absent once while its device is there: a failed read, not a removal",
         running,
         with(seen(false), [&](auto& o) { o.device = device; }),
         {}},
        {"absent and its device gone: removed",
         running,
         with(seen(false), [&](auto& o) { o.device = none; }),
         {.event = SlotEvent::Removed}},
        {"an unreadable slot once: nothing", running, SlotObservation{.now = 1s}, {}},
        {"unreadable a second time: an empty slot",
         {.present = true, .hasDevice = true, .unreadable = 1},
         SlotObservation{.now = 1s},
         {.event = SlotEvent::Removed}},
        {"after a wake a stopped card's link goes down again",
         stopped,
         with(seen(true),
              [&](auto& o) {
                  o.woke = true;
                  o.stopped = true;
                  o.device = none;
              }),
         {.takeLinkDown = true}},
        {"after a wake a card without a device that was not stopped is started",
         stopped,
         with(seen(true),
              [&](auto& o) {
                  o.woke = true;
                  o.device = none;
              }),
         {.event = SlotEvent::Inserted}},
        {"after a wake a running card that still runs: nothing",
         running,
         with(seen(true),
              [&](auto& o) {
                  o.woke = true;
                  o.device = device;
              }),
         {}},
        {"after a wake an empty slot's link goes down again",
         empty,
         with(seen(false), [](auto& o) { o.woke = true; }),
         {.takeLinkDown = true}},
    };
    for (const Case& c : cases) {
        SlotRecord record = c.record;
        EXPECT_EQ(DecideSlot(record, c.observation), c.expected) << c.what;
    }
}

TEST(SlotDecision, ALinkTakenDownIsNotAskedAgainUntilSomethingChanges) {
    tool::SlotRecord record{.present = true, .hasDevice = true, .deviceStale = false, .deviceMisses = 1};
    tool::SlotObservation pass{.now = 1s, .answered = true, .present = true, .device = tool::CardDeviceView{}};
    EXPECT_TRUE(tool::DecideSlot(record, pass).takeLinkDown);
    pass.device.reset();
    for (auto now = 1300ms; now < 5s; now += 300ms) {
        pass.now = now;
        EXPECT_EQ(tool::DecideSlot(record, pass), tool::SlotActions{}) << now.count() << " ms";
    }
}

}  // namespace
}  // namespace qn38
