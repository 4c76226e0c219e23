#include "memory_window.h"

namespace qn38 {

// Not built yet: nothing is stored.
int SetSize(Platform&, std::uint32_t, std::uint32_t, std::uint32_t) { return 0; }

}  // namespace qn38
