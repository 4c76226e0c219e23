// Slot status and card information: the tool's read-only queries.
#pragma once

#include <cstdint>

#include "lib/core/ports/platform.h"

namespace qn38 {

int GetStatus(Platform& platform, std::uint32_t bus, std::uint32_t* present);
int GetCardInfo(Platform& platform, std::uint32_t bus, char16_t* description, std::uint32_t descriptionBytes,
                std::uint32_t* status, std::uint32_t* problem);
int DoesExistNoFilterRootPort(Platform& platform);

}  // namespace qn38
