// Decoding the ANSI bytes of a log slot in the code page of the PC that
// wrote it, to UTF-8.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qn38::logreader {

// U+FFFD in UTF-8: what a byte that is no character of the code page, or a
// character the slot's end cut in two, is shown as.
inline constexpr std::string_view REPLACEMENT_CHARACTER = "\xEF\xBF\xBD";

class CodePageDecoder {
public:
    virtual ~CodePageDecoder() = default;
    // The bytes as UTF-8. A slot ends after its 200th byte whatever the text
    // there: a double-byte character whose lead byte is the last byte lost
    // its second byte, and shows as one replacement character.
    virtual std::string Decode(std::string_view bytes) = 0;
};

// The decoder of code page `codePage` (932, 1252, ...); nothing when this
// machine does not know that code page.
std::unique_ptr<CodePageDecoder> OpenCodePage(std::uint32_t codePage);

// The code page used without --code-page: on Windows the ANSI code page of
// the machine the reader runs on; elsewhere nothing (bytes as they are).
std::optional<std::uint32_t> DefaultCodePage();

}  // namespace qn38::logreader
