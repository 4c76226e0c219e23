#include <windows.h>

#include "handles.h"
#include "platform_win32.h"

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
};

}  // namespace

Text& TextBackend() {
    static Win32Text text;
    return text;
}

}  // namespace qn38::win32
