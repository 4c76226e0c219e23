// The three icons: every size in every colour depth, images Windows can draw
// (palette images black under the mask, the large image in PNG form), and the
// pictures the tray relies on telling the states apart.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "tests/resources/checker/binary_under_test.h"
#include "tests/resources/checker/resource_formats.h"
#include "tests/resources/checker/win32_values.h"

namespace qn38::rescheck {
namespace {

using namespace win32;

constexpr std::uint16_t ICON_CARD = 151;
constexpr std::uint16_t ICON_BUSY = 156;
constexpr std::uint16_t ICON_NO_CARD = 157;
constexpr int SIZES[] = {16, 32, 48, 128};
constexpr int DEPTHS[] = {4, 8, 32};

using SizeAndDepth = std::pair<int, int>;

std::map<SizeAndDepth, IconImage> LoadImages(std::uint16_t group_id) {
    std::map<SizeAndDepth, IconImage> images;
    const auto* group = FindResource(RT_GROUP_ICON, group_id, LANGUAGE_NEUTRAL);
    if (!group) return images;
    for (const GroupIconEntry& entry : DecodeGroupIcon(*group)) {
        const auto* data = FindResource(RT_ICON, entry.icon_id, LANGUAGE_NEUTRAL);
        if (!data) continue;
        int size = entry.width == 0 ? 256 : entry.width;
        images[{size, entry.bit_count}] = DecodeIconImage(*data);
    }
    return images;
}

bool Opaque(const IconImage& image, std::size_t i) {
    return image.bit_count == 32 ? image.pixels[i].a >= 128 : !image.masked[i];
}

bool Grey(const Rgba& p, int tolerance) { return std::max({p.r, p.g, p.b}) - std::min({p.r, p.g, p.b}) <= tolerance; }

double Agreement(const IconImage& a, const IconImage& b) {
    std::size_t same = 0;
    for (std::size_t i = 0; i < a.pixels.size(); ++i) same += Opaque(a, i) == Opaque(b, i);
    return static_cast<double>(same) / a.pixels.size();
}

class IconGroup : public testing::TestWithParam<std::uint16_t> {};

TEST_P(IconGroup, HoldsEverySizeInEveryDepthAndA256PixelPng) {
    const auto* group = FindResource(RT_GROUP_ICON, GetParam(), LANGUAGE_NEUTRAL);
    ASSERT_NE(group, nullptr);
    auto entries = DecodeGroupIcon(*group);

    std::set<std::tuple<int, int, int>> expected{{256, 256, 32}};
    for (int size : SIZES)
        for (int depth : DEPTHS) expected.insert({size, size, depth});
    std::set<std::tuple<int, int, int>> actual;
    for (const GroupIconEntry& e : entries) {
        int width = e.width == 0 ? 256 : e.width, height = e.height == 0 ? 256 : e.height;
        actual.insert({width, height, e.bit_count});
        SCOPED_TRACE(std::to_string(width) + " px, " + std::to_string(e.bit_count) + " bit");
        EXPECT_EQ(e.planes, 1);
        EXPECT_EQ(e.color_count, e.bit_count == 4 ? 16 : 0);

        const auto* data = FindResource(RT_ICON, e.icon_id, LANGUAGE_NEUTRAL);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(e.bytes, data->size()) << "the group's byte count disagrees with the image";
        IconImage image = DecodeIconImage(*data);
        EXPECT_EQ(image.width, width);
        EXPECT_EQ(image.height, height);
        EXPECT_EQ(image.bit_count, e.bit_count);
        EXPECT_EQ(image.png, width == 256) << "only the 256 px image is stored as PNG";
        if (image.png) {
            EXPECT_EQ(image.png_color_type, 6) << "PNG without alpha";
        }
    }
    EXPECT_EQ(entries.size(), expected.size());
    EXPECT_EQ(actual, expected);
}

// Palette images are drawn by masking the screen and then XOR-ing the colour
// image: a transparent pixel that is not black would show as inverted screen.
TEST_P(IconGroup, PaletteImagesAreBlackWhereTheScreenShowsThrough) {
    for (const auto& [key, image] : LoadImages(GetParam())) {
        if (image.png || key.second == 32) continue;
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < image.pixels.size(); ++i) {
            const Rgba& p = image.pixels[i];
            wrong += image.masked[i] && (p.r | p.g | p.b) != 0;
        }
        EXPECT_EQ(wrong, 0u) << key.first << " px, " << key.second << " bit";
    }
}

// Whatever depth Windows picks, the icon keeps its outline: the palette
// images' masks follow the 32-bit image's alpha, and no image is blank or a
// filled square.
TEST_P(IconGroup, EveryDepthShowsTheSameOutline) {
    auto images = LoadImages(GetParam());
    for (int size : SIZES) {
        SCOPED_TRACE(std::to_string(size) + " px");
        auto full = images.find({size, 32});
        ASSERT_NE(full, images.end());
        std::size_t covered = 0;
        for (std::size_t i = 0; i < full->second.pixels.size(); ++i) covered += Opaque(full->second, i);
        double coverage = static_cast<double>(covered) / full->second.pixels.size();
        EXPECT_GT(coverage, 0.2);
        EXPECT_LT(coverage, 0.95);
        for (int depth : {4, 8}) {
            auto palette = images.find({size, depth});
            ASSERT_NE(palette, images.end());
            EXPECT_GE(Agreement(palette->second, full->second), 0.97) << depth << " bit";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EachIcon, IconGroup, testing::Values(ICON_CARD, ICON_BUSY, ICON_NO_CARD),
                         [](const auto& info) { return "Icon" + std::to_string(info.param); });

TEST(IconPictures, CardIconShowsARedArrowOnAGreySlot) {
    auto images = LoadImages(ICON_CARD);
    for (int size : {32, 48}) {
        const IconImage& image = images[{size, 32}];
        ASSERT_FALSE(image.pixels.empty());
        std::size_t opaque = 0, red = 0, grey = 0;
        for (std::size_t i = 0; i < image.pixels.size(); ++i) {
            if (!Opaque(image, i)) continue;
            const Rgba& p = image.pixels[i];
            ++opaque;
            red += p.r >= 160 && p.g <= 90 && p.b <= 90;
            grey += Grey(p, 12) && p.r >= 60;
        }
        EXPECT_GT(red, opaque / 5) << size << " px: too little red";
        EXPECT_GT(grey, opaque / 10) << size << " px: too little grey";
    }
}

// While no slot holds a card the tray shows the card icon greyed: the same
// outline at every size and depth, with no colour left.
TEST(IconPictures, NoCardIconIsTheCardIconInGrey) {
    auto card = LoadImages(ICON_CARD);
    auto no_card = LoadImages(ICON_NO_CARD);
    for (int size : SIZES) {
        for (int depth : DEPTHS) {
            SCOPED_TRACE(std::to_string(size) + " px, " + std::to_string(depth) + " bit");
            const IconImage& grey = no_card[{size, depth}];
            const IconImage& coloured = card[{size, depth}];
            ASSERT_EQ(grey.pixels.size(), coloured.pixels.size());
            ASSERT_FALSE(grey.pixels.empty());
            EXPECT_GE(Agreement(grey, coloured), 0.99);
            std::size_t coloured_pixels = 0;
            for (std::size_t i = 0; i < grey.pixels.size(); ++i)
                coloured_pixels += Opaque(grey, i) && !Grey(grey.pixels[i], 6);
            EXPECT_EQ(coloured_pixels, 0u);
        }
    }
}

TEST(IconPictures, BusyIconIsAColouredPictureOfItsOwn) {
    auto card = LoadImages(ICON_CARD);
    auto busy = LoadImages(ICON_BUSY);
    const IconImage& a = card[{32, 32}];
    const IconImage& b = busy[{32, 32}];
    ASSERT_FALSE(a.pixels.empty());
    ASSERT_EQ(a.pixels.size(), b.pixels.size());
    EXPECT_LT(Agreement(a, b), 0.9) << "the busy icon has the card icon's outline";
    std::size_t coloured = 0;
    for (std::size_t i = 0; i < b.pixels.size(); ++i) coloured += Opaque(b, i) && !Grey(b.pixels[i], 24);
    EXPECT_GT(coloured, b.pixels.size() / 10) << "the busy icon looks greyed";
}

}  // namespace
}  // namespace qn38::rescheck
