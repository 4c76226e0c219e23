#include "slot_work.h"

#include "main_window_resources.h"
#include "tool_text.h"

namespace qn38::tool {
namespace {

constexpr std::uint32_t FIRST_DRIVE = 2;  // C:
constexpr std::uint32_t LAST_DRIVE = 25;  // Z:
// How long, and in which steps, a start waits for the card's device before
// its next fallback: the link trains and Plug and Play enumerates the bus
// after the request has returned. Not the poll interval, whose sleeps mean
// a pass.
constexpr std::uint32_t CARD_DEVICE_WAIT_MS = 1000;
constexpr std::uint32_t CARD_DEVICE_STEP_MS = 100;
// The slices of the wait for the shared lock, one poll interval each: a
// poller told to end notices it within one.
constexpr std::chrono::milliseconds SLOT_LOCK_SLICE{300};
// DN_STARTED in a devnode's status: its drivers started it.
constexpr std::uint32_t DN_STARTED_STATUS = 0x00000008;

}  // namespace

SlotWork::Turn::Turn(SlotWork& work, const std::atomic<std::int32_t>* keepWaiting) : work_(work), local_(work.local_) {
    auto& lock = work_.ports_.slotLock;
    for (auto waited = std::chrono::milliseconds::zero(); waited < SLOT_LOCK_WAIT; waited += SLOT_LOCK_SLICE) {
        const LockWait wait = lock.Acquire(SLOT_LOCK_SLICE);
        if (wait == LockWait::Held) {
            shared_ = true;
            return;
        }
        // Another object holds the name: nobody can have the lock, so
        // waiting for it would only delay the change.
        if (wait == LockWait::Unavailable) return;
        if (keepWaiting != nullptr && *keepWaiting == 0) {
            proceed_ = false;
            return;
        }
    }
}

SlotWork::Turn::~Turn() {
    if (shared_) work_.ports_.slotLock.Release();
}

std::u16string SlotWork::CardDescription(std::uint8_t bus) {
    char16_t description[DESCRIPTION_CHARACTERS] = {};
    ports_.slots.GetCardInfo(bus, description, sizeof description, nullptr, nullptr);
    return std::u16string(DescriptionIn(description, DESCRIPTION_CHARACTERS));
}

SlotOutcome SlotWork::StopCard(std::uint8_t bus) {
    SlotOutcome outcome;
    outcome.description = CardDescription(bus);
    {
        Turn turn(*this);
        outcome.succeeded = ports_.service.DisableLink(bus, DiskCheck::Required, &outcome.veto) != 0;
    }
    ports_.service.RequestWriteLog(LinkDisableLine(bus, outcome.veto));
    return outcome;
}

SlotOutcome SlotWork::StartCard(std::uint8_t bus) {
    SyncSlot(bus);
    ports_.service.RequestWriteLog(LinkEnableLine(bus));

    char16_t description[DESCRIPTION_CHARACTERS] = {};
    std::uint32_t status = 0;
    std::uint32_t problem = 0;
    const int exists = ports_.slots.GetCardInfo(bus, description, sizeof description, &status, &problem);
    SlotOutcome outcome;
    outcome.description = std::u16string(DescriptionIn(description, DESCRIPTION_CHARACTERS));
    // A device that Windows could not start (no driver, its resources
    // refused, ...) is listed, but the card does not work.
    outcome.succeeded = exists != 0 && problem == 0 && (status & DN_STARTED_STATUS) != 0;
    return outcome;
}

void SlotWork::DropLink(std::uint8_t bus) {
    Turn turn(*this);
    ports_.service.DisableLink(bus, DiskCheck::Skip);
}

void SlotWork::SyncSlot(std::uint8_t bus) {
    {
        Turn turn(*this);
        std::uint32_t present = 0;
        if (ports_.slots.GetStatus(bus, &present) != 0) {
            auto& service = ports_.service;
            if (HasCardDevice(bus)) {
                if (present != 0) {
                    service.EnableLink(bus);
                } else {
                    service.DisableLink(bus, DiskCheck::Skip);
                }
            } else if (present == 0) {
                service.DisableLink(bus, DiskCheck::Skip);
            } else {
                // A card without a device: first a link cycle, then, if the
                // card still has not come up, a disable/enable of the bus's
                // devices.
                service.DisableLink(bus, DiskCheck::Skip);
                service.EnableLink(bus);
                if (!AwaitCardDevice(bus)) {
                    service.DisableDevices(bus);
                    service.EnableDevices(bus);
                    AwaitCardDevice(bus);
                }
            }
        }
    }

    // Asking each drive for its size makes Windows notice the volumes the
    // card brought or took away. A network drive is never the card's, and
    // its size query on an unreachable server would hold this thread (and
    // the poller waiting on it) for the network's timeout.
    const std::uint32_t drives = ports_.drives.LogicalDrives();
    for (std::uint32_t drive = FIRST_DRIVE; drive <= LAST_DRIVE; ++drive) {
        if ((drives & (1u << drive)) == 0) continue;
        const char16_t root[] = {static_cast<char16_t>(u'A' + drive), u':', u'\\', 0};
        if (ports_.drives.IsRemoteDrive(root)) continue;
        ports_.drives.TotalBytes(root);
    }
}

bool SlotWork::HasCardDevice(std::uint8_t bus) {
    return ports_.slots.GetCardInfo(bus, nullptr, 0, nullptr, nullptr) != 0;
}

bool SlotWork::AwaitCardDevice(std::uint8_t bus) {
    for (std::uint32_t waited = 0;; waited += CARD_DEVICE_STEP_MS) {
        if (HasCardDevice(bus)) return true;
        if (waited >= CARD_DEVICE_WAIT_MS) return false;
        ports_.system.Sleep(CARD_DEVICE_STEP_MS);
    }
}

}  // namespace qn38::tool
