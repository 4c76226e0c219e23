// The library's shared constants as the core uses them: UTF-16 text is
// char16_t here, wchar_t in the export header on Windows (the same 16 bits).
#pragma once

#include "lib/include/QN38HotPlug.h"

namespace qn38 {

inline const char16_t* U16(const ZQ_CHAR* text) {
    static_assert(sizeof(ZQ_CHAR) == sizeof(char16_t));
    return reinterpret_cast<const char16_t*>(text);
}

}  // namespace qn38
