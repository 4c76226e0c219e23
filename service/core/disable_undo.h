// The device cycle of a slot start is two requests: the class-installer
// disable of the slot's devices, then their enable. A disable whose enable
// never comes (a tool that ended between the two, another client holding the
// pipe past the tool's attempts, a local user sending the disable alone)
// would leave the slot disabled in the hardware profile, across reboots.
// The service enables such a slot again itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "ports/operations.h"

namespace qn38::service {

// The tool sends the enable as soon as the disable's reply is in; it reaches
// the service within the tool's second of connection attempts unless another
// client holds the pipe, and each exchange is bounded (ExchangeLimits: 2 s to
// read, 2 s to write, 2 s for the reply to be taken) besides its operation,
// of which a stop's volume locks take the longest (1.5 s of retries per
// volume in use). Ten seconds cover one such exchange and the tool's attempts.
// An enable that comes later still finds a slot that works: enabling an
// enabled device changes nothing.
inline constexpr std::chrono::milliseconds DISABLE_UNDO_BOUND{10000};

// Time that only moves forward (GetTickCount64, std::chrono::steady_clock).
class MonotonicClock {
public:
    virtual ~MonotonicClock() = default;
    virtual std::chrono::milliseconds Elapsed() = 0;
};

class SteadyClock final : public MonotonicClock {
public:
    std::chrono::milliseconds Elapsed() override;
};

// The service's operations as the request loop performs them: each passed
// on, with the disables whose enable is outstanding remembered per bus.
class DisableUndo final : public ServiceOperations {
public:
    DisableUndo(ServiceOperations& operations, MonotonicClock& clock,
                std::chrono::milliseconds bound = DISABLE_UNDO_BOUND);

    int AddFilter() override { return operations_.AddFilter(); }
    int SetStatus(std::uint32_t bus, std::uint32_t stateChange, std::uint32_t linkEnable,
                  std::uint32_t checkDisks) override;
    int SetSize(std::uint32_t defLen, std::uint32_t startAdrs, std::uint32_t endAdrs) override {
        return operations_.SetSize(defLen, startAdrs, endAdrs);
    }
    int WriteLog(const char* title) override { return operations_.WriteLog(title); }
    std::uint32_t LastError() override { return operations_.LastError(); }
    std::optional<StopVeto> LastVeto() override { return operations_.LastVeto(); }

    // How long the loop may wait for a client before an undo is due; nothing
    // while no disable is outstanding.
    std::optional<std::chrono::milliseconds> TimeToNextUndo();
    // Enables the slots whose bound has passed; all of them when the service stops.
    void UndoOverdue();
    void UndoAll();

private:
    struct Outstanding {
        std::uint8_t bus;
        std::uint8_t linkEnable;  // the link as the disable left it, so the undo leaves it so too
        std::chrono::milliseconds due;
    };
    void Undo(bool all);

    ServiceOperations& operations_;
    MonotonicClock& clock_;
    const std::chrono::milliseconds bound_;
    // The instances' threads perform one operation at a time, but ask when
    // the next undo is due while another instance performs one.
    std::mutex mutex_;
    std::vector<Outstanding> outstanding_;
};

}  // namespace qn38::service
