// One slot as the poller knows it, and the one decision each pass makes of
// it: what was seen in, what to do out. No lock, no thread, no window here:
// the poller observes and acts, the window runs the flows it is told to.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace qn38::tool {

// Consecutive passes a slot may fail to be read before it counts as empty:
// the dump device may just be held by the service for another request.
inline constexpr std::uint32_t UNREADABLE_PASSES_FOR_REMOVAL = 2;
// Consecutive looks that find no device for a card that had one before the
// card counts as without one: a device scan that failed (Plug and Play busy)
// reads the same as a device that is gone.
inline constexpr std::uint32_t DEVICE_MISSES_FOR_LOSS = 2;
// A running card's device is looked at again after this long even when Plug
// and Play announced no change: a broadcast can be lost (the window busy in a
// dialog's loop, a shell restart), and a device gone unnoticed would keep
// offering a stop for a card without one. Seconds, so that the passes
// between looks cost only the presence read.
inline constexpr std::chrono::milliseconds DEVICE_LOOK_INTERVAL{10000};

// The card's device as ZQ_GetCardInfo reports it.
struct CardDeviceView {
    bool exists = false;
    std::uint32_t status = 0;
    std::uint32_t problem = 0;
    // After a wake: the device is not the one the slot held before the sleep.
    bool swapped = false;
};

// What one pass saw of a slot.
struct SlotObservation {
    std::chrono::milliseconds now{0};
    bool answered = false;  // the presence register could be read
    bool present = false;   // Presence Detect State
    // Plug and Play announced a change of the device tree since the slot's
    // last look (WM_DEVICECHANGE with DBT_DEVNODES_CHANGED).
    bool devicesChanged = false;
    // The PC resumed since the last pass: the slot may have been swapped,
    // emptied or reset beneath the record.
    bool woke = false;
    // The card was stopped by a stop and is still in the slot.
    bool stopped = false;
    // Filled only when the previous decision asked for a look.
    std::optional<CardDeviceView> device;
};

enum class SlotEvent { None, Inserted, Removed };

// What the poller does for the slot after a decision.
struct SlotActions {
    // Look at the card's device and decide again with it: nothing else is
    // set when this is.
    bool lookAtDevice = false;
    // Take the link down (SetStatus with the link down and no disk check).
    bool takeLinkDown = false;
    // Tell the window, which runs the start flow or the removal.
    SlotEvent event = SlotEvent::None;
    // The card's device came or went outside a flow: show the icon again.
    bool refreshIcon = false;
    bool operator==(const SlotActions&) const = default;
};

// The poller's record of one slot, between passes.
struct SlotRecord {
    bool present = false;
    bool hasDevice = false;  // when last confirmed
    // The link was taken down since the slot last changed, the PC last woke
    // or Plug and Play last announced a change: no need to ask again.
    bool linkHeldDown = false;
    // The device must be looked at before the record can be trusted: after
    // a presence change, a wake, or a look that found the device missing.
    bool deviceStale = true;
    std::uint32_t unreadable = 0;
    std::uint32_t deviceMisses = 0;
    std::chrono::milliseconds lastDeviceLook{0};
    bool operator==(const SlotRecord&) const = default;
};

// The record a slot starts with, from the poller's first look: a card without
// a device then, unless it was stopped, was inserted after the start-up's
// synchronisation (while a start-up prompt was open), so it reads as not yet
// present and the first pass reports it as inserted.
SlotRecord FirstRecord(bool present, bool hasDevice, bool stopped, std::chrono::milliseconds now);

// The pass's decision for one slot; updates the record to what it decided.
SlotActions DecideSlot(SlotRecord& record, const SlotObservation& observation);

}  // namespace qn38::tool
