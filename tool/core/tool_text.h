// The texts the tool builds: balloon and menu texts from the string table,
// its log lines and the start-up banner, all rendered the way wsprintfW does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "service/ServiceRequest.h"
#include "tool/core/ports/system_info.h"

namespace qn38::tool {

// The name a card goes by when its device has no description.
inline constexpr std::u16string_view DEFAULT_CARD_NAME = u"ExpressCard";

// A string-table text with its one %s filled (a null argument leaves the
// format without one), cut to `maxCharacters` but never inside a surrogate pair.
std::u16string FormatWithText(std::u16string_view format, const char16_t* argument, std::size_t maxCharacters);

// The card's name as every message shows it.
std::u16string CardName(std::u16string_view description);

// The description in a fixed buffer: up to its terminator, or the whole
// buffer when the terminator is missing.
std::u16string_view DescriptionIn(const char16_t* buffer, std::size_t capacity);

// "LinkDisable(Bus0x05)" and "LinkEnable(Bus0x05)".
std::u16string LinkDisableLine(std::uint32_t bus);
std::u16string LinkEnableLine(std::uint32_t bus);

// "WM_POWERBROADCAST(wp:4,lp:0)": both parameters as signed 32-bit values.
std::u16string PowerBroadcastLine(std::uintptr_t wParam, std::intptr_t lParam);

// "32bit", "IA64", "x64" or "Unknown".
std::u16string_view ProcessorLabel(std::optional<std::uint16_t> architecture);

// UTF-16 as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf8FromUtf16(std::u16string_view text);

// The stop's log line with who refused it: "LinkDisable(Bus0x05)" and, for a
// veto, " vetoed by PNP_VetoOutstandingOpen PCI\VEN_...".
std::u16string LinkDisableLine(std::uint32_t bus, const std::optional<StopVeto>& veto);

// A text and, when there is a holder, a line naming it with `holderFormat`.
std::u16string WithHolderLine(std::u16string text, std::u16string_view holderFormat, std::u16string_view holder,
                              std::size_t maxCharacters);

// The first log line of every start.
std::u16string StartBanner(const OsVersion& version, std::u16string_view processor);

}  // namespace qn38::tool
