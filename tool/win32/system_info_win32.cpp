#include <cwchar>
#include <vector>

#include "tool/win32/tool_backends.h"

namespace qn38::tool::win32 {

OsVersion Win32SystemInfo::GetVersion() {
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    static_assert(sizeof(OSVERSIONINFOW) == 276);
    // RtlGetVersion answers whatever the manifest declares; GetVersionExW
    // serves the systems whose ntdll lacks it.
    using RtlGetVersionCall = LONG(WINAPI*)(OSVERSIONINFOW*);
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll");
    const auto rtlGetVersion =
        ntdll == nullptr
            ? nullptr
            : reinterpret_cast<RtlGetVersionCall>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetVersion")));
    const bool known = rtlGetVersion != nullptr ? rtlGetVersion(&info) == 0 : ::GetVersionExW(&info) != FALSE;
    if (!known) return {};
    const auto* servicePack = reinterpret_cast<const char16_t*>(info.szCSDVersion);
    return {info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber,
            std::u16string(servicePack, ::wcsnlen(info.szCSDVersion, 128))};
}

std::optional<std::uint16_t> Win32SystemInfo::NativeProcessorArchitecture() {
    // Looked up rather than linked: Windows 2000 has no GetNativeSystemInfo.
    using NativeSystemInfo = void(WINAPI*)(LPSYSTEM_INFO);
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32");
    if (kernel == nullptr) return std::nullopt;
    const auto call =
        reinterpret_cast<NativeSystemInfo>(reinterpret_cast<void*>(::GetProcAddress(kernel, "GetNativeSystemInfo")));
    if (call == nullptr) return std::nullopt;
    SYSTEM_INFO info{};
    call(&info);
    return info.wProcessorArchitecture;
}

std::optional<std::u16string> Win32SystemInfo::FileVersion() {
    wchar_t path[MAX_PATH] = {};
    if (::GetModuleFileNameW(nullptr, path, MAX_PATH) == 0) return std::nullopt;
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) return std::nullopt;
    std::vector<std::uint8_t> block(size);
    if (!::GetFileVersionInfoW(path, 0, size, block.data())) return std::nullopt;
    wchar_t* value = nullptr;
    UINT length = 0;
    if (::VerQueryValueW(block.data(), L"\\StringFileInfo\\000004b0\\FileVersion", reinterpret_cast<void**>(&value),
                         &length) != TRUE ||
        value == nullptr) {
        return std::nullopt;
    }
    return std::u16string(reinterpret_cast<const char16_t*>(value), ::wcsnlen(value, length));
}

bool Win32SystemInfo::IsSystemResumeAutomatic() { return ::IsSystemResumeAutomatic() != FALSE; }

void Win32SystemInfo::Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

void Win32SystemInfo::EnableShutdownPrivilege() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (::LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &privileges.Privileges[0].Luid)) {
        ::AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    }
    ::CloseHandle(token);
}

void Win32SystemInfo::ExitWindowsReboot() { ::ExitWindowsEx(EWX_REBOOT, 0); }

// TerminateProcess rather than ExitProcess: a thread stuck inside a library
// call may hold a lock that DLL detach code would wait for.
void Win32SystemInfo::EndProcess() { ::TerminateProcess(::GetCurrentProcess(), 0); }

}  // namespace qn38::tool::win32
