// Finding the slots, whether a card sits in one, and what Plug and Play made of it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "lib/core/constants.h"
#include "lib/core/pci_config.h"
#include "lib/core/slot_status.h"
#include "sim/machine/sim_pc.h"

namespace qn38 {
namespace {

class SlotStatus : public ::testing::Test {
protected:
    SlotStatus() { pc.devices.AddOrdinaryDevices(12); }

    int Status(std::uint32_t bus, std::uint32_t* present) { return GetStatus(pc.platform(), bus, present); }
    std::vector<std::uint32_t> BusesAnswering(bool askPresence) {
        std::vector<std::uint32_t> buses;
        for (std::uint32_t bus = 0; bus < 256; ++bus) {
            std::uint32_t present = 0;
            if (Status(bus, askPresence ? &present : nullptr) != 0) buses.push_back(bus);
        }
        return buses;
    }

    sim::SimPc pc;
    sim::SimSlot& slot = pc.AddSlot({.slotBus = 5});
};

TEST_F(SlotStatus, SmokeDiscoveryFindsExactlyTheSlotBridgesBus) {
    EXPECT_EQ(BusesAnswering(true), std::vector<std::uint32_t>{5});
    EXPECT_EQ(BusesAnswering(false), std::vector<std::uint32_t>{5});
}

TEST_F(SlotStatus, PresenceFollowsTheCard) {
    std::uint32_t present = 7;
    EXPECT_EQ(Status(5, &present), 1);
    EXPECT_EQ(present, 0u);

    slot.InsertCard();
    EXPECT_EQ(Status(5, &present), 1);
    EXPECT_EQ(present, 1u);

    slot.PullCard();
    EXPECT_EQ(Status(5, &present), 1);
    EXPECT_EQ(present, 0u);
}

TEST_F(SlotStatus, PresenceIsClearedEvenWhenNothingIsFound) {
    std::uint32_t present = 1;
    EXPECT_EQ(Status(9, &present), 0);
    EXPECT_EQ(present, 0u);
}

TEST_F(SlotStatus, ASlotRegisterReadingAllOnesMeansNoCard) {
    pc.devices.Function(5).registers[CONFIG_SLOT] = NO_FUNCTION;
    std::uint32_t present = 1;
    EXPECT_EQ(Status(5, &present), 1);
    EXPECT_EQ(present, 0u);
}

TEST_F(SlotStatus, AnUnreadablePresenceStillReportsTheBridge) {
    slot.InsertCard();
    pc.devices.dump().refuseReadsAt.insert(CONFIG_SLOT);
    std::uint32_t present = 1;
    EXPECT_EQ(Status(5, &present), 1);
    EXPECT_EQ(present, 0u);
}

TEST_F(SlotStatus, TheSameBridgeOnAnotherMakersAdapterIsNoSlot) {
    pc.devices.Function(5).registers[CONFIG_SUBSYSTEM] = 0x12345678;
    std::uint32_t present = 1;
    EXPECT_EQ(Status(5, &present), 0);
    // A wrong identity is an answer: the tree is not asked instead.
    EXPECT_EQ(Status(5, nullptr), 0);
    EXPECT_EQ(pc.counters().deviceSets, 0u);
}

TEST_F(SlotStatus, AnotherFunctionOnTheBusIsNoSlot) {
    pc.devices.Function(7).registers[CONFIG_ID] = 0x10008086;
    pc.devices.Function(7).registers[CONFIG_SUBSYSTEM] = ADAPTER_SUBSYSTEM_ID;
    EXPECT_EQ(Status(7, nullptr), 0);
}

TEST_F(SlotStatus, OnlyTheLowEightBitsOfTheBusCount) {
    std::uint32_t present = 0;
    EXPECT_EQ(Status(0x305, &present), 1);
}

TEST_F(SlotStatus, AQueryCostsAtMostThreeAccessesAndHoldsNothingOpen) {
    std::uint32_t present = 0;
    Status(5, &present);
    EXPECT_EQ(pc.counters().opens, 3u);
    EXPECT_EQ(pc.counters().controls, 3u);
    EXPECT_EQ(pc.counters().closes, 3u);

    pc.counters() = {};
    Status(9, &present);
    EXPECT_EQ(pc.counters().opens, 1u);
    EXPECT_FALSE(pc.devices.dump().heldOpen);
}

class SlotStatusWithoutDumpDriver : public SlotStatus {
protected:
    SlotStatusWithoutDumpDriver() { pc.devices.dump().installed = false; }
};

TEST_F(SlotStatusWithoutDumpDriver, AskingForPresenceFindsNothingAnywhere) {
    slot.InsertCard();
    EXPECT_TRUE(BusesAnswering(true).empty());
    EXPECT_EQ(pc.counters().deviceSets, 0u);
}

TEST_F(SlotStatusWithoutDumpDriver, TheTreeFindsTheBridgeByHardwareId) {
    EXPECT_EQ(BusesAnswering(false), std::vector<std::uint32_t>{5});
    EXPECT_EQ(pc.counters().deviceSets, pc.counters().deviceSetsDestroyed);
}

TEST_F(SlotStatusWithoutDumpDriver, ADeviceHeldByTheServiceLeadsToTheTreeToo) {
    pc.devices.dump().installed = true;
    pc.devices.dump().heldOpen = true;
    EXPECT_EQ(Status(5, nullptr), 1);
    std::uint32_t present = 1;
    EXPECT_EQ(Status(5, &present), 0);
    EXPECT_EQ(present, 0u);
}

TEST_F(SlotStatusWithoutDumpDriver, ABusNumberThatIsNoNumberNeverMatches) {
    // Read as text, a bus number 0 widened to 32 bits would be an empty
    // pattern that every string begins with.
    pc.devices.Device(slot.bridge()).properties[SPDRP_BUS_NUMBER] = sim::SingleString(u"5");
    EXPECT_EQ(Status(0, nullptr), 0);
    EXPECT_EQ(Status(5, nullptr), 0);
}

TEST_F(SlotStatusWithoutDumpDriver, NoDeviceListMeansNothingFound) {
    pc.devices.FailDeviceSets(true);
    EXPECT_EQ(Status(5, nullptr), 0);
}

class CardInfo : public ::testing::Test {
protected:
    CardInfo() {
        pc.devices.AddOrdinaryDevices(4);
        slot.InsertCard({.description = u"ExpressCard SATA Controller"});
        pc.devices.Reenumerate(slot.bridge());
    }

    int Info(std::uint32_t bus, char16_t* description, std::uint32_t bytes, std::uint32_t* status,
             std::uint32_t* problem) {
        return GetCardInfo(pc.platform(), bus, description, bytes, status, problem);
    }

    sim::SimPc pc;
    sim::SimSlot& slot = pc.AddSlot({.slotBus = 5});
};

TEST_F(CardInfo, SmokeReportsTheCardsDescriptionStatusAndProblem) {
    char16_t description[260];
    std::uint32_t status = 0;
    std::uint32_t problem = 99;
    ASSERT_EQ(Info(5, description, sizeof description, &status, &problem), 1);
    EXPECT_EQ(std::u16string(description), u"ExpressCard SATA Controller");
    EXPECT_EQ(status, STATUS_RUNNING);
    EXPECT_EQ(problem, 0u);
}

TEST_F(CardInfo, AStoppedCardHasNoDeviceAndAnEmptyDescription) {
    pc.devices.Function(5).registers[CONFIG_LINK] |= LINK_DISABLE;
    pc.devices.Reenumerate(slot.bridge());
    char16_t description[260] = u"left over";
    std::uint32_t status = 0x1234;
    std::uint32_t problem = 0x5678;
    EXPECT_EQ(Info(5, description, sizeof description, &status, &problem), 0);
    EXPECT_EQ(description[0], 0);
    EXPECT_EQ(status, 0x1234u);
    EXPECT_EQ(problem, 0x5678u);
}

TEST_F(CardInfo, ACardHeldForEjectReportsProblem47) {
    slot.HoldCardForEject();
    std::uint32_t status = 0;
    std::uint32_t problem = 0;
    ASSERT_EQ(Info(5, nullptr, 0, &status, &problem), 1);
    EXPECT_EQ(problem, 47u);
    EXPECT_NE(status & DN_HAS_PROBLEM_FLAG, 0u);
}

TEST_F(CardInfo, AnyOutputMayBeLeftOut) {
    EXPECT_EQ(Info(5, nullptr, 520, nullptr, nullptr), 1);
    std::uint32_t problem = 99;
    EXPECT_EQ(Info(5, nullptr, 0, nullptr, &problem), 1);
    EXPECT_EQ(problem, 0u);
    std::uint32_t status = 0;
    EXPECT_EQ(Info(5, nullptr, 0, &status, nullptr), 1);
    EXPECT_EQ(status, STATUS_RUNNING);
}

TEST_F(CardInfo, AnUnreadableStatusReportsNoFlagsAndNoProblem) {
    pc.devices.FailStatus(*slot.CardDevice());
    std::uint32_t status = 0xFFFF;
    std::uint32_t problem = 0xFFFF;
    EXPECT_EQ(Info(5, nullptr, 0, &status, &problem), 1);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(problem, 0u);
}

TEST_F(CardInfo, ACardWithoutDescriptionGivesAnEmptyOne) {
    pc.devices.Device(*slot.CardDevice()).properties.erase(SPDRP_DEVICE_DESCRIPTION);
    char16_t description[16] = u"left over";
    EXPECT_EQ(Info(5, description, sizeof description, nullptr, nullptr), 1);
    EXPECT_EQ(description[0], 0);
}

class CardDescriptionCut : public CardInfo {
protected:
    // Room for the given bytes plus guard bytes that must stay untouched.
    std::vector<std::uint8_t> Describe(std::u16string text, std::uint32_t bytes) {
        pc.devices.Device(*slot.CardDevice()).properties[SPDRP_DEVICE_DESCRIPTION] = sim::SingleString(text);
        std::vector<std::uint8_t> buffer(bytes + 8, 0xCC);
        Info(5, reinterpret_cast<char16_t*>(buffer.data()), bytes, nullptr, nullptr);
        return buffer;
    }
    static std::u16string TextOf(const std::vector<std::uint8_t>& buffer, std::size_t bytes) {
        std::u16string text;
        for (std::size_t i = 0; i + 1 < bytes; i += 2) {
            const auto unit = static_cast<char16_t>(buffer[i] | buffer[i + 1] << 8);
            if (unit == 0) return text;
            text.push_back(unit);
        }
        ADD_FAILURE() << "no terminator inside the buffer";
        return text;
    }
};

TEST_F(CardDescriptionCut, ALongDescriptionKeepsItsTerminatorInTheToolsBuffer) {
    const std::u16string longText(300, u'x');
    const auto buffer = Describe(longText, 520);
    EXPECT_EQ(TextOf(buffer, 520), longText.substr(0, 259));
    for (std::size_t i = 520; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xCC) << "byte " << i;
}

TEST_F(CardDescriptionCut, ADescriptionOfExactlyTheBuffersSizeIsCutByOneCharacter) {
    const auto buffer = Describe(std::u16string(260, u'y'), 520);
    EXPECT_EQ(TextOf(buffer, 520), std::u16string(259, u'y'));
}

TEST_F(CardDescriptionCut, AShortDescriptionIsFollowedByZeroBytesOnly) {
    const auto buffer = Describe(u"Card", 40);
    EXPECT_EQ(TextOf(buffer, 40), u"Card");
    for (std::size_t i = 10; i < 40; ++i) EXPECT_EQ(buffer[i], 0) << "byte " << i;
}

TEST_F(CardDescriptionCut, AnOddSizeNeverWritesPastIt) {
    const auto buffer = Describe(u"ExpressCard", 7);
    EXPECT_EQ(TextOf(buffer, 7), u"Ex");
    EXPECT_EQ(buffer[6], 0);
    EXPECT_EQ(buffer[7], 0xCC);
}

TEST_F(CardDescriptionCut, BuffersTooSmallForTextAreNeverOverrun) {
    auto buffer = Describe(u"ExpressCard", 2);
    EXPECT_EQ(TextOf(buffer, 2), u"");
    EXPECT_EQ(buffer[2], 0xCC);

    buffer = Describe(u"ExpressCard", 1);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[1], 0xCC);

    buffer = Describe(u"ExpressCard", 0);
    EXPECT_EQ(buffer[0], 0xCC);
}

TEST_F(CardInfo, TheLastDeviceOnTheBusWithAChildGivesTheOutputs) {
    const DevNode second = pc.devices.AddDevice({.hardwareIds = {u"PCI\\VEN_1217&DEV_02E4"}, .bus = 5u});
    pc.devices.AddDevice({.parent = second, .description = u"Second function's child", .problem = 28});
    // A device after it without a child changes nothing.
    pc.devices.AddDevice({.hardwareIds = {u"PCI\\VEN_1217&DEV_02E5"}, .bus = 5u});

    char16_t description[64];
    std::uint32_t problem = 0;
    ASSERT_EQ(Info(5, description, sizeof description, nullptr, &problem), 1);
    EXPECT_EQ(std::u16string(description), u"Second function's child");
    EXPECT_EQ(problem, 28u);
}

TEST_F(CardInfo, ABusWithoutDevicesOrWithoutAListHasNoCard) {
    char16_t description[8] = u"x";
    EXPECT_EQ(Info(77, description, sizeof description, nullptr, nullptr), 0);
    pc.devices.FailDeviceSets(true);
    EXPECT_EQ(Info(5, description, sizeof description, nullptr, nullptr), 0);
    EXPECT_EQ(description[0], 0);
}

class RootPortFilter : public ::testing::Test {
protected:
    int Lacking() { return DoesExistNoFilterRootPort(pc.platform()); }
    sim::SimPc pc;
};

TEST_F(RootPortFilter, SmokeNoAdapterNoComplaint) {
    pc.devices.AddOrdinaryDevices(5);
    EXPECT_EQ(Lacking(), 0);
}

TEST_F(RootPortFilter, OnlyOtherDriversFiltersMeanTheFilterIsMissing) {
    pc.AddSlot({.rootPortFilters = std::vector<std::u16string>{u"PartMgr", u"ACME_FLT"}});
    EXPECT_EQ(Lacking(), 1);
}

TEST_F(RootPortFilter, AnyEntryBeginningWithTheNameCounts) {
    pc.AddSlot({.rootPortFilters = std::vector<std::u16string>{u"PartMgr", u"qn38up"}});
    EXPECT_EQ(Lacking(), 0);
}

TEST_F(RootPortFilter, WithoutItsDriverTheNamedFilterIsStillMissing) {
    pc.AddSlot({.rootPortFilters = std::vector<std::u16string>{u"QN38UP"}, .driverInstalled = false});
    EXPECT_EQ(Lacking(), 1);
}

TEST_F(RootPortFilter, AnAbsentEmptyOrUnreadableListLacksTheFilter) {
    sim::SimPc absent;
    absent.AddSlot();
    EXPECT_EQ(DoesExistNoFilterRootPort(absent.platform()), 1);

    sim::SimPc empty;
    empty.AddSlot({.rootPortFilters = std::vector<std::u16string>{u""}});
    EXPECT_EQ(DoesExistNoFilterRootPort(empty.platform()), 1);

    sim::SimPc unreadable;
    const auto& adapter = unreadable.AddSlot({.rootPortFilters = std::vector<std::u16string>{u"QN38UP"}}).adapter();
    unreadable.devices.FailProperty(adapter.rootPort, SPDRP_UPPER_FILTERS, PropertyStatus::Failed);
    EXPECT_EQ(DoesExistNoFilterRootPort(unreadable.platform()), 1);
}

TEST_F(RootPortFilter, EveryAdapterIsLookedAt) {
    pc.AddSlot({.slotBus = 5, .rootPortFilters = std::vector<std::u16string>{u"QN38UP"}});
    pc.AddSlot({.slotBus = 9, .rootPortFilters = std::vector<std::u16string>{u"PartMgr"}});
    EXPECT_EQ(Lacking(), 1);
}

TEST_F(RootPortFilter, TheFilterBelongsOnTheTopmostBridge) {
    const auto& adapter =
        pc.AddSlot({.rootPortFilters = std::vector<std::u16string>{u"QN38UP"}, .rootPortBelowBridge = true}).adapter();
    // The filter sits on the lower bridge; the root port above it has none.
    EXPECT_EQ(Lacking(), 1);
    const DevNode top = *pc.devices.Parent(adapter.rootPort);
    pc.devices.Device(top).properties[SPDRP_UPPER_FILTERS] = sim::MultiString({u"QN38UP"});
    EXPECT_EQ(Lacking(), 0);
}

TEST_F(RootPortFilter, NoDeviceListMeansNoComplaint) {
    pc.AddSlot();
    pc.devices.FailDeviceSets(true);
    EXPECT_EQ(Lacking(), 0);
}

}  // namespace
}  // namespace qn38
