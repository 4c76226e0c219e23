// The work on one slot that every front end of the product does the same
// way: the tray tool's flows and the command line's stop and start. Each
// change holds the slot lock across the reads it is decided on and the
// requests it sends, so that no poller, and no tool of another logged-on
// user, acts on the slot in between.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "core/ports/device_io.h"
#include "ports/shared_slot_lock.h"
#include "ports/slot_queries.h"
#include "ports/system_info.h"
#include "service_client.h"

namespace qn38::tool {

// How long a flow or a pass waits for the lock the tools of all sessions
// share before it goes on without it. Longer than any flow of another tool
// that does not meet a hung service (a start: four requests of seconds each
// and two waits for the card's device), so that only a holder that is not a
// tool at all, or a tool stuck on a hung service, makes it go on alone.
inline constexpr std::chrono::milliseconds SLOT_LOCK_WAIT{120000};

// What the slot work reaches outside itself.
struct SlotWorkPorts {
    SlotQueries& slots;
    ServiceClient& service;
    SharedSlotLock& slotLock;
    SystemInfo& system;
    DeviceIo& drives;
};

// How a stop or a start ended, with the card's description as
// ZQ_GetCardInfo gave it (empty when it has none or no device).
struct SlotOutcome {
    bool succeeded = false;
    std::u16string description;
    // A refused stop: who holds the card, where Windows named someone.
    std::optional<StopVeto> veto;
    std::u16string_view holder() const { return veto ? std::u16string_view(veto->holder) : std::u16string_view(); }
};

class SlotWork {
public:
    explicit SlotWork(const SlotWorkPorts& ports) : ports_(ports) {}
    SlotWork(const SlotWork&) = delete;
    SlotWork& operator=(const SlotWork&) = delete;

    // Held across each change to a slot and the reads it is decided on: the
    // threads of one process take turns through a mutex of their own, the
    // tools of other sessions through the shared lock.
    class Turn {
    public:
        // `keepWaiting` is asked between slices of the wait for the shared
        // lock; a thread told to end stops waiting (proceed() is then false).
        explicit Turn(SlotWork& work, const std::atomic<std::int32_t>* keepWaiting = nullptr);
        ~Turn();
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;
        // False only when the waiting thread was told to end.
        bool proceed() const { return proceed_; }

    private:
        SlotWork& work_;
        std::unique_lock<std::mutex> local_;
        bool shared_ = false;
        bool proceed_ = true;
    };

    // The user's stop: the link taken down once no volume of the card is in
    // use, and the line in the log whatever the outcome.
    SlotOutcome StopCard(std::uint8_t bus);
    // The start of a card: the slot brought in line with the card, the line
    // in the log, and whether the card's device came up and was started.
    SlotOutcome StartCard(std::uint8_t bus);
    // A pulled card's link taken down, its volumes not asked.
    void DropLink(std::uint8_t bus);

    void SyncSlot(std::uint8_t bus);
    // Whether the slot's card has a device (ZQ_GetCardInfo finds one).
    bool HasCardDevice(std::uint8_t bus);
    // Whether the card's device shows within a bounded wait.
    bool AwaitCardDevice(std::uint8_t bus);

private:
    std::u16string CardDescription(std::uint8_t bus);

    SlotWorkPorts ports_;
    std::mutex local_;
};

}  // namespace qn38::tool
