// qn38ctl on the simulated PC: its core with the tool's client on the one
// service of a SimSharedPc, so that a test runs commands beside the
// simulated users' tools as a script would beside theirs.
#pragma once

#include <string>
#include <vector>

#include "ctl/core/qn38ctl.h"
#include "sim/tool/sim_shared_pc.h"
#include "sim/tool/sim_tool.h"
#include "sim/tool/sim_tray_tool.h"

namespace qn38::sim {

// The service as the service control manager knows it: installed with the
// simulated PC's service executable, running while SimService runs.
class SimInstalledService final : public ctl::InstalledService {
public:
    explicit SimInstalledService(SimSharedPc& shared) : shared_(shared) {}
    bool installed = true;

    ctl::ServiceState State() override;
    std::optional<std::u16string> BinaryPathName() override;

private:
    SimSharedPc& shared_;
};

// The slot bridges' registers through the library's dump-device access.
class SimSlotRegisters final : public ctl::SlotRegisters {
public:
    explicit SimSlotRegisters(SimSharedPc& shared) : shared_(shared) {}
    int ReadPCI(std::uint32_t bus, std::uint32_t offset, std::uint32_t* value) override;

private:
    SimSharedPc& shared_;
};

// The simulated PC's files, read under the machine's lock.
class SimFileReader final : public ctl::FileReader {
public:
    explicit SimFileReader(SimSharedPc& shared) : shared_(shared) {}
    std::optional<std::vector<std::uint8_t>> Read(const std::u16string& path, std::size_t maxBytes) override;

private:
    SimSharedPc& shared_;
};

class SimCtl {
public:
    explicit SimCtl(SimSharedPc& shared);
    // One run of qn38ctl with these arguments.
    ctl::CtlResult Run(const std::vector<std::string>& arguments);

    SimSharedPc& shared;
    SimInstalledService installed;
    SimFileReader files;
    SimSlotRegisters registers;
    SimServicePause pause;
    tool::ServiceClient client;
    SimSlotQueries slots;
    WatchedDrives drives;
    SimSystem system;
    SimStrings strings;
};

}  // namespace qn38::sim
