#include "lib/logreader/code_page.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <iconv.h>

#include <cerrno>
#endif

#include <vector>

namespace qn38::logreader {
namespace {

#if defined(_WIN32)

class Win32CodePage final : public CodePageDecoder {
public:
    explicit Win32CodePage(UINT codePage) : codePage_(codePage) {}

    std::string Decode(std::string_view bytes) override {
        // Walk the characters from the start: only then is a lead byte told
        // apart from a second byte of the same value.
        std::size_t whole = 0;
        bool cut = false;
        while (whole < bytes.size()) {
            const auto byte = static_cast<BYTE>(bytes[whole]);
            if (!IsDBCSLeadByteEx(codePage_, byte)) {
                ++whole;
            } else if (whole + 1 < bytes.size()) {
                whole += 2;
            } else {
                cut = true;
                break;
            }
        }
        std::string text = Utf8(bytes.substr(0, whole));
        if (cut) text += REPLACEMENT_CHARACTER;
        return text;
    }

private:
    std::string Utf8(std::string_view bytes) const {
        if (bytes.empty()) return {};
        const int units = MultiByteToWideChar(codePage_, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
        if (units <= 0) return std::string(REPLACEMENT_CHARACTER);
        std::wstring wide(static_cast<std::size_t>(units), L'\0');
        MultiByteToWideChar(codePage_, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(), units);
        const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
        std::string text(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
        if (size > 0) WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, text.data(), size, nullptr, nullptr);
        return text;
    }

    UINT codePage_;
};

#else

class IconvCodePage final : public CodePageDecoder {
public:
    explicit IconvCodePage(iconv_t converter) : converter_(converter) {}
    ~IconvCodePage() override { iconv_close(converter_); }
    IconvCodePage(const IconvCodePage&) = delete;
    IconvCodePage& operator=(const IconvCodePage&) = delete;

    std::string Decode(std::string_view bytes) override {
        iconv(converter_, nullptr, nullptr, nullptr, nullptr);  // a fresh state for every slot
        std::string text;
        std::vector<char> out(bytes.size() * 4 + 16);
        char* in = const_cast<char*>(bytes.data());
        std::size_t inLeft = bytes.size();
        while (inLeft > 0) {
            char* next = out.data();
            std::size_t outLeft = out.size();
            const std::size_t converted = iconv(converter_, &in, &inLeft, &next, &outLeft);
            text.append(out.data(), static_cast<std::size_t>(next - out.data()));
            if (converted != static_cast<std::size_t>(-1)) break;
            if (errno == E2BIG) continue;
            text += REPLACEMENT_CHARACTER;
            // EINVAL: the bytes end inside a character, the slot's end cut it.
            if (errno == EINVAL) break;
            ++in;  // EILSEQ: no character of the code page starts here
            --inLeft;
        }
        return text;
    }

private:
    iconv_t converter_;
};

#endif

}  // namespace

std::unique_ptr<CodePageDecoder> OpenCodePage(std::uint32_t codePage) {
#if defined(_WIN32)
    if (codePage > 0xFFFF || !IsValidCodePage(codePage)) return nullptr;
    return std::make_unique<Win32CodePage>(codePage);
#else
    // The Windows code pages by the names iconv gives them.
    const std::string name = codePage == 65001 ? std::string("UTF-8") : "CP" + std::to_string(codePage);
    const iconv_t converter = iconv_open("UTF-8", name.c_str());
    if (converter == reinterpret_cast<iconv_t>(-1)) return nullptr;
    return std::make_unique<IconvCodePage>(converter);
#endif
}

std::optional<std::uint32_t> DefaultCodePage() {
#if defined(_WIN32)
    return GetACP();
#else
    return std::nullopt;
#endif
}

}  // namespace qn38::logreader
