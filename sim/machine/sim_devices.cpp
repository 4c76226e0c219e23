#include "sim/machine/sim_devices.h"

#include <algorithm>
#include <cstring>
#include <cwctype>

#include "lib/include/QN38HotPlug.h"
#include "lib/core/constants.h"
#include "lib/core/pci_config.h"

namespace qn38::sim {
namespace {

std::u16string Hex(std::uint32_t value) {
    const char16_t* digits = u"0123456789ABCDEF";
    std::u16string text;
    for (int shift = 28; shift >= 0; shift -= 4) text.push_back(digits[value >> shift & 0xF]);
    return text;
}

void AppendUnits(std::vector<std::uint8_t>& bytes, const std::u16string& text) {
    for (char16_t unit : text) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
}

class SimDeviceSet final : public DeviceSet {
public:
    SimDeviceSet(SimDevices& devices, std::vector<DevNode> nodes) : devices_(devices), nodes_(std::move(nodes)) {}
    ~SimDeviceSet() override { ++devices_.counters().deviceSetsDestroyed; }

    std::optional<DevNode> Device(std::uint32_t index) override {
        if (index >= nodes_.size()) return std::nullopt;
        return nodes_[index];
    }
    PropertyValue ReadProperty(std::uint32_t index, std::uint32_t spdrp) override {
        if (index >= nodes_.size()) return {};
        return devices_.ReadProperty(nodes_[index], spdrp);
    }
    bool WriteProperty(std::uint32_t index, std::uint32_t spdrp, std::span<const std::uint8_t> data) override {
        if (index >= nodes_.size()) return false;
        return devices_.WriteProperty(nodes_[index], spdrp, data);
    }
    StateChangeOutcome ChangeState(std::uint32_t index, std::uint32_t stateChange) override {
        if (index >= nodes_.size()) return StateChangeOutcome::NotCalled;
        return devices_.ChangeState(nodes_[index], stateChange);
    }

private:
    SimDevices& devices_;
    std::vector<DevNode> nodes_;  // a snapshot, like a real set built at one moment
};

class SimDumpHandle final : public DeviceHandle {
public:
    SimDumpHandle(SimDevices& devices) : devices_(devices) { devices_.dump().heldOpen = true; }
    ~SimDumpHandle() override {
        devices_.dump().heldOpen = false;
        ++devices_.counters().closes;
    }

    bool Control(std::uint32_t code, const void* in, std::uint32_t inBytes, void* out,
                 std::uint32_t outBytes) override {
        ++devices_.counters().controls;
        auto& dump = devices_.dump();
        if (in == nullptr || inBytes < 8) return false;
        const auto* bytes = static_cast<const std::uint8_t*>(in);
        dump.requests.emplace_back(bytes, bytes + inBytes);
        const ConfigAccessRequest request = DecodeConfigAccess(bytes);
        if (code == IOCTL_ZQDUMP_READ_CONFIG) {
            if (dump.refuseReads || dump.refuseReadsAt.count(request.offset) != 0) return false;
            const auto failing = dump.readFailures.find({request.bus, request.offset});
            if (failing != dump.readFailures.end() && failing->second > 0) {
                --failing->second;
                return false;
            }
            if (out == nullptr || outBytes < 4) return false;
            const std::uint32_t value = devices_.Register(request.bus, request.offset);
            std::memcpy(out, &value, 4);
            return true;
        }
        if (code == IOCTL_ZQDUMP_WRITE_CONFIG) {
            if (dump.refuseWrites) return false;
            if (!devices_.HasFunction(request.bus)) return true;  // nothing answers; the write goes nowhere
            auto& function = devices_.Function(request.bus);
            function.registers[request.offset] = request.value;
            if (function.onWrite) function.onWrite(request.offset, request.value);
            return true;
        }
        return false;
    }

private:
    SimDevices& devices_;
};

}  // namespace

PropertyValue MultiString(const std::vector<std::u16string>& strings) {
    PropertyValue value{PropertyStatus::Ok, REG_TYPE_MULTI_SZ, {}};
    for (const auto& text : strings) AppendUnits(value.data, text);
    value.data.push_back(0);
    value.data.push_back(0);
    return value;
}

PropertyValue SingleString(const std::u16string& text) {
    PropertyValue value{PropertyStatus::Ok, REG_TYPE_SZ, {}};
    AppendUnits(value.data, text);
    return value;
}

PropertyValue Number(std::uint32_t number) {
    PropertyValue value{PropertyStatus::Ok, REG_TYPE_DWORD, std::vector<std::uint8_t>(4)};
    std::memcpy(value.data.data(), &number, 4);
    return value;
}

std::vector<std::u16string> ReadMultiString(const PropertyValue& value) {
    std::vector<std::u16string> strings;
    std::u16string current;
    for (std::size_t i = 0; i + 1 < value.data.size(); i += 2) {
        const auto unit = static_cast<char16_t>(value.data[i] | value.data[i + 1] << 8);
        if (unit != 0) {
            current.push_back(unit);
            continue;
        }
        if (current.empty()) break;
        strings.push_back(current);
        current.clear();
    }
    if (!current.empty()) strings.push_back(current);
    return strings;
}

SimDevices::SimDevices() {
    SimDevice root;
    root.node = ROOT_DEVNODE;
    root.parent = 0;
    root.pci = false;
    devices_.emplace(ROOT_DEVNODE, root);
}

DevNode SimDevices::AddDevice(const DeviceSpec& spec) {
    SimDevice device;
    ++treeChanges_;
    device.node = nextNode_++;
    device.parent = spec.parent;
    device.present = spec.present;
    device.pci = spec.pci;
    device.status = {spec.status, spec.problem};
    device.surpriseRemovalOk = spec.surpriseRemovalOk;
    // As Windows names it: the first hardware ID's device part and a unique instance.
    const std::u16string first = spec.hardwareIds.empty() ? u"ROOT\\SYSTEM" : spec.hardwareIds.front();
    device.instancePath = first + u"\\4&" + Hex(device.node) + u"&0&00E0";
    if (!spec.hardwareIds.empty()) device.properties[SPDRP_HARDWARE_IDS] = MultiString(spec.hardwareIds);
    if (!spec.compatibleIds.empty()) device.properties[SPDRP_COMPATIBLE_IDS] = MultiString(spec.compatibleIds);
    if (spec.bus) device.properties[SPDRP_BUS_NUMBER] = Number(*spec.bus);
    if (spec.upperFilters) device.properties[SPDRP_UPPER_FILTERS] = MultiString(*spec.upperFilters);
    if (spec.description) device.properties[SPDRP_DEVICE_DESCRIPTION] = SingleString(*spec.description);
    devices_.emplace(device.node, device);
    return device.node;
}

Adapter SimDevices::AddAdapter(const AdapterSpec& spec) {
    static const std::u16string kBridge = U16(COMPATID_PCI_BRIDGE);
    Adapter adapter;
    adapter.slotBus = spec.slotBus;

    DevNode above = ROOT_DEVNODE;
    std::uint32_t bus = 0;
    if (spec.rootPortBelowBridge) {
        above = AddDevice({.hardwareIds = {u"PCI\\VEN_8086&DEV_0001"}, .compatibleIds = {kBridge}, .bus = bus});
    }
    DeviceSpec rootPort{.parent = above,
                        .hardwareIds = {u"PCI\\VEN_8086&DEV_1C10&SUBSYS_00000000&REV_B5"},
                        .compatibleIds = {u"PCI\\VEN_8086&DEV_1C10&REV_B5", kBridge, u"PCI\\CC_0604"},
                        .bus = bus,
                        .upperFilters = spec.rootPortFilters,
                        .description = u"PCI Express Root Port"};
    adapter.rootPort = AddDevice(rootPort);

    const std::uint32_t adapterBus = spec.slotBus > 0 ? spec.slotBus - 1u : 0u;
    adapter.adapterFunction =
        AddDevice({.parent = adapter.rootPort,
                   .hardwareIds = {std::u16string(U16(HWID_ADAPTER_FUNCTION)) + u"&REV_01", U16(HWID_ADAPTER_FUNCTION)},
                   .compatibleIds = {u"PCI\\VEN_1217&DEV_02EB&REV_01", u"PCI\\CC_0805"},
                   .bus = adapterBus,
                   .description = u"QN38EX ExpressCard adapter"});
    adapter.slotBridge = AddDevice(
        {.parent = adapter.rootPort,
         .hardwareIds = {std::u16string(U16(HWID_SLOT_BRIDGE)) + u"&SUBSYS_3A5C0E71&REV_01", U16(HWID_SLOT_BRIDGE)},
         .compatibleIds = {u"PCI\\VEN_1217&DEV_02E3&REV_01", kBridge},
         .bus = spec.slotBus,
         .description = u"QN38EX ExpressCard slot"});

    auto& function = Function(spec.slotBus);
    function.registers[CONFIG_ID] = SLOT_BRIDGE_ID;
    function.registers[CONFIG_SUBSYSTEM] = spec.subsystem;
    function.registers[CONFIG_MEMORY_BASE] = 0xE000E000;
    function.registers[CONFIG_LINK] = 0x10110000;  // link up, 2.5 GT/s x1
    // 2.5 GT/s x1, and whether Data Link Layer Link Active is reported.
    function.registers[CONFIG_LINK_CAPABILITIES] = spec.linkActiveReporting ? 0x00100011u : 0x00000011u;
    // Primary, secondary and subordinate bus: the card's function is on the next bus.
    const std::uint32_t cardBus = (spec.slotBus + 1u) & 0xFF;
    function.registers[CONFIG_BUS_NUMBERS] = cardBus << 16 | cardBus << 8 | spec.slotBus;
    function.registers[CONFIG_SLOT] = 0x00000000;  // no card
    return adapter;
}

void SimDevices::AddOrdinaryDevices(int count) {
    const char16_t* hex = u"0123456789ABCDEF";
    for (int i = 0; i < count; ++i) {
        std::u16string hardwareId = u"PCI\\VEN_8086&DEV_";
        for (int shift = 12; shift >= 0; shift -= 4) hardwareId.push_back(hex[(0x3A00 + i) >> shift & 0xF]);
        AddDevice({.hardwareIds = {hardwareId}, .compatibleIds = {u"PCI\\CC_0C0330"}, .bus = 0u});
    }
}

std::uint32_t SimDevices::Register(std::uint8_t bus, std::uint8_t offset) const {
    const auto function = functions_.find(bus);
    if (function == functions_.end()) return NO_FUNCTION;  // nothing answers on this bus
    const auto reg = function->second.registers.find(offset);
    return reg == function->second.registers.end() ? 0 : reg->second;
}

void SimDevices::RemoveDevice(DevNode node) {
    for (DevNode child : Children(node)) RemoveDevice(child);
    if (devices_.erase(node) == 0) return;
    ++treeChanges_;
    if (onRemove) onRemove(node);
}

void SimDevices::SurpriseRemove(DevNode node) {
    const auto device = devices_.find(node);
    if (device == devices_.end()) return;
    for (DevNode child : Children(node)) SurpriseRemove(child);
    if (device->second.holders.empty()) {
        RemoveDevice(node);
        return;
    }
    device->second.removalPending = true;
    device->second.status = {STATUS_REMOVAL_PENDING, 0};
}

bool SimDevices::Release(DevNode node, std::u16string_view program) {
    const auto device = devices_.find(node);
    if (device == devices_.end()) return false;
    auto& holders = device->second.holders;
    const auto holder =
        std::find_if(holders.begin(), holders.end(), [&](const DeviceHolder& held) { return held.program == program; });
    if (holder == holders.end()) return false;
    holders.erase(holder);
    if (holders.empty() && device->second.removalPending) RemoveDevice(node);
    return true;
}

std::optional<DevNode> SimDevices::Find(std::u16string_view instancePath) const {
    for (const auto& [id, device] : devices_) {
        if (device.instancePath.size() != instancePath.size()) continue;
        bool same = true;
        for (std::size_t at = 0; at < instancePath.size() && same; ++at) {
            same = std::towupper(device.instancePath[at]) == std::towupper(instancePath[at]);
        }
        if (same) return id;
    }
    return std::nullopt;
}

std::vector<DevNode> SimDevices::Children(DevNode node) const {
    std::vector<DevNode> children;
    for (const auto& [id, device] : devices_) {
        if (device.parent == node && id != ROOT_DEVNODE) children.push_back(id);
    }
    return children;
}

std::unique_ptr<DeviceSet> SimDevices::OpenDevices(DeviceSetKind kind) {
    if (failDeviceSets_) return nullptr;
    if (kind == DeviceSetKind::PciPresent && failingPciSets_ > 0) {
        --failingPciSets_;
        return nullptr;
    }
    ++counters_.deviceSets;
    std::vector<DevNode> nodes;
    for (const auto& [id, device] : devices_) {
        if (id == ROOT_DEVNODE) continue;
        if (kind == DeviceSetKind::PciPresent && !(device.pci && device.present)) continue;
        if (kind == DeviceSetKind::AllClassesPresent && !device.present) continue;
        nodes.push_back(id);
    }
    return std::make_unique<SimDeviceSet>(*this, std::move(nodes));
}

std::unique_ptr<DiskInterfaceSet> SimDevices::OpenDiskInterfaces(StorageInterfaceKind kind) {
    if (failDeviceSets_ || !diskInterfaces) return nullptr;
    auto set = diskInterfaces(kind);
    if (set) ++counters_.deviceSets;
    return set;
}

std::optional<DevNode> SimDevices::Parent(DevNode node) {
    const auto device = devices_.find(node);
    if (device == devices_.end() || device->second.parent == 0) return std::nullopt;
    return device->second.parent;
}

std::optional<DevNode> SimDevices::FirstChild(DevNode node) {
    if (!Exists(node)) return std::nullopt;
    const auto children = Children(node);
    if (children.empty()) return std::nullopt;
    return children.front();
}

std::optional<DevNode> SimDevices::NextSibling(DevNode node) {
    const auto device = devices_.find(node);
    if (device == devices_.end() || node == ROOT_DEVNODE) return std::nullopt;
    const auto siblings = Children(device->second.parent);
    const auto at = std::find(siblings.begin(), siblings.end(), node);
    if (at == siblings.end() || at + 1 == siblings.end()) return std::nullopt;
    return *(at + 1);
}

RemovalOutcome SimDevices::RemoveSubtree(DevNode node, RemovalKind kind) {
    ++(kind == RemovalKind::Eject ? counters_.ejects : counters_.queryRemoves);
    RemovalOutcome outcome;
    if (!Exists(node) || failingRemovals_.count(node) != 0) return outcome;
    // Everyone below the devnode is asked, deepest first; the first refusal
    // keeps the whole subtree, and the programs that closed their handles
    // when asked have closed them all the same.
    std::vector<DevNode> subtree{node};
    for (std::size_t at = 0; at < subtree.size(); ++at) {
        for (DevNode child : Children(subtree[at])) subtree.push_back(child);
    }
    for (auto at = subtree.rbegin(); at != subtree.rend(); ++at) {
        SimDevice& device = devices_.at(*at);
        std::erase_if(device.holders, [](const DeviceHolder& holder) { return holder.closesWhenAsked; });
        if (!device.holders.empty()) {
            const DeviceHolder& holder = device.holders.front();
            outcome.result = RemovalResult::Vetoed;
            outcome.veto = holder.registered ? RemovalVeto{PNP_VETO_WINDOWS_APP, holder.program}
                                             : RemovalVeto{PNP_VETO_OUTSTANDING_OPEN, device.instancePath};
            return outcome;
        }
        if (onQueryRemove) {
            if (auto veto = onQueryRemove(*at)) {
                outcome.result = RemovalResult::Vetoed;
                outcome.veto = std::move(*veto);
                return outcome;
            }
        }
    }
    for (DevNode child : Children(node)) RemoveDevice(child);
    SimDevice& removed = devices_.at(node);
    removed.status = {STATUS_PROBLEM, CM_PROB_HELD_FOR_EJECT_CODE};
    removed.noRestart = true;
    outcome.result = RemovalResult::Removed;
    return outcome;
}

bool SimDevices::ResetDevNode(DevNode node) {
    ++counters_.resets;
    const auto device = devices_.find(node);
    if (device == devices_.end()) return false;
    device->second.noRestart = false;
    return true;
}

std::optional<DevNode> SimDevices::Locate(std::u16string_view instancePath) {
    const auto node = Find(instancePath);
    if (!node || !devices_.at(*node).present) return std::nullopt;
    return node;
}

std::optional<DevNodeStatus> SimDevices::Status(DevNode node) {
    const auto device = devices_.find(node);
    if (device == devices_.end() || failingStatus_.count(node) != 0) return std::nullopt;
    return device->second.status;
}

bool SimDevices::Reenumerate(DevNode node) {
    ++counters_.reenumerations;
    reenumerationLog_.push_back(node);
    if (!Exists(node)) return false;
    // A devnode held for eject whose hold was reset starts again.
    SimDevice& device = devices_.at(node);
    if (device.status.problem == CM_PROB_HELD_FOR_EJECT_CODE && !device.noRestart && !device.removalPending) {
        device.status = {STATUS_RUNNING, 0};
        if (onRestart) onRestart(node);
    }
    if (onReenumerate) onReenumerate(node);
    return true;
}

PropertyValue SimDevices::ReadProperty(DevNode node, std::uint32_t spdrp) {
    ++counters_.propertyReads;
    const auto fault = propertyFaults_.find({node, spdrp});
    if (fault != propertyFaults_.end()) return {fault->second, 0, {}};
    const auto device = devices_.find(node);
    if (device == devices_.end()) return {};
    const auto property = device->second.properties.find(spdrp);
    if (property == device->second.properties.end()) return {};
    return property->second;
}

bool SimDevices::WriteProperty(DevNode node, std::uint32_t spdrp, std::span<const std::uint8_t> data) {
    ++counters_.propertyWrites;
    if (failingWrites_.count(node) != 0) return false;
    const auto device = devices_.find(node);
    if (device == devices_.end()) return false;
    if (data.empty()) {
        device->second.properties.erase(spdrp);
        return true;
    }
    const std::uint32_t type = spdrp == SPDRP_BUS_NUMBER           ? REG_TYPE_DWORD
                               : spdrp == SPDRP_DEVICE_DESCRIPTION ? REG_TYPE_SZ
                                                                   : REG_TYPE_MULTI_SZ;
    device->second.properties[spdrp] = {PropertyStatus::Ok, type, {data.begin(), data.end()}};
    return true;
}

PropertyValue SimDevices::ReadDevNodeProperty(DevNode node, std::uint32_t cmDrp) {
    if (cmDrp == 0) return {};
    if (cmDrp == CM_DRP_CAPABILITIES_CODE && Exists(node)) {
        ++counters_.propertyReads;
        return Number(devices_.at(node).surpriseRemovalOk ? CM_DEVCAP_SURPRISE_REMOVAL_OK : 0);
    }
    return ReadProperty(node, cmDrp - 1);
}

bool SimDevices::WriteDevNodeProperty(DevNode node, std::uint32_t cmDrp, std::span<const std::uint8_t> data) {
    if (cmDrp == 0) return false;
    return WriteProperty(node, cmDrp - 1, data);
}

StateChangeOutcome SimDevices::ChangeState(DevNode node, std::uint32_t stateChange) {
    if (!Exists(node)) return StateChangeOutcome::NotCalled;
    ++counters_.stateChanges;
    stateChangeLog_.emplace_back(node, stateChange);
    SimDevice& device = devices_.at(node);
    if (refusedStateChanges > 0) {
        --refusedStateChanges;
        return StateChangeOutcome::Refused;
    }
    if ((stateChange == DICS_DISABLE_CODE || stateChange == DICS_PROPCHANGE_CODE) && deferredStops > 0) {
        // The device could not be stopped now: it keeps running; a disable
        // stands in the profile from the next boot on.
        --deferredStops;
        if (stateChange == DICS_DISABLE_CODE) device.disabledAtNextBoot = true;
        return StateChangeOutcome::NeedsRestart;
    }
    if (stateChange == DICS_ENABLE_CODE) device.disabledAtNextBoot = false;
    if (onStateChange) onStateChange(node, stateChange);
    return StateChangeOutcome::Called;
}

std::unique_ptr<DeviceHandle> SimDevices::OpenDump(const OpenRequest&) {
    if (!dump_.installed || dump_.heldOpen) {
        ++counters_.failedOpens;
        return nullptr;
    }
    ++counters_.opens;
    return std::make_unique<SimDumpHandle>(*this);
}

}  // namespace qn38::sim
