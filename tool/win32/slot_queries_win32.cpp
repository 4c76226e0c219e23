#include "lib/include/QN38HotPlug.h"
#include "tool/win32/tool_backends.h"

namespace qn38::tool::win32 {

int Win32SlotQueries::GetStatus(std::uint32_t bus, std::uint32_t* present) { return ZQ_GetStatus(bus, present); }

int Win32SlotQueries::GetCardInfo(std::uint32_t bus, char16_t* description, std::uint32_t descriptionBytes,
                                  std::uint32_t* status, std::uint32_t* problem) {
    return ZQ_GetCardInfo(bus, reinterpret_cast<wchar_t*>(description), descriptionBytes, status, problem);
}

int Win32SlotQueries::DoesExistNoFilterRootPort() { return ZQ_DoesExistNoFilterRootPort(); }

}  // namespace qn38::tool::win32
