#include "lib/core/slot_status.h"

#include <cstring>

#include "lib/core/constants.h"
#include "lib/core/device_lookup.h"
#include "lib/core/filter.h"
#include "lib/core/match.h"
#include "lib/core/pci_config.h"

namespace qn38 {
namespace {

bool IsSlotBridgeSubsystem(DeviceIo& io, std::uint32_t bus) {
    std::uint32_t subsystem = 0;
    return ReadPci(io, bus, CONFIG_SUBSYSTEM, &subsystem) != 0 && subsystem == ADAPTER_SUBSYSTEM_ID;
}

// Without the dump device only the Plug and Play tree can say whether the
// slot bridge sits on the bus.
int FindSlotBridgeByHardwareId(DeviceTree& tree, std::uint32_t bus) {
    int result = 0;
    ScanDevices(tree, DeviceSetKind::PciPresent, [&](DeviceSet& set, std::uint32_t index, DevNode) {
        if (IsOnBus(set, index, bus) && HasHardwareId(set, index, U16(HWID_SLOT_BRIDGE))) {
            result = 1;
            return false;
        }
        return true;
    });
    return result;
}

// The description is cut so that its terminator always fits: a caller's
// buffer of n bytes holds at most n / 2 - 1 characters and a 0.
void CopyDescription(const PropertyValue& value, char16_t* description, std::uint32_t descriptionBytes) {
    std::memset(description, 0, descriptionBytes);
    if (!value.ok() || descriptionBytes < sizeof(char16_t)) return;
    const std::size_t room = (descriptionBytes / sizeof(char16_t) - 1) * sizeof(char16_t);
    const std::size_t count = value.data.size() < room ? value.data.size() & ~std::size_t{1} : room;
    if (count > 0) std::memcpy(description, value.data.data(), count);
}

}  // namespace

int GetStatus(Platform& platform, std::uint32_t bus, std::uint32_t* present) {
    if (present != nullptr) *present = 0;

    std::uint32_t id = 0;
    if (ReadPci(platform.io, bus, CONFIG_ID, &id) == 0) {
        // Presence cannot be learnt from the tree, so a caller asking for it learns nothing.
        if (present != nullptr) return 0;
        return FindSlotBridgeByHardwareId(platform.devices, bus);
    }
    if (id != SLOT_BRIDGE_ID || !IsSlotBridgeSubsystem(platform.io, bus)) return 0;
    if (present == nullptr) return 1;

    std::uint32_t slot = 0;
    if (ReadPci(platform.io, bus, CONFIG_SLOT, &slot) == 0) return 1;
    // A function that dropped off the bus reads as all ones, presence bit included.
    if ((slot & PRESENCE_DETECT) != 0 && slot != NO_FUNCTION) *present = 1;
    return 1;
}

int GetCardInfo(Platform& platform, std::uint32_t bus, char16_t* description, std::uint32_t descriptionBytes,
                std::uint32_t* status, std::uint32_t* problem) {
    if (description != nullptr && descriptionBytes >= sizeof(char16_t)) description[0] = 0;

    int result = 0;
    DeviceTree& tree = platform.devices;
    ScanDevices(tree, DeviceSetKind::PciPresent, [&](DeviceSet& set, std::uint32_t index, DevNode node) {
        if (!IsOnBus(set, index, bus)) return true;
        const auto child = tree.FirstChild(node);
        if (!child) return true;
        result = 1;
        if (description != nullptr) {
            CopyDescription(tree.ReadDevNodeProperty(*child, CM_DRP_DEVICE_DESCRIPTION), description, descriptionBytes);
        }
        if (status != nullptr || problem != nullptr) {
            // A devnode whose status cannot be read reports no flags and no problem.
            const DevNodeStatus state = tree.Status(*child).value_or(DevNodeStatus{});
            if (status != nullptr) *status = state.status;
            if (problem != nullptr) *problem = state.problem;
        }
        return true;
    });
    return result;
}

int DoesExistNoFilterRootPort(Platform& platform) {
    int result = 0;
    DeviceTree& tree = platform.devices;
    // Without its driver the filter is missing wherever its name stands, and
    // the user is to be told so at every start.
    const bool driverInstalled = DriverInstalled(platform);
    ScanDevices(tree, DeviceSetKind::PciPresent, [&](DeviceSet& set, std::uint32_t index, DevNode node) {
        if (!HasHardwareId(set, index, U16(HWID_ADAPTER_FUNCTION))) return true;
        if (!driverInstalled) {
            result = 1;
            return false;
        }
        const DevNode rootPort = GetTopBridge(tree, node);
        // An unreadable list counts as lacking the filter, as an absent one does.
        if (!MatchesText(tree.ReadDevNodeProperty(rootPort, CM_DRP_UPPER_FILTERS), U16(FILTER_NAME))) result = 1;
        return true;
    });
    return result;
}

}  // namespace qn38
