#include "sim/tool/sim_ctl.h"

#include <algorithm>

#include "lib/core/pci_config.h"

namespace qn38::sim {

ctl::ServiceState SimInstalledService::State() {
    if (!installed) return ctl::ServiceState::Absent;
    return shared_.service.Running() ? ctl::ServiceState::Running : ctl::ServiceState::Stopped;
}

std::optional<std::u16string> SimInstalledService::BinaryPathName() {
    if (!installed) return std::nullopt;
    std::lock_guard lock(shared_.machine);
    // As an installer writes a path with blanks: quoted.
    return u"\"" + shared_.pc.files.executablePath + u"\"";
}

int SimSlotRegisters::ReadPCI(std::uint32_t bus, std::uint32_t offset, std::uint32_t* value) {
    std::lock_guard lock(shared_.machine);
    return ReadPci(shared_.pc.platform().io, bus, offset, value);
}

std::optional<std::vector<std::uint8_t>> SimFileReader::Read(const std::u16string& path, std::size_t maxBytes) {
    std::lock_guard lock(shared_.machine);
    const auto* file = shared_.pc.files.Find(path);
    if (file == nullptr) return std::nullopt;
    return std::vector<std::uint8_t>(file->begin(), file->begin() + std::min(maxBytes, file->size()));
}

SimCtl::SimCtl(SimSharedPc& sharedPc)
    : shared(sharedPc),
      installed(shared),
      files(shared),
      registers(shared),
      pause(shared.service),
      client(shared.service.transport(), pause, shared.pc.text),
      slots(shared.pc, shared.machine),
      drives(shared.pc, shared.machine),
      strings(RcResources::LoadToolResources(RC_LANGUAGE_ENGLISH).value_or(RcResources())) {
    // The command's pauses are time the machine lives through too.
    system.onSleep = [this](std::uint32_t milliseconds) {
        std::lock_guard lock(shared.machine);
        shared.pc.clock.Advance(milliseconds);
    };
}

ctl::CtlResult SimCtl::Run(const std::vector<std::string>& arguments) {
    const ctl::CtlPorts ports{
        {slots, client, shared.slotLock, system, drives}, strings, shared.pc.registry, registers, installed, files};
    return ctl::RunCtl(arguments, ports);
}

}  // namespace qn38::sim
