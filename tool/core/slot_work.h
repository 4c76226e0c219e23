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

#include "lib/core/ports/device_io.h"
#include "tool/core/ports/shared_slot_lock.h"
#include "tool/core/ports/slot_queries.h"
#include "tool/core/ports/system_info.h"
#include "tool/core/service_client.h"

namespace qn38::tool {

// How long a flow waits for the lock the tools of all sessions share before
// it ends as failed. Longer than any flow of another tool that does not meet
// a hung service (a start: four requests of seconds each, the waits for the
// link and the card inside them; the wait for a driver install is made
// outside the lock), so that only a holder that is not a tool at all, or a
// tool stuck on a hung service, makes it fail. Flows wait on a worker, never
// on the window's thread.
inline constexpr std::chrono::milliseconds SLOT_LOCK_WAIT{120000};
// How long the window's thread (the start-up's synchronisation) and the
// poller wait for that lock before they pass the slot over: neither may
// stall behind another program's hold. A present card the start-up passed
// over is reported as inserted by the poller's first pass, whose start
// flow then waits the full bound.
inline constexpr std::chrono::milliseconds SLOT_LOCK_GLANCE{300};

// The first time Windows sees a card it installs the card's driver, and the
// devnode starts (DN_STARTED) only seconds after it appeared: a driver from
// the driver store takes a few, one that its installer sets up takes tens.
// A start is judged once the card has started, once it shows a problem
// other than a driver still to be installed, or once this has passed.
inline constexpr std::uint32_t CARD_START_WAIT_MS = 30000;

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
    // The service keeps the slot stopped: a start that was not the user's
    // own found it so, and the link stays down.
    bool heldStopped = false;
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
    // tools of every session take turns through the shared lock, and the
    // threads of one process through a mutex of their own as well, taken
    // only once the shared lock is held (or cannot be had), so that no
    // thread holds it while it waits on another program.
    class Turn {
    public:
        // `keepWaiting` (the work's own when null) is asked between slices
        // of the wait for the shared lock; a thread told to end stops waiting.
        explicit Turn(SlotWork& work, const std::atomic<std::int32_t>* keepWaiting = nullptr,
                      std::chrono::milliseconds bound = SLOT_LOCK_WAIT);
        ~Turn();
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;
        // The slot is this thread's: the shared lock is held, or no such
        // lock can be had at all. False once the bound passed or the
        // waiting thread was told to end.
        bool proceed() const { return proceed_; }
        // The waiting thread was told to end.
        bool ended() const { return ended_; }

    private:
        SlotWork& work_;
        std::unique_lock<std::mutex> local_;
        bool shared_ = false;
        bool proceed_ = false;
        bool ended_ = false;
    };

    // `keepWaiting`: while it is nonzero the work waits for its turn; the
    // tool's window clears it when it ends.
    explicit SlotWork(const SlotWorkPorts& ports, const std::atomic<std::int32_t>* keepWaiting)
        : ports_(ports), keepWaiting_(keepWaiting) {}

    // The user's stop: the link taken down once no volume of the card is in
    // use, and the line in the log whatever the outcome. A stop that gets no
    // turn within its bound fails without asking the service.
    SlotOutcome StopCard(std::uint8_t bus);
    // The start of a card: the slot brought in line with the card, the line
    // in the log, and whether the card's device came up and was started,
    // waited for while Windows installs its driver.
    SlotOutcome StartCard(std::uint8_t bus, StartKind kind = StartKind::Sync);
    // The user's own start, which also brings back a card stopped before.
    SlotOutcome StartStoppedCard(std::uint8_t bus) { return StartCard(bus, StartKind::Explicit); }
    // A pulled card's link taken down, its volumes not asked.
    void DropLink(std::uint8_t bus);

    // True when the service holds the slot stopped: the link stays down, and
    // nothing more is tried. `lockBound`: how long the slot's turn is waited
    // for; a slot whose turn does not come is left as it is.
    bool SyncSlot(std::uint8_t bus, StartKind kind = StartKind::Sync,
                  std::chrono::milliseconds lockBound = SLOT_LOCK_WAIT);
    // Whether the slot's card has a device (ZQ_GetCardInfo finds one).
    bool HasCardDevice(std::uint8_t bus);

    // The card's description, empty when it has none or no device.
    std::u16string CardDescription(std::uint8_t bus);

private:
    SlotWorkPorts ports_;
    const std::atomic<std::int32_t>* keepWaiting_ = nullptr;
    std::mutex local_;
};

}  // namespace qn38::tool
