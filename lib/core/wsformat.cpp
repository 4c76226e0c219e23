#include "lib/core/wsformat.h"

#include <algorithm>
#include <string>

namespace qn38 {
namespace {

enum class Type { Unknown, Char, WideChar, AnsiString, WideString, Signed, Unsigned, Hex };

struct Spec {
    bool leftAlign = false;
    bool hexPrefix = false;
    bool zeroPad = false;
    bool upperHex = false;
    std::size_t width = 0;
    std::size_t precision = 0;
    int numberBits = 32;
    Type type = Type::Unknown;
};

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Reads one specification behind its '%'. Returns the units it took; an
// unknown type character is left in place, so it prints as plain text.
std::size_t ParseSpec(std::u16string_view text, Spec& spec) {
    std::size_t i = 0;
    auto at = [&](std::size_t index) -> char16_t { return index < text.size() ? text[index] : u'\0'; };
    if (at(i) == u'-') spec.leftAlign = true, ++i;
    if (at(i) == u'#') spec.hexPrefix = true, ++i;
    if (at(i) == u'0') spec.zeroPad = true, ++i;
    // wsprintf clamps both to its buffer; anything longer cannot show anyway.
    while (IsDigit(at(i))) spec.width = std::min<std::size_t>(spec.width * 10 + (at(i++) - u'0'), WSPRINTF_MAX_UNITS);
    if (at(i) == u'.') {
        ++i;
        while (IsDigit(at(i))) {
            spec.precision = std::min<std::size_t>(spec.precision * 10 + (at(i++) - u'0'), WSPRINTF_MAX_UNITS);
        }
    }
    bool shortSize = false;
    bool longSize = false;
    bool wideSize = false;
    if (at(i) == u'l') {
        longSize = true, ++i;
    } else if (at(i) == u'h') {
        shortSize = true, ++i;
    } else if (at(i) == u'w') {
        wideSize = true, ++i;
    } else if (at(i) == u'I') {
        if (at(i + 1) == u'6' && at(i + 2) == u'4') {
            spec.numberBits = 64, i += 3;
        } else if (at(i + 1) == u'3' && at(i + 2) == u'2') {
            i += 3;
        } else {
            spec.numberBits = sizeof(void*) * 8, ++i;
        }
    }
    switch (at(i)) {
    case u'c':
        spec.type = shortSize ? Type::Char : Type::WideChar;
        break;
    case u'C':
        spec.type = longSize ? Type::WideChar : Type::Char;
        break;
    case u'd':
    case u'i':
        spec.type = Type::Signed;
        break;
    case u's':
        spec.type = (shortSize && !wideSize) ? Type::AnsiString : Type::WideString;
        break;
    case u'S':
        spec.type = (longSize || wideSize) ? Type::WideString : Type::AnsiString;
        break;
    case u'u':
        spec.type = Type::Unsigned;
        break;
    case u'p':
        spec.width = 2 * sizeof(void*);
        spec.zeroPad = true;
        spec.numberBits = sizeof(void*) * 8;
        spec.upperHex = true;
        spec.type = Type::Hex;
        break;
    case u'X':
        spec.upperHex = true;
        spec.type = Type::Hex;
        break;
    case u'x':
        spec.type = Type::Hex;
        break;
    default:
        return i;  // not consumed: printed as text
    }
    return i + 1;
}

const FormatArg* Next(std::span<const FormatArg> args, std::size_t& index) {
    return index < args.size() ? &args[index++] : nullptr;
}

std::int64_t NumberOf(const FormatArg* arg) {
    return (arg != nullptr && arg->kind == FormatArg::Kind::Number) ? arg->number : 0;
}

void Pad(std::u16string& out, std::size_t width, std::size_t used) {
    if (width > used) out.append(width - used, u' ');
}

// The digits of a number, with a leading '-' for a negative signed one. Below
// 64 bits the value is cut to its low bits, as a varargs int would be.
std::u16string Digits(const Spec& spec, std::int64_t value) {
    const bool negative = spec.type == Type::Signed && (spec.numberBits == 64 ? value < 0 : std::int32_t(value) < 0);
    std::uint64_t magnitude = 0;
    if (spec.numberBits == 64) {
        magnitude = negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    } else {
        const auto low = static_cast<std::uint32_t>(value);
        magnitude = negative ? std::uint32_t(0u - low) : low;
    }
    const unsigned base = spec.type == Type::Hex ? 16 : 10;
    const char16_t* symbols = spec.upperHex ? u"0123456789ABCDEF" : u"0123456789abcdef";
    std::u16string reversed;
    do {
        reversed.push_back(symbols[magnitude % base]);
        magnitude /= base;
    } while (magnitude != 0);
    if (negative) reversed.push_back(u'-');
    return {reversed.rbegin(), reversed.rend()};
}

void RenderNumber(std::u16string& out, Spec spec, std::int64_t value) {
    const std::u16string digits = Digits(spec, value);
    if (spec.leftAlign) spec.zeroPad = false;
    // The precision is the number of digits shown (the sign counts as one);
    // zero padding widens it to the width, which therefore excludes any 0x.
    std::size_t shown = std::max(spec.precision, digits.size());
    if (spec.zeroPad && spec.width > shown) shown = spec.width;
    if (!spec.leftAlign) Pad(out, spec.width, shown);
    if (spec.type == Type::Hex && spec.hexPrefix) out += spec.upperHex ? u"0X" : u"0x";
    std::size_t start = 0;
    if (digits.front() == u'-') {
        out.push_back(u'-');
        start = 1;
    }
    out.append(shown - digits.size(), u'0');
    out.append(digits, start);
    if (spec.leftAlign) Pad(out, spec.width, shown);
}

template <typename Unit>
std::u16string Widened(const Unit* text, std::size_t precision) {
    std::u16string units;
    for (std::size_t i = 0; (precision == 0 || i < precision) && text[i] != 0; ++i) {
        if (units.size() == WSPRINTF_MAX_UNITS) break;
        // wsprintfW widens an ANSI string byte by byte.
        if constexpr (sizeof(Unit) == 1) {
            units.push_back(static_cast<char16_t>(static_cast<unsigned char>(text[i])));
        } else {
            units.push_back(text[i]);
        }
    }
    return units;
}

void RenderString(std::u16string& out, const Spec& spec, const std::u16string& text) {
    if (!spec.leftAlign) Pad(out, spec.width, text.size());
    out += text;
    if (spec.leftAlign) Pad(out, spec.width, text.size());
}

}  // namespace

std::u16string FormatWs(std::u16string_view format, std::span<const FormatArg> args) {
    std::u16string out;
    std::size_t next = 0;
    std::size_t i = 0;
    while (i < format.size() && format[i] != 0 && out.size() < WSPRINTF_MAX_UNITS) {
        if (format[i] != u'%') {
            out.push_back(format[i++]);
            continue;
        }
        ++i;
        if (i < format.size() && format[i] == u'%') {
            out.push_back(format[i++]);
            continue;
        }
        Spec spec;
        i += ParseSpec(format.substr(i), spec);
        switch (spec.type) {
        case Type::Unknown:
            // wsprintf pads before it looks at the type, so the width shows even here.
            if (!spec.leftAlign) Pad(out, spec.width, std::min(spec.precision, spec.width));
            break;
        case Type::WideChar:
        case Type::Char: {
            const auto value = NumberOf(Next(args, next));
            // A narrow character goes through a signed char, as wsprintfW's does.
            const char16_t unit = spec.type == Type::Char ? static_cast<char16_t>(static_cast<signed char>(value))
                                                          : static_cast<char16_t>(value);
            RenderString(out, spec, std::u16string(1, unit));
            break;
        }
        case Type::AnsiString:
        case Type::WideString: {
            const FormatArg* arg = Next(args, next);
            std::u16string text;
            if (spec.type == Type::AnsiString) {
                const char* ansi = (arg != nullptr && arg->kind == FormatArg::Kind::Ansi) ? arg->ansi : nullptr;
                text = Widened(ansi != nullptr ? ansi : "(null)", spec.precision);
            } else {
                const char16_t* wide = (arg != nullptr && arg->kind == FormatArg::Kind::Wide) ? arg->wide : nullptr;
                text = Widened(wide != nullptr ? wide : u"(null)", spec.precision);
            }
            RenderString(out, spec, text);
            break;
        }
        case Type::Signed:
        case Type::Unsigned:
        case Type::Hex:
            RenderNumber(out, spec, NumberOf(Next(args, next)));
            break;
        }
    }
    if (out.size() > WSPRINTF_MAX_UNITS) out.resize(WSPRINTF_MAX_UNITS);
    return out;
}

}  // namespace qn38
