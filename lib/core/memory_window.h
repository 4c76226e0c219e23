// The memory window in the filter driver's service key.
#pragma once

#include <cstdint>

#include "ports/platform.h"

namespace qn38 {

int SetSize(Platform& platform, std::uint32_t defLen, std::uint32_t startAdrs, std::uint32_t endAdrs);

}  // namespace qn38
