// Which resources the binary carries: every dialog, menu and string block in
// English and Japanese, the icons, version and manifest exactly once, and
// nothing else (a second manifest from the toolchain, a stray language).
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <tuple>

#include "tests/resources/checker/binary_under_test.h"
#include "tests/resources/checker/resource_formats.h"
#include "tests/resources/checker/win32_values.h"

namespace qn38::rescheck {
namespace {

using namespace win32;

using Key = std::tuple<std::uint16_t, std::uint16_t, std::uint16_t>;  // type, id, language

std::string Show(const Key& key) {
    auto [type, id, language] = key;
    char text[64];
    std::snprintf(text, sizeof text, "type %u id %u language 0x%04X", type, id, language);
    return text;
}

// Icon images are numbered by the resource compiler; the groups say which they are.
std::set<std::uint16_t> IconIdsNamedByGroups() {
    std::set<std::uint16_t> ids;
    for (const Resource* group : ResourcesOf(RT_GROUP_ICON, LANGUAGE_NEUTRAL))
        for (const GroupIconEntry& entry : DecodeGroupIcon(group->data)) ids.insert(entry.icon_id);
    return ids;
}

TEST(ResourceDirectory, HoldsEachResourceInItsLanguagesAndNothingElse) {
    std::set<Key> expected;
    for (std::uint16_t language : {LANGUAGE_ENGLISH, LANGUAGE_JAPANESE}) {
        expected.insert({RT_DIALOG, 90, language});
        expected.insert({RT_DIALOG, 91, language});
        expected.insert({RT_MENU, 131, language});
        // Strings come in blocks of sixteen: 101-111 in block 7, 112-120 in block 8, 130 in block 9, 57344
        // in block 3585.
        expected.insert({RT_STRING, 7, language});
        expected.insert({RT_STRING, 8, language});
        expected.insert({RT_STRING, 9, language});
        expected.insert({RT_STRING, 3585, language});
    }
    for (std::uint16_t icon : {151, 156, 157}) expected.insert({RT_GROUP_ICON, icon, LANGUAGE_NEUTRAL});
    for (std::uint16_t image : IconIdsNamedByGroups()) expected.insert({RT_ICON, image, LANGUAGE_NEUTRAL});
    expected.insert({RT_VERSION, 1, LANGUAGE_NEUTRAL});
    expected.insert({RT_MANIFEST, 1, LANGUAGE_NEUTRAL});

    std::multiset<Key> actual;
    for (const Resource& r : Resources()) {
        ASSERT_TRUE(r.type.is_ordinal) << "a resource type named " << Describe(r.type);
        ASSERT_TRUE(r.name.is_ordinal) << "resource " << Describe(r.type) << " is named " << Describe(r.name);
        actual.insert({r.type.ordinal, r.name.ordinal, r.language});
    }

    for (const Key& key : expected) EXPECT_EQ(actual.count(key), 1u) << Show(key);
    for (const Key& key : actual) EXPECT_TRUE(expected.count(key)) << "unexpected resource: " << Show(key);
}

TEST(ResourceDirectory, EveryIconImageBelongsToExactlyOneGroup) {
    std::multiset<std::uint16_t> named;
    for (const Resource* group : ResourcesOf(RT_GROUP_ICON, LANGUAGE_NEUTRAL))
        for (const GroupIconEntry& entry : DecodeGroupIcon(group->data)) named.insert(entry.icon_id);
    for (std::uint16_t id : named) EXPECT_EQ(named.count(id), 1u) << "icon image " << id << " is shared";
    auto images = ResourcesOf(RT_ICON, LANGUAGE_NEUTRAL);
    EXPECT_EQ(images.size(), named.size());
}

}  // namespace
}  // namespace qn38::rescheck
