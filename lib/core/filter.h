// Registering the QN38UP upper filter on the adapter's root port.
#pragma once

#include "ports/platform.h"

namespace qn38 {

int AddFilter(Platform& platform);
int DelFilter(Platform& platform);

}  // namespace qn38
