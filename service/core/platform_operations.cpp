#include "service/core/platform_operations.h"

#include "lib/core/diagnostic_log.h"
#include "lib/core/filter.h"
#include "lib/core/memory_window.h"
#include "lib/core/slot_control.h"
#include "lib/core/slot_status.h"

namespace qn38::service {
namespace {

// As the exports do: a failure inside the core is a result of 0, never an
// exception on the service's request thread.
template <typename Call>
int Guarded(Call&& call) noexcept {
    try {
        return call();
    } catch (...) {
        return 0;
    }
}

}  // namespace

int PlatformOperations::AddFilter() {
    return Guarded([&] { return qn38::AddFilter(platform_); });
}

int PlatformOperations::SetStatus(std::uint32_t bus, std::uint32_t stateChange, std::uint32_t linkEnable,
                                  std::uint32_t checkDisks) {
    lastVeto_.reset();
    return Guarded([&] {
        RemovalVeto veto;
        const int result = qn38::SetStatus(platform_, bus, stateChange, linkEnable, checkDisks, &veto);
        if (result == 0 && (veto.type != PNP_VETO_TYPE_UNKNOWN || !veto.name.empty())) {
            lastVeto_ = StopVeto{veto.type, VetoHolder(platform_.devices, veto), veto.name};
        }
        return result;
    });
}

int PlatformOperations::SetSize(std::uint32_t defLen, std::uint32_t startAdrs, std::uint32_t endAdrs) {
    return Guarded([&] { return qn38::SetSize(platform_, defLen, startAdrs, endAdrs); });
}

std::optional<bool> PlatformOperations::CardPresent(std::uint8_t bus) {
    std::uint32_t present = 0;
    if (Guarded([&] { return qn38::GetStatus(platform_, bus, &present); }) == 0) return std::nullopt;
    return present != 0;
}

int PlatformOperations::WriteLog(const char* title) {
    return Guarded([&] { return qn38::WriteLog(platform_, title); });
}

}  // namespace qn38::service
