// Registering and removing the QN38UP filter on the simulated PC.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib/core/constants.h"
#include "lib/core/filter.h"
#include "sim/machine/sim_pc.h"

namespace qn38 {
namespace {

using Strings = std::vector<std::u16string>;

class FilterRegistration : public ::testing::Test {
protected:
    FilterRegistration() { pc.registry.CreateKey(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH)); }
    PropertyValue Filters(DevNode node) { return pc.devices.ReadProperty(node, SPDRP_UPPER_FILTERS); }
    Strings FilterNames(DevNode node) { return sim::ReadMultiString(Filters(node)); }

    sim::SimPc pc;
};

TEST_F(FilterRegistration, SmokeCreatesTheListOnARootPortWithout) {
    const auto adapter = pc.devices.AddAdapter();
    EXPECT_EQ(AddFilter(pc.platform()), 1);
    const auto stored = Filters(adapter.rootPort);
    ASSERT_TRUE(stored.ok());
    EXPECT_EQ(stored.data.size(), 16u);
    EXPECT_EQ(FilterNames(adapter.rootPort), Strings{u"QN38UP"});
}

TEST_F(FilterRegistration, AppendsBehindTheRootPortsFilters) {
    const auto adapter = pc.devices.AddAdapter({.rootPortFilters = Strings{u"A", u"B"}});
    EXPECT_EQ(AddFilter(pc.platform()), 1);
    EXPECT_EQ(FilterNames(adapter.rootPort), (Strings{u"A", u"B", u"QN38UP"}));
}

TEST_F(FilterRegistration, ALowerCaseEntryCountsAsPresentAndNothingIsWritten) {
    const auto adapter = pc.devices.AddAdapter({.rootPortFilters = Strings{u"A", u"qn38up"}});
    const auto writes = pc.counters().propertyWrites;
    EXPECT_EQ(RegisterFilterOnRootPorts(pc.platform()), 1);
    EXPECT_EQ(pc.counters().propertyWrites, writes);
    EXPECT_EQ(FilterNames(adapter.rootPort), (Strings{u"A", u"qn38up"}));
}

TEST_F(FilterRegistration, AddFilterLeavesTheFilterOnceWhateverItsCaseWas) {
    const auto adapter = pc.devices.AddAdapter({.rootPortFilters = Strings{u"A", u"qn38up", u"B"}});
    EXPECT_EQ(AddFilter(pc.platform()), 1);
    EXPECT_EQ(FilterNames(adapter.rootPort), (Strings{u"A", u"B", u"QN38UP"}));
}

TEST_F(FilterRegistration, TwoAdapterFunctionsBelowOneRootPortCountTwiceAndWriteOnce) {
    const auto adapter = pc.devices.AddAdapter();
    pc.devices.AddDevice({.parent = adapter.rootPort, .hardwareIds = {U16(HWID_ADAPTER_FUNCTION)}});
    EXPECT_EQ(AddFilter(pc.platform()), 2);
    EXPECT_EQ(FilterNames(adapter.rootPort), Strings{u"QN38UP"});
}

TEST_F(FilterRegistration, OneFailedWriteOfThreeGivesMinusOne) {
    sim::Adapter adapters[3];
    for (std::uint8_t i = 0; i < 3; ++i) adapters[i] = pc.devices.AddAdapter({.slotBus = std::uint8_t(5 + 2 * i)});
    pc.devices.FailPropertyWrites(adapters[1].rootPort);
    EXPECT_EQ(AddFilter(pc.platform()), 2 - 3);
    // The scan went on past the failure and undid nothing.
    EXPECT_EQ(FilterNames(adapters[0].rootPort), Strings{u"QN38UP"});
    EXPECT_EQ(FilterNames(adapters[2].rootPort), Strings{u"QN38UP"});
    EXPECT_FALSE(Filters(adapters[1].rootPort).ok());
}

TEST_F(FilterRegistration, NoAdapterMeansNothingRegisteredAndZero) {
    pc.devices.AddOrdinaryDevices(5);
    const DevNode old =
        pc.devices.AddDevice({.hardwareIds = {u"PCI\\VEN_8086&DEV_1C10"}, .upperFilters = Strings{u"QN38UP"}});
    EXPECT_EQ(AddFilter(pc.platform()), 0);
    EXPECT_FALSE(Filters(old).ok());
}

TEST_F(FilterRegistration, WithoutTheDriversKeyNothingIsWrittenAndTheResultIsZero) {
    const auto adapter = pc.devices.AddAdapter({.rootPortFilters = Strings{u"A"}});
    const DevNode old = pc.devices.AddDevice({.upperFilters = Strings{u"QN38UP"}, .present = false});
    pc.registry.DeleteKey(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH));
    EXPECT_EQ(AddFilter(pc.platform()), 0);
    EXPECT_EQ(pc.counters().propertyWrites, 0u);
    EXPECT_EQ(FilterNames(adapter.rootPort), Strings{u"A"});
    EXPECT_EQ(FilterNames(old), Strings{u"QN38UP"});
}

TEST_F(FilterRegistration, ADeviceSetThatCannotBeBuiltChangesNothing) {
    const auto adapter = pc.devices.AddAdapter({.rootPortFilters = Strings{u"A"}});
    pc.devices.FailDeviceSets(true);
    EXPECT_EQ(AddFilter(pc.platform()), 0);
    EXPECT_EQ(DelFilter(pc.platform()), 0);
    EXPECT_EQ(FilterNames(adapter.rootPort), Strings{u"A"});
}

TEST_F(FilterRegistration, AnAbsentAdapterGetsNoFilterButItsOldRootPortIsCleaned) {
    // The adapter was moved: its old root port and function stay in the tree, not present.
    const auto old = pc.devices.AddAdapter({.slotBus = 3, .rootPortFilters = Strings{u"QN38UP", u"B"}});
    pc.devices.Device(old.rootPort).present = false;
    pc.devices.Device(old.adapterFunction).present = false;
    pc.devices.Device(old.slotBridge).present = false;
    const auto current = pc.devices.AddAdapter({.slotBus = 9});

    EXPECT_EQ(AddFilter(pc.platform()), 1);
    EXPECT_EQ(FilterNames(old.rootPort), Strings{u"B"});
    EXPECT_EQ(FilterNames(current.rootPort), Strings{u"QN38UP"});
}

TEST_F(FilterRegistration, TheFilterGoesOnTheTopmostBridge) {
    const auto adapter = pc.devices.AddAdapter({.rootPortBelowBridge = true});
    const DevNode top = *pc.devices.Parent(adapter.rootPort);
    EXPECT_EQ(AddFilter(pc.platform()), 1);
    EXPECT_EQ(FilterNames(top), Strings{u"QN38UP"});
    EXPECT_FALSE(Filters(adapter.rootPort).ok());
}

TEST_F(FilterRegistration, AnUnreadableListKeepsItsFiltersAndCountsAFailure) {
    const auto adapter = pc.devices.AddAdapter({.rootPortFilters = Strings{u"A", u"B"}});
    const auto before = pc.devices.Device(adapter.rootPort).properties.at(SPDRP_UPPER_FILTERS);
    pc.devices.FailProperty(adapter.rootPort, SPDRP_UPPER_FILTERS, PropertyStatus::Failed);
    const auto writes = pc.counters().propertyWrites;

    EXPECT_EQ(AddFilter(pc.platform()), 0 - 1);
    EXPECT_EQ(pc.counters().propertyWrites, writes);
    EXPECT_EQ(pc.devices.Device(adapter.rootPort).properties.at(SPDRP_UPPER_FILTERS).data, before.data);
}

TEST_F(FilterRegistration, AListLongerThan300UnitsKeepsEveryFilter) {
    Strings filters;
    for (int i = 0; i < 30; ++i) filters.push_back(u"LongFilterName" + std::u16string(1, char16_t(u'A' + i)));
    const auto adapter = pc.devices.AddAdapter({.rootPortFilters = filters});  // 30 x 16 units: 481 with the end
    EXPECT_EQ(AddFilter(pc.platform()), 1);
    auto expected = filters;
    expected.push_back(u"QN38UP");
    EXPECT_EQ(FilterNames(adapter.rootPort), expected);
    EXPECT_EQ(Filters(adapter.rootPort).data.size(), (480 + 7 + 1) * 2u);
}

TEST_F(FilterRegistration, AFunctionWithoutHardwareIdsIsNoTarget) {
    pc.devices.AddDevice({.upperFilters = Strings{u"A"}});
    pc.devices.AddAdapter();
    EXPECT_EQ(AddFilter(pc.platform()), 1);
}

class FilterRemoval : public FilterRegistration {};

TEST_F(FilterRemoval, SmokeTheFilterAloneDeletesTheProperty) {
    const DevNode device = pc.devices.AddDevice({.hardwareIds = {u"PCI\\X"}, .upperFilters = Strings{u"QN38UP"}});
    EXPECT_EQ(DelFilter(pc.platform()), 1);
    EXPECT_EQ(pc.devices.Device(device).properties.count(SPDRP_UPPER_FILTERS), 0u);
}

TEST_F(FilterRemoval, StoresTheOtherFiltersInTheirOrder) {
    const DevNode device = pc.devices.AddDevice({.upperFilters = Strings{u"A", u"QN38UP", u"B"}});
    EXPECT_EQ(DelFilter(pc.platform()), 1);
    EXPECT_EQ(FilterNames(device), (Strings{u"A", u"B"}));
    EXPECT_EQ(Filters(device).data.size(), 10u);
}

TEST_F(FilterRemoval, CleansDevicesThatAreNotPresent) {
    const DevNode device = pc.devices.AddDevice({.upperFilters = Strings{u"QN38UP"}, .present = false});
    EXPECT_EQ(DelFilter(pc.platform()), 1);
    EXPECT_FALSE(Filters(device).ok());
}

TEST_F(FilterRemoval, DevicesWithoutTheFilterAreNoTargets) {
    pc.devices.AddDevice({.upperFilters = Strings{u"A"}});
    pc.devices.AddDevice({.upperFilters = Strings{u"QN38"}});
    pc.devices.AddOrdinaryDevices(3);
    const auto writes = pc.counters().propertyWrites;
    EXPECT_EQ(DelFilter(pc.platform()), 0);
    EXPECT_EQ(pc.counters().propertyWrites, writes);
}

TEST_F(FilterRemoval, AnUnreadableListIsSkipped) {
    const DevNode device = pc.devices.AddDevice({.upperFilters = Strings{u"QN38UP"}});
    pc.devices.FailProperty(device, SPDRP_UPPER_FILTERS, PropertyStatus::Failed);
    EXPECT_EQ(DelFilter(pc.platform()), 0);
}

TEST_F(FilterRemoval, AFailedWriteCountsAgainstTheResult) {
    const DevNode first = pc.devices.AddDevice({.upperFilters = Strings{u"QN38UP"}});
    const DevNode second = pc.devices.AddDevice({.upperFilters = Strings{u"A", u"QN38UP"}});
    pc.devices.FailPropertyWrites(first);
    EXPECT_EQ(DelFilter(pc.platform()), 1 - 2);
    EXPECT_EQ(FilterNames(second), Strings{u"A"});
}

TEST_F(FilterRemoval, AnEntryThatOnlyBeginsWithTheNameIsATargetLeftAsItIs) {
    const DevNode device = pc.devices.AddDevice({.upperFilters = Strings{u"QN38UPX", u"A"}});
    EXPECT_EQ(DelFilter(pc.platform()), 1);
    EXPECT_EQ(FilterNames(device), (Strings{u"QN38UPX", u"A"}));
}

TEST_F(FilterRemoval, FindsTheFilterAtTheEndOfAListLongerThan260Units) {
    Strings filters;
    for (int i = 0; i < 20; ++i) filters.push_back(u"SomeOtherFilter" + std::u16string(1, char16_t(u'A' + i)));
    auto withFilter = filters;
    withFilter.push_back(u"QN38UP");  // at unit 320
    const DevNode device = pc.devices.AddDevice({.upperFilters = withFilter});
    EXPECT_EQ(DelFilter(pc.platform()), 1);
    EXPECT_EQ(FilterNames(device), filters);
}

TEST_F(FilterRemoval, RegistrationAfterRemovalLeavesExactlyOneEntry) {
    const auto adapter = pc.devices.AddAdapter({.rootPortFilters = Strings{u"A"}});
    for (int round = 0; round < 3; ++round) ASSERT_EQ(AddFilter(pc.platform()), 1);
    EXPECT_EQ(FilterNames(adapter.rootPort), (Strings{u"A", u"QN38UP"}));
    EXPECT_EQ(DelFilter(pc.platform()), 1);
    EXPECT_EQ(FilterNames(adapter.rootPort), Strings{u"A"});
}

}  // namespace
}  // namespace qn38
