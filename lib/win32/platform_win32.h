// The real platform: every port backed by Win32 calls.
#pragma once

#include <string>

#include "lib/core/ports/platform.h"

namespace qn38::win32 {

Platform& Win32Platform();

// One backend per port, each in its own file.
DeviceIo& DeviceIoBackend();
Registry& RegistryBackend();
Files& FilesBackend();
Clock& ClockBackend();
Text& TextBackend();

inline const wchar_t* Wide(std::u16string_view text, std::wstring& storage) {
    storage.assign(text.begin(), text.end());
    return storage.c_str();
}

}  // namespace qn38::win32
