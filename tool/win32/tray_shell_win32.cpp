#include "tool/win32/tool_backends.h"

#include <shellapi.h>

#include <cwchar>

namespace qn38::tool::win32 {
namespace {

// The record up to and including guidItem: what the tool has always passed,
// understood by every shell since Windows XP.
#if defined(_WIN64)
static_assert(NOTIFYICONDATAW_V3_SIZE == 968);
#endif

template <std::size_t N>
void CopyText(WCHAR (&field)[N], const std::u16string& text) {
    const std::size_t length = text.size() < N ? text.size() : N - 1;
    std::wmemcpy(field, reinterpret_cast<const wchar_t*>(text.data()), length);
    field[length] = L'\0';
}

DWORD Message(TrayAction action) {
    switch (action) {
    case TrayAction::Add:
        return NIM_ADD;
    case TrayAction::Modify:
        return NIM_MODIFY;
    case TrayAction::Delete:
        return NIM_DELETE;
    case TrayAction::SetVersion:
        return NIM_SETVERSION;
    }
    return NIM_MODIFY;
}

}  // namespace

bool Win32TrayShell::NotifyIcon(TrayAction action, const NotifyIconRecord& record) {
    NOTIFYICONDATAW data{};
    data.cbSize = NOTIFYICONDATAW_V3_SIZE;
    data.hWnd = main_.window.load();
    data.uID = record.uID;
    data.uFlags = record.uFlags;
    data.uCallbackMessage = record.uCallbackMessage;
    // LoadIconW hands out a shared icon that needs no release.
    if (record.iconId != 0) data.hIcon = ::LoadIconW(instance_, MAKEINTRESOURCEW(record.iconId));
    CopyText(data.szTip, record.szTip);
    CopyText(data.szInfo, record.szInfo);
    // One member of the record's union: the version for NIM_SETVERSION.
    if (action == TrayAction::SetVersion) {
        data.uVersion = record.uVersion;
    } else {
        data.uTimeout = record.uTimeout;
    }
    CopyText(data.szInfoTitle, record.szInfoTitle);
    data.dwInfoFlags = record.dwInfoFlags;
    return ::Shell_NotifyIconW(Message(action), &data) != FALSE;
}

}  // namespace qn38::tool::win32
