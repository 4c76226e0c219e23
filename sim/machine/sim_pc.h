// A whole simulated PC: built from a few lines in a test, it stands behind
// every port the core uses.
#pragma once

#include "lib/core/constants.h"
#include "lib/core/ports/platform.h"
#include "sim/machine/sim_devices.h"
#include "sim/machine/sim_files.h"
#include "sim/machine/sim_io.h"
#include "sim/machine/sim_registry.h"
#include "sim/machine/sim_slot.h"
#include "sim/machine/sim_storage.h"

namespace qn38::sim {

class SimPc {
public:
    SimPc() = default;
    SimPc(const SimPc&) = delete;
    SimPc& operator=(const SimPc&) = delete;

    SimDevices devices;
    SimIo io{devices};
    SimRegistry registry;
    SimFiles files;
    SimClock clock;
    SimText text;
    SimStorage storage{devices, io};
    SimSlots slots{devices, storage, clock};

    // An adapter with its slot on `spec.slotBus` (and, as its installer
    // leaves it, the filter driver's service key), and the slot by its bus.
    SimSlot& AddSlot(const AdapterSpec& spec = {}) {
        if (spec.driverInstalled) registry.CreateKey(RegistryRoot::LocalMachine, U16(DRIVER_KEY_PATH));
        return slots.Add(spec);
    }
    SimSlot& slot(std::uint8_t bus) { return slots.At(bus); }

    Platform& platform() { return platform_; }
    Counters& counters() { return devices.counters(); }

private:
    Platform platform_{devices, io, registry, files, clock, text};
};

}  // namespace qn38::sim
