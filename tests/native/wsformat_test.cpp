// The portable wsprintf formatter: the log's entries must read exactly as
// wsprintfW writes them on Windows.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "lib/core/wsformat.h"

namespace qn38 {
namespace {

TEST(WsFormatHex, TheWidthCountsDigitsNotThePrefix) {
    EXPECT_EQ(FormatWs(u"%#08x", {0x200000u}), u"0x00200000");
    EXPECT_EQ(FormatWs(u"%#08x", {0u}), u"0x00000000");
    EXPECT_EQ(FormatWs(u"%#08x", {0xEFFFFFFFu}), u"0xefffffff");
    EXPECT_EQ(FormatWs(u"Bus%#02x", {5}), u"Bus0x05");
}

TEST(WsFormatHex, UpperCaseTypeUpperCasesPrefixAndDigits) {
    EXPECT_EQ(FormatWs(u"Bus:%#02X", {0x0A}), u"Bus:0X0A");
    EXPECT_EQ(FormatWs(u"%X", {0xABCDEFu}), u"ABCDEF");
}

TEST(WsFormatHex, AWidthSmallerThanTheDigitsCutsNothing) {
    EXPECT_EQ(FormatWs(u"%#02X", {0x1FF}), u"0X1FF");
    EXPECT_EQ(FormatWs(u"%#02x", {0x12345678}), u"0x12345678");
}

TEST(WsFormatHex, NegativeNumbersPrintAsTheir32BitPattern) {
    EXPECT_EQ(FormatWs(u"%#08x", {-1}), u"0xffffffff");
    EXPECT_EQ(FormatWs(u"%x", {0x1'0000'0005LL}), u"5");
}

TEST(WsFormatDecimal, ZeroPaddingFillsTheWidth) {
    EXPECT_EQ(FormatWs(u"%04d/%02d/%02d %02d:%02d:%02d", {2026, 12, 7, 9, 30, 0}), u"2026/12/07 09:30:00");
    EXPECT_EQ(FormatWs(u"%04d", {12345}), u"12345");
}

TEST(WsFormatDecimal, TheSignStandsBeforeTheZeros) {
    EXPECT_EQ(FormatWs(u"%04d", {-5}), u"-005");
    EXPECT_EQ(FormatWs(u"%d", {INT_MIN}), u"-2147483648");
    EXPECT_EQ(FormatWs(u"%d", {0xFFFFFFFFu}), u"-1");
    EXPECT_EQ(FormatWs(u"%u", {-1}), u"4294967295");
}

TEST(WsFormatDecimal, SpacesPadRightOrLeftAligned) {
    EXPECT_EQ(FormatWs(u"[%5d]", {42}), u"[   42]");
    EXPECT_EQ(FormatWs(u"[%-5d]", {42}), u"[42   ]");
    EXPECT_EQ(FormatWs(u"[%-05d]", {42}), u"[42   ]");  // left alignment wins over zeros
    EXPECT_EQ(FormatWs(u"[%.4d]", {42}), u"[0042]");
    EXPECT_EQ(FormatWs(u"[%8.4x]", {0x2A}), u"[    002a]");
}

TEST(WsFormatDecimal, SixtyFourBitsOnlyWhenAskedFor) {
    EXPECT_EQ(FormatWs(u"%I64d", {-5000000000LL}), u"-5000000000");
    EXPECT_EQ(FormatWs(u"%I64x", {0x123456789ALL}), u"123456789a");
    EXPECT_EQ(FormatWs(u"%I32x", {0x123456789ALL}), u"3456789a");
}

TEST(WsFormatStrings, WideAndAnsiStrings) {
    EXPECT_EQ(FormatWs(u"%s:%#08x", {u"DefLen", 0x200000u}), u"DefLen:0x00200000");
    EXPECT_EQ(FormatWs(u"\r\n\r\n%hs\r\n", {"LinkDisable(Bus0x05)"}), u"\r\n\r\nLinkDisable(Bus0x05)\r\n");
    EXPECT_EQ(FormatWs(u"%S|%ls|%ws|%hS", {"a", u"b", u"c", "d"}), u"a|b|c|d");
}

TEST(WsFormatStrings, AnsiBytesWidenOneByOne) {
    EXPECT_EQ(FormatWs(u"%hs", {"\xE9\x80"}), std::u16string(u"\u00E9\u0080"));
}

TEST(WsFormatStrings, NullStringsPrintAsNull) {
    EXPECT_EQ(FormatWs(u"%s", {static_cast<const char16_t*>(nullptr)}), u"(null)");
    EXPECT_EQ(FormatWs(u"%hs", {static_cast<const char*>(nullptr)}), u"(null)");
}

TEST(WsFormatStrings, PrecisionCutsAndWidthPads) {
    EXPECT_EQ(FormatWs(u"[%.3s]", {u"abcdef"}), u"[abc]");
    EXPECT_EQ(FormatWs(u"[%6s]", {u"ab"}), u"[    ab]");
    EXPECT_EQ(FormatWs(u"[%-6s]", {u"ab"}), u"[ab    ]");
    EXPECT_EQ(FormatWs(u"[%06s]", {u"ab"}), u"[    ab]");  // strings never pad with zeros
}

TEST(WsFormatCharacters, WideAndNarrow) {
    EXPECT_EQ(FormatWs(u"%c%C%hc", {u'\u3042', 'b', 'c'}), u"\u3042bc");
    // A narrow character passes through a signed char on its way to UTF-16.
    EXPECT_EQ(FormatWs(u"%hc", {0xE9}), std::u16string(1, char16_t{0xFFE9}));
}

TEST(WsFormatSyntax, PercentSignsAndUnknownTypes) {
    EXPECT_EQ(FormatWs(u"100%%", {}), u"100%");
    // An unknown type prints itself and takes no argument.
    EXPECT_EQ(FormatWs(u"%q%d", {7}), u"q7");
    EXPECT_EQ(FormatWs(u"%-08q|", {}), u"q|");
    EXPECT_EQ(FormatWs(u"%5q|", {}), u"     q|");
    // A lone '%' at the end prints nothing.
    EXPECT_EQ(FormatWs(u"end%", {}), u"end");
}

TEST(WsFormatSyntax, MissingOrMismatchedArgumentsAreZeroOrNull) {
    EXPECT_EQ(FormatWs(u"%d|%s", {}), u"0|(null)");
    EXPECT_EQ(FormatWs(u"%d|%s", {u"text", 5}), u"0|(null)");
}

TEST(WsFormatSyntax, TheFormatEndsAtItsFirstZero) {
    const std::u16string format(u"ab\0cd", 5);
    EXPECT_EQ(FormatWs(format, {}), u"ab");
}

TEST(WsFormatLimits, OutputStopsAt1023Units) {
    const std::u16string longText(3000, u'x');
    EXPECT_EQ(FormatWs(u"%s", {longText.c_str()}).size(), WSPRINTF_MAX_UNITS);
    EXPECT_EQ(FormatWs(longText, {}).size(), WSPRINTF_MAX_UNITS);
    EXPECT_EQ(FormatWs(u"%99999d", {1}).size(), WSPRINTF_MAX_UNITS);
}

}  // namespace
}  // namespace qn38
