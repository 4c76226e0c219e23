// Stopping and starting the slot.
#pragma once

#include <cstdint>

#include "ports/platform.h"

namespace qn38 {

int SetStatus(Platform& platform, std::uint32_t bus, std::uint32_t stateChange, std::uint32_t linkEnable,
              std::uint32_t checkDisks);

}  // namespace qn38
