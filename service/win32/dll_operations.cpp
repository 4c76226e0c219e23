#include "dll_operations.h"

#include "QN38HotPlug.h"

namespace qn38::service::win32 {

int DllOperations::AddFilter() { return ZQ_AddFilter(); }

int DllOperations::SetStatus(std::uint32_t bus, std::uint32_t stateChange, std::uint32_t linkEnable,
                             std::uint32_t checkDisks) {
    return ZQ_SetStatus(bus, stateChange, linkEnable, checkDisks);
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
