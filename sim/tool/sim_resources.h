// The tray tool's string tables and menu, read at run time from its resource
// script, so the simulated tool shows exactly the texts the real one does and
// every text has one definition.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tool/core/tool_text.h"

namespace qn38::sim {

// Primary language ids as the resource script's LANGUAGE statements give them.
inline constexpr std::uint16_t RC_LANGUAGE_NEUTRAL = 0x00;
inline constexpr std::uint16_t RC_LANGUAGE_ENGLISH = 0x09;
inline constexpr std::uint16_t RC_LANGUAGE_JAPANESE = 0x11;

struct RcMenuItem {
    std::uint32_t command = 0;  // 0 for a separator
    std::u16string text;
};

class RcResources {
public:
    // Reads the script and the headers it includes, looked for as the
    // resource compiler does: beside the script, then along `includePath`.
    // Nothing when the script cannot be read or does not parse.
    static std::optional<RcResources> Load(const std::filesystem::path& script, std::uint16_t language,
                                           const std::vector<std::filesystem::path>& includePath = {});
    // The script the build names (the tool's own resources).
    static std::optional<RcResources> LoadToolResources(std::uint16_t language);

    std::optional<std::u16string> String(std::uint32_t id) const;
    // The items of the first popup of menu `id`.
    std::vector<RcMenuItem> FirstPopup(std::uint32_t id) const;

    // For tests of the reader itself.
    static std::optional<RcResources> Parse(std::string_view script, const std::map<std::string, std::int64_t>& symbols,
                                            std::uint16_t language);

private:
    std::map<std::uint32_t, std::u16string> strings_;
    std::map<std::uint32_t, std::vector<RcMenuItem>> popups_;
};

// UTF-8 to UTF-16 and back; invalid sequences become U+FFFD.
std::u16string Utf16FromUtf8(std::string_view text);
using tool::Utf8FromUtf16;

}  // namespace qn38::sim
