// The emulated cfgmgr32.dll: the CfgMgr functions QN38HotPlug.dll imports,
// over the emulated PC of machine.h. A test fixture, never shipped; loaded
// only by the product's executables, through the prefix's per-application
// DLL overrides that qn38-wine-pc sets.
//
// Each function keeps the contract of its page in Microsoft's CfgMgr
// reference ("CM_Get_Parent function (cfgmgr32.h)" and so on): flags that
// must be zero are (CR_INVALID_FLAG), output pointers are required
// (CR_INVALID_POINTER), a handle that names no devnode is CR_INVALID_DEVNODE
// and one whose device has gone CR_NO_SUCH_DEVINST, and a walk past the
// tree's ends is CR_NO_SUCH_DEVNODE.
#define _CFGMGR32_
#include <windows.h>
#include <cfgmgr32.h>

#include <cstring>

#include "sim/winepc/machine.h"

namespace {

using namespace qn38::winepc;

// The devnode of a handle with the machine as it is now, or the CR_ code.
CONFIGRET Resolve(DEVINST handle, std::optional<Snapshot>& snapshot) {
    if (handle == 0 || handle > DUMP_FIXTURE_NODES) return CR_INVALID_DEVNODE;
    snapshot = MachineLink::Now();
    if (!snapshot) return CR_FAILURE;
    if (!snapshot->Present(handle)) return CR_NO_SUCH_DEVINST;
    return CR_SUCCESS;
}

}  // namespace

extern "C" {

// Not a CfgMgr function: tells a test that this process runs on the fixtures.
int WINAPI Qn38EmulatedMachine() { return 1; }

CONFIGRET WINAPI CM_Get_Parent(PDEVINST parent, DEVINST node, ULONG flags) {
    if (parent == nullptr) return CR_INVALID_POINTER;
    *parent = 0;
    if (flags != 0) return CR_INVALID_FLAG;
    std::optional<Snapshot> snapshot;
    if (const CONFIGRET error = Resolve(node, snapshot); error != CR_SUCCESS) return error;
    if (NODES[node].parent == 0) return CR_NO_SUCH_DEVNODE;
    *parent = NODES[node].parent;
    return CR_SUCCESS;
}

// "CM_Get_Sibling function": the next child of the same parent.
CONFIGRET WINAPI CM_Get_Sibling(PDEVINST sibling, DEVINST node, ULONG flags) {
    if (sibling == nullptr) return CR_INVALID_POINTER;
    *sibling = 0;
    if (flags != 0) return CR_INVALID_FLAG;
    std::optional<Snapshot> snapshot;
    if (const CONFIGRET error = Resolve(node, snapshot); error != CR_SUCCESS) return error;
    for (std::uint32_t next = node + 1; next <= DUMP_FIXTURE_NODES; ++next) {
        if (NODES[next].parent == NODES[node].parent && snapshot->Present(next)) {
            *sibling = next;
            return CR_SUCCESS;
        }
    }
    return CR_NO_SUCH_DEVNODE;
}

// "CM_Locate_DevNodeW function": the instance ID is compared without regard
// to case; a device that is not present is CR_NO_SUCH_DEVNODE unless
// CM_LOCATE_DEVNODE_PHANTOM is given.
CONFIGRET WINAPI CM_Locate_DevNodeW(PDEVINST node, DEVINSTID_W instanceId, ULONG flags) {
    if (node == nullptr) return CR_INVALID_POINTER;
    *node = 0;
    if ((flags & ~CM_LOCATE_DEVNODE_BITS) != 0) return CR_INVALID_FLAG;
    const auto snapshot = MachineLink::Now();
    if (!snapshot) return CR_FAILURE;
    if (instanceId == nullptr || *instanceId == 0) {
        *node = 1;  // the root of the tree
        return CR_SUCCESS;
    }
    for (std::uint32_t candidate = 1; candidate <= DUMP_FIXTURE_NODES; ++candidate) {
        if (_wcsicmp(NODES[candidate].instanceId, instanceId) != 0) continue;
        const bool phantom = (flags & CM_LOCATE_DEVNODE_PHANTOM) != 0;
        if (!snapshot->Present(candidate) && !(phantom && snapshot->Known(candidate))) return CR_NO_SUCH_DEVNODE;
        *node = candidate;
        return CR_SUCCESS;
    }
    return CR_NO_SUCH_DEVNODE;
}

// "CM_Query_And_Remove_SubTreeW function" and "CM_Request_Device_EjectW
// function": the veto outputs are optional, a name buffer needs its length,
// and the flags are CM_REMOVE_ bits (eject takes none). Everyone below the
// devnode is asked first: a handle open on the card refuses with
// CR_REMOVE_VETOED, PNP_VetoOutstandingOpen and the instance path of the
// device it is open on ("PNP_VETO_TYPE enumeration"). Granted, the card's
// devnode stays, removed and held for eject, its disk gone; with
// CM_REMOVE_NO_RESTART (and always for an eject) it stays so until
// CM_Setup_DevNode resets it. Only the card's devices can be removed on
// this machine.
static CONFIGRET Remove(DEVINST node, PPNP_VETO_TYPE vetoType, LPWSTR vetoName, ULONG nameLength, bool keep) {
    if (vetoType != nullptr) *vetoType = PNP_VetoTypeUnknown;
    if (vetoName != nullptr) {
        if (nameLength == 0) return CR_INVALID_POINTER;
        *vetoName = 0;
    }
    std::optional<Snapshot> snapshot;
    if (const CONFIGRET error = Resolve(node, snapshot); error != CR_SUCCESS) return error;
    const auto removal = MachineLink::RemoveSubtree(node, keep);
    if (!removal) return CR_FAILURE;
    if (removal->result == DUMP_FIXTURE_REMOVAL_GRANTED) return CR_SUCCESS;
    if (removal->result != DUMP_FIXTURE_REMOVAL_VETOED) return CR_FAILURE;
    if (vetoType != nullptr) *vetoType = PNP_VetoOutstandingOpen;
    if (vetoName != nullptr) {
        const wchar_t* path = NODES[removal->vetoedBy].instanceId;
        wcsncpy(vetoName, path, nameLength - 1);
        vetoName[nameLength - 1] = 0;
    }
    return CR_REMOVE_VETOED;
}

CONFIGRET WINAPI CM_Query_And_Remove_SubTreeW(DEVINST node, PPNP_VETO_TYPE vetoType, LPWSTR vetoName, ULONG nameLength,
                                              ULONG flags) {
    if ((flags & ~CM_REMOVE_BITS) != 0) return CR_INVALID_FLAG;
    return Remove(node, vetoType, vetoName, nameLength, (flags & CM_REMOVE_NO_RESTART) != 0);
}

CONFIGRET WINAPI CM_Request_Device_EjectW(DEVINST node, PPNP_VETO_TYPE vetoType, LPWSTR vetoName, ULONG nameLength,
                                          ULONG flags) {
    if (flags != 0) return CR_INVALID_FLAG;
    return Remove(node, vetoType, vetoName, nameLength, true);
}

// "CM_Setup_DevNode function": one of the CM_SETUP_ values.
// CM_SETUP_DEVNODE_RESET lets a devnode kept from restarting start again
// at the next enumeration that reaches it; a device without a problem is
// left as it is.
CONFIGRET WINAPI CM_Setup_DevNode(DEVINST node, ULONG flags) {
    if ((flags & ~CM_SETUP_BITS) != 0) return CR_INVALID_FLAG;
    std::optional<Snapshot> snapshot;
    if (const CONFIGRET error = Resolve(node, snapshot); error != CR_SUCCESS) return error;
    if (flags != CM_SETUP_DEVNODE_RESET) return CR_SUCCESS;
    return MachineLink::ResetDevNode(node) ? CR_SUCCESS : CR_FAILURE;
}

CONFIGRET WINAPI CM_Get_Child(PDEVINST child, DEVINST node, ULONG flags) {
    if (child == nullptr) return CR_INVALID_POINTER;
    *child = 0;
    if (flags != 0) return CR_INVALID_FLAG;
    std::optional<Snapshot> snapshot;
    if (const CONFIGRET error = Resolve(node, snapshot); error != CR_SUCCESS) return error;
    const auto first = snapshot->FirstChild(node);
    if (!first) return CR_NO_SUCH_DEVNODE;
    *child = *first;
    return CR_SUCCESS;
}

// "CM_Get_DevNode_Status function": both outputs are required.
CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST node, ULONG flags) {
    if (status == nullptr || problem == nullptr) return CR_INVALID_POINTER;
    *status = 0;
    *problem = 0;
    if (flags != 0) return CR_INVALID_FLAG;
    std::optional<Snapshot> snapshot;
    if (const CONFIGRET error = Resolve(node, snapshot); error != CR_SUCCESS) return error;
    *status = snapshot->Status(node);
    *problem = snapshot->Problem(node);
    return CR_SUCCESS;
}

// "CM_Reenumerate_DevNode function": the flags are CM_REENUMERATE_ bits, and
// SYNCHRONOUS and ASYNCHRONOUS exclude each other. With NORMAL (0) or
// SYNCHRONOUS the call returns once the bus has been scanned; the scan is
// made here before returning, in every case. A card that does not answer
// then is not found, and nothing scans again by itself.
CONFIGRET WINAPI CM_Reenumerate_DevNode(DEVINST node, ULONG flags) {
    if ((flags & ~CM_REENUMERATE_BITS) != 0) return CR_INVALID_FLAG;
    const ULONG both = CM_REENUMERATE_SYNCHRONOUS | CM_REENUMERATE_ASYNCHRONOUS;
    if ((flags & both) == both) return CR_INVALID_FLAG;
    std::optional<Snapshot> snapshot;
    if (const CONFIGRET error = Resolve(node, snapshot); error != CR_SUCCESS) return error;
    return MachineLink::Reenumerate(node) ? CR_SUCCESS : CR_FAILURE;
}

// "CM_Get_DevNode_Registry_PropertyW function": the length is in bytes; with
// no buffer it must be 0 on entry and receives the size; a buffer smaller
// than the value is CR_BUFFER_SMALL with the size needed; a value the device
// lacks is CR_NO_SUCH_VALUE; a property code outside CM_DRP_MIN to CM_DRP_MAX
// is CR_INVALID_PROPERTY.
CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyW(DEVINST node, ULONG property, PULONG type, PVOID buffer,
                                                   PULONG length, ULONG flags) {
    if (length == nullptr) return CR_INVALID_POINTER;
    if (buffer == nullptr && *length != 0) return CR_INVALID_POINTER;
    if (flags != 0) return CR_INVALID_FLAG;
    if (property < CM_DRP_MIN || property > CM_DRP_MAX) return CR_INVALID_PROPERTY;
    std::optional<Snapshot> snapshot;
    if (const CONFIGRET error = Resolve(node, snapshot); error != CR_SUCCESS) return error;
    const auto value = PropertyOf(*snapshot, node, property - 1);
    if (!value) {
        *length = 0;
        return CR_NO_SUCH_VALUE;
    }
    const ULONG size = static_cast<ULONG>(value->bytes.size());
    if (type != nullptr) *type = value->type;
    const ULONG room = *length;
    *length = size;
    if (buffer == nullptr || room < size) return CR_BUFFER_SMALL;
    std::memcpy(buffer, value->bytes.data(), size);
    return CR_SUCCESS;
}

// "CM_Set_DevNode_Registry_PropertyW function": a null buffer must come with
// length 0, and length 0 deletes the value; otherwise the data must be of
// the property's type (a REG_MULTI_SZ for the filter lists: CR_INVALID_DATA
// otherwise). Only the upper-filter list of this machine can be written.
CONFIGRET WINAPI CM_Set_DevNode_Registry_PropertyW(DEVINST node, ULONG property, PCVOID buffer, ULONG length,
                                                   ULONG flags) {
    if (buffer == nullptr && length != 0) return CR_INVALID_POINTER;
    if (flags != 0) return CR_INVALID_FLAG;
    if (property < CM_DRP_MIN || property > CM_DRP_MAX) return CR_INVALID_PROPERTY;
    std::optional<Snapshot> snapshot;
    if (const CONFIGRET error = Resolve(node, snapshot); error != CR_SUCCESS) return error;
    if (property != CM_DRP_UPPERFILTERS) return CR_INVALID_PROPERTY;
    DumpFixtureFilters filters{};
    filters.devnode = node;
    if (length == 0) {
        filters.bytes = DUMP_FIXTURE_NO_VALUE;
    } else {
        const auto* bytes = static_cast<const BYTE*>(buffer);
        if (!IsMultiString(bytes, length) || length > sizeof filters.data) return CR_INVALID_DATA;
        filters.bytes = length;
        std::memcpy(filters.data, bytes, length);
    }
    return MachineLink::SetFilters(filters) ? CR_SUCCESS : CR_FAILURE;
}

}  // extern "C"
