// The portable formatter against the platform's wsprintfW, over a table of
// formats and values: every rendering must be the same, unit for unit. The
// Win32 Text backend, which hands its arguments to wsprintfW word by word, is
// held to the same table.
#include <gtest/gtest.h>

#include <windows.h>

#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "lib/core/wsformat.h"
#include "lib/win32/platform_win32.h"

namespace {

using qn38::FormatArg;

struct Case {
    const char16_t* format;
    std::vector<FormatArg> args;
    std::function<int(wchar_t*)> direct;  // wsprintfW with the arguments in their own types
};

// The same arguments go to wsprintfW as they stand and to the formatters as FormatArgs.
#define WS_CASE(fmt, ...)                                                                                           \
    Case {                                                                                                          \
        u##fmt, {__VA_ARGS__}, [](wchar_t* buffer) { return wsprintfW(buffer, L##fmt __VA_OPT__(, ) __VA_ARGS__); } \
    }

const char16_t* const kNullWide = nullptr;
const char* const kNullAnsi = nullptr;

std::vector<Case> Table() {
    return {
        WS_CASE("%#08x", 0x200000u),
        WS_CASE("%#08x", 0u),
        WS_CASE("%#08x", 5u),
        WS_CASE("%#08x", 0x12345678u),
        WS_CASE("%#08x", 0xEFFFFFFFu),
        WS_CASE("%#08x", 0xFFFFFFFFu),
        WS_CASE("%#08x", -1),
        WS_CASE("Bus%#02x", 5),
        WS_CASE("Bus%#02x", 0),
        WS_CASE("Bus%#02x", 0xFF),
        WS_CASE("Bus:%#02X", 0),
        WS_CASE("Bus:%#02X", 5),
        WS_CASE("Bus:%#02X", 0xAB),
        WS_CASE("Bus:%#02X", 0x1FF),
        WS_CASE("Bus:%#02X", 0xFFFFFFFFu),
        WS_CASE("%04d", 0),
        WS_CASE("%04d", 7),
        WS_CASE("%04d", 2026),
        WS_CASE("%04d", 12345),
        WS_CASE("%04d", -5),
        WS_CASE("%02d", 0),
        WS_CASE("%02d", 9),
        WS_CASE("%02d", 59),
        WS_CASE("%02d", 100),
        WS_CASE("%02d", -1),
        WS_CASE("%d", 0),
        WS_CASE("%d", INT_MAX),
        WS_CASE("%d", INT_MIN),
        WS_CASE("%d", 0xFFFFFFFFu),
        WS_CASE("%u", -1),
        WS_CASE("%x|%X", 0xABCDEFu, 0xABCDEFu),
        WS_CASE("[%5d][%-5d][%05d][%-05d]", 42, 42, 42, 42),
        WS_CASE("[%.4d][%8.4x][%#8x][%-#8x|]", 42, 0x2A, 0x2A, 0x2A),
        WS_CASE("%s", u""),
        WS_CASE("%s:%#08x", u"DefLen", 0x00200000u),
        WS_CASE("%s", kNullWide),
        WS_CASE("[%.3s][%6s][%-6s][%06s]", u"abcdef", u"ab", u"ab", u"ab"),
        WS_CASE("%hs", ""),
        WS_CASE("%hs", "AddFilter"),
        WS_CASE("%hs", kNullAnsi),
        WS_CASE("%hs", "caf\xE9"),
        WS_CASE("%S|%ls|%ws|%hS", "a", u"b", u"c", "d"),
        WS_CASE("%c%C", u'\u3042', 'b'),
        WS_CASE("100%%"),
        WS_CASE("%q%d", 7),
        WS_CASE("%5q|"),
        WS_CASE("%-08q|"),
        WS_CASE("end%"),
        WS_CASE("%I64d|%I64x", -5000000000LL, 0x123456789ALL),
        WS_CASE("\r\n\r\n%hs\r\n%04d/%02d/%02d %02d:%02d:%02d", "LinkEnable(Bus0x05)", 2026, 12, 7, 9, 30, 0),
        WS_CASE("\r\nBus:%#02X\r\nHardwareID:%#08x\r\nSUBSYSID:%#08x\r\nMemoryBase:%#08x\r\nSlotStatus:%#08x"
                "\r\nLinkStatus:%#08x\r\nstatus:%#08x\r\nproblem:%#08x",
                5, 0x02E31217u, 0x3A5C0E71u, 0xE000E000u, 0x00400000u, 0x10110010u, 0x0180200Au, 0u),
        WS_CASE("\r\nExpressCard\r\nBus:%#02X\r\nHardwareID:%#08x\r\nstatus:%#08x\r\nproblem:%#08x\r\nDeviceDesc:%s", 6,
                0x816810ECu, 0x0180200Au, 47u, u"Realtek PCIe GbE Family Controller"),
        WS_CASE("WM_POWERBROADCAST(wp:%d,lp:%d)", 18, 0),
    };
}

std::u16string Direct(const Case& item) {
    wchar_t buffer[qn38::WSPRINTF_MAX_UNITS + 2] = {};
    const int length = item.direct(buffer);
    return std::u16string(buffer, buffer + (length > 0 ? length : 0));
}

TEST(FormatterAgainstWsprintfW, ThePortableFormatterRendersEveryCaseTheSame) {
    for (const auto& item : Table()) {
        const std::u16string expected = Direct(item);
        EXPECT_EQ(qn38::FormatWs(item.format, item.args), expected)
            << "format " << std::string(item.format, item.format + std::char_traits<char16_t>::length(item.format));
    }
}

TEST(FormatterAgainstWsprintfW, TheWin32TextBackendRendersEveryCaseTheSame) {
    qn38::Text& text = qn38::win32::TextBackend();
    for (const auto& item : Table()) {
        // The backend passes one word per argument: 64-bit numbers are not its business.
        if (std::u16string_view(item.format).find(u"I64") != std::u16string_view::npos) continue;
        EXPECT_EQ(text.Format(item.format, std::span<const FormatArg>(item.args)), Direct(item))
            << "format " << std::string(item.format, item.format + std::char_traits<char16_t>::length(item.format));
    }
}

TEST(FormatterAgainstWsprintfW, LongOutputStopsWhereWsprintfWStops) {
    const std::u16string longText(2000, u'x');
    wchar_t buffer[qn38::WSPRINTF_MAX_UNITS + 2] = {};
    const int length = wsprintfW(buffer, L"%s", longText.c_str());
    ASSERT_GT(length, 0);
    EXPECT_EQ(qn38::FormatWs(u"%s", {longText.c_str()}).size(), std::wstring(buffer).size());
}

}  // namespace
