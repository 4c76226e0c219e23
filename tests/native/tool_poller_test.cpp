// The slot poller beside the window's thread: what an idle pass costs, when
// it makes no pass, how it reports changes, and how the two threads end and
// share the slot without waiting for each other for ever.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>

#include "core/tool_ids.h"
#include "res/resource.h"
#include "sim_tray_tool.h"

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
        const auto before = tool.ServiceRequests().size();
        action();
        const auto all = tool.ServiceRequests();
        return {all.begin() + static_cast<std::ptrdiff_t>(before), all.end()};
    }

    sim::SimPc pc;
    sim::SimTrayTool tool{pc};
};

TEST_F(Poller, AnIdlePassOverRunningCardsReadsPresenceAndDeviceAndSendsNothing) {
    StartWithCards({4, 9});
    const auto statusBefore = tool.slots.statusQueries.load();
    const auto cardBefore = tool.slots.cardQueries.load();
    const auto requests = RequestsDuring([&] { ASSERT_TRUE(tool.RunPollerPasses(1)); });

    // A running card's link is up; a request could only bring up one that
    // was just stopped.
    EXPECT_THAT(requests, IsEmpty());
    EXPECT_EQ(tool.slots.statusQueries - statusBefore, 2u);
    EXPECT_EQ(tool.slots.cardQueries - cardBefore, 2u);
}

TEST_F(Poller, AnEmptySlotsLinkIsKeptDown) {
    pc.AddSlot({.slotBus = 5, .rootPortFilters = WITH_FILTER});
    ASSERT_TRUE(tool.Start());
    ASSERT_TRUE(tool.AwaitPollerAtRest());
    EXPECT_THAT(RequestsDuring([&] { ASSERT_TRUE(tool.RunPollerPasses(2)); }),
                ElementsAre("SetStatus(0x05,0,0,0)=1", "SetStatus(0x05,0,0,0)=1"));
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

TEST_F(Poller, InsertionsInTwoSlotsAreReportedOneAtATimeInSlotOrder) {
    pc.AddSlot({.slotBus = 8, .rootPortFilters = WITH_FILTER});
    pc.AddSlot({.slotBus = 2, .rootPortFilters = WITH_FILTER});
    ASSERT_TRUE(tool.Start());
    ASSERT_TRUE(tool.AwaitPollerAtRest());
    tool.OnMachine([&] {
        pc.slot(8).InsertCard({.description = u"Eight"});
        pc.slot(2).InsertCard({.description = u"Two"});
    });
    ASSERT_TRUE(tool.RunPollerPasses(1));
    EXPECT_THAT(tool.ServiceRequests("WriteLog(Link"),
                ElementsAre("WriteLog(LinkEnable(Bus0x02))", "WriteLog(LinkEnable(Bus0x08))"));
    const auto balloons = tool.shell.Balloons();
    ASSERT_EQ(balloons.size(), 4u);
    EXPECT_EQ(balloons[1].szInfo, u"Two started.");
    EXPECT_EQ(balloons[3].szInfo, u"Eight started.");
    EXPECT_EQ(tool.shell.Current().iconId, static_cast<std::uint32_t>(IDR_MAINFRAME));
}

}  // namespace
}  // namespace qn38
