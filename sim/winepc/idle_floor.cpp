// qn38-idle-floor: the floors of the polling design's cost, run by idle-cost
// beside the installed product's idle tool.
//   qn38-idle-floor reads BUS READS MS SECONDS
//       every MS milliseconds, READS reads of the slot's presence register
//       through the real DLL's ZQ_ReadPCI (an open, one control request and a
//       close of the dump device each, as every query of the library makes
//       them): what a poller of the presence bit alone costs
//   qn38-idle-floor status BUS MS SECONDS
//       every MS milliseconds, ZQ_GetStatus alone through the real DLL: what a
//       pass costs that finds nothing changed and so asks nothing else
//   qn38-idle-floor pass BUS MS SECONDS
//       every MS milliseconds, ZQ_GetStatus and ZQ_GetCardInfo(BUS, NULL, 0,
//       NULL, NULL) through the real DLL: the least a pass that watches the
//       presence bit and the card's device can do, with no service request
// for SECONDS seconds.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string_view>

#include "lib/include/QN38HotPlug.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: qn38-idle-floor reads BUS READS MS SECONDS | status BUS MS SECONDS | pass BUS MS SECONDS\n");
    return 2;
}

unsigned long Number(const wchar_t* text) { return std::wcstoul(text, nullptr, 0); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring_view mode = argc > 1 ? argv[1] : L"";
    const bool reads = mode == L"reads";
    const bool statusOnly = mode == L"status";
    if (!(reads && argc == 6) && !((statusOnly || mode == L"pass") && argc == 5)) return Usage();
    const std::uint32_t bus = static_cast<std::uint32_t>(Number(argv[2]));
    const unsigned readsPerPass = reads ? static_cast<unsigned>(Number(argv[3])) : 0;
    const DWORD interval = static_cast<DWORD>(Number(argv[reads ? 4 : 3]));
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(Number(argv[reads ? 5 : 4])) * 1000;
    unsigned failed = 0;
    unsigned passes = 0;
    while (GetTickCount64() < end) {
        if (reads) {
            for (unsigned read = 0; read < readsPerPass; ++read) {
                std::uint32_t value = 0;
                if (ZQ_ReadPCI(bus, 0x58, &value) == 0) ++failed;
            }
        } else {
            std::uint32_t present = 0;
            if (ZQ_GetStatus(bus, &present) == 0) ++failed;
            if (!statusOnly) ZQ_GetCardInfo(bus, nullptr, 0, nullptr, nullptr);
        }
        ++passes;
        Sleep(interval);
    }
    std::printf("passes: %u, failed queries: %u\n", passes, failed);
    return 0;
}
