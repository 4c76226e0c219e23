#include "lib/core/device_lookup.h"

#include <algorithm>
#include <cstring>

#include "lib/core/constants.h"
#include "lib/core/match.h"

namespace qn38 {

bool IsOnBus(DeviceSet& set, std::uint32_t index, std::uint32_t bus) {
    return MatchesNumber(set.ReadProperty(index, SPDRP_BUS_NUMBER), bus & 0xFF);
}

bool HasHardwareId(DeviceSet& set, std::uint32_t index, const char16_t* prefix) {
    return MatchesText(set.ReadProperty(index, SPDRP_HARDWARE_IDS), prefix);
}

DevNode GetTopBridge(DeviceTree& tree, DevNode adapterFunction) {
    DevNode current = adapterFunction;
    for (;;) {
        const auto parent = tree.Parent(current);
        if (!parent) return current;
        if (!MatchesText(tree.ReadDevNodeProperty(*parent, CM_DRP_COMPATIBLE_IDS), U16(COMPATID_PCI_BRIDGE))) {
            return current;
        }
        current = *parent;
    }
}

int FillPropertyBuffer(const PropertyValue& value, const void* match, void* buffer, std::uint32_t bufferBytes) {
    if (buffer != nullptr && bufferBytes > 0) std::memset(buffer, 0, bufferBytes);
    if (!value.ok()) return 0;
    if (buffer != nullptr) {
        const auto count = std::min<std::size_t>(bufferBytes, value.data.size());
        if (count > 0) std::memcpy(buffer, value.data.data(), count);
    }
    if (match != nullptr) {
        return MatchPropertyValue(value.data.data(), static_cast<std::uint32_t>(value.data.size()), value.type, match)
                   ? 1
                   : 0;
    }
    return 1;
}

int GetDevNodeRegistryProperty(DeviceTree& tree, DevNode node, std::uint32_t cmDrp, const void* match, void* buffer,
                               std::uint32_t bufferBytes) {
    return FillPropertyBuffer(tree.ReadDevNodeProperty(node, cmDrp), match, buffer, bufferBytes);
}

}  // namespace qn38
