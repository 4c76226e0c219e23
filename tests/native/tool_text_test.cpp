// The texts the tray tool builds: balloon and menu texts, log lines, banner.
#include <gtest/gtest.h>

#include "tool/core/tool_text.h"

namespace qn38::tool {
namespace {

TEST(ToolText, ANameFillsThePlaceholderAndNoArgumentLeavesTheTextAsItIs) {
    EXPECT_EQ(FormatWithText(u"%s started.", u"Card", 255), u"Card started.");
    EXPECT_EQ(FormatWithText(u"Please wait.", nullptr, 255), u"Please wait.");
    EXPECT_EQ(FormatWithText(u"100%% %s", u"done", 255), u"100% done");
}

TEST(ToolText, ALongBalloonIsCutToItsFieldWithoutSplittingACharacter) {
    const std::u16string name(300, u'x');
    EXPECT_EQ(FormatWithText(u"%s started.", name.c_str(), 255), std::u16string(255, u'x'));

    // U+1F4BE (a floppy disk) is a surrogate pair; the cut falls between its halves.
    std::u16string pairAtTheEdge(254, u'y');
    pairAtTheEdge += u"\U0001F4BE";
    EXPECT_EQ(FormatWithText(u"%s", pairAtTheEdge.c_str(), 255), std::u16string(254, u'y'));
}

TEST(ToolText, AnEmptyDescriptionIsExpressCard) {
    EXPECT_EQ(CardName(u""), u"ExpressCard");
    EXPECT_EQ(CardName(u"SATA Card"), u"SATA Card");
}

TEST(ToolText, ADescriptionWithoutTerminatorEndsWithItsBuffer) {
    char16_t buffer[4] = {u'a', u'b', u'c', u'd'};
    EXPECT_EQ(DescriptionIn(buffer, 4), u"abcd");
    buffer[2] = 0;
    EXPECT_EQ(DescriptionIn(buffer, 4), u"ab");
}

TEST(ToolText, LinkLinesCarryTheBusWithPrefixAndTwoDigits) {
    EXPECT_EQ(LinkDisableLine(5), u"LinkDisable(Bus0x05)");
    EXPECT_EQ(LinkEnableLine(0x1A), u"LinkEnable(Bus0x1a)");
    EXPECT_EQ(LinkEnableLine(0), u"LinkEnable(Bus0x00)");
    EXPECT_EQ(LinkDisableLine(0xFF), u"LinkDisable(Bus0xff)");
}

TEST(ToolText, PowerBroadcastParametersAreSigned32BitDecimals) {
    EXPECT_EQ(PowerBroadcastLine(4, 0), u"WM_POWERBROADCAST(wp:4,lp:0)");
    EXPECT_EQ(PowerBroadcastLine(0xFFFFFFFFu, -2), u"WM_POWERBROADCAST(wp:-1,lp:-2)");
    // Only the low 32 bits of a 64-bit parameter reach the log.
    EXPECT_EQ(PowerBroadcastLine(0x100000007ull, static_cast<std::intptr_t>(0x200000003ll)),
              u"WM_POWERBROADCAST(wp:7,lp:3)");
}

TEST(ToolText, ProcessorLabels) {
    EXPECT_EQ(ProcessorLabel(CPU_ARCHITECTURE_X86), u"32bit");
    EXPECT_EQ(ProcessorLabel(CPU_ARCHITECTURE_IA64), u"IA64");
    EXPECT_EQ(ProcessorLabel(CPU_ARCHITECTURE_X64), u"x64");
    EXPECT_EQ(ProcessorLabel(12), u"Unknown");  // ARM64
    EXPECT_EQ(ProcessorLabel(std::nullopt), u"Unknown");
}

TEST(ToolText, TheBannerHasItsFixedLinesAndNumbersAsSignedDecimals) {
    EXPECT_EQ(StartBanner({5, 1, 2600, u"Service Pack 3"}, u"32bit"),
              u"-----QN38HotPlugTool Start-----\r\nMajorVersion:5\r\nMinorVersin:1\r\nBuildNumber:2600\r\n"
              u"Service Pack 3\r\nCPU(32bit)");
    EXPECT_EQ(StartBanner({6, 2, 0x80000000u, u""}, u"x64"),
              u"-----QN38HotPlugTool Start-----\r\nMajorVersion:6\r\nMinorVersin:2\r\nBuildNumber:-2147483648\r\n"
              u"\r\nCPU(x64)");
}

}  // namespace
}  // namespace qn38::tool
