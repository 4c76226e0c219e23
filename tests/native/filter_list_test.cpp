// Editing an upper-filter list: entries keep their order, nothing is lost or
// written past a buffer, whatever the list's length.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib/core/constants.h"
#include "lib/core/filter_list.h"

namespace qn38 {
namespace {

// Raw units as stored, terminators and all.
std::vector<std::uint8_t> Raw(const std::u16string& units) {
    std::vector<std::uint8_t> bytes;
    for (char16_t unit : units) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return bytes;
}

std::vector<std::uint8_t> List(const std::vector<std::u16string>& strings) {
    std::u16string units;
    for (const auto& text : strings) units += text + u'\0';
    units += u'\0';
    return Raw(units);
}

// Entries of distinct names, `count` of them, each `length` units long.
std::vector<std::u16string> ManyFilters(int count, std::size_t length) {
    std::vector<std::u16string> names;
    for (int i = 0; i < count; ++i) {
        std::u16string name = u"Filter" + std::u16string(1, char16_t(u'A' + i % 26)) + char16_t(u'a' + i / 26);
        name.resize(length, u'x');
        names.push_back(name);
    }
    return names;
}

const char16_t* Filter() { return U16(FILTER_NAME); }

TEST(AppendFilterEntry, AnAbsentOrEmptyListBecomesTheFilterAloneIn16Bytes) {
    const auto expected = List({u"QN38UP"});
    ASSERT_EQ(expected.size(), 16u);
    EXPECT_EQ(AppendFilterEntry({}, Filter()), expected);
    EXPECT_EQ(AppendFilterEntry(Raw(std::u16string(1, u'\0')), Filter()), expected);
    EXPECT_EQ(AppendFilterEntry(List({}), Filter()), expected);
}

TEST(AppendFilterEntry, GoesBehindTheExistingFiltersInTheirOrder) {
    EXPECT_EQ(AppendFilterEntry(List({u"A", u"B"}), Filter()), List({u"A", u"B", u"QN38UP"}));
}

TEST(AppendFilterEntry, ClosesALastStringThatHasNoTerminator) {
    EXPECT_EQ(AppendFilterEntry(Raw(u"A"), Filter()), List({u"A", u"QN38UP"}));
    EXPECT_EQ(AppendFilterEntry(Raw(std::u16string(u"A\0B", 3)), Filter()), List({u"A", u"B", u"QN38UP"}));
    // A half unit at the end is no character.
    auto odd = List({u"A"});
    odd.push_back(0x41);
    EXPECT_EQ(AppendFilterEntry(odd, Filter()), List({u"A", u"QN38UP"}));
}

TEST(AppendFilterEntry, StringsBehindTheClosingEmptyStringAreNotPartOfTheList) {
    EXPECT_EQ(AppendFilterEntry(Raw(std::u16string(u"A\0\0Old\0\0", 8)), Filter()), List({u"A", u"QN38UP"}));
}

TEST(AppendFilterEntry, KeepsEveryEntryOfAListLongerThan300Units) {
    const auto filters = ManyFilters(40, 9);  // 40 x 10 units with terminators: 401 units
    auto expected = filters;
    expected.push_back(u"QN38UP");
    const auto stored = AppendFilterEntry(List(filters), Filter());
    EXPECT_EQ(stored, List(expected));
    EXPECT_EQ(stored.size(), (400 + 7 + 1) * 2u);
}

TEST(AppendFilterEntry, AnEntryThatCrossesThe260UnitMarkIsWrittenWhole) {
    // 254 units of filters: the entry would end at unit 262.
    const std::vector<std::u16string> filters = {std::u16string(126, u'a'), std::u16string(126, u'b')};
    const auto stored = AppendFilterEntry(List(filters), Filter());
    EXPECT_EQ(stored, List({filters[0], filters[1], u"QN38UP"}));
}

TEST(RemoveFilterEntry, TheFilterAloneLeavesNothingSoThePropertyIsDeleted) {
    EXPECT_TRUE(RemoveFilterEntry(List({u"QN38UP"}), Filter()).empty());
    EXPECT_TRUE(RemoveFilterEntry(List({u"qn38up"}), Filter()).empty());
}

TEST(RemoveFilterEntry, RemovesTheEntryBetweenOthersAndKeepsTheirOrder) {
    const auto stored = RemoveFilterEntry(List({u"A", u"QN38UP", u"B"}), Filter());
    EXPECT_EQ(stored, List({u"A", u"B"}));
    EXPECT_EQ(stored.size(), 10u);
}

TEST(RemoveFilterEntry, RemovesOnlyTheFirstEqualEntry) {
    EXPECT_EQ(RemoveFilterEntry(List({u"QN38UP", u"A", u"Qn38Up"}), Filter()), List({u"A", u"Qn38Up"}));
}

TEST(RemoveFilterEntry, AnEntryThatOnlyBeginsWithTheNameStays) {
    EXPECT_EQ(RemoveFilterEntry(List({u"QN38UPX", u"A"}), Filter()), List({u"QN38UPX", u"A"}));
    EXPECT_EQ(RemoveFilterEntry(List({u"QN38UPX", u"QN38UP"}), Filter()), List({u"QN38UPX"}));
}

TEST(RemoveFilterEntry, FindsTheEntryFarBeyond260Units) {
    auto filters = ManyFilters(40, 9);
    auto withFilter = filters;
    withFilter.insert(withFilter.begin() + 35, u"QN38UP");  // at unit 350
    EXPECT_EQ(RemoveFilterEntry(List(withFilter), Filter()), List(filters));
}

TEST(RemoveFilterEntry, AnUnterminatedLastEntryIsRemovedToo) {
    EXPECT_EQ(RemoveFilterEntry(Raw(std::u16string(u"A\0QN38UP", 8)), Filter()), List({u"A"}));
}

TEST(RemoveFilterEntry, WalksOverEmptyStringsLikeTheMatchDoes) {
    // The match finds the filter behind an empty string, so the removal must too.
    const auto list = Raw(std::u16string(u"A\0\0QN38UP\0\0", 11));
    ASSERT_TRUE(ListNamesFilter(list, Filter()));
    EXPECT_EQ(RemoveFilterEntry(list, Filter()), List({u"A"}));
}

TEST(ListNamesFilter, APrefixWithoutCaseNamesTheFilter) {
    EXPECT_TRUE(ListNamesFilter(List({u"A", u"qn38up"}), Filter()));
    EXPECT_TRUE(ListNamesFilter(List({u"QN38UPX"}), Filter()));
    EXPECT_FALSE(ListNamesFilter(List({u"A", u"QN38"}), Filter()));
    EXPECT_FALSE(ListNamesFilter({}, Filter()));
}

TEST(FilterListRoundTrip, AppendThenRemoveGivesBackTheList) {
    for (int count : {0, 1, 5, 40}) {
        const auto list = List(ManyFilters(count, 12));
        const auto added = AppendFilterEntry(list, Filter());
        ASSERT_TRUE(ListNamesFilter(added, Filter()));
        const auto removed = RemoveFilterEntry(added, Filter());
        if (count == 0) {
            EXPECT_TRUE(removed.empty());
        } else {
            EXPECT_EQ(removed, list) << count << " filters";
        }
    }
}

}  // namespace
}  // namespace qn38
