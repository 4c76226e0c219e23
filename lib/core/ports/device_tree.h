// The Plug and Play tree: device information sets (SetupAPI) and devnodes
// (CfgMgr). The Win32 side holds the call patterns (buffer-growing property
// reads, handle lifetimes); everything that decides lives in the core.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "lib/core/devnode_status.h"
#include "lib/core/ports/property.h"

namespace qn38 {

using DevNode = std::uint32_t;  // DEVINST

// SetupAPI property codes (SPDRP_*). The CfgMgr codes (CM_DRP_*) are these plus one.
inline constexpr std::uint32_t SPDRP_DEVICE_DESCRIPTION = 0x00;
inline constexpr std::uint32_t SPDRP_HARDWARE_IDS = 0x01;
inline constexpr std::uint32_t SPDRP_COMPATIBLE_IDS = 0x02;
inline constexpr std::uint32_t SPDRP_UPPER_FILTERS = 0x11;
inline constexpr std::uint32_t SPDRP_BUS_NUMBER = 0x15;
inline constexpr std::uint32_t CM_DRP_DEVICE_DESCRIPTION = 0x01;
inline constexpr std::uint32_t CM_DRP_COMPATIBLE_IDS = 0x03;
inline constexpr std::uint32_t CM_DRP_UPPER_FILTERS = 0x12;
inline constexpr std::uint32_t CM_DRP_BUS_NUMBER = 0x16;
inline constexpr std::uint32_t CM_DRP_FRIENDLY_NAME = 0x0D;
inline constexpr std::uint32_t CM_DRP_CAPABILITIES_CODE = 0x10;
// A driver that set SurpriseRemovalOK: its device is ejected, not query-removed.
inline constexpr std::uint32_t CM_DEVCAP_SURPRISE_REMOVAL_OK = 0x00000080;

inline constexpr std::uint32_t DICS_ENABLE_CODE = 1;
inline constexpr std::uint32_t DICS_DISABLE_CODE = 2;
// Stops the device's stack and starts it again; nothing is written to the
// hardware profile, and the scope is ignored.
inline constexpr std::uint32_t DICS_PROPCHANGE_CODE = 3;

// Which devices a set holds (the SetupDiGetClassDevsW flags of each scan).
enum class DeviceSetKind {
    PciPresent,            // enumerator "PCI", DIGCF_PRESENT | DIGCF_ALLCLASSES
    AllClassesPresent,     // no enumerator, DIGCF_PRESENT | DIGCF_ALLCLASSES
    AllClassesWithAbsent,  // no enumerator, DIGCF_ALLCLASSES: devices not present too
};

// What the class installer made of a property change.
enum class StateChangeOutcome {
    NotCalled,     // the install parameters could not be set: the installer was not called
    Called,        // called, and it did the change
    Refused,       // SetupDiCallClassInstaller returned FALSE: nothing was changed
    NeedsRestart,  // DI_NEEDREBOOT or DI_NEEDRESTART afterwards: the change waits for the next boot
};

// One device information set; devices are addressed by their enumeration index.
class DeviceSet {
public:
    virtual ~DeviceSet() = default;
    // SetupDiEnumDeviceInfo: the devnode of device `index`, nothing past the end.
    virtual std::optional<DevNode> Device(std::uint32_t index) = 0;
    // SetupDiGetDeviceRegistryPropertyW with the growing-buffer pattern.
    virtual PropertyValue ReadProperty(std::uint32_t index, std::uint32_t spdrp) = 0;
    // SetupDiSetDeviceRegistryPropertyW; empty data deletes the property.
    virtual bool WriteProperty(std::uint32_t index, std::uint32_t spdrp, std::span<const std::uint8_t> data) = 0;
    // DIF_PROPERTYCHANGE through the class installer with DICS_FLAG_CONFIGSPECIFIC,
    // and the device's install parameters read back after it.
    virtual StateChangeOutcome ChangeState(std::uint32_t index, std::uint32_t stateChange) = 0;
};

// PNP_VETO_TYPE: who refused a removal. The name beside it is a device
// instance path, a module name, a service name or a driver name, by type.
inline constexpr std::uint32_t PNP_VETO_TYPE_UNKNOWN = 0;
inline constexpr std::uint32_t PNP_VETO_LEGACY_DEVICE = 1;
inline constexpr std::uint32_t PNP_VETO_PENDING_CLOSE = 2;
inline constexpr std::uint32_t PNP_VETO_WINDOWS_APP = 3;
inline constexpr std::uint32_t PNP_VETO_WINDOWS_SERVICE = 4;
inline constexpr std::uint32_t PNP_VETO_OUTSTANDING_OPEN = 5;
inline constexpr std::uint32_t PNP_VETO_DEVICE = 6;
inline constexpr std::uint32_t PNP_VETO_DRIVER = 7;
inline constexpr std::uint32_t PNP_VETO_ILLEGAL_DEVICE_REQUEST = 8;
inline constexpr std::uint32_t PNP_VETO_INSUFFICIENT_POWER = 9;
inline constexpr std::uint32_t PNP_VETO_NON_DISABLEABLE = 10;
inline constexpr std::uint32_t PNP_VETO_LEGACY_DRIVER = 11;
inline constexpr std::uint32_t PNP_VETO_INSUFFICIENT_RIGHTS = 12;
inline constexpr std::uint32_t PNP_VETO_ALREADY_REMOVED = 13;

struct RemovalVeto {
    std::uint32_t type = PNP_VETO_TYPE_UNKNOWN;
    std::u16string name;
};

enum class RemovalResult {
    Removed,  // the subtree is gone, its top kept from restarting
    Vetoed,   // CR_REMOVE_VETOED: nothing of the subtree was removed
    Failed,   // any other CONFIGRET
};

struct RemovalOutcome {
    RemovalResult result = RemovalResult::Failed;
    RemovalVeto veto;  // with Vetoed
};

// How a subtree is taken away: asked of everyone first, or ejected for a
// driver that survives a surprise removal.
enum class RemovalKind {
    QueryAndRemove,  // CM_Query_And_Remove_SubTreeW, CM_REMOVE_UI_NOT_OK | CM_REMOVE_NO_RESTART
    Eject,           // CM_Request_Device_EjectW
};

// Device interface classes whose devices may hold a volume.
enum class StorageInterfaceKind {
    Disk,   // GUID_DEVINTERFACE_DISK
    CdRom,  // GUID_DEVINTERFACE_CDROM
};
inline constexpr StorageInterfaceKind STORAGE_INTERFACE_KINDS[] = {StorageInterfaceKind::Disk,
                                                                   StorageInterfaceKind::CdRom};

struct DiskInterface {
    std::u16string path;  // device path of the disk interface
    DevNode devnode = 0;  // the disk's devnode
};

enum class InterfaceStatus { Ok, Skip, End };

// The present interfaces of one storage class (DIGCF_PRESENT | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE).
class DiskInterfaceSet {
public:
    virtual ~DiskInterfaceSet() = default;
    // SetupDiEnumDeviceInfo at `index` succeeds.
    virtual bool HasDevice(std::uint32_t index) = 0;
    // SetupDiEnumDeviceInterfaces + SetupDiGetDeviceInterfaceDetailW at `index`:
    // End on ERROR_NO_MORE_ITEMS, Skip on any other failure.
    virtual InterfaceStatus Interface(std::uint32_t index, DiskInterface& out) = 0;
};

struct DevNodeStatus {
    std::uint32_t status = 0;   // DN_* flags
    std::uint32_t problem = 0;  // CM_PROB_* code
};

class DeviceTree {
public:
    virtual ~DeviceTree() = default;
    // Null when the set cannot be built (INVALID_HANDLE_VALUE).
    virtual std::unique_ptr<DeviceSet> OpenDevices(DeviceSetKind kind) = 0;
    virtual std::unique_ptr<DiskInterfaceSet> OpenDiskInterfaces(StorageInterfaceKind kind) = 0;

    virtual std::optional<DevNode> Parent(DevNode node) = 0;        // CM_Get_Parent
    virtual std::optional<DevNode> FirstChild(DevNode node) = 0;    // CM_Get_Child
    virtual std::optional<DevNode> NextSibling(DevNode node) = 0;   // CM_Get_Sibling
    virtual std::optional<DevNodeStatus> Status(DevNode node) = 0;  // CM_Get_DevNode_Status
    // CM_Reenumerate_DevNode with CM_REENUMERATE_SYNCHRONOUS: it returns
    // once the bus below the node has been scanned. Nothing scans it again
    // by itself, so a function that did not answer then stays unfound.
    virtual bool Reenumerate(DevNode node) = 0;
    virtual RemovalOutcome RemoveSubtree(DevNode node, RemovalKind kind) = 0;
    // CM_Setup_DevNode(CM_SETUP_DEVNODE_RESET): lets a devnode that a
    // CM_REMOVE_NO_RESTART removal left behind start again.
    virtual bool ResetDevNode(DevNode node) = 0;
    // CM_Locate_DevNodeW(CM_LOCATE_DEVNODE_NORMAL): the present devnode of an instance path.
    virtual std::optional<DevNode> Locate(std::u16string_view instancePath) = 0;
    // CM_Get_DevNode_Registry_PropertyW with the size-then-read pattern.
    virtual PropertyValue ReadDevNodeProperty(DevNode node, std::uint32_t cmDrp) = 0;
    // CM_Set_DevNode_Registry_PropertyW, flags 0.
    virtual bool WriteDevNodeProperty(DevNode node, std::uint32_t cmDrp, std::span<const std::uint8_t> data) = 0;
};

}  // namespace qn38
