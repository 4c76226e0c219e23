#pragma once

#include "lib/core/ports/device_tree.h"

namespace qn38::win32 {

class Win32DeviceTree final : public DeviceTree {
public:
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
};

}  // namespace qn38::win32
