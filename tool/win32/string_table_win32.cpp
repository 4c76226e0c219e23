#include "tool/win32/tool_backends.h"

namespace qn38::tool::win32 {

std::u16string Win32StringTable::Load(std::uint32_t id) {
    // With a zero buffer size LoadStringW hands out the resource's own text,
    // which is not terminated, so no length limit applies.
    const wchar_t* text = nullptr;
    const int length = ::LoadStringW(instance_, id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || text == nullptr) return {};
    return std::u16string(reinterpret_cast<const char16_t*>(text), static_cast<std::size_t>(length));
}

}  // namespace qn38::tool::win32
