// The DLL's exported functions: each hands the real platform to the core
// and makes sure no exception escapes to a caller written in any language.
#include "lib/include/QN38HotPlug.h"

#include <algorithm>

#include "lib/core/device_lookup.h"
#include "lib/core/diagnostic_log.h"
#include "lib/core/filter.h"
#include "lib/core/memory_window.h"
#include "lib/core/pci_config.h"
#include "lib/core/slot_control.h"
#include "lib/core/slot_status.h"
#include "lib/win32/platform_win32.h"
#include "lib/win32/property_win32.h"

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

int ZQ_SetStatusWithVeto(std::uint32_t bus, std::uint32_t stateChange, std::uint32_t linkEnable,
                         std::uint32_t checkDisks, std::uint32_t* vetoType, wchar_t* vetoName,
                         std::uint32_t vetoNameBytes, wchar_t* holder, std::uint32_t holderBytes) {
    if (vetoType != nullptr) *vetoType = 0;
    const auto fill = [](const std::u16string& text, wchar_t* buffer, std::uint32_t bytes) {
        if (buffer == nullptr || bytes < sizeof(wchar_t)) return;
        const std::size_t units = std::min<std::size_t>(text.size(), bytes / sizeof(wchar_t) - 1);
        std::copy_n(text.begin(), units, U16(buffer));
        buffer[units] = 0;
    };
    fill({}, vetoName, vetoNameBytes);
    fill({}, holder, holderBytes);
    return Guarded([&](qn38::Platform& platform) {
        qn38::RemovalVeto veto;
        const int result = qn38::SetStatus(platform, bus, stateChange, linkEnable, checkDisks, &veto);
        if (result == 0) {
            if (vetoType != nullptr) *vetoType = veto.type;
            fill(veto.name, vetoName, vetoNameBytes);
            fill(qn38::VetoHolder(platform.devices, veto), holder, holderBytes);
        }
        return result;
    });
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
