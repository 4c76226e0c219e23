#include "service/win32/dll_operations.h"

#include "lib/include/QN38HotPlug.h"

namespace qn38::service::win32 {

int DllOperations::AddFilter() { return ZQ_AddFilter(); }

int DllOperations::SetStatus(std::uint32_t bus, std::uint32_t stateChange, std::uint32_t linkEnable,
                             std::uint32_t checkDisks) {
    lastVeto_.reset();
    std::uint32_t vetoType = 0;
    wchar_t name[MAX_PATH] = {};
    wchar_t holder[MAX_PATH] = {};
    const int result = ZQ_SetStatusWithVeto(bus, stateChange, linkEnable, checkDisks, &vetoType, name, sizeof name,
                                            holder, sizeof holder);
    if (result == 0 && (vetoType != 0 || name[0] != 0)) {
        lastVeto_ =
            StopVeto{vetoType, reinterpret_cast<const char16_t*>(holder), reinterpret_cast<const char16_t*>(name)};
    }
    return result;
}

int DllOperations::SetSize(std::uint32_t defLen, std::uint32_t startAdrs, std::uint32_t endAdrs) {
    return ZQ_SetSize(defLen, startAdrs, endAdrs);
}

int DllOperations::WriteLog(const char* title) { return ZQ_WriteLog(title); }

std::uint32_t DllOperations::LastError() { return GetLastError(); }

std::optional<bool> DllOperations::CardPresent(std::uint8_t bus) {
    std::uint32_t present = 0;
    if (ZQ_GetStatus(bus, &present) == 0) return std::nullopt;
    return present != 0;
}

}  // namespace qn38::service::win32
