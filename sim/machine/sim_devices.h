// The simulated PC's hardware: the Plug and Play tree, PCI configuration
// space behind the dump device, and the counters that tests and benchmarks
// use to assert what an operation cost.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "lib/core/ports/device_io.h"
#include "lib/core/ports/device_tree.h"

namespace qn38::sim {

inline constexpr DevNode ROOT_DEVNODE = 1;

PropertyValue MultiString(const std::vector<std::u16string>& strings);
PropertyValue SingleString(const std::u16string& text);
PropertyValue Number(std::uint32_t value);
// The strings of a REG_MULTI_SZ value, for assertions.
std::vector<std::u16string> ReadMultiString(const PropertyValue& value);

struct DeviceSpec {
    DevNode parent = ROOT_DEVNODE;
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    std::optional<std::uint32_t> bus;
    std::optional<std::vector<std::u16string>> upperFilters;
    std::optional<std::u16string> description;
    bool present = true;
    bool pci = true;  // enumerated by "PCI"
    std::uint32_t status = STATUS_RUNNING;
    std::uint32_t problem = 0;
    bool surpriseRemovalOk = false;
};

// A program holding a handle on a devnode. Asked to close it before the
// device goes (DBT_DEVICEQUERYREMOVE), it does so or keeps it. A program
// registered for the handle's notices refuses in its own name; one that
// never registered leaves Windows to name the open handle's device.
struct DeviceHolder {
    std::u16string program;  // module name, "ttermpro.exe"
    bool closesWhenAsked = false;
    bool registered = false;
};

struct SimDevice {
    DevNode node = 0;
    std::u16string instancePath;  // the device instance ID
    DevNode parent = ROOT_DEVNODE;
    bool present = true;
    bool pci = true;
    DevNodeStatus status;
    std::map<std::uint32_t, PropertyValue> properties;  // by SPDRP code
    // A disable the class installer deferred: the device starts disabled at
    // the next boot unless it is enabled before.
    bool disabledAtNextBoot = false;
    std::vector<DeviceHolder> holders;
    // Removed with CM_REMOVE_NO_RESTART (or held for eject): it stays down
    // until CM_Setup_DevNode resets it.
    bool noRestart = false;
    // Gone from the hardware while a handle is open: the devnode lingers,
    // its removal pending, until the last handle closes.
    bool removalPending = false;
    // SurpriseRemovalOK in the device's capabilities: ejected, not query-removed.
    bool surpriseRemovalOk = false;
};

// One PCI function's configuration space, as the dump driver addresses it by bus number.
struct ConfigFunction {
    std::map<std::uint8_t, std::uint32_t> registers;  // unset registers read as 0
    // Called after a write has been stored, so hardware behaviour can follow it.
    std::function<void(std::uint8_t offset, std::uint32_t value)> onWrite;
};

struct DumpDevice {
    bool installed = true;     // the dump driver is loaded
    bool heldOpen = false;     // someone else holds it (share mode 0): opens fail
    bool refuseReads = false;  // the driver fails read requests
    bool refuseWrites = false;
    std::set<std::uint8_t> refuseReadsAt;  // the driver fails reads of these offsets
    // (bus, offset): the next this many reads of that register fail.
    std::map<std::pair<std::uint8_t, std::uint8_t>, int> readFailures;
    std::vector<std::vector<std::uint8_t>> requests;  // every request's raw input, in order
};

struct Counters {
    std::uint64_t opens = 0;  // device opens that succeeded
    std::uint64_t failedOpens = 0;
    std::uint64_t closes = 0;
    std::uint64_t controls = 0;    // control requests sent to open devices
    std::uint64_t deviceSets = 0;  // device information sets built (disk interface sets too)
    std::uint64_t deviceSetsDestroyed = 0;
    std::uint64_t propertyReads = 0;  // device and devnode property reads
    std::uint64_t reenumerations = 0;
    std::uint64_t stateChanges = 0;  // class-installer property changes
    std::uint64_t propertyWrites = 0;
    std::uint64_t driveQueries = 0;  // GetLogicalDrives
    std::uint64_t sizeQueries = 0;   // GetDiskFreeSpaceExW
    std::uint64_t volumeLists = 0;   // FindFirstVolumeW to the end of the list
    std::uint64_t queryRemoves = 0;  // CM_Query_And_Remove_SubTreeW
    std::uint64_t ejects = 0;        // CM_Request_Device_EjectW
    std::uint64_t resets = 0;        // CM_Setup_DevNode(CM_SETUP_DEVNODE_RESET)
    std::uint64_t flushes = 0;       // FlushFileBuffers on a volume
};

struct AdapterSpec {
    std::uint8_t slotBus = 5;
    std::uint32_t subsystem = 0x3A5C0E71;                        // at 0x94 of the slot bridge
    std::optional<std::vector<std::u16string>> rootPortFilters;  // the root port's upper filters
    bool rootPortBelowBridge = false;                            // a PCI bridge between the root bus and the root port
    bool driverInstalled = true;  // SimPc::AddSlot: the installer has created QN38UP's service key
    // Link Capabilities of the slot bridge say it reports Data Link Layer Link Active.
    bool linkActiveReporting = true;
};

struct Adapter {
    DevNode rootPort = 0;
    DevNode adapterFunction = 0;
    DevNode slotBridge = 0;
    std::uint8_t slotBus = 0;
};

class SimDevices final : public DeviceTree {
public:
    SimDevices();

    // Building the machine.
    DevNode AddDevice(const DeviceSpec& spec);
    // A root port (PCI bridge), the adapter function below it and the slot
    // bridge with its configuration registers and devnode on `slotBus`.
    Adapter AddAdapter(const AdapterSpec& spec = {});
    // `count` ordinary PCI devices on bus 0, for scans of a realistic size.
    void AddOrdinaryDevices(int count);
    ConfigFunction& Function(std::uint8_t bus) { return functions_[bus]; }
    bool HasFunction(std::uint8_t bus) const { return functions_.count(bus) != 0; }
    void RemoveFunction(std::uint8_t bus) { functions_.erase(bus); }
    std::uint32_t Register(std::uint8_t bus, std::uint8_t offset) const;

    SimDevice& Device(DevNode node) { return devices_.at(node); }
    bool Exists(DevNode node) const { return devices_.count(node) != 0; }
    void RemoveDevice(DevNode node);  // with everything below it
    // How often a devnode came or went: Windows broadcasts
    // WM_DEVICECHANGE (DBT_DEVNODES_CHANGED) to every top-level window after each.
    std::uint64_t TreeChanges() const { return treeChanges_; }
    // The hardware has gone: everything below the devnode goes, and the
    // devnode with it unless a program still holds a handle on it.
    void SurpriseRemove(DevNode node);
    std::vector<DevNode> Children(DevNode node) const;
    std::optional<DevNode> Find(std::u16string_view instancePath) const;

    // Programs holding handles on devnodes.
    void Hold(DevNode node, const DeviceHolder& holder) { devices_.at(node).holders.push_back(holder); }
    // The program closes its handle: false when it held none. A lingering
    // devnode goes with its last handle.
    bool Release(DevNode node, std::u16string_view program);

    // Fault injection.
    void FailProperty(DevNode node, std::uint32_t spdrp, PropertyStatus status) {
        propertyFaults_[{node, spdrp}] = status;
    }
    void FailPropertyWrites(DevNode node) { failingWrites_.insert(node); }
    void FailDeviceSets(bool fail) { failDeviceSets_ = fail; }
    // The next `times` PCI device sets cannot be built (Plug and Play busy).
    void FailNextPciDeviceSets(int times) { failingPciSets_ = times; }
    void FailStatus(DevNode node) { failingStatus_.insert(node); }
    // The class installer defers this many next disables or restarts to the
    // next boot, as it does while a file on a volume below the device is open.
    int deferredStops = 0;
    // The class installer returns FALSE for this many next property changes.
    int refusedStateChanges = 0;
    // CM_Query_And_Remove_SubTreeW fails on the devnode without a veto.
    void FailRemoval(DevNode node) { failingRemovals_.insert(node); }

    DumpDevice& dump() { return dump_; }
    Counters& counters() { return counters_; }
    // Property changes sent through the class installer, in order: (devnode, state change).
    const std::vector<std::pair<DevNode, std::uint32_t>>& stateChanges() const { return stateChangeLog_; }
    const std::vector<DevNode>& reenumerated() const { return reenumerationLog_; }

    // Hooks later behaviour hangs on (the slot's link, the class installer).
    std::function<void(DevNode)> onReenumerate;
    std::function<void(DevNode, std::uint32_t)> onStateChange;
    // Called for every devnode RemoveDevice takes away, deepest first.
    std::function<void(DevNode)> onRemove;
    // Builds a storage-interface set; without it no set can be built.
    std::function<std::unique_ptr<DiskInterfaceSet>(StorageInterfaceKind)> diskInterfaces;
    // Asked for every devnode of a subtree about to be query-removed, deepest
    // first (the file systems on a disk's volumes): a veto keeps it all.
    std::function<std::optional<RemovalVeto>(DevNode)> onQueryRemove;
    // A devnode that was kept from restarting starts again.
    std::function<void(DevNode)> onRestart;

    // DeviceTree
    std::unique_ptr<DeviceSet> OpenDevices(DeviceSetKind kind) override;
    std::unique_ptr<DiskInterfaceSet> OpenDiskInterfaces(StorageInterfaceKind kind) override;
    std::optional<DevNode> Parent(DevNode node) override;
    std::optional<DevNode> FirstChild(DevNode node) override;
    std::optional<DevNode> NextSibling(DevNode node) override;
    RemovalOutcome RemoveSubtree(DevNode node, RemovalKind kind) override;
    bool ResetDevNode(DevNode node) override;
    std::optional<DevNode> Locate(std::u16string_view instancePath) override;
    std::optional<DevNodeStatus> Status(DevNode node) override;
    bool Reenumerate(DevNode node) override;
    PropertyValue ReadDevNodeProperty(DevNode node, std::uint32_t cmDrp) override;
    bool WriteDevNodeProperty(DevNode node, std::uint32_t cmDrp, std::span<const std::uint8_t> data) override;

    // Used by the device sets and the dump device.
    PropertyValue ReadProperty(DevNode node, std::uint32_t spdrp);
    bool WriteProperty(DevNode node, std::uint32_t spdrp, std::span<const std::uint8_t> data);
    StateChangeOutcome ChangeState(DevNode node, std::uint32_t stateChange);
    std::unique_ptr<DeviceHandle> OpenDump(const OpenRequest& request);

private:
    DevNode nextNode_ = 0x1000;
    std::map<DevNode, SimDevice> devices_;  // ordered by creation: the enumeration order
    std::map<std::uint8_t, ConfigFunction> functions_;
    std::map<std::pair<DevNode, std::uint32_t>, PropertyStatus> propertyFaults_;
    std::set<DevNode> failingWrites_;
    std::set<DevNode> failingStatus_;
    std::set<DevNode> failingRemovals_;
    bool failDeviceSets_ = false;
    std::uint64_t treeChanges_ = 0;
    int failingPciSets_ = 0;
    DumpDevice dump_;
    Counters counters_;
    std::vector<std::pair<DevNode, std::uint32_t>> stateChangeLog_;
    std::vector<DevNode> reenumerationLog_;
};

}  // namespace qn38::sim
