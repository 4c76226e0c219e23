// The emulated setupapi.dll: the SetupAPI functions QN38HotPlug.dll imports,
// over the emulated PC of machine.h. A test fixture, never shipped; loaded
// only by the product's executables, through the prefix's per-application
// DLL overrides that qn38-wine-pc sets.
//
// Each function keeps the contract of its page in Microsoft's SetupAPI
// reference ("SetupDiGetClassDevsW function (setupapi.h)" and so on) as
// strictly as Windows checks it, so that a caller's mistake fails here as it
// would on a PC: a record whose cbSize is not the platform's size fails with
// ERROR_INVALID_USER_BUFFER, a buffer too small with ERROR_INSUFFICIENT_BUFFER
// and the size needed, a property the device lacks with ERROR_INVALID_DATA.
// The one device interface of the machine is the card's disk's, whose path
// leads to the emulated driver's disk.
#define _SETUPAPI_
#include <windows.h>
#include <setupapi.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "sim/winepc/machine.h"

namespace {

using namespace qn38::winepc;

constexpr DWORD SET_MAGIC = 0x51385043;  // "CP8Q"

struct Element {
    std::uint32_t node;
    bool hasParams = false;
    SP_PROPCHANGE_PARAMS params{};
    SP_DEVINSTALL_PARAMS_W install{sizeof(SP_DEVINSTALL_PARAMS_W)};
};

struct DeviceSet {
    DWORD magic = SET_MAGIC;
    std::vector<Element> elements;
    bool hasParams = false;  // the set's own class install parameters
    SP_PROPCHANGE_PARAMS params{};
    SP_DEVINSTALL_PARAMS_W install{sizeof(SP_DEVINSTALL_PARAMS_W)};  // the set's own device install parameters
};

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

DeviceSet* SetOf(HDEVINFO handle) {
    auto* set = static_cast<DeviceSet*>(handle);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || set->magic != SET_MAGIC) return nullptr;
    return set;
}

// "SP_DEVINFO_DATA structure": cbSize must be sizeof(SP_DEVINFO_DATA); the
// record must be one this set handed out (its Reserved field says which).
Element* ElementOf(DeviceSet& set, const SP_DEVINFO_DATA* data, DWORD& error) {
    if (data == nullptr) {
        error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        error = ERROR_INVALID_USER_BUFFER;
        return nullptr;
    }
    const ULONG_PTR index = data->Reserved;
    if (index == 0 || index > set.elements.size() || set.elements[index - 1].node != data->DevInst) {
        error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    return &set.elements[index - 1];
}

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

bool ClassMatches(const GUID* classGuid, std::uint32_t node) {
    return classGuid == nullptr || SameGuid(*classGuid, NODES[node].classGuid);
}

// The one device of this machine with an interface: the card's disk.
bool HasInterface(std::uint32_t node, const GUID& interfaceGuid) {
    return node == DUMP_FIXTURE_NODE_DISK && SameGuid(interfaceGuid, DISK_INTERFACE);
}

// "SP_DEVICE_INTERFACE_DATA structure": Reserved says which element of the set it came from.
const Element* InterfaceElement(const DeviceSet& set, const SP_DEVICE_INTERFACE_DATA* data) {
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return nullptr;
    const ULONG_PTR index = data->Reserved;
    if (index == 0 || index > set.elements.size()) return nullptr;
    const Element& element = set.elements[index - 1];
    return HasInterface(element.node, data->InterfaceClassGuid) ? &element : nullptr;
}

}  // namespace

extern "C" {

// Not a SetupAPI function: tells a test that this process runs on the fixtures.
int WINAPI Qn38EmulatedMachine() { return 1; }

// "SetupDiGetClassDevsW function": Flags other than the DIGCF_ bits fail with
// ERROR_INVALID_FLAGS; with DIGCF_DEVICEINTERFACE the GUID is an interface
// class and is required unless DIGCF_ALLCLASSES is set; an enumerator names
// the devices' enumerator ("PCI"), compared without regard to case.
HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags) {
    (void)parent;
    constexpr DWORD KNOWN = DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE;
    if ((flags & ~KNOWN) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return INVALID_HANDLE_VALUE;
    }
    if ((flags & DIGCF_DEVICEINTERFACE) != 0 && classGuid == nullptr && (flags & DIGCF_ALLCLASSES) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const auto snapshot = MachineLink::Now();
    if (!snapshot) {
        SetLastError(ERROR_NOT_READY);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::unique_ptr<DeviceSet>(new (std::nothrow) DeviceSet);
    if (!set) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    const bool interfaces = (flags & DIGCF_DEVICEINTERFACE) != 0;
    for (std::uint32_t node = 1; node <= DUMP_FIXTURE_NODES; ++node) {
        if (!snapshot->Known(node)) continue;
        if ((flags & DIGCF_PRESENT) != 0 && !snapshot->Present(node)) continue;
        // With DIGCF_DEVICEINTERFACE the set holds the devices with an
        // interface of that class, or of any class with DIGCF_ALLCLASSES.
        if (interfaces && !HasInterface(node, (flags & DIGCF_ALLCLASSES) != 0 ? DISK_INTERFACE : *classGuid)) continue;
        if (!interfaces && (flags & DIGCF_ALLCLASSES) == 0 && !ClassMatches(classGuid, node)) continue;
        if (enumerator != nullptr) {
            const std::wstring_view name = EnumeratorOf(node);
            if (name.size() != wcslen(enumerator) || _wcsnicmp(name.data(), enumerator, name.size()) != 0) continue;
        }
        set->elements.push_back({node});
    }
    return set.release();
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
    DeviceSet* set = SetOf(handle);
    if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
    set->magic = 0;
    delete set;
    return TRUE;
}

// "SetupDiEnumDeviceInfo function": past the last device, ERROR_NO_MORE_ITEMS.
BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA data) {
    DeviceSet* set = SetOf(handle);
    if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (data == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    if (index >= set->elements.size()) return Fail(ERROR_NO_MORE_ITEMS);
    const std::uint32_t node = set->elements[index].node;
    data->ClassGuid = NODES[node].classGuid;
    data->DevInst = node;
    data->Reserved = index + 1;
    return TRUE;
}

// "SetupDiGetDeviceRegistryPropertyW function": the type and the size needed
// are reported on success and on ERROR_INSUFFICIENT_BUFFER; a null buffer
// must come with size 0; a property the device lacks is ERROR_INVALID_DATA.
BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD property, PDWORD type,
                                              PBYTE buffer, DWORD bufferSize, PDWORD requiredSize) {
    DeviceSet* set = SetOf(handle);
    if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
    DWORD error = 0;
    const Element* element = ElementOf(*set, data, error);
    if (element == nullptr) return Fail(error);
    if (property >= SPDRP_MAXIMUM_PROPERTY) return Fail(ERROR_INVALID_REG_PROPERTY);
    if (buffer == nullptr && bufferSize != 0) return Fail(ERROR_INVALID_USER_BUFFER);
    const auto snapshot = MachineLink::Now();
    if (!snapshot) return Fail(ERROR_NOT_READY);
    const auto value = PropertyOf(*snapshot, element->node, property);
    if (!value) return Fail(ERROR_INVALID_DATA);
    const DWORD size = static_cast<DWORD>(value->bytes.size());
    if (type != nullptr) *type = value->type;
    if (requiredSize != nullptr) *requiredSize = size;
    if (bufferSize < size) return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (size != 0) std::memcpy(buffer, value->bytes.data(), size);
    return TRUE;
}

// "SetupDiSetDeviceRegistryPropertyW function": a null buffer with size 0
// deletes the property. Of the properties this machine has, only the
// upper-filter list can be written (the others are the bus driver's); it is
// a REG_MULTI_SZ and must be one (ERROR_INVALID_DATA otherwise).
BOOL WINAPI SetupDiSetDeviceRegistryPropertyW(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD property,
                                              const BYTE* buffer, DWORD bufferSize) {
    DeviceSet* set = SetOf(handle);
    if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
    DWORD error = 0;
    const Element* element = ElementOf(*set, data, error);
    if (element == nullptr) return Fail(error);
    if (property != SPDRP_UPPERFILTERS) return Fail(ERROR_INVALID_REG_PROPERTY);
    if (buffer == nullptr && bufferSize != 0) return Fail(ERROR_INVALID_USER_BUFFER);
    DumpFixtureFilters filters{};
    filters.devnode = element->node;
    if (buffer == nullptr) {
        filters.bytes = DUMP_FIXTURE_NO_VALUE;
    } else {
        if (!IsMultiString(buffer, bufferSize) || bufferSize > sizeof filters.data) return Fail(ERROR_INVALID_DATA);
        filters.bytes = bufferSize;
        std::memcpy(filters.data, buffer, bufferSize);
    }
    if (!MachineLink::SetFilters(filters)) return Fail(ERROR_NOT_READY);
    return TRUE;
}

// "SetupDiSetClassInstallParamsW function": the header's cbSize must be
// sizeof(SP_CLASSINSTALL_HEADER) (ERROR_INVALID_USER_BUFFER), and for
// DIF_PROPERTYCHANGE the size given is that of SP_PROPCHANGE_PARAMS, whose
// StateChange is a DICS_ code and Scope a DICS_FLAG_ code (ERROR_INVALID_PARAMETER
// otherwise: "SP_PROPCHANGE_PARAMS structure"). A null header clears them.
BOOL WINAPI SetupDiSetClassInstallParamsW(HDEVINFO handle, PSP_DEVINFO_DATA data, PSP_CLASSINSTALL_HEADER header,
                                          DWORD size) {
    DeviceSet* set = SetOf(handle);
    if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
    Element* element = nullptr;
    if (data != nullptr) {
        DWORD error = 0;
        element = ElementOf(*set, data, error);
        if (element == nullptr) return Fail(error);
    }
    bool& hasParams = element != nullptr ? element->hasParams : set->hasParams;
    SP_PROPCHANGE_PARAMS& params = element != nullptr ? element->params : set->params;
    if (header == nullptr) {
        if (size != 0) return Fail(ERROR_INVALID_PARAMETER);
        hasParams = false;
        return TRUE;
    }
    if (header->cbSize != sizeof(SP_CLASSINSTALL_HEADER)) return Fail(ERROR_INVALID_USER_BUFFER);
    if (header->InstallFunction != DIF_PROPERTYCHANGE) return Fail(ERROR_INVALID_PARAMETER);
    if (size != sizeof(SP_PROPCHANGE_PARAMS)) return Fail(ERROR_INVALID_PARAMETER);
    const auto* given = reinterpret_cast<const SP_PROPCHANGE_PARAMS*>(header);
    if (given->StateChange < DICS_ENABLE || given->StateChange > DICS_STOP) return Fail(ERROR_INVALID_PARAMETER);
    if (given->Scope != DICS_FLAG_GLOBAL && given->Scope != DICS_FLAG_CONFIGSPECIFIC) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // DICS_START and DICS_STOP cannot be made globally.
    if ((given->StateChange == DICS_START || given->StateChange == DICS_STOP) &&
        given->Scope != DICS_FLAG_CONFIGSPECIFIC) {
        return Fail(ERROR_INVALID_FLAGS);
    }
    params = *given;
    hasParams = true;
    return TRUE;
}

// "SetupDiCallClassInstaller function" and "DIF_PROPERTYCHANGE": the default
// handler applies the parameters set before for the device, or for the set;
// without any it fails with ERROR_NO_CLASSINSTALL_PARAMS. This machine's
// installer knows no other function. A device the installer cannot stop
// now (qn38-wine-pc defer-stops) keeps running, and DI_NEEDRESTART in its
// install parameters says that the change waits for the next boot;
// DICS_PROPCHANGE returns once the device has stopped and started again.
BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO handle, PSP_DEVINFO_DATA data) {
    DeviceSet* set = SetOf(handle);
    if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (function != DIF_PROPERTYCHANGE) return Fail(ERROR_DI_DO_DEFAULT);
    DWORD error = 0;
    Element* element = ElementOf(*set, data, error);
    if (element == nullptr) return Fail(error);
    const SP_PROPCHANGE_PARAMS* params =
        element->hasParams ? &element->params : (set->hasParams ? &set->params : nullptr);
    if (params == nullptr) return Fail(ERROR_NO_CLASSINSTALL_PARAMS);
    const auto snapshot = MachineLink::Now();
    if (!snapshot) return Fail(ERROR_NOT_READY);
    if (!snapshot->Present(element->node)) return Fail(ERROR_NO_SUCH_DEVINST);
    bool deferred = false;
    if (!MachineLink::ChangeState(element->node, params->StateChange, &deferred)) return Fail(ERROR_NOT_READY);
    if (deferred) element->install.Flags |= DI_NEEDRESTART;
    return TRUE;
}

// "SetupDiGetDeviceInstallParamsW function" and "SetupDiSetDeviceInstallParamsW
// function": the parameters of the device, or of the set without one; the
// record's cbSize must be sizeof(SP_DEVINSTALL_PARAMS_W), else
// ERROR_INVALID_USER_BUFFER. The restart flags are what a caller set, and
// DI_NEEDRESTART where the installer put a change off.
static SP_DEVINSTALL_PARAMS_W* InstallParamsOf(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD& error) {
    DeviceSet* set = SetOf(handle);
    if (set == nullptr) {
        error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (data == nullptr) return &set->install;
    Element* element = ElementOf(*set, data, error);
    return element != nullptr ? &element->install : nullptr;
}

BOOL WINAPI SetupDiGetDeviceInstallParamsW(HDEVINFO handle, PSP_DEVINFO_DATA data, PSP_DEVINSTALL_PARAMS_W params) {
    DWORD error = 0;
    const SP_DEVINSTALL_PARAMS_W* stored = InstallParamsOf(handle, data, error);
    if (stored == nullptr) return Fail(error);
    if (params == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (params->cbSize != sizeof(SP_DEVINSTALL_PARAMS_W)) return Fail(ERROR_INVALID_USER_BUFFER);
    *params = *stored;
    return TRUE;
}

BOOL WINAPI SetupDiSetDeviceInstallParamsW(HDEVINFO handle, PSP_DEVINFO_DATA data, PSP_DEVINSTALL_PARAMS_W params) {
    DWORD error = 0;
    SP_DEVINSTALL_PARAMS_W* stored = InstallParamsOf(handle, data, error);
    if (stored == nullptr) return Fail(error);
    if (params == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (params->cbSize != sizeof(SP_DEVINSTALL_PARAMS_W)) return Fail(ERROR_INVALID_USER_BUFFER);
    *stored = *params;
    return TRUE;
}

// "SetupDiEnumDeviceInterfaces function": the interfaces of the given
// device, or of every device of the set, of the interface class; past the
// last one ERROR_NO_MORE_ITEMS. The record's cbSize must be
// sizeof(SP_DEVICE_INTERFACE_DATA) (ERROR_INVALID_USER_BUFFER).
BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA data, const GUID* interfaceGuid, DWORD index,
                                        PSP_DEVICE_INTERFACE_DATA interfaceData) {
    DeviceSet* set = SetOf(handle);
    if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (interfaceGuid == nullptr || interfaceData == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    const Element* only = nullptr;
    if (data != nullptr) {
        DWORD error = 0;
        only = ElementOf(*set, data, error);
        if (only == nullptr) return Fail(error);
    }
    DWORD seen = 0;
    for (std::size_t at = 0; at < set->elements.size(); ++at) {
        const Element& element = set->elements[at];
        if ((only != nullptr && &element != only) || !HasInterface(element.node, *interfaceGuid)) continue;
        if (seen++ != index) continue;
        interfaceData->InterfaceClassGuid = *interfaceGuid;
        interfaceData->Flags = SPINT_ACTIVE;
        interfaceData->Reserved = at + 1;
        return TRUE;
    }
    return Fail(ERROR_NO_MORE_ITEMS);
}

// "SetupDiGetDeviceInterfaceDetailW function": the detail record's cbSize
// is the size of its fixed part (8 on 64-bit Windows), else
// ERROR_INVALID_USER_BUFFER; a null record must come with size 0; a buffer
// too small is ERROR_INSUFFICIENT_BUFFER with the size needed, the record's
// fixed part and the path with its terminator. The device's record, when
// asked for, is checked and filled as SetupDiEnumDeviceInfo does.
BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                             PDWORD requiredSize, PSP_DEVINFO_DATA data) {
    DeviceSet* set = SetOf(handle);
    if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
    const Element* element = InterfaceElement(*set, interfaceData);
    if (element == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (detail == nullptr && detailSize != 0) return Fail(ERROR_INVALID_USER_BUFFER);
    if (detail != nullptr && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (data != nullptr && data->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    const std::size_t pathBytes = (wcslen(DISK_INTERFACE_PATH) + 1) * sizeof(wchar_t);
    const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + pathBytes);
    if (requiredSize != nullptr) *requiredSize = needed;
    if (detail == nullptr || detailSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(detail->DevicePath, DISK_INTERFACE_PATH, pathBytes);
    if (data != nullptr) {
        data->ClassGuid = NODES[element->node].classGuid;
        data->DevInst = element->node;
        data->Reserved = static_cast<ULONG_PTR>(element - set->elements.data()) + 1;
    }
    return TRUE;
}

}  // extern "C"
