// What the tool asks of the system beyond devices: the Windows version, the
// processor, its own version resource, the power state, sleeping, restarting.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace qn38::tool {

struct OsVersion {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint32_t build = 0;
    std::u16string servicePack;  // szCSDVersion, may be empty
};

inline constexpr std::uint16_t CPU_ARCHITECTURE_X86 = 0;
inline constexpr std::uint16_t CPU_ARCHITECTURE_IA64 = 6;
inline constexpr std::uint16_t CPU_ARCHITECTURE_X64 = 9;

class SystemInfo {
public:
    virtual ~SystemInfo() = default;
    // The version Windows really has (RtlGetVersion): GetVersionExW reports
    // 6.2 build 9200 from Windows 8.1 on to a program that declares no
    // newer system in its manifest.
    virtual OsVersion GetVersion() = 0;
    // wProcessorArchitecture of GetNativeSystemInfo; nothing when kernel32 lacks it.
    virtual std::optional<std::uint16_t> NativeProcessorArchitecture() = 0;
    // "\StringFileInfo\000004b0\FileVersion" of the running program's version
    // resource; nothing when any step of reading it fails.
    virtual std::optional<std::u16string> FileVersion() = 0;
    virtual bool IsSystemResumeAutomatic() = 0;
    virtual void Sleep(std::uint32_t milliseconds) = 0;
    // SeShutdownPrivilege enabled on the process token; results unexamined.
    virtual void EnableShutdownPrivilege() = 0;
    // ExitWindowsEx(EWX_REBOOT, 0); results unexamined.
    virtual void ExitWindowsReboot() = 0;
    // Ends the tool's process at once, whatever its other threads are doing.
    virtual void EndProcess() = 0;
};

}  // namespace qn38::tool
