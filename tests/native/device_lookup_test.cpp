// Finding the root port and reading device properties.
#include <gtest/gtest.h>

#include <cstring>

#include "lib/core/constants.h"
#include "lib/core/device_lookup.h"
#include "sim/machine/sim_pc.h"

namespace qn38 {
namespace {

using sim::ROOT_DEVNODE;

TEST(GetTopBridge, WalksUpToTheTopmostBridgeOfTheChain) {
    sim::SimPc pc;
    const auto adapter = pc.devices.AddAdapter({.rootPortBelowBridge = true});
    const DevNode upper = *pc.devices.Parent(adapter.rootPort);
    ASSERT_NE(upper, ROOT_DEVNODE);
    EXPECT_EQ(GetTopBridge(pc.devices, adapter.adapterFunction), upper);
}

TEST(GetTopBridge, StopsBelowTheFirstParentThatIsNoBridge) {
    sim::SimPc pc;
    const auto adapter = pc.devices.AddAdapter();
    EXPECT_EQ(GetTopBridge(pc.devices, adapter.adapterFunction), adapter.rootPort);
}

TEST(GetTopBridge, ReturnsTheDeviceItselfWhenItsParentIsNoBridge) {
    sim::SimPc pc;
    const DevNode hub = pc.devices.AddDevice({.hardwareIds = {u"ACPI\\PNP0A08"}, .pci = false});
    const DevNode function = pc.devices.AddDevice({.parent = hub, .hardwareIds = {U16(HWID_ADAPTER_FUNCTION)}});
    EXPECT_EQ(GetTopBridge(pc.devices, function), function);
}

TEST(GetTopBridge, AParentWithUnreadableCompatibleIdsEndsTheWalk) {
    sim::SimPc pc;
    const auto adapter = pc.devices.AddAdapter();
    pc.devices.FailProperty(adapter.rootPort, SPDRP_COMPATIBLE_IDS, PropertyStatus::Failed);
    EXPECT_EQ(GetTopBridge(pc.devices, adapter.adapterFunction), adapter.adapterFunction);
}

TEST(GetTopBridge, AnUnknownDevNodeIsReturnedAsItIs) {
    sim::SimPc pc;
    EXPECT_EQ(GetTopBridge(pc.devices, 0xDEAD), 0xDEADu);
}

class PropertyReaders : public ::testing::Test {
protected:
    sim::SimPc pc;
    sim::Adapter adapter = pc.devices.AddAdapter({.slotBus = 7});
};

TEST_F(PropertyReaders, SmallBufferGetsTheFirstBytesButTheWholeValueIsMatched) {
    // The slot bridge's second hardware ID is the bare prefix: it lies beyond an 8-byte buffer.
    std::uint8_t buffer[8];
    std::memset(buffer, 0xCC, sizeof buffer);
    const auto full = pc.devices.ReadProperty(adapter.slotBridge, SPDRP_HARDWARE_IDS);
    EXPECT_EQ(GetDevNodeRegistryProperty(pc.devices, adapter.slotBridge, SPDRP_HARDWARE_IDS + 1,
                                         u"PCI\\VEN_1217&DEV_02E3&SUBSYS", buffer, sizeof buffer),
              1);
    EXPECT_EQ(std::memcmp(buffer, full.data.data(), sizeof buffer), 0);
}

TEST_F(PropertyReaders, AbsentPropertyLeavesTheBufferZeroed) {
    std::uint8_t buffer[16];
    std::memset(buffer, 0xCC, sizeof buffer);
    EXPECT_EQ(GetDevNodeRegistryProperty(pc.devices, adapter.adapterFunction, CM_DRP_UPPER_FILTERS, nullptr, buffer,
                                         sizeof buffer),
              0);
    for (auto byte : buffer) EXPECT_EQ(byte, 0);
}

TEST_F(PropertyReaders, WithoutPatternAReadPropertyGivesOne) {
    EXPECT_EQ(GetDevNodeRegistryProperty(pc.devices, adapter.slotBridge, CM_DRP_BUS_NUMBER, nullptr, nullptr, 0), 1);
    const std::uint32_t bus = 7;
    const std::uint32_t other = 8;
    EXPECT_EQ(GetDevNodeRegistryProperty(pc.devices, adapter.slotBridge, CM_DRP_BUS_NUMBER, &bus, nullptr, 0), 1);
    EXPECT_EQ(GetDevNodeRegistryProperty(pc.devices, adapter.slotBridge, CM_DRP_BUS_NUMBER, &other, nullptr, 0), 0);
}

TEST_F(PropertyReaders, FailedReadCountsAsAbsent) {
    pc.devices.FailProperty(adapter.slotBridge, SPDRP_DEVICE_DESCRIPTION, PropertyStatus::Failed);
    char16_t buffer[8] = {u'x'};
    EXPECT_EQ(FillPropertyBuffer(pc.devices.ReadProperty(adapter.slotBridge, SPDRP_DEVICE_DESCRIPTION), nullptr, buffer,
                                 sizeof buffer),
              0);
    EXPECT_EQ(buffer[0], 0);
}

TEST_F(PropertyReaders, ScansSelectByBusAndByHardwareId) {
    pc.devices.AddOrdinaryDevices(10);
    int onBus = 0;
    int bridges = 0;
    ASSERT_TRUE(ScanDevices(pc.devices, DeviceSetKind::PciPresent, [&](DeviceSet& set, std::uint32_t index, DevNode) {
        onBus += IsOnBus(set, index, 7) ? 1 : 0;
        bridges += HasHardwareId(set, index, U16(HWID_SLOT_BRIDGE)) ? 1 : 0;
        return true;
    }));
    EXPECT_EQ(onBus, 1);
    EXPECT_EQ(bridges, 1);
    EXPECT_EQ(pc.counters().deviceSets, 1u);
}

TEST_F(PropertyReaders, ScanReportsASetThatCannotBeBuilt) {
    pc.devices.FailDeviceSets(true);
    EXPECT_FALSE(ScanDevices(pc.devices, DeviceSetKind::PciPresent, [](DeviceSet&, std::uint32_t, DevNode) {
        ADD_FAILURE() << "no device may be visited";
        return true;
    }));
}

TEST_F(PropertyReaders, ScanKindsChooseWhichDevicesTheSetHolds) {
    pc.devices.AddDevice({.hardwareIds = {u"ROOT\\LEGACY"}, .pci = false});
    pc.devices.AddDevice({.hardwareIds = {u"PCI\\GONE"}, .present = false});
    auto count = [&](DeviceSetKind kind) {
        int n = 0;
        ScanDevices(pc.devices, kind, [&](DeviceSet&, std::uint32_t, DevNode) { return ++n, true; });
        return n;
    };
    EXPECT_EQ(count(DeviceSetKind::PciPresent), 3);
    EXPECT_EQ(count(DeviceSetKind::AllClassesPresent), 4);
    EXPECT_EQ(count(DeviceSetKind::AllClassesWithAbsent), 5);
}

}  // namespace
}  // namespace qn38
