#include "lib/core/filter.h"

#include "lib/core/constants.h"
#include "lib/core/device_lookup.h"
#include "lib/core/filter_list.h"

namespace qn38 {
namespace {

int CountResult(int targets, int successes) { return successes == targets ? targets : successes - targets; }

}  // namespace

int RegisterFilterOnRootPorts(Platform& platform) {
    int targets = 0;
    int successes = 0;
    const bool scanned = ScanDevices(
        platform.devices, DeviceSetKind::AllClassesPresent, [&](DeviceSet& set, std::uint32_t index, DevNode node) {
            if (!HasHardwareId(set, index, U16(HWID_ADAPTER_FUNCTION))) return true;
            ++targets;
            const DevNode rootPort = GetTopBridge(platform.devices, node);
            const PropertyValue filters = platform.devices.ReadDevNodeProperty(rootPort, CM_DRP_UPPER_FILTERS);
            // Writing a fresh list over one we could not read would drop the
            // filters it holds.
            if (filters.status == PropertyStatus::Failed) return true;
            if (filters.ok() && ListNamesFilter(filters.data, U16(FILTER_NAME))) {
                ++successes;
                return true;
            }
            const std::vector<std::uint8_t> list = AppendFilterEntry(
                filters.ok() ? std::span<const std::uint8_t>(filters.data) : std::span<const std::uint8_t>(),
                U16(FILTER_NAME));
            if (platform.devices.WriteDevNodeProperty(rootPort, CM_DRP_UPPER_FILTERS, list)) ++successes;
            return true;
        });
    if (!scanned) return 0;
    return CountResult(targets, successes);
}

bool DriverInstalled(Platform& platform) {
    return platform.registry.Open(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH), KEY_ACCESS_READ) != nullptr;
}

int AddFilter(Platform& platform) {
    // An upper filter whose service is missing keeps the root port, and
    // everything below it, from starting after the next restart.
    if (!DriverInstalled(platform)) return 0;
    // Clear out every registration first, so the filter ends up on today's
    // root ports only, never on a device that held the adapter before.
    DelFilter(platform);
    return RegisterFilterOnRootPorts(platform);
}

int DelFilter(Platform& platform) {
    int targets = 0;
    int successes = 0;
    const bool scanned = ScanDevices(
        platform.devices, DeviceSetKind::AllClassesWithAbsent, [&](DeviceSet& set, std::uint32_t index, DevNode) {
            const PropertyValue filters = set.ReadProperty(index, SPDRP_UPPER_FILTERS);
            if (!filters.ok() || !ListNamesFilter(filters.data, U16(FILTER_NAME))) return true;
            ++targets;
            // An empty result deletes the property.
            if (set.WriteProperty(index, SPDRP_UPPER_FILTERS, RemoveFilterEntry(filters.data, U16(FILTER_NAME)))) {
                ++successes;
            }
            return true;
        });
    if (!scanned) return 0;
    return CountResult(targets, successes);
}

}  // namespace qn38
