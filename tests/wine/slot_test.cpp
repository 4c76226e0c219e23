// The real DLL against the emulated dump driver: finding the slot among
// every bus, presence, and the link register as stop and start leave it.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "lib/include/QN38HotPlug.h"
#include "sim/winepc/driver/dump_fixture.h"

namespace {

using namespace qn38::wine;

constexpr std::uint32_t kBus = 0x42;
constexpr std::uint32_t kLinkDisable = 0x10;
constexpr std::uint32_t kLinkActive = 0x20000000;

std::vector<std::uint32_t> BusesAnswering(bool askPresence) {
    std::vector<std::uint32_t> buses;
    for (std::uint32_t bus = 0; bus < 256; ++bus) {
        std::uint32_t present = 0;
        if (ZQ_GetStatus(bus, askPresence ? &present : nullptr) != 0) buses.push_back(bus);
    }
    return buses;
}

std::uint32_t Link(std::uint32_t bus = kBus) {
    std::uint32_t value = 0;
    EXPECT_NE(ZQ_ReadPCI(bus, 0x50, &value), 0);
    return value;
}

DumpFixtureState State() {
    const auto state = DumpFixtureStateNow();
    EXPECT_TRUE(state.has_value()) << "the emulated dump driver does not answer";
    return state.value_or(DumpFixtureState{});
}

// The driver runs for this program only; other Wine tests expect no dump device.
class DumpDriverEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        driver_.emplace();
        ASSERT_TRUE(driver_->running()) << "register the driver with sim/winepc/driver/dump-fixture install";
    }
    void TearDown() override { driver_.reset(); }

private:
    std::optional<ScopedDumpFixture> driver_;
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new DumpDriverEnvironment);

class SlotUnderWine : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SetDumpFixtureSlot(kBus)); }
};

TEST_F(SlotUnderWine, SmokeDiscoveryFindsExactlyTheSlotsBus) {
    EXPECT_EQ(BusesAnswering(true), std::vector<std::uint32_t>{kBus});
    ASSERT_TRUE(SetDumpFixtureSlot(200));
    EXPECT_EQ(BusesAnswering(false), std::vector<std::uint32_t>{200});
}

TEST_F(SlotUnderWine, PresenceFollowsTheCard) {
    std::uint32_t present = 7;
    EXPECT_EQ(ZQ_GetStatus(kBus, &present), 1);
    EXPECT_EQ(present, 0u);
    ASSERT_TRUE(SetDumpFixtureCard(true));
    EXPECT_EQ(ZQ_GetStatus(kBus, &present), 1);
    EXPECT_EQ(present, 1u);
    ASSERT_TRUE(SetDumpFixtureCard(false));
    EXPECT_EQ(ZQ_GetStatus(kBus, &present), 1);
    EXPECT_EQ(present, 0u);
}

TEST_F(SlotUnderWine, AStatusQueryCostsThreeReadsAndNoWrite) {
    std::uint32_t present = 0;
    ZQ_GetStatus(kBus, &present);
    EXPECT_EQ(State().reads, 3u);
    EXPECT_EQ(State().writes, 0u);
}

TEST_F(SlotUnderWine, StopSetsLinkDisableAndStartClearsIt) {
    ASSERT_TRUE(SetDumpFixtureCard(true));
    EXPECT_EQ(ZQ_SetStatus(kBus, 0, 0, 0), 1);
    EXPECT_EQ(Link(), DUMP_FIXTURE_LINK_STATUS | kLinkDisable);
    EXPECT_EQ(ZQ_SetStatus(kBus, 0, 1, 0), 1);
    // The link has trained: Link Status shows Data Link Layer Link Active.
    EXPECT_EQ(Link(), DUMP_FIXTURE_LINK_STATUS | kLinkActive);
    EXPECT_EQ(State().writes, 2u);
}

TEST_F(SlotUnderWine, TheLinkStatusHalfIsWrittenBackAsRead) {
    ASSERT_TRUE(SetDumpFixtureSlot(kBus, DUMP_FIXTURE_SUBSYSTEM, true, 0xABCD0003));
    EXPECT_EQ(ZQ_SetStatus(kBus, 0, 0, 0), 1);
    const DumpFixtureState state = State();
    EXPECT_EQ(state.writes, 1u);
    EXPECT_EQ(state.lastWriteOffset, 0x50u);
    EXPECT_EQ(state.lastWriteValue, 0xABCD0013u);
    // Identity, link, write, read-back: five accesses in all.
    EXPECT_EQ(state.reads + state.writes, 5u);
}

TEST_F(SlotUnderWine, ALinkAlreadyAsAskedIsNotWritten) {
    EXPECT_EQ(ZQ_SetStatus(kBus, 0, 1, 0), 1);
    ASSERT_TRUE(SetDumpFixtureSlot(kBus, DUMP_FIXTURE_SUBSYSTEM, true, DUMP_FIXTURE_LINK_STATUS | kLinkDisable));
    EXPECT_EQ(ZQ_SetStatus(kBus, 0, 0, 0), 1);
    EXPECT_EQ(State().writes, 0u);
}

TEST_F(SlotUnderWine, AnotherMakersBridgeIsNeitherReportedNorTouched) {
    ASSERT_TRUE(SetDumpFixtureSlot(kBus, 0x12345678, true));
    std::uint32_t present = 1;
    EXPECT_EQ(ZQ_GetStatus(kBus, &present), 0);
    EXPECT_EQ(present, 0u);
    EXPECT_EQ(ZQ_GetStatus(kBus, nullptr), 0);
    EXPECT_EQ(ZQ_SetStatus(kBus, 0, 0, 0), 0);
    EXPECT_EQ(State().writes, 0u);
}

TEST_F(SlotUnderWine, TheDiskCheckFindsNothingInUseOnAnEmptyBus) {
    // Wine's disk-interface scan runs for real here, and no disk sits below the slot.
    EXPECT_EQ(ZQ_SetStatus(kBus, 0, 0, 1), 1);
    EXPECT_EQ(Link() & kLinkDisable, kLinkDisable);
}

TEST_F(SlotUnderWine, NoCardDeviceWithoutPlugAndPlaySupport) {
    wchar_t description[260];
    description[0] = L'x';
    std::uint32_t status = 0x1234;
    std::uint32_t problem = 0x5678;
    EXPECT_EQ(ZQ_GetCardInfo(kBus, description, sizeof description, &status, &problem), 0);
    EXPECT_EQ(description[0], L'\0');
    EXPECT_EQ(status, 0x1234u);
    EXPECT_EQ(problem, 0x5678u);
    EXPECT_EQ(ZQ_DoesExistNoFilterRootPort(), 0);
}

class SlotWithoutDumpDriver : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(StopDumpFixture()); }
    void TearDown() override { EXPECT_TRUE(StartDumpFixture()); }
};

TEST_F(SlotWithoutDumpDriver, AskingForPresenceFindsNothingOnAnyBus) {
    EXPECT_TRUE(BusesAnswering(true).empty());
    std::uint32_t present = 1;
    EXPECT_EQ(ZQ_GetStatus(kBus, &present), 0);
    EXPECT_EQ(present, 0u);
}

TEST_F(SlotWithoutDumpDriver, TheLinkCannotBeChanged) {
    EXPECT_EQ(ZQ_SetStatus(kBus, 0, 0, 0), 0);
    EXPECT_EQ(ZQ_SetStatus(kBus, 0, 1, 0), 0);
}

}  // namespace
