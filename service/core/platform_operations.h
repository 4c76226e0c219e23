// The service's operations performed by the library's core on a platform of
// the caller's choosing (the simulated PC natively).
#pragma once

#include "lib/core/ports/platform.h"
#include "service/core/ports/operations.h"
#include "service/core/ports/slot_presence.h"

namespace qn38::service {

class PlatformOperations final : public ServiceOperations, public SlotPresence {
public:
    explicit PlatformOperations(Platform& platform) : platform_(platform) {}

    int AddFilter() override;
    int SetStatus(std::uint32_t bus, std::uint32_t stateChange, std::uint32_t linkEnable,
                  std::uint32_t checkDisks) override;
    int SetSize(std::uint32_t defLen, std::uint32_t startAdrs, std::uint32_t endAdrs) override;
    int WriteLog(const char* title) override;
    // The core sets no error code of its own.
    std::uint32_t LastError() override { return 0; }
    std::optional<bool> CardPresent(std::uint8_t bus) override;
    std::optional<StopVeto> LastVeto() override { return lastVeto_; }

private:
    Platform& platform_;
    std::optional<StopVeto> lastVeto_;
};

}  // namespace qn38::service
