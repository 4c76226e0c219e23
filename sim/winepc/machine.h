// The emulated PC's Plug and Play tree, shared by the emulated setupapi.dll
// and cfgmgr32.dll and by qn38-wine-pc: test fixtures, never shipped.
//
// What each devnode is stays fixed here; what changes (where the slot's bus
// is, whether the card's devnode exists, which devices are disabled, the
// upper-filter lists, the card's removal by Plug and Play and the handles
// open on it) lives in the emulated dump driver, so that every process (the
// tool, the service, the test) sees one machine. The tree:
//
//   1 HTREE\ROOT\0
//   └ 2 ACPI\PNP0A08\0                  the PCI root bus
//     ├ 3 host bridge                   bus 0
//     ├ 4 root port of the adapter      bus 0, a PCI-to-PCI bridge
//     │ ├ 5 adapter function            the slot's bus
//     │ └ 6 slot bridge                 the slot's bus, a PCI-to-PCI bridge
//     │   └ 7 the card                  the bus below, while it exists
//     │     └ 11 the card's disk        with the disk interface
//     ├ 8 another root port             bus 0
//     │ └ 9 network controller          bus 0x3C
//     └ 10 USB controller               bus 0
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/core/devnode_status.h"
#include "sim/winepc/driver/dump_fixture_protocol.h"

namespace qn38::winepc {

enum class BusOf { None, Fixed, Slot, BelowSlot };

struct NodeSpec {
    std::uint32_t parent;
    const wchar_t* instanceId;
    // REG_MULTI_SZ text: each string ends in a zero, the list in one more.
    std::wstring_view hardwareIds;
    std::wstring_view compatibleIds;
    const wchar_t* description;  // the card's comes from the machine
    GUID classGuid;
    BusOf busOf;
    std::uint32_t bus;  // for BusOf::Fixed
};

inline constexpr GUID SYSTEM_CLASS = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
inline constexpr GUID NET_CLASS = {0x4d36e972, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
inline constexpr GUID USB_CLASS = {0x36fc9e60, 0xc465, 0x11cf, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
inline constexpr GUID HDC_CLASS = {0x4d36e96a, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
inline constexpr GUID DISK_CLASS = {0x4d36e967, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
// GUID_DEVINTERFACE_DISK: the interface class of disks.
inline constexpr GUID DISK_INTERFACE = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

using namespace std::string_view_literals;

// Indexed by devnode; entry 0 is no devnode.
inline constexpr NodeSpec NODES[DUMP_FIXTURE_NODES + 1] = {
    {},
    {0, L"HTREE\\ROOT\\0", L"\0"sv, L"\0"sv, L"Root", SYSTEM_CLASS, BusOf::None, 0},
    {1, L"ACPI\\PNP0A08\\0", L"ACPI\\PNP0A08\0*PNP0A08\0\0"sv, L"*PNP0A03\0\0"sv, L"PCI Express Root Complex",
     SYSTEM_CLASS, BusOf::None, 0},
    {2, L"PCI\\VEN_8086&DEV_3E10&SUBSYS_00008086&REV_07\\3&11583659&0&00",
     L"PCI\\VEN_8086&DEV_3E10&SUBSYS_00008086&REV_07\0PCI\\VEN_8086&DEV_3E10&SUBSYS_00008086\0PCI\\VEN_8086&DEV_3E10\0\0"sv,
     L"PCI\\VEN_8086&DEV_3E10&REV_07\0PCI\\VEN_8086&DEV_3E10\0PCI\\VEN_8086&CC_060000\0PCI\\CC_060000\0PCI\\CC_0600\0\0"sv,
     L"Host Bridge/DRAM Registers", SYSTEM_CLASS, BusOf::Fixed, 0},
    {2, L"PCI\\VEN_8086&DEV_A110&SUBSYS_00008086&REV_F1\\3&11583659&0&E0",
     L"PCI\\VEN_8086&DEV_A110&SUBSYS_00008086&REV_F1\0PCI\\VEN_8086&DEV_A110&SUBSYS_00008086\0PCI\\VEN_8086&DEV_A110\0\0"sv,
     L"PCI\\VEN_8086&DEV_A110&REV_F1\0PCI\\VEN_8086&DEV_A110\0PCI\\VEN_8086&CC_060400\0PCI\\CC_060400\0PCI\\CC_0604\0\0"sv,
     L"PCI Express Root Port", SYSTEM_CLASS, BusOf::Fixed, 0},
    {4, L"PCI\\VEN_1217&DEV_02EB&SUBSYS_3A5C0E71&REV_01\\4&2F3E4A1&0&00E0",
     L"PCI\\VEN_1217&DEV_02EB&SUBSYS_3A5C0E71&REV_01\0PCI\\VEN_1217&DEV_02EB&SUBSYS_3A5C0E71\0PCI\\VEN_1217&DEV_02EB\0\0"sv,
     L"PCI\\VEN_1217&DEV_02EB&REV_01\0PCI\\VEN_1217&DEV_02EB\0PCI\\VEN_1217&CC_088000\0PCI\\CC_088000\0PCI\\CC_0880\0\0"sv,
     L"QN38EX ExpressCard Adapter", SYSTEM_CLASS, BusOf::Slot, 0},
    {4, L"PCI\\VEN_1217&DEV_02E3&SUBSYS_3A5C0E71&REV_01\\4&2F3E4A1&0&01E0",
     L"PCI\\VEN_1217&DEV_02E3&SUBSYS_3A5C0E71&REV_01\0PCI\\VEN_1217&DEV_02E3&SUBSYS_3A5C0E71\0PCI\\VEN_1217&DEV_02E3\0\0"sv,
     L"PCI\\VEN_1217&DEV_02E3&REV_01\0PCI\\VEN_1217&DEV_02E3\0PCI\\VEN_1217&CC_060400\0PCI\\CC_060400\0PCI\\CC_0604\0\0"sv,
     L"PCI standard PCI-to-PCI bridge", SYSTEM_CLASS, BusOf::Slot, 0},
    {6, L"PCI\\VEN_197B&DEV_2363&SUBSYS_2363197B&REV_03\\5&1A2B3C4D&0&0000E0",
     L"PCI\\VEN_197B&DEV_2363&SUBSYS_2363197B&REV_03\0PCI\\VEN_197B&DEV_2363&SUBSYS_2363197B\0PCI\\VEN_197B&DEV_2363\0\0"sv,
     L"PCI\\VEN_197B&DEV_2363&REV_03\0PCI\\VEN_197B&DEV_2363\0PCI\\VEN_197B&CC_010601\0PCI\\CC_010601\0PCI\\CC_0106\0\0"sv,
     nullptr, HDC_CLASS, BusOf::BelowSlot, 0},
    {2, L"PCI\\VEN_8086&DEV_A112&SUBSYS_00008086&REV_F1\\3&11583659&0&E2",
     L"PCI\\VEN_8086&DEV_A112&SUBSYS_00008086&REV_F1\0PCI\\VEN_8086&DEV_A112&SUBSYS_00008086\0PCI\\VEN_8086&DEV_A112\0\0"sv,
     L"PCI\\VEN_8086&DEV_A112&REV_F1\0PCI\\VEN_8086&DEV_A112\0PCI\\VEN_8086&CC_060400\0PCI\\CC_060400\0PCI\\CC_0604\0\0"sv,
     L"PCI Express Root Port", SYSTEM_CLASS, BusOf::Fixed, 0},
    {8, L"PCI\\VEN_8086&DEV_15B8&SUBSYS_07B11028&REV_10\\4&3B4C5D6E&0&00E2",
     L"PCI\\VEN_8086&DEV_15B8&SUBSYS_07B11028&REV_10\0PCI\\VEN_8086&DEV_15B8&SUBSYS_07B11028\0PCI\\VEN_8086&DEV_15B8\0\0"sv,
     L"PCI\\VEN_8086&DEV_15B8&REV_10\0PCI\\VEN_8086&DEV_15B8\0PCI\\VEN_8086&CC_020000\0PCI\\CC_020000\0PCI\\CC_0200\0\0"sv,
     L"Ethernet Connection", NET_CLASS, BusOf::Fixed, 0x3C},
    {2, L"PCI\\VEN_8086&DEV_A36D&SUBSYS_00008086&REV_10\\3&11583659&0&A0",
     L"PCI\\VEN_8086&DEV_A36D&SUBSYS_00008086&REV_10\0PCI\\VEN_8086&DEV_A36D&SUBSYS_00008086\0PCI\\VEN_8086&DEV_A36D\0\0"sv,
     L"PCI\\VEN_8086&DEV_A36D&REV_10\0PCI\\VEN_8086&DEV_A36D\0PCI\\VEN_8086&CC_0C0330\0PCI\\CC_0C0330\0PCI\\CC_0C03\0\0"sv,
     L"USB 3.1 eXtensible Host Controller", USB_CLASS, BusOf::Fixed, 0},
    {7, L"SCSI\\DISK&VEN_QN38&PROD_TEST_DISK\\6&1234ABCD&0&000000",
     L"SCSI\\DiskQN38____TEST_DISK_______1.00\0SCSI\\DiskQN38____\0SCSI\\DiskQN38\0GenDisk\0\0"sv,
     L"SCSI\\Disk\0SCSI\\RAW\0\0"sv, L"QN38 Test Disk", DISK_CLASS, BusOf::None, 0},
};

// The device path of the card's disk interface: the driver's link to its disk.
inline constexpr const wchar_t* DISK_INTERFACE_PATH = L"\\\\?\\" DUMP_FIXTURE_DISK_LINK;

// The enumerator that named the device: the instance ID up to its first backslash ("PCI").
inline std::wstring_view EnumeratorOf(std::uint32_t node) {
    const std::wstring_view id = NODES[node].instanceId;
    return id.substr(0, id.find(L'\\'));
}

// The machine as the driver has it at one moment.
struct Snapshot {
    DumpFixtureMachine machine{};

    bool Valid(std::uint32_t node) const { return node >= 1 && node <= DUMP_FIXTURE_NODES; }
    bool Disabled(std::uint32_t node) const { return (machine.disabled & (1u << node)) != 0; }

    // A devnode exists while its parent exists and runs: disabling a device
    // takes its children away. The card's exists only while the driver says so.
    bool Present(std::uint32_t node) const {
        if (!Valid(node)) return false;
        if (node == DUMP_FIXTURE_NODE_CARD && machine.cardDevnode == 0) return false;
        // Only a started card has its disk: not one that failed to start,
        // was removed or is leaving.
        if (node == DUMP_FIXTURE_NODE_DISK && !Started(DUMP_FIXTURE_NODE_CARD)) return false;
        const std::uint32_t parent = NODES[node].parent;
        return parent == 0 || (Present(parent) && !Disabled(parent));
    }
    // Devices that are not present keep their registry entries: the card and
    // its disk once they have been seen.
    bool Known(std::uint32_t node) const {
        const bool card = node == DUMP_FIXTURE_NODE_CARD || node == DUMP_FIXTURE_NODE_DISK;
        return Present(node) || (card && machine.cardKnown != 0);
    }
    std::optional<std::uint32_t> Bus(std::uint32_t node) const {
        switch (NODES[node].busOf) {
        case BusOf::None:
            return std::nullopt;
        case BusOf::Fixed:
            return NODES[node].bus;
        case BusOf::Slot:
            return machine.slot.bus;
        case BusOf::BelowSlot:
            return (machine.slot.bus + 1) & 0xFF;
        }
        return std::nullopt;
    }
    // The card given a problem, or one whose driver Windows still installs
    // (not configured yet), is reported as Windows reports a device that is
    // not started: the problem flag set and DN_STARTED clear.
    bool Installing(std::uint32_t node) const { return node == DUMP_FIXTURE_NODE_CARD && machine.installing != 0; }
    bool Failed(std::uint32_t node) const {
        return node == DUMP_FIXTURE_NODE_CARD && (machine.card.problem != 0 || Installing(node));
    }
    // Removed by a query-remove or an eject while the card is still in: held
    // for eject, as Windows shows a device prepared for safe removal that
    // has not been taken out.
    bool Removed(std::uint32_t node) const { return node == DUMP_FIXTURE_NODE_CARD && machine.cardRemoved != 0; }
    // Its function gone from the bus, the devnode not yet: kept by an open
    // handle, or lingering.
    bool RemovalPending(std::uint32_t node) const {
        return node == DUMP_FIXTURE_NODE_CARD && !Removed(node) && (machine.cardGone != 0 || machine.leavingMs != 0);
    }
    bool Started(std::uint32_t node) const {
        return !Disabled(node) && !Failed(node) && !Removed(node) && !RemovalPending(node);
    }
    // The card sits in a hot-plug slot: its devnode is removable.
    std::uint32_t Status(std::uint32_t node) const {
        const std::uint32_t removable = node == DUMP_FIXTURE_NODE_CARD ? DN_REMOVABLE_FLAG : 0;
        if (Disabled(node) || Removed(node)) return STATUS_PROBLEM | removable;
        if (RemovalPending(node)) return STATUS_REMOVAL_PENDING | removable;
        if (Failed(node)) return (STATUS_RUNNING & ~DN_STARTED_FLAG) | DN_HAS_PROBLEM_FLAG | removable;
        return STATUS_RUNNING | removable;
    }
    std::uint32_t Problem(std::uint32_t node) const {
        if (Disabled(node)) return CM_PROB_DISABLED_CODE;
        if (Removed(node)) return CM_PROB_HELD_FOR_EJECT_CODE;
        if (RemovalPending(node)) return 0;
        if (Installing(node)) return CM_PROB_NOT_CONFIGURED_CODE;
        return Failed(node) ? machine.card.problem : 0;
    }
    std::optional<std::uint32_t> FirstChild(std::uint32_t node) const {
        for (std::uint32_t child = 1; child <= DUMP_FIXTURE_NODES; ++child) {
            if (NODES[child].parent == node && Present(child)) return child;
        }
        return std::nullopt;
    }
};

// The driver's Plug and Play device. Opened per request, with sharing, so a
// process holds nothing between calls.
class MachineLink {
public:
    static bool Control(DWORD code, const void* in, DWORD inBytes, void* out, DWORD outBytes) {
        const HANDLE device = CreateFileW(L"\\\\.\\QN38PNP", GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (device == INVALID_HANDLE_VALUE) return false;
        DWORD returned = 0;
        const BOOL done =
            DeviceIoControl(device, code, const_cast<void*>(in), inBytes, out, outBytes, &returned, nullptr);
        CloseHandle(device);
        return done != FALSE;
    }

    static std::optional<Snapshot> Now() {
        Snapshot snapshot;
        if (!Control(DUMP_FIXTURE_GET_MACHINE, nullptr, 0, &snapshot.machine, sizeof snapshot.machine)) {
            return std::nullopt;
        }
        return snapshot;
    }
    static bool Reenumerate(std::uint32_t node) {
        return Control(DUMP_FIXTURE_REENUMERATE, &node, sizeof node, nullptr, 0);
    }
    // `deferred`: the device could not be stopped now; the change waits for the next boot.
    static bool ChangeState(std::uint32_t node, std::uint32_t change, bool* deferred = nullptr) {
        std::uint32_t request[2] = {node, change};
        if (!Control(DUMP_FIXTURE_STATE_CHANGE, request, sizeof request, request, sizeof request)) return false;
        if (deferred != nullptr) *deferred = request[0] != 0;
        return true;
    }
    // The next `count` stops of a device (disable, stop, restart) are put off to the next boot.
    static bool DeferStops(std::uint32_t count) {
        return Control(DUMP_FIXTURE_DEFER_STOPS, &count, sizeof count, nullptr, 0);
    }
    struct Removal {
        std::uint32_t result = DUMP_FIXTURE_REMOVAL_UNMODELLED;  // DUMP_FIXTURE_REMOVAL_
        std::uint32_t vetoedBy = 0;                              // the devnode whose open handle refused
    };
    // `keep`: kept from restarting until reset (CM_REMOVE_NO_RESTART, or an eject).
    static std::optional<Removal> RemoveSubtree(std::uint32_t node, bool keep) {
        std::uint32_t request[2] = {node, keep ? 1u : 0u};
        if (!Control(DUMP_FIXTURE_REMOVE_SUBTREE, request, sizeof request, request, sizeof request))
            return std::nullopt;
        return Removal{request[0], request[1]};
    }
    static bool ResetDevNode(std::uint32_t node) {
        return Control(DUMP_FIXTURE_RESET_DEVNODE, &node, sizeof node, nullptr, 0);
    }
    // A program opens (or closes) a handle on the card's device.
    static bool HoldCard(bool open) {
        const std::uint32_t value = open ? 1 : 0;
        return Control(DUMP_FIXTURE_HOLD_CARD, &value, sizeof value, nullptr, 0);
    }
    static std::optional<DumpFixtureFilters> Filters(std::uint32_t node) {
        DumpFixtureFilters filters{};
        filters.devnode = node;
        if (!Control(DUMP_FIXTURE_GET_FILTERS, &filters, sizeof filters, &filters, sizeof filters)) {
            return std::nullopt;
        }
        return filters;
    }
    static bool SetFilters(const DumpFixtureFilters& filters) {
        return Control(DUMP_FIXTURE_SET_FILTERS, &filters, sizeof filters, nullptr, 0);
    }
    // The slot bridge on `bus` with an empty slot and its link up.
    static bool PlaceSlot(std::uint32_t bus, std::uint32_t subsystem = DUMP_FIXTURE_SUBSYSTEM) {
        const DumpFixtureSlot slot{bus, subsystem, 0, DUMP_FIXTURE_LINK_STATUS};
        return Control(DUMP_FIXTURE_SET_SLOT, &slot, sizeof slot, nullptr, 0);
    }
    static bool Pull() {
        const std::uint32_t pulled = 0;
        return Control(DUMP_FIXTURE_SET_CARD, &pulled, sizeof pulled, nullptr, 0);
    }
    static bool Insert(const DumpFixtureCard& card) {
        return Control(DUMP_FIXTURE_INSERT_CARD, &card, sizeof card, nullptr, 0);
    }
};

// A device's registry property as both interfaces report it.
struct Property {
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;
};

inline Property Text(std::wstring_view text, DWORD type) {
    Property property{type, {}};
    const auto* first = reinterpret_cast<const BYTE*>(text.data());
    property.bytes.assign(first, first + text.size() * sizeof(wchar_t));
    return property;
}

// SetupAPI's SPDRP_ codes (CfgMgr's CM_DRP_ codes are one higher). The
// registry types are those of Microsoft's "SetupDiGetDeviceRegistryProperty"
// page. The fixture knows these; any other is a property the device lacks.
inline constexpr DWORD SPDRP_DEVICEDESC_CODE = 0x00;
inline constexpr DWORD SPDRP_HARDWAREID_CODE = 0x01;
inline constexpr DWORD SPDRP_COMPATIBLEIDS_CODE = 0x02;
inline constexpr DWORD SPDRP_CLASSGUID_CODE = 0x08;
inline constexpr DWORD SPDRP_UPPERFILTERS_CODE = 0x11;
inline constexpr DWORD SPDRP_BUSNUMBER_CODE = 0x15;
inline constexpr DWORD SPDRP_ENUMERATOR_NAME_CODE = 0x16;

inline std::optional<Property> PropertyOf(const Snapshot& snapshot, std::uint32_t node, DWORD spdrp) {
    const NodeSpec& spec = NODES[node];
    switch (spdrp) {
    case SPDRP_DEVICEDESC_CODE: {
        std::wstring_view text = spec.description != nullptr ? spec.description : L"";
        if (node == DUMP_FIXTURE_NODE_CARD) {
            const auto* name = reinterpret_cast<const wchar_t*>(snapshot.machine.card.name);
            text = std::wstring_view(name, wcsnlen(name, DUMP_FIXTURE_NAME_UNITS));
        }
        return Text(std::wstring(text) + L'\0', REG_SZ);
    }
    case SPDRP_HARDWAREID_CODE:
        if (spec.hardwareIds.size() <= 1) return std::nullopt;
        return Text(spec.hardwareIds, REG_MULTI_SZ);
    case SPDRP_COMPATIBLEIDS_CODE:
        if (spec.compatibleIds.size() <= 1) return std::nullopt;
        return Text(spec.compatibleIds, REG_MULTI_SZ);
    case SPDRP_CLASSGUID_CODE: {
        wchar_t text[40] = {};
        const GUID& g = spec.classGuid;
        swprintf(text, 40, L"{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3,
                 g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
        return Text(std::wstring(text) + L'\0', REG_SZ);
    }
    case SPDRP_UPPERFILTERS_CODE: {
        const auto filters = MachineLink::Filters(node);
        if (!filters || filters->bytes == DUMP_FIXTURE_NO_VALUE) return std::nullopt;
        return Property{REG_MULTI_SZ, std::vector<BYTE>(filters->data, filters->data + filters->bytes)};
    }
    case SPDRP_BUSNUMBER_CODE: {
        const auto bus = snapshot.Bus(node);
        if (!bus) return std::nullopt;
        Property property{REG_DWORD, std::vector<BYTE>(sizeof(DWORD))};
        std::memcpy(property.bytes.data(), &*bus, sizeof(DWORD));
        return property;
    }
    case SPDRP_ENUMERATOR_NAME_CODE:
        return Text(std::wstring(EnumeratorOf(node)) + L'\0', REG_SZ);
    default:
        return std::nullopt;
    }
}

// A REG_MULTI_SZ value as Windows stores one: whole UTF-16 units, and the
// last string's terminator followed by the list's, or the empty list.
inline bool IsMultiString(const BYTE* data, DWORD bytes) {
    if (bytes % sizeof(wchar_t) != 0 || bytes < sizeof(wchar_t)) return false;
    const DWORD units = bytes / sizeof(wchar_t);
    wchar_t last[2] = {};
    std::memcpy(last, data + bytes - (units >= 2 ? 2 : 1) * sizeof(wchar_t), (units >= 2 ? 2 : 1) * sizeof(wchar_t));
    return units == 1 ? last[0] == 0 : last[0] == 0 && last[1] == 0;
}

}  // namespace qn38::winepc
