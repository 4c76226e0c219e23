// The service's operations: the library's four exports that change the
// system, and its look at a slot's presence bit.
#pragma once

#include "service/core/ports/operations.h"
#include "service/core/ports/slot_presence.h"

namespace qn38::service::win32 {

class DllOperations final : public ServiceOperations, public SlotPresence {
public:
    int AddFilter() override;
    int SetStatus(std::uint32_t bus, std::uint32_t stateChange, std::uint32_t linkEnable,
                  std::uint32_t checkDisks) override;
    int SetSize(std::uint32_t defLen, std::uint32_t startAdrs, std::uint32_t endAdrs) override;
    int WriteLog(const char* title) override;
    std::uint32_t LastError() override;
    std::optional<bool> CardPresent(std::uint8_t bus) override;
    std::optional<StopVeto> LastVeto() override { return lastVeto_; }

private:
    std::optional<StopVeto> lastVeto_;
};

}  // namespace qn38::service::win32
