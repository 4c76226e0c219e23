#include "lib/win32/device_tree_win32.h"

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include <vector>

#include "lib/win32/handles.h"
#include "lib/win32/property_win32.h"

namespace qn38::win32 {
namespace {

class Win32DeviceSet final : public DeviceSet {
public:
    explicit Win32DeviceSet(DeviceInfoSet set) : set_(std::move(set)) {}

    std::optional<DevNode> Device(std::uint32_t index) override {
        SP_DEVINFO_DATA* data = Data(index);
        if (data == nullptr) return std::nullopt;
        return data->DevInst;
    }

    PropertyValue ReadProperty(std::uint32_t index, std::uint32_t spdrp) override {
        SP_DEVINFO_DATA* data = Data(index);
        if (data == nullptr) return {};
        return ReadSetupProperty(set_.get(), *data, spdrp);
    }

    bool WriteProperty(std::uint32_t index, std::uint32_t spdrp, std::span<const std::uint8_t> bytes) override {
        SP_DEVINFO_DATA* data = Data(index);
        if (data == nullptr) return false;
        // No buffer with length 0 deletes the property.
        return SetupDiSetDeviceRegistryPropertyW(set_.get(), data, spdrp, bytes.empty() ? nullptr : bytes.data(),
                                                 static_cast<DWORD>(bytes.size())) != FALSE;
    }

    StateChangeOutcome ChangeState(std::uint32_t index, std::uint32_t stateChange) override {
        SP_DEVINFO_DATA* data = Data(index);
        if (data == nullptr) return StateChangeOutcome::NotCalled;
        // The device's install parameters keep an earlier call's restart
        // flags; cleared first, what they show afterwards is this call's.
        SP_DEVINSTALL_PARAMS_W install{};
        install.cbSize = sizeof install;
        if (SetupDiGetDeviceInstallParamsW(set_.get(), data, &install)) {
            install.Flags &= ~static_cast<DWORD>(DI_NEEDREBOOT | DI_NEEDRESTART);
            SetupDiSetDeviceInstallParamsW(set_.get(), data, &install);
        }
        SP_PROPCHANGE_PARAMS params{};
        params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
        params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
        params.StateChange = stateChange;
        params.Scope = DICS_FLAG_CONFIGSPECIFIC;
        params.HwProfile = 0;
        if (!SetupDiSetClassInstallParamsW(set_.get(), data, &params.ClassInstallHeader, sizeof params)) {
            return StateChangeOutcome::NotCalled;
        }
        if (!SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set_.get(), data)) return StateChangeOutcome::Refused;
        // A device that could not be stopped now (a file open on a volume
        // below it) is changed at the next boot: the installer says so here.
        install = SP_DEVINSTALL_PARAMS_W{};
        install.cbSize = sizeof install;
        if (SetupDiGetDeviceInstallParamsW(set_.get(), data, &install) &&
            (install.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART)) != 0) {
            return StateChangeOutcome::NeedsRestart;
        }
        return StateChangeOutcome::Called;
    }

private:
    // SP_DEVINFO_DATA records are kept per index so a device found once is
    // addressed with the same record by every later call on this set.
    SP_DEVINFO_DATA* Data(std::uint32_t index) {
        while (devices_.size() <= index) {
            SP_DEVINFO_DATA data{};
            data.cbSize = sizeof data;
            if (!SetupDiEnumDeviceInfo(set_.get(), static_cast<DWORD>(devices_.size()), &data)) return nullptr;
            devices_.push_back(data);
        }
        return &devices_[index];
    }

    DeviceInfoSet set_;
    std::vector<SP_DEVINFO_DATA> devices_;
};

}  // namespace

std::unique_ptr<DeviceSet> Win32DeviceTree::OpenDevices(DeviceSetKind kind) {
    HDEVINFO set = INVALID_HANDLE_VALUE;
    switch (kind) {
    case DeviceSetKind::PciPresent:
        set = SetupDiGetClassDevsW(nullptr, L"PCI", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
        break;
    case DeviceSetKind::AllClassesPresent:
        set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
        break;
    case DeviceSetKind::AllClassesWithAbsent:
        set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
        break;
    }
    DeviceInfoSet owned(set);
    if (!owned) return nullptr;
    return std::make_unique<Win32DeviceSet>(std::move(owned));
}

std::optional<DevNode> Win32DeviceTree::Parent(DevNode node) {
    DEVINST parent = 0;
    if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) return std::nullopt;
    return parent;
}

std::optional<DevNode> Win32DeviceTree::FirstChild(DevNode node) {
    DEVINST child = 0;
    if (CM_Get_Child(&child, node, 0) != CR_SUCCESS) return std::nullopt;
    return child;
}

std::optional<DevNode> Win32DeviceTree::NextSibling(DevNode node) {
    DEVINST sibling = 0;
    if (CM_Get_Sibling(&sibling, node, 0) != CR_SUCCESS) return std::nullopt;
    return sibling;
}

RemovalOutcome Win32DeviceTree::RemoveSubtree(DevNode node, RemovalKind kind) {
    PNP_VETO_TYPE vetoType = PNP_VetoTypeUnknown;
    WCHAR vetoName[MAX_PATH] = {};
    // No dialog: the service runs where nobody sees one, and the tool says
    // who refused. Kept from restarting, the card's devices stay down until
    // the link has dropped, or until a failed stop brings them back.
    const CONFIGRET result = kind == RemovalKind::Eject
                                 ? CM_Request_Device_EjectW(node, &vetoType, vetoName, MAX_PATH, 0)
                                 : CM_Query_And_Remove_SubTreeW(node, &vetoType, vetoName, MAX_PATH,
                                                                CM_REMOVE_UI_NOT_OK | CM_REMOVE_NO_RESTART);
    RemovalOutcome outcome;
    if (result == CR_SUCCESS) {
        outcome.result = RemovalResult::Removed;
    } else if (result == CR_REMOVE_VETOED) {
        outcome.result = RemovalResult::Vetoed;
        outcome.veto.type = static_cast<std::uint32_t>(vetoType);
        vetoName[MAX_PATH - 1] = 0;
        outcome.veto.name = reinterpret_cast<const char16_t*>(vetoName);
    }
    return outcome;
}

bool Win32DeviceTree::ResetDevNode(DevNode node) {
    return CM_Setup_DevNode(node, CM_SETUP_DEVNODE_RESET) == CR_SUCCESS;
}

std::optional<DevNode> Win32DeviceTree::Locate(std::u16string_view instancePath) {
    std::wstring path(instancePath.begin(), instancePath.end());
    DEVINST node = 0;
    if (CM_Locate_DevNodeW(&node, path.data(), CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) return std::nullopt;
    return node;
}

std::optional<DevNodeStatus> Win32DeviceTree::Status(DevNode node) {
    ULONG status = 0;
    ULONG problem = 0;
    if (CM_Get_DevNode_Status(&status, &problem, node, 0) != CR_SUCCESS) return std::nullopt;
    return DevNodeStatus{status, problem};
}

bool Win32DeviceTree::Reenumerate(DevNode node) {
    return CM_Reenumerate_DevNode(node, CM_REENUMERATE_SYNCHRONOUS) == CR_SUCCESS;
}

PropertyValue Win32DeviceTree::ReadDevNodeProperty(DevNode node, std::uint32_t cmDrp) {
    return win32::ReadDevNodeProperty(node, cmDrp);
}

bool Win32DeviceTree::WriteDevNodeProperty(DevNode node, std::uint32_t cmDrp, std::span<const std::uint8_t> data) {
    return CM_Set_DevNode_Registry_PropertyW(node, cmDrp, const_cast<std::uint8_t*>(data.data()),
                                             static_cast<ULONG>(data.size()), 0) == CR_SUCCESS;
}

}  // namespace qn38::win32
