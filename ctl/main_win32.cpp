// qn38ctl.exe: the command line for scripts. Its core gets the tool's
// backends (queries, service client, shared slot lock) and its own.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ctl/core/qn38ctl.h"
#include "ctl/win32/ctl_backends.h"
#include "lib/win32/platform_win32.h"
#include "tool/win32/service_transport_win32.h"
#include "tool/win32/tool_backends.h"

int wmain(int argc, wchar_t** argv) {
    using namespace qn38;
    // An empty card reader asked for its size by the start must fail the
    // call, not raise a "no disk" box nobody at a script can answer.
    ::SetErrorMode(SEM_FAILCRITICALERRORS);

    // The arguments are ASCII words and numbers; anything else cannot match one.
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        std::string argument;
        for (const wchar_t* unit = argv[i]; *unit != 0; ++unit) argument.push_back(*unit < 0x80 ? char(*unit) : '?');
        arguments.push_back(std::move(argument));
    }

    tool::win32::Win32SlotQueries slots;
    tool::ServiceClient service(tool::win32::ServiceTransportBackend(), tool::win32::RetryPauseBackend(),
                                qn38::win32::TextBackend());
    tool::win32::Win32SharedSlotLock slotLock;
    tool::win32::Win32SystemInfo system;
    ctl::win32::EnglishStringTable strings;
    ctl::win32::Win32InstalledService installed;
    ctl::win32::Win32FileReader files;
    ctl::win32::Win32SlotRegisters registers;
    const ctl::CtlPorts ports{{slots, service, slotLock, system, qn38::win32::DeviceIoBackend()},
                              strings,
                              qn38::win32::RegistryBackend(),
                              registers,
                              installed,
                              files};
    const ctl::CtlResult result = ctl::RunCtl(arguments, ports);
    std::fwrite(result.out.data(), 1, result.out.size(), stdout);
    std::fwrite(result.err.data(), 1, result.err.size(), stderr);
    if (std::fflush(stdout) != 0) return ctl::EXIT_USAGE;
    return result.exitCode;
}
