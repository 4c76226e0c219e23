// Test support for Windows programs that run against the emulated dump
// driver: put the slot bridge on a bus, insert and pull the card, read what
// the library did to the registers, and stop or start the driver itself.
// The driver must be registered first (sim/winepc/driver/dump-fixture
// install, or the CTest fixture qn38_dump_driver); it is left stopped, and a
// program starts it for as long as it needs it with ScopedDumpFixture.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <cstdint>
#include <optional>

#include "sim/winepc/driver/dump_fixture_protocol.h"

namespace qn38::wine {

inline constexpr const wchar_t* DUMP_FIXTURE_SERVICE = L"qn38dumpfixture";

namespace detail {

inline bool Control(DWORD code, const void* in, DWORD inBytes, void* out, DWORD outBytes) {
    HANDLE device = CreateFileW(L"\\\\.\\ZQDUMP", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) return false;
    DWORD returned = 0;
    const BOOL done = DeviceIoControl(device, code, const_cast<void*>(in), inBytes, out, outBytes, &returned, nullptr);
    CloseHandle(device);
    return done != FALSE;
}

// Sends a service control (or starts the service) and waits up to ten
// seconds for the wanted state.
inline bool DriveService(bool start) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return false;
    SC_HANDLE service =
        OpenServiceW(manager, DUMP_FIXTURE_SERVICE, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
    bool reached = false;
    if (service != nullptr) {
        SERVICE_STATUS status{};
        const DWORD wanted = start ? SERVICE_RUNNING : SERVICE_STOPPED;
        if (start) {
            StartServiceW(service, 0, nullptr);
        } else {
            ControlService(service, SERVICE_CONTROL_STOP, &status);
        }
        for (int attempt = 0; attempt < 100 && !reached; ++attempt) {
            reached = QueryServiceStatus(service, &status) && status.dwCurrentState == wanted;
            if (!reached) Sleep(100);
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return reached;
}

}  // namespace detail

inline std::optional<DumpFixtureState> DumpFixtureStateNow() {
    DumpFixtureState state{};
    if (!detail::Control(DUMP_FIXTURE_GET_STATE, nullptr, 0, &state, sizeof state)) return std::nullopt;
    return state;
}

// The bridge on `bus` with an empty slot and its link up; the counters start again.
inline bool SetDumpFixtureSlot(std::uint32_t bus, std::uint32_t subsystem = DUMP_FIXTURE_SUBSYSTEM,
                               bool present = false, std::uint32_t link = DUMP_FIXTURE_LINK_STATUS) {
    const DumpFixtureSlot slot{bus, subsystem, present ? 1u : 0u, link};
    return detail::Control(DUMP_FIXTURE_SET_SLOT, &slot, sizeof slot, nullptr, 0);
}

// Presence Detect State on or off; the rest of the model and the counters stay.
inline bool SetDumpFixtureCard(bool present) {
    const std::uint32_t value = present ? 1 : 0;
    return detail::Control(DUMP_FIXTURE_SET_CARD, &value, sizeof value, nullptr, 0);
}

inline bool StartDumpFixture() { return detail::DriveService(true); }
inline bool StopDumpFixture() { return detail::DriveService(false); }

// Runs the driver from construction to destruction, so that the tests after
// this program find no dump device again.
class ScopedDumpFixture {
public:
    ScopedDumpFixture() : running_(StartDumpFixture()) {}
    ~ScopedDumpFixture() { StopDumpFixture(); }
    ScopedDumpFixture(const ScopedDumpFixture&) = delete;
    ScopedDumpFixture& operator=(const ScopedDumpFixture&) = delete;

    bool running() const { return running_; }

private:
    bool running_;
};

}  // namespace qn38::wine
