#include "tool/core/tool_text.h"

#include "lib/core/wsformat.h"

namespace qn38::tool {
namespace {

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

int Signed(std::uint64_t value) { return static_cast<int>(static_cast<std::int32_t>(value)); }

}  // namespace

std::u16string FormatWithText(std::u16string_view format, const char16_t* argument, std::size_t maxCharacters) {
    std::u16string text = argument != nullptr ? FormatWs(format, {argument}) : FormatWs(format, {});
    if (text.size() > maxCharacters) {
        text.resize(maxCharacters);
        if (IsHighSurrogate(text.back())) text.pop_back();
    }
    return text;
}

std::u16string CardName(std::u16string_view description) {
    return std::u16string(description.empty() ? DEFAULT_CARD_NAME : description);
}

std::u16string_view DescriptionIn(const char16_t* buffer, std::size_t capacity) {
    std::size_t length = 0;
    while (length < capacity && buffer[length] != 0) ++length;
    return {buffer, length};
}

std::u16string LinkDisableLine(std::uint32_t bus) { return FormatWs(u"LinkDisable(Bus%#02x)", {bus}); }

std::u16string LinkDisableLine(std::uint32_t bus, const std::optional<StopVeto>& veto) {
    static constexpr std::u16string_view kVetoTypes[] = {u"PNP_VetoTypeUnknown",
                                                         u"PNP_VetoLegacyDevice",
                                                         u"PNP_VetoPendingClose",
                                                         u"PNP_VetoWindowsApp",
                                                         u"PNP_VetoWindowsService",
                                                         u"PNP_VetoOutstandingOpen",
                                                         u"PNP_VetoDevice",
                                                         u"PNP_VetoDriver",
                                                         u"PNP_VetoIllegalDeviceRequest",
                                                         u"PNP_VetoInsufficientPower",
                                                         u"PNP_VetoNonDisableable",
                                                         u"PNP_VetoLegacyDriver",
                                                         u"PNP_VetoInsufficientRights",
                                                         u"PNP_VetoAlreadyRemoved"};
    std::u16string line = LinkDisableLine(bus);
    if (!veto) return line;
    line += u" vetoed by ";
    if (veto->type < std::size(kVetoTypes)) {
        line += kVetoTypes[veto->type];
    } else {
        line += FormatWs(u"PNP_VETO_TYPE %u", {veto->type});
    }
    if (!veto->name.empty()) line += u" " + veto->name;
    return line;
}

std::u16string WithHolderLine(std::u16string text, std::u16string_view holderFormat, std::u16string_view holder,
                              std::size_t maxCharacters) {
    if (holder.empty()) return text;
    const std::u16string name(holder);
    text += u'\n';
    text += FormatWithText(holderFormat, name.c_str(), maxCharacters);
    if (text.size() > maxCharacters) {
        text.resize(maxCharacters);
        if (IsHighSurrogate(text.back())) text.pop_back();
    }
    return text;
}

std::u16string LinkEnableLine(std::uint32_t bus) { return FormatWs(u"LinkEnable(Bus%#02x)", {bus}); }

std::u16string PowerBroadcastLine(std::uintptr_t wParam, std::intptr_t lParam) {
    return FormatWs(u"WM_POWERBROADCAST(wp:%d,lp:%d)", {Signed(wParam), Signed(static_cast<std::uint64_t>(lParam))});
}

std::u16string_view ProcessorLabel(std::optional<std::uint16_t> architecture) {
    if (!architecture) return u"Unknown";
    switch (*architecture) {
    case CPU_ARCHITECTURE_X86:
        return u"32bit";
    case CPU_ARCHITECTURE_IA64:
        return u"IA64";
    case CPU_ARCHITECTURE_X64:
        return u"x64";
    default:
        return u"Unknown";
    }
}

std::u16string StartBanner(const OsVersion& version, std::u16string_view processor) {
    const std::u16string servicePack = version.servicePack;
    const std::u16string label(processor);
    // "MinorVersin" is how the log has always spelled it; support scripts search for it.
    return FormatWs(
        u"-----QN38HotPlugTool Start-----\r\nMajorVersion:%d\r\nMinorVersin:%d\r\nBuildNumber:%d\r\n%s\r\nCPU(%s)",
        {Signed(version.major), Signed(version.minor), Signed(version.build), servicePack.c_str(), label.c_str()});
}

std::string Utf8FromUtf16(std::u16string_view text) {
    std::string out;
    service_record::AppendUtf8(out, text);
    return out;
}

}  // namespace qn38::tool
