#include "tool/res/resource.h"
#include "tool/win32/tool_backends.h"

namespace qn38::tool::win32 {

int Win32MessageBoxes::Show(std::uint32_t stringId, std::uint32_t style) {
    const std::u16string text = strings_.Load(stringId);
    const std::u16string caption = strings_.Load(IDS_APP_TITLE);
    return ::MessageBoxW(main_.window.load(), WideText(text), WideText(caption), style);
}

}  // namespace qn38::tool::win32
