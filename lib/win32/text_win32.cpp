#include <windows.h>

#include <algorithm>
#include <cstdint>

#include "lib/win32/handles.h"
#include "lib/win32/platform_win32.h"

namespace qn38::win32 {
namespace {

class Win32Text final : public Text {
public:
    std::string ToAnsi(std::u16string_view text) override {
        if (text.empty()) return {};
        std::wstring wide(text.begin(), text.end());
        const int bytes =
            WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
        if (bytes <= 0) return {};
        std::string out(static_cast<std::size_t>(bytes), '\0');
        WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), out.data(), bytes, nullptr, nullptr);
        return out;
    }

    std::u16string FromAnsi(std::string_view text) override {
        if (text.empty()) return {};
        const int units = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
        if (units <= 0) return {};
        std::wstring wide(static_cast<std::size_t>(units), L'\0');
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), units);
        return std::u16string(wide.begin(), wide.end());
    }

    std::u16string Format(std::u16string_view format, std::span<const FormatArg> args) override {
        // Every argument travels in one machine word: wsprintfW takes an int
        // from the low half of a 64-bit slot, and a pointer from all of it.
        constexpr std::size_t kMaxArguments = 12;
        if (args.size() > kMaxArguments) return {};
        std::uintptr_t words[kMaxArguments] = {};
        for (std::size_t i = 0; i < args.size(); ++i) words[i] = Word(args[i]);
        const std::wstring spec(format.begin(), format.end());
        wchar_t buffer[WSPRINTF_MAX_UNITS + 2] = {};
        const int length = wsprintfW(buffer, spec.c_str(), words[0], words[1], words[2], words[3], words[4], words[5],
                                     words[6], words[7], words[8], words[9], words[10], words[11]);
        const auto units = static_cast<std::size_t>(std::clamp(length, 0, int(WSPRINTF_MAX_UNITS)));
        return std::u16string(buffer, buffer + units);
    }

private:
    static std::uintptr_t Word(const FormatArg& arg) {
        switch (arg.kind) {
        case FormatArg::Kind::Number:
            return static_cast<std::uintptr_t>(arg.number);
        case FormatArg::Kind::Wide:
            return reinterpret_cast<std::uintptr_t>(arg.wide);
        case FormatArg::Kind::Ansi:
            return reinterpret_cast<std::uintptr_t>(arg.ansi);
        }
        return 0;
    }
};

}  // namespace

Text& TextBackend() {
    static Win32Text text;
    return text;
}

}  // namespace qn38::win32
