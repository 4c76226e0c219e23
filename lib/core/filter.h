// Registering the QN38UP upper filter on the adapter's root port.
#pragma once

#include "lib/core/ports/platform.h"

namespace qn38 {

// The filter driver's service key exists: without it nothing is registered.
bool DriverInstalled(Platform& platform);

// Both count their targets: the number of targets when every one succeeded,
// otherwise the successes minus the targets (negative: the failures).
int AddFilter(Platform& platform);
int DelFilter(Platform& platform);

// AddFilter's own part, behind its first step (DelFilter): the filter goes
// onto the root port of every present adapter function whose list does not
// name it yet. A root port whose list exists but cannot be read keeps it and
// counts a failure.
int RegisterFilterOnRootPorts(Platform& platform);

}  // namespace qn38
