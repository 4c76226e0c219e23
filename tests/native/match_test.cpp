// The matching rule that selects devices in every scan.
#include <gtest/gtest.h>

#include "lib/core/constants.h"
#include "lib/core/match.h"
#include "sim/machine/sim_devices.h"

namespace qn38 {
namespace {

using sim::MultiString;
using sim::Number;

bool Matches(const PropertyValue& value, const char16_t* pattern) { return MatchesText(value, pattern); }

TEST(MatchPropertyValue, HardwareIdListMatchesAnyEntryByPrefix) {
    const auto ids = MultiString({u"PCI\\VEN_8086&DEV_1C10", u"PCI\\VEN_1217&DEV_02E3&SUBSYS_3A5C0E71&REV_01"});
    EXPECT_TRUE(Matches(ids, U16(HWID_SLOT_BRIDGE)));
    EXPECT_FALSE(Matches(ids, U16(HWID_ADAPTER_FUNCTION)));
}

TEST(MatchPropertyValue, AsciiLettersCompareWithoutCase) {
    EXPECT_TRUE(Matches(MultiString({u"A", u"qn38up"}), U16(FILTER_NAME)));
    EXPECT_TRUE(Matches(MultiString({u"pci\\ven_1217&dev_02e3"}), U16(HWID_SLOT_BRIDGE)));
    // Only A to Z fold: a non-ASCII letter never equals its ASCII look-alike.
    EXPECT_FALSE(Matches(MultiString({u"QN38U\u00DE"}), U16(FILTER_NAME)));
}

TEST(MatchPropertyValue, EntryShorterThanPatternDoesNotMatch) {
    EXPECT_FALSE(Matches(MultiString({u"QN38", u"QN3"}), U16(FILTER_NAME)));
    EXPECT_TRUE(Matches(MultiString({u"QN38UPX"}), U16(FILTER_NAME)));
}

TEST(MatchPropertyValue, EmptyListsMatchNothing) {
    EXPECT_FALSE(Matches(MultiString({}), U16(FILTER_NAME)));
    PropertyValue onlyEmpty{PropertyStatus::Ok, REG_TYPE_MULTI_SZ, {0, 0}};
    EXPECT_FALSE(Matches(onlyEmpty, U16(FILTER_NAME)));
    PropertyValue nothing{PropertyStatus::Ok, REG_TYPE_MULTI_SZ, {}};
    EXPECT_FALSE(Matches(nothing, U16(FILTER_NAME)));
}

TEST(MatchPropertyValue, EmptyStringsInsideAListAreSkipped) {
    // An empty string advances by one unit; the walk goes on to the length.
    PropertyValue value = MultiString({u"A"});
    value.data.insert(value.data.end(), {0, 0});
    const auto tail = MultiString({u"QN38UP"});
    value.data.insert(value.data.end(), tail.data.begin(), tail.data.end());
    EXPECT_TRUE(Matches(value, U16(FILTER_NAME)));
}

TEST(MatchPropertyValue, UnterminatedValueIsNeverReadPastItsLength) {
    // "QN38U" without terminator, followed in memory by "P": the length ends the walk.
    const char16_t memory[] = {u'Q', u'N', u'3', u'8', u'U', u'P', 0};
    EXPECT_FALSE(MatchPropertyValue(memory, 5 * 2, REG_TYPE_MULTI_SZ, U16(FILTER_NAME)));
    EXPECT_TRUE(MatchPropertyValue(memory, 6 * 2, REG_TYPE_MULTI_SZ, U16(FILTER_NAME)));
    // An odd byte count ignores the half unit.
    EXPECT_TRUE(MatchPropertyValue(memory, 6 * 2 + 1, REG_TYPE_MULTI_SZ, U16(FILTER_NAME)));
}

TEST(MatchPropertyValue, BusNumbersCompareAsWhole32BitNumbers) {
    EXPECT_TRUE(MatchesNumber(Number(0), 0));
    EXPECT_FALSE(MatchesNumber(Number(0x100), 0));  // low byte 0, but not bus 0
    EXPECT_TRUE(MatchesNumber(Number(5), 5));
    EXPECT_FALSE(MatchesNumber(Number(5), 6));
    // A bus-number property of another type or size never matches.
    EXPECT_FALSE(MatchesNumber(MultiString({u"5"}), 5));
    PropertyValue shortDword{PropertyStatus::Ok, REG_TYPE_DWORD, {5, 0}};
    EXPECT_FALSE(MatchesNumber(shortDword, 5));
}

TEST(MatchPropertyValue, NullInputsNeverMatch) {
    EXPECT_FALSE(MatchPropertyValue(nullptr, 8, REG_TYPE_MULTI_SZ, U16(FILTER_NAME)));
    const char16_t value[] = u"QN38UP";
    EXPECT_FALSE(MatchPropertyValue(value, sizeof value, REG_TYPE_MULTI_SZ, nullptr));
}

TEST(MatchPropertyValue, UnreadPropertiesNeverMatch) {
    EXPECT_FALSE(Matches(PropertyValue{PropertyStatus::Absent, 0, {}}, U16(FILTER_NAME)));
    PropertyValue failed = MultiString({u"QN38UP"});
    failed.status = PropertyStatus::Failed;
    EXPECT_FALSE(Matches(failed, U16(FILTER_NAME)));
}

}  // namespace
}  // namespace qn38
