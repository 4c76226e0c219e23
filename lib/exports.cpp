// The DLL's exported functions: each hands the real platform to the core
// and makes sure no exception escapes to a caller written in any language.
#include "QN38HotPlug.h"

#include "core/device_lookup.h"
#include "core/diagnostic_log.h"
#include "core/filter.h"
#include "core/memory_window.h"
#include "core/pci_config.h"
#include "core/slot_control.h"
#include "core/slot_status.h"
#include "win32/platform_win32.h"
#include "win32/property_win32.h"

namespace {

template <typename Call>
int Guarded(Call&& call) noexcept {
    try {
        return call(qn38::win32::Win32Platform());
    } catch (...) {
        return 0;
    }
}

const char16_t* U16(const wchar_t* text) { return reinterpret_cast<const char16_t*>(text); }
char16_t* U16(wchar_t* text) { return reinterpret_cast<char16_t*>(text); }

}  // namespace

extern "C" {

int ZQ_GetStatus(std::uint32_t bus, std::uint32_t* present) {
    return Guarded([&](qn38::Platform& platform) { return qn38::GetStatus(platform, bus, present); });
}

int ZQ_GetCardInfo(std::uint32_t bus, wchar_t* description, std::uint32_t descriptionBytes, std::uint32_t* status,
                   std::uint32_t* problem) {
    return Guarded([&](qn38::Platform& platform) {
        return qn38::GetCardInfo(platform, bus, U16(description), descriptionBytes, status, problem);
    });
}

int ZQ_DoesExistNoFilterRootPort() {
    return Guarded([](qn38::Platform& platform) { return qn38::DoesExistNoFilterRootPort(platform); });
}

int ZQ_SetStatus(std::uint32_t bus, std::uint32_t stateChange, std::uint32_t linkEnable, std::uint32_t checkDisks) {
    return Guarded(
        [&](qn38::Platform& platform) { return qn38::SetStatus(platform, bus, stateChange, linkEnable, checkDisks); });
}

int ZQ_ReadPCI(std::uint32_t bus, std::uint32_t offset, std::uint32_t* value) {
    return Guarded([&](qn38::Platform& platform) { return qn38::ReadPci(platform.io, bus, offset, value); });
}

int ZQ_WritePCI(std::uint32_t bus, std::uint32_t offset, std::uint32_t value) {
    return Guarded([&](qn38::Platform& platform) { return qn38::WritePci(platform.io, bus, offset, value); });
}

int ZQ_AddFilter() {
    return Guarded([](qn38::Platform& platform) { return qn38::AddFilter(platform); });
}

int ZQ_DelFilter() {
    return Guarded([](qn38::Platform& platform) { return qn38::DelFilter(platform); });
}

int ZQ_SetSize(std::uint32_t defLen, std::uint32_t startAdrs, std::uint32_t endAdrs) {
    return Guarded([&](qn38::Platform& platform) { return qn38::SetSize(platform, defLen, startAdrs, endAdrs); });
}

int ZQ_WriteLog(const char* title) {
    return Guarded([&](qn38::Platform& platform) { return qn38::WriteLog(platform, title); });
}

int GetDeviceRegistryProperty(HDEVINFO set, SP_DEVINFO_DATA* device, std::uint32_t property, const void* match,
                              void* buffer, std::uint32_t bufferBytes) {
    return Guarded([&](qn38::Platform&) {
        if (set == INVALID_HANDLE_VALUE || set == nullptr || device == nullptr) {
            return qn38::FillPropertyBuffer({}, match, buffer, bufferBytes);
        }
        return qn38::FillPropertyBuffer(qn38::win32::ReadSetupProperty(set, *device, property), match, buffer,
                                        bufferBytes);
    });
}

int GetDevNodeRegistryProperty(DEVINST devnode, std::uint32_t property, const void* match, void* buffer,
                               std::uint32_t bufferBytes) {
    return Guarded([&](qn38::Platform& platform) {
        return qn38::GetDevNodeRegistryProperty(platform.devices, devnode, property, match, buffer, bufferBytes);
    });
}

}  // extern "C"

int WriteLogFile(const wchar_t* text) {
    return Guarded([&](qn38::Platform& platform) { return qn38::WriteLogFile(platform, U16(text)); });
}
