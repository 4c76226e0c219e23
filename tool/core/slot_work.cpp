#include "tool/core/slot_work.h"

#include <algorithm>

#include "lib/core/ports/device_tree.h"
#include "tool/core/main_window_resources.h"
#include "tool/core/tool_text.h"

namespace qn38::tool {
namespace {

constexpr std::uint32_t FIRST_DRIVE = 2;  // C:
constexpr std::uint32_t LAST_DRIVE = 25;  // Z:
// The steps of the wait for a card's start; not the poll interval, whose
// sleeps mean a pass.
constexpr std::uint32_t CARD_START_STEP_MS = 250;
// The slices of the wait for the shared lock, one poll interval each: a
// poller told to end notices it within one.
constexpr std::chrono::milliseconds SLOT_LOCK_SLICE{300};

enum class CardStart { Started, Installing, Failed };

// A device that Windows could not start (its driver missing or failing, its
// resources refused, ...) is listed, but the card does not work; one whose
// driver is still being installed has not failed yet.
CardStart JudgeCardStart(int exists, std::uint32_t status, std::uint32_t problem) {
    if (exists == 0) return CardStart::Failed;
    if (problem == 0 && (status & DN_STARTED_FLAG) != 0) return CardStart::Started;
    if (problem == 0 || problem == CM_PROB_NOT_CONFIGURED_CODE || problem == CM_PROB_REINSTALL_CODE) {
        return CardStart::Installing;
    }
    return CardStart::Failed;
}

}  // namespace

SlotWork::Turn::Turn(SlotWork& work, const std::atomic<std::int32_t>* keepWaiting, std::chrono::milliseconds bound)
    : work_(work) {
    if (keepWaiting == nullptr) keepWaiting = work.keepWaiting_;
    auto& lock = work_.ports_.slotLock;
    for (auto waited = std::chrono::milliseconds::zero(); waited < bound; waited += SLOT_LOCK_SLICE) {
        const LockWait wait = lock.Acquire(std::min(SLOT_LOCK_SLICE, bound - waited));
        if (wait == LockWait::Held) {
            shared_ = true;
            break;
        }
        // Another object holds the name: nobody can have the lock, so
        // waiting for it would only delay the change.
        if (wait == LockWait::Unavailable) break;
        if (keepWaiting != nullptr && *keepWaiting == 0) {
            ended_ = true;
            return;
        }
        // A holder that never lets go (any local user may take the name)
        // costs this flow its bound and nothing more: the change is not
        // made beside a holder that may be acting on the slot.
        if (waited + SLOT_LOCK_SLICE >= bound) return;
    }
    local_ = std::unique_lock(work_.local_);
    proceed_ = true;
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
        outcome.succeeded = turn.proceed() && ports_.service.DisableLink(bus, DiskCheck::Required, &outcome.veto) != 0;
    }
    ports_.service.RequestWriteLog(LinkDisableLine(bus, outcome.veto));
    return outcome;
}

SlotOutcome SlotWork::StartCard(std::uint8_t bus, StartKind kind) {
    const bool held = SyncSlot(bus, kind);
    ports_.service.RequestWriteLog(LinkEnableLine(bus));

    // Outside the slot's turn: nothing is changed while the driver installs.
    SlotOutcome outcome;
    outcome.heldStopped = held;
    // A slot held stopped has nothing to wait for.
    if (held) return outcome;
    for (std::uint32_t waited = 0;; waited += CARD_START_STEP_MS) {
        char16_t description[DESCRIPTION_CHARACTERS] = {};
        std::uint32_t status = 0;
        std::uint32_t problem = 0;
        const int exists = ports_.slots.GetCardInfo(bus, description, sizeof description, &status, &problem);
        outcome.description = std::u16string(DescriptionIn(description, DESCRIPTION_CHARACTERS));
        const CardStart start = JudgeCardStart(exists, status, problem);
        outcome.succeeded = start == CardStart::Started;
        if (start != CardStart::Installing || waited >= CARD_START_WAIT_MS) return outcome;
        ports_.system.Sleep(CARD_START_STEP_MS);
    }
}

void SlotWork::DropLink(std::uint8_t bus) {
    Turn turn(*this);
    if (turn.proceed()) ports_.service.DisableLink(bus, DiskCheck::Skip);
}

bool SlotWork::SyncSlot(std::uint8_t bus, StartKind kind, std::chrono::milliseconds lockBound) {
    bool held = false;
    {
        Turn turn(*this, nullptr, lockBound);
        if (turn.ended()) return held;
        std::uint32_t present = 0;
        if (turn.proceed() && ports_.slots.GetStatus(bus, &present) != 0) {
            auto& service = ports_.service;
            const auto heldBack = [&](std::int32_t result) {
                held = held || result == SET_STATUS_HELD_STOPPED;
                return held;
            };
            if (HasCardDevice(bus)) {
                if (present != 0) {
                    heldBack(service.EnableLink(bus, kind));
                } else {
                    service.DisableLink(bus, DiskCheck::Skip);
                }
            } else if (present == 0) {
                service.DisableLink(bus, DiskCheck::Skip);
            } else {
                // A card without a device: first a link cycle, then, if the
                // card still has not come up, a disable/enable of the bus's
                // devices. Each request returns once Plug and Play has
                // scanned the slot, so what it found shows at once. A slot
                // held stopped answers the first enable so, and the rest
                // could only bring up what the stop took down.
                service.DisableLink(bus, DiskCheck::Skip);
                if (!heldBack(service.EnableLink(bus, kind)) && !HasCardDevice(bus)) {
                    if (!heldBack(service.DisableDevices(bus, kind))) heldBack(service.EnableDevices(bus, kind));
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
    return held;
}

bool SlotWork::HasCardDevice(std::uint8_t bus) {
    return ports_.slots.GetCardInfo(bus, nullptr, 0, nullptr, nullptr) != 0;
}

}  // namespace qn38::tool
