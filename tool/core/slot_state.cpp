#include "tool/core/slot_state.h"

namespace qn38::tool {
namespace {

bool DeviceLookDue(const SlotRecord& record, const SlotObservation& observation) {
    return record.deviceStale || record.deviceMisses > 0 || observation.devicesChanged || observation.woke ||
           observation.now - record.lastDeviceLook >= DEVICE_LOOK_INTERVAL;
}

// The link goes down once per change of the slot: again only when the PC
// woke or the device tree changed, either of which may have brought it up.
void HoldLinkDown(SlotRecord& record, const SlotObservation& observation, SlotActions& actions) {
    if (record.linkHeldDown && !observation.woke && !observation.devicesChanged) return;
    record.linkHeldDown = true;
    actions.takeLinkDown = true;
}

SlotActions PresenceChanged(SlotRecord& record, bool present) {
    SlotActions actions;
    record.present = present;
    record.unreadable = 0;
    record.deviceMisses = 0;
    record.deviceStale = true;
    if (present) {
        // The start flow brings the link up; the next pass confirms its device.
        record.linkHeldDown = false;
        actions.event = SlotEvent::Inserted;
    } else {
        // A pulled card took its device along, and the removal takes the link down.
        record.hasDevice = false;
        record.linkHeldDown = true;
        actions.event = SlotEvent::Removed;
    }
    return actions;
}

// A card that stayed in the slot, with its device looked at.
SlotActions CardInSlot(SlotRecord& record, const SlotObservation& observation, const CardDeviceView& device) {
    SlotActions actions;
    record.lastDeviceLook = observation.now;
    record.deviceStale = false;
    if (observation.woke && observation.stopped) {
        // The bridge may have come back from sleep with Link Disable clear:
        // a stopped card stays stopped.
        record.deviceMisses = 0;
        actions.refreshIcon = record.hasDevice != device.exists;
        record.hasDevice = device.exists;
        record.linkHeldDown = true;
        actions.takeLinkDown = true;
        return actions;
    }
    if (observation.woke && (device.swapped || !device.exists)) {
        // Swapped, or its link reset, while the PC slept: started as an
        // inserted card is.
        record.hasDevice = false;
        record.deviceMisses = 0;
        record.deviceStale = true;
        record.linkHeldDown = false;
        actions.event = SlotEvent::Inserted;
        return actions;
    }
    if (device.exists) {
        // A device exists only while the link is up, or while Plug and Play
        // still removes a stopped card's devices: either way there is nothing
        // to assert, and enabling the link here could bring back a card the
        // user has just been told to pull.
        record.deviceMisses = 0;
        record.linkHeldDown = false;
        if (!record.hasDevice) {
            record.hasDevice = true;
            actions.refreshIcon = true;
        }
        return actions;
    }
    // A running card's link goes down only once a second look confirms that
    // its device is gone.
    if (record.hasDevice && ++record.deviceMisses < DEVICE_MISSES_FOR_LOSS) return actions;
    const bool lost = record.hasDevice;
    record.hasDevice = false;
    record.deviceMisses = 0;
    if (lost) record.linkHeldDown = false;
    HoldLinkDown(record, observation, actions);
    actions.refreshIcon = lost;
    return actions;
}

}  // namespace

SlotRecord FirstRecord(bool present, bool hasDevice, bool stopped, std::chrono::milliseconds now) {
    SlotRecord record;
    record.present = present && (hasDevice || stopped);
    record.hasDevice = hasDevice;
    // The start-up's synchronisation brought every slot in line before the poller.
    record.linkHeldDown = !present || (stopped && !hasDevice);
    record.deviceStale = false;
    record.lastDeviceLook = now;
    return record;
}

SlotActions DecideSlot(SlotRecord& record, const SlotObservation& observation) {
    bool present = observation.present;
    if (!observation.answered) {
        // Only a bridge that stays silent counts as an empty slot.
        if (++record.unreadable < UNREADABLE_PASSES_FOR_REMOVAL) return {};
        present = false;
    } else if (!present && record.present && record.hasDevice) {
        // A card whose device is still there reading as absent is as likely
        // a failed read of the slot register: its removal would take the
        // running card's link down.
        if (!observation.device) return {.lookAtDevice = true};
        if (observation.device->exists && ++record.unreadable < UNREADABLE_PASSES_FOR_REMOVAL) return {};
    } else {
        record.unreadable = 0;
    }

    if (present != record.present) return PresenceChanged(record, present);

    SlotActions actions;
    if (!present) {
        HoldLinkDown(record, observation, actions);
        return actions;
    }
    if (!DeviceLookDue(record, observation)) return actions;
    if (!observation.device) return {.lookAtDevice = true};
    return CardInSlot(record, observation, *observation.device);
}

}  // namespace qn38::tool
