#include "slot_control.h"

namespace qn38 {

// Not built yet: a link change always fails.
int SetStatus(Platform&, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) { return 0; }

}  // namespace qn38
