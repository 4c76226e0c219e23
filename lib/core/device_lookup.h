// Finding the adapter's devices in the Plug and Play tree.
#pragma once

#include <cstdint>

#include "lib/core/ports/device_tree.h"

namespace qn38 {

// Visits every device of a freshly built set in enumeration order. `visit`
// is called as visit(set, index, devnode) and returns false to end the scan.
// Returns false when the set could not be built.
template <typename Visit>
bool ScanDevices(DeviceTree& tree, DeviceSetKind kind, Visit&& visit) {
    auto set = tree.OpenDevices(kind);
    if (!set) return false;
    for (std::uint32_t index = 0;; ++index) {
        const auto node = set->Device(index);
        if (!node) break;
        if (!visit(*set, index, *node)) break;
    }
    return true;
}

// The device's bus-number property equals `bus` as a whole 32-bit number.
bool IsOnBus(DeviceSet& set, std::uint32_t index, std::uint32_t bus);
// One of the device's hardware IDs begins with `prefix`.
bool HasHardwareId(DeviceSet& set, std::uint32_t index, const char16_t* prefix);

// The root port above an adapter function: the topmost PCI-to-PCI bridge of
// the unbroken chain of bridges above it, or the function itself.
DevNode GetTopBridge(DeviceTree& tree, DevNode adapterFunction);

// The common tail of both exported property readers: zero the buffer, copy
// as much of the value as fits, then match the whole value.
int FillPropertyBuffer(const PropertyValue& value, const void* match, void* buffer, std::uint32_t bufferBytes);

int GetDevNodeRegistryProperty(DeviceTree& tree, DevNode node, std::uint32_t cmDrp, const void* match, void* buffer,
                               std::uint32_t bufferBytes);

}  // namespace qn38
