// A whole simulated PC: built from a few lines in a test, it stands behind
// every port the core uses.
#pragma once

#include "core/ports/platform.h"
#include "sim_devices.h"
#include "sim_files.h"
#include "sim_io.h"
#include "sim_registry.h"

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

    Platform& platform() { return platform_; }
    Counters& counters() { return devices.counters(); }

private:
    Platform platform_{devices, io, registry, files, clock, text};
};

}  // namespace qn38::sim
