// Configuration registers through the dump device.
#include <gtest/gtest.h>

#include "lib/include/QN38HotPlug.h"
#include "lib/core/pci_config.h"
#include "sim/machine/sim_pc.h"

namespace qn38 {
namespace {

class PciConfig : public ::testing::Test {
protected:
    sim::SimPc pc;
    sim::Adapter adapter = pc.devices.AddAdapter({.slotBus = 5});
};

TEST_F(PciConfig, SmokeReadsTheSlotBridgeIdentity) {
    std::uint32_t value = 0;
    ASSERT_NE(ReadPci(pc.io, 5, CONFIG_ID, &value), 0);
    EXPECT_EQ(value, SLOT_BRIDGE_ID);
    ASSERT_NE(ReadPci(pc.io, 5, CONFIG_SUBSYSTEM, &value), 0);
    EXPECT_EQ(value, ADAPTER_SUBSYSTEM_ID);
}

TEST_F(PciConfig, AnEmptyBusReadsAllOnes) {
    std::uint32_t value = 0;
    ASSERT_NE(ReadPci(pc.io, 9, CONFIG_ID, &value), 0);
    EXPECT_EQ(value, NO_FUNCTION);
}

TEST_F(PciConfig, EachAccessOpensSendsOneRequestAndCloses) {
    std::uint32_t value = 0;
    ReadPci(pc.io, 5, CONFIG_LINK, &value);
    WritePci(pc.io, 5, CONFIG_LINK, value | LINK_DISABLE);
    EXPECT_EQ(pc.counters().opens, 2u);
    EXPECT_EQ(pc.counters().controls, 2u);
    EXPECT_EQ(pc.counters().closes, 2u);
    EXPECT_FALSE(pc.devices.dump().heldOpen);
}

TEST_F(PciConfig, RequestCarriesBusOffsetAndTheValueAtBytes4To7) {
    ASSERT_NE(WritePci(pc.io, 0x105, 0x150, 0x11223344), 0);  // only the low 8 bits of bus and offset count
    ASSERT_EQ(pc.devices.dump().requests.size(), 1u);
    EXPECT_EQ(pc.devices.dump().requests[0],
              (std::vector<std::uint8_t>{0x05, 0x50, 0x00, 0x00, 0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(pc.devices.Register(5, 0x50), 0x11223344u);

    std::uint32_t value = 0;
    ReadPci(pc.io, 5, 0x58, &value);
    EXPECT_EQ(pc.devices.dump().requests[1], (std::vector<std::uint8_t>{0x05, 0x58, 0, 0, 0, 0, 0, 0}));
}

TEST_F(PciConfig, WriteReplacesAllThirtyTwoBits) {
    pc.devices.Function(5).registers[CONFIG_LINK] = 0xABCD0000;
    ASSERT_NE(WritePci(pc.io, 5, CONFIG_LINK, 0x00000010), 0);
    EXPECT_EQ(pc.devices.Register(5, CONFIG_LINK), 0x00000010u);
}

TEST_F(PciConfig, MissingDriverFailsAndLeavesTheValueUntouched) {
    pc.devices.dump().installed = false;
    std::uint32_t value = 0x12345678;
    EXPECT_EQ(ReadPci(pc.io, 5, CONFIG_ID, &value), 0);
    EXPECT_EQ(value, 0x12345678u);
    EXPECT_EQ(WritePci(pc.io, 5, CONFIG_LINK, 0), 0);
    EXPECT_EQ(pc.counters().controls, 0u);
}

TEST_F(PciConfig, DeviceHeldByAnotherCallerFailsLikeAMissingDriver) {
    pc.devices.dump().heldOpen = true;
    std::uint32_t value = 0x12345678;
    EXPECT_EQ(ReadPci(pc.io, 5, CONFIG_ID, &value), 0);
    EXPECT_EQ(value, 0x12345678u);
    EXPECT_EQ(WritePci(pc.io, 5, CONFIG_LINK, 0), 0);
}

TEST_F(PciConfig, RefusedRequestsFailAndAreStillClosed) {
    pc.devices.dump().refuseReads = true;
    pc.devices.dump().refuseWrites = true;
    std::uint32_t value = 7;
    EXPECT_EQ(ReadPci(pc.io, 5, CONFIG_ID, &value), 0);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(WritePci(pc.io, 5, CONFIG_LINK, 0), 0);
    EXPECT_EQ(pc.counters().closes, 2u);
}

TEST_F(PciConfig, NullValuePointerIsRefusedWithoutAnyAccess) {
    EXPECT_EQ(ReadPci(pc.io, 5, CONFIG_ID, nullptr), 0);
    EXPECT_EQ(pc.counters().opens, 0u);
}

}  // namespace
}  // namespace qn38
